// Checks one MIDI engine's port backend end to end, below the WinMM layer:
// opens an input and an output on ports that echo (ALSA's Midi Through, or a
// JACK through client of its own), sends the loopback message and a 100,000
// byte SysEx, and compares what comes back.
//
//   engine_check alsa "Midi Through Port-0"
//   engine_check jack [--short]
//   engine_check rawmidi IN OUT UNBIND_FILE DEVICE   (last: the card goes away)
#include "jack_through.h"
#include "winmm/port_backend.h"

#include <alsa/asoundlib.h>
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <thread>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace platform::midi;

struct Received final : InputSink, OutputSink {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::uint8_t> bytes;
    bool sent = false;
    Status send_result;

    Timestamp taken{};     // the engine took the send
    Timestamp arrived{};   // the engine's time of the first byte back
    void on_bytes(std::span<const std::uint8_t> b, Timestamp at) override {
        std::lock_guard lock(mutex);
        if (bytes.empty()) arrived = at;
        bytes.insert(bytes.end(), b.begin(), b.end());
        cv.notify_all();
    }
    std::atomic<int> errors{0};
    void on_error(const Status& why) override {
        std::printf("engine_check: port error: %s\n", why.text.c_str());
        ++errors;
    }
    void on_taken(std::uint64_t, Timestamp at) override {
        std::lock_guard lock(mutex);
        taken = at;
    }
    void on_sent(std::uint64_t, const Status& result) override {
        std::lock_guard lock(mutex);
        sent = true;
        send_result = result;
        cv.notify_all();
    }
};

std::vector<std::uint8_t> sysex(std::size_t size) {
    std::vector<std::uint8_t> m(size);
    m.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < size; ++i) m[i] = static_cast<std::uint8_t>((i - 1) & 0x7F);
    m.back() = 0xF7;
    return m;
}

bool round_trip(const char* engine, Received& got, OutputPort& out, std::size_t size, std::uint64_t ticket) {
    const auto message = sysex(size);
    {
        std::lock_guard lock(got.mutex);
        got.bytes.clear();
        got.sent = false;
    }
    if (Status s = out.send(message, ticket); !s) {
        std::printf("engine_check %s: send of %zu bytes refused: %s\n", engine, size, s.text.c_str());
        return false;
    }
    std::unique_lock lock(got.mutex);
    if (!got.cv.wait_for(lock, std::chrono::seconds(10), [&] { return got.bytes.size() >= size && got.sent; })) {
        std::printf("engine_check %s: %zu of %zu bytes came back (sent: %d)\n", engine, got.bytes.size(), size,
                    got.sent);
        return false;
    }
    if (!got.send_result || got.bytes != message) {
        std::size_t at = 0;
        while (at < got.bytes.size() && at < message.size() && got.bytes[at] == message[at]) ++at;
        std::printf("engine_check %s: %zu bytes sent, %zu came back, first difference at byte %zu (send: %s)\n",
                    engine, size, got.bytes.size(), at, got.send_result.text.c_str());
        return false;
    }
    std::printf("engine_check %s: %zu bytes came back intact; the engine's own round trip %.3f ms\n", engine, size,
                static_cast<double>((got.arrived - got.taken).count()) / 1000.0);
    return true;
}

int find(const std::vector<PortInfo>& ports, const std::string& name) {
    for (std::size_t i = 0; i < ports.size(); ++i)
        if (ports[i].name == name) return static_cast<int>(i);
    return -1;
}

bool g_short = false;  // the loopback message only

int check(const char* engine, const std::string& in_name, const std::string& out_name) {
    std::string error;
    auto backend = make_backend(engine, error);
    if (!backend) {
        std::printf("engine_check %s: the engine is not there %s\n", engine, error.c_str());
        return 1;
    }
    const int in = find(backend->inputs(), in_name);
    const int out = find(backend->outputs(), out_name);
    if (in < 0 || out < 0) {
        std::printf("engine_check %s: no ports \"%s\" / \"%s\"\n", engine, in_name.c_str(), out_name.c_str());
        return 1;
    }
    Received got;
    std::unique_ptr<InputPort> input;
    std::unique_ptr<OutputPort> output;
    Status s = backend->open_input(static_cast<unsigned>(in), got, input);
    if (s) s = backend->open_output(static_cast<unsigned>(out), got, output);
    if (!s) {
        std::printf("engine_check %s: %s\n", engine, s.text.c_str());
        return 1;
    }
    const bool ok = round_trip(engine, got, *output, 258, 1) &&
                    (g_short || round_trip(engine, got, *output, 100000, 2));
    std::printf("engine_check %s: %s\n", engine, ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

// A sequencer client of the check's own stands in for a USB interface: it is
// listed, opened, then pulled out. Both ports must answer errors, not hang.
int check_alsa_unplug() {
    snd_seq_t* device = nullptr;
    if (snd_seq_open(&device, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return 1;
    snd_seq_set_client_name(device, "USB MIDI Interface");
    const char* long_name = "USB MIDI Interface Port 1 with a name far too long for szPname";
    const std::string shown(long_name, 31);
    snd_seq_create_simple_port(device, long_name,
                               SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_READ |
                                   SND_SEQ_PORT_CAP_SUBS_WRITE,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
    std::string error;
    auto backend = make_backend("alsa", error);
    const int in = backend ? find(backend->inputs(), shown) : -1;
    const int out = backend ? find(backend->outputs(), shown) : -1;
    if (in < 0 || out < 0) {
        snd_seq_close(device);
        std::printf("engine_check alsa: the stand-in device is not listed under its cut name\n");
        return 1;
    }
    Received got;
    std::unique_ptr<InputPort> input;
    std::unique_ptr<OutputPort> output;
    if (!backend->open_input(static_cast<unsigned>(in), got, input) ||
        !backend->open_output(static_cast<unsigned>(out), got, output)) {
        snd_seq_close(device);
        std::printf("engine_check alsa: the stand-in device does not open\n");
        return 1;
    }
    snd_seq_close(device);  // unplugged
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool told = false;
    while (!(told = got.errors > 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<std::uint8_t> msg{0xF0, 1, 2, 0xF7};
    const Status s = output->send(msg, 9);
    const bool ok = told && s.code == MMSYSERR_NODRIVER;
    std::printf("engine_check alsa: unplugged device: input %s, send answers %u (%s)\n",
                told ? "told" : "NOT told", s.code, s.text.c_str());
    output.reset();
    input.reset();
    return ok ? 0 : 1;
}

// A device that floods: 1 MB of SysEx that never ends, then 100,000 short
// messages, far faster than a cable could. The input keeps working: what its
// fixed buffers cannot hold is lost to the overrun, nothing grows.
int check_alsa_flood() {
    snd_seq_t* device = nullptr;
    if (snd_seq_open(&device, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return 1;
    snd_seq_set_client_name(device, "Flooding Device");
    const int port = snd_seq_create_simple_port(device, "Flood", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
    std::string error;
    auto backend = make_backend("alsa", error);
    const int in = backend ? find(backend->inputs(), "Flood") : -1;
    Received got;
    std::unique_ptr<InputPort> input;
    if (in < 0 || !backend->open_input(static_cast<unsigned>(in), got, input)) {
        snd_seq_close(device);
        std::printf("engine_check alsa: the flooding device does not open\n");
        return 1;
    }
    std::vector<std::uint8_t> piece(256, 0x55);
    piece[0] = 0xF0;
    std::size_t sent = 0;
    for (int i = 0; i < 4096; ++i) {  // 1 MB, no F7
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_sysex(&ev, i == 0 ? 256 : 255, piece.data() + (i == 0 ? 0 : 1));
        if (snd_seq_event_output_direct(device, &ev) >= 0) sent += i == 0 ? 256 : 255;
    }
    for (int i = 0; i < 100000; ++i) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_noteon(&ev, 0, i & 0x7F, 64);
        if (snd_seq_event_output_direct(device, &ev) >= 0) sent += 3;
    }
    // Wait until the flood has drained (the count stops moving), then a
    // last message must still come through whole: an overrun loses bytes of
    // the flood, never the port.
    std::size_t received = 0;
    const auto drain_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard lock(got.mutex);
        if (got.bytes.size() == received || std::chrono::steady_clock::now() > drain_deadline) break;
        received = got.bytes.size();
    }
    const std::vector<std::uint8_t> marker{0xF0, 0x7D, 0x7E, 0x7F, 0xF7};
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, port);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(marker.size()), const_cast<std::uint8_t*>(marker.data()));
    snd_seq_event_output_direct(device, &ev);
    std::unique_lock lock(got.mutex);
    const bool last = got.cv.wait_for(lock, std::chrono::seconds(5), [&] {
        return got.bytes.size() >= marker.size() &&
               std::equal(marker.begin(), marker.end(), got.bytes.end() - static_cast<long>(marker.size()));
    });
    lock.unlock();
    input.reset();
    snd_seq_close(device);
    std::printf("engine_check alsa: flood of %zu bytes: %zu delivered; the message after it %s\n", sent, received,
                last ? "came through whole" : "was LOST");
    return last && received <= sent ? 0 : 1;
}

// Context switches of this process's threads whose names start with
// `prefix`; `asleep` tells whether every one of them is sleeping.
long switches(const std::string& prefix, bool* asleep = nullptr) {
    long total = 0;
    if (asleep) *asleep = true;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* t = tasks ? readdir(tasks) : nullptr) {
        const std::string dir = std::string("/proc/self/task/") + t->d_name;
        std::string comm;
        std::getline(std::ifstream(dir + "/comm"), comm);
        if (comm.rfind(prefix, 0) != 0) continue;
        std::ifstream status(dir + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
            if (asleep && line.rfind("State:", 0) == 0 && line.find("S (sleeping)") == std::string::npos) *asleep = false;
        }
    }
    if (tasks) closedir(tasks);
    return total;
}

// Open, quiet ports cost no wake-up; then the card goes away (its driver is
// unbound through sysfs, which returns once the ports are closed): the input
// is told, a send answers MMSYSERR_NODRIVER.
int check_rawmidi_idle_and_unplug(const std::string& in_name, const std::string& out_name,
                                  const std::string& unbind, const std::string& device) {
    std::string error;
    auto backend = make_backend("rawmidi", error);
    const int in = backend ? find(backend->inputs(), in_name) : -1;
    const int out = backend ? find(backend->outputs(), out_name) : -1;
    Received got;
    std::unique_ptr<InputPort> input;
    std::unique_ptr<OutputPort> output;
    if (in < 0 || out < 0 || !backend->open_input(static_cast<unsigned>(in), got, input) ||
        !backend->open_output(static_cast<unsigned>(out), got, output)) {
        std::printf("engine_check rawmidi: the ports do not open for the idle check\n");
        return 1;
    }
    // Threads just started are still on their way to their first wait.
    bool asleep = false;
    const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (switches("tavrin-raw", &asleep); !asleep && std::chrono::steady_clock::now() < settle;
         switches("tavrin-raw", &asleep))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!asleep) std::printf("engine_check rawmidi: the engine threads never went to sleep\n");
    const long before = switches("tavrin-raw");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long idle = switches("tavrin-raw") - before;
    std::printf("engine_check rawmidi: wake-ups of the engine threads in 1 s idle: %ld\n", idle);

    std::thread unplug([&] { std::ofstream(unbind) << device << std::flush; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.errors == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<std::uint8_t> msg{0xF0, 1, 2, 0xF7};
    const Status s = output->send(msg, 9);
    const bool told = got.errors > 0;
    std::printf("engine_check rawmidi: unplugged card: port errors %d, send answers %u (%s)\n", got.errors.load(),
                s.code, s.text.c_str());
    output.reset();
    input.reset();
    unplug.join();
    const bool ok = idle == 0 && told && s.code == MMSYSERR_NODRIVER;
    std::printf("engine_check rawmidi: idle and unplug %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string engine = argc > 1 ? argv[1] : "";
    if (engine == "alsa" && argc == 3) {
        const int rc = check("alsa", argv[2], argv[2]);
        if (rc != 0) return rc;
        if (check_alsa_unplug() != 0) return 1;
        return check_alsa_flood();
    }
    if (engine == "jack") {
        // Under a sanitizer that slows the process callback past its period,
        // JACK replays a late client's last buffer: only one event is sent then.
        g_short = argc > 2 && std::string(argv[2]) == "--short";
        tavrin_test::JackThrough through;
        if (!through.ok()) {
            std::printf("engine_check jack: the through client cannot start\n");
            return 1;
        }
        const int rc = check("jack", through.out_name(), through.in_name());
        if (rc != 0)
            std::printf("engine_check jack: the through client saw %llu bytes, could not pass on %llu; "
                        "%llu xruns\n",
                        static_cast<unsigned long long>(through.bytes_in()),
                        static_cast<unsigned long long>(through.bytes_refused()),
                        static_cast<unsigned long long>(through.xruns()));
        return rc;
    }
    if (engine == "rawmidi" && argc == 6) {
        const int rc = check("rawmidi", argv[2], argv[3]);
        return rc != 0 ? rc : check_rawmidi_idle_and_unplug(argv[2], argv[3], argv[4], argv[5]);
    }
    std::fprintf(stderr, "usage: engine_check alsa PORT | engine_check jack | engine_check rawmidi IN OUT UNBIND DEVICE\n");
    return 2;
}
