// The ALSA engine under races, on the kernel's sequencer (run in the qemu
// guest by scripts/test.d/51-engines-alsa-qemu.sh): a port removed during a
// send, a source removed while its input opens, a send straight after an
// aborted long one.
//
//   alsa_races "Midi Through Port-0"
#include "test_sink.h"
#include "winmm/port_backend.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace platform::midi;
using namespace std::chrono_literals;

using Sink = tavrin_test::TestSink;

std::vector<std::uint8_t> sysex(std::size_t size) {
    std::vector<std::uint8_t> m(size, 0x11);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

int find(const std::vector<PortInfo>& ports, const std::string& name) {
    const auto it = std::find_if(ports.begin(), ports.end(), [&](const PortInfo& p) { return p.name == name; });
    return it == ports.end() ? -1 : static_cast<int>(it - ports.begin());
}

// A sequencer client of the test's own standing in for a device, with one
// port that `caps` describe; closed to pull it out.
struct Device {
    snd_seq_t* seq = nullptr;
    explicit Device(unsigned caps) {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return;
        snd_seq_set_client_name(seq, "Race Device");
        snd_seq_create_simple_port(seq, "Race Port", caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
    }
    ~Device() { unplug(); }
    void unplug() {
        if (seq != nullptr) snd_seq_close(seq);
        seq = nullptr;
    }
    // Until an event has reached the port, or `limit` has passed.
    bool wait_event(int limit_ms) {
        pollfd fd{};
        snd_seq_poll_descriptors(seq, &fd, 1, POLLIN);
        return ::poll(&fd, 1, limit_ms) > 0;
    }
};

// The device is pulled out while a megabyte is on its way to it: the send
// ends as failed with the port gone (the sequencer drops events sent to no
// one without a word).
bool removed_during_a_send() {
    Device device(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    std::string error;
    auto backend = make_backend("alsa", error);
    const int index = backend ? find(backend->outputs(), "Race Port") : -1;
    Sink sink;
    std::unique_ptr<OutputPort> out;
    if (index < 0 || !backend->open_output(static_cast<unsigned>(index), sink, out)) {
        std::printf("alsa_races: the device's port does not open\n");
        return false;
    }
    if (!out->send(sysex(1 << 20), 1) || !device.wait_event(5000)) {
        std::printf("alsa_races: removed during a send: the send did not start\n");
        return false;
    }
    device.unplug();
    if (!sink.wait([&] { return sink.sent.has_value(); }, 60s)) {
        std::printf("alsa_races: removed during a send: the send never ended\n");
        return false;
    }
    const bool ok = sink.sent->code == MMSYSERR_NODRIVER;
    std::printf("alsa_races: removed during a send: the send ended with %u (%s)\n", sink.sent->code,
                sink.sent->text.c_str());
    return ok;
}

// Devices pulled out the moment their input is being opened, many times: the
// open fails, or the input hears of the removal; never silence.
bool removed_while_the_input_opens() {
    int told = 0, refused = 0;
    for (int round = 0; round < 100; ++round) {
        Device device(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        std::string error;
        auto backend = make_backend("alsa", error);
        const int index = backend ? find(backend->inputs(), "Race Port") : -1;
        if (index < 0) {
            std::printf("alsa_races: round %d: the device is not listed\n", round);
            return false;
        }
        Sink sink;
        std::unique_ptr<InputPort> in;
        std::thread pull([&] { device.unplug(); });
        const bool opened = static_cast<bool>(backend->open_input(static_cast<unsigned>(index), sink, in));
        pull.join();
        if (!opened) {
            ++refused;
            continue;
        }
        if (!sink.wait([&] { return sink.in_error.has_value(); }, 5s)) {
            std::printf("alsa_races: round %d: the input was never told its device is gone\n", round);
            return false;
        }
        ++told;
    }
    std::printf("alsa_races: removed while the input opens: 100 rounds, %d told, %d refused at open\n", told, refused);
    return true;
}

// A megabyte sent through the loop and aborted on its way; the loop test's
// message sent at once after it arrives whole.
bool a_send_straight_after_an_abort(const std::string& through) {
    std::string error;
    auto backend = make_backend("alsa", error);
    const int in = backend ? find(backend->inputs(), through) : -1;
    const int out = backend ? find(backend->outputs(), through) : -1;
    Sink sink;
    std::unique_ptr<InputPort> input;
    std::unique_ptr<OutputPort> output;
    if (in < 0 || out < 0 || !backend->open_input(static_cast<unsigned>(in), sink, input) ||
        !backend->open_output(static_cast<unsigned>(out), sink, output)) {
        std::printf("alsa_races: \"%s\" does not open\n", through.c_str());
        return false;
    }
    if (!output->send(sysex(1 << 20), 1) || !sink.wait([&] { return !sink.got.empty(); }, 5s)) {
        std::printf("alsa_races: after an abort: the long send did not start\n");
        return false;
    }
    output->abort();
    const auto message = sysex(258);
    if (Status s = output->send(message, 2); !s) {
        std::printf("alsa_races: after an abort: the send was refused: %s\n", s.text.c_str());
        return false;
    }
    const bool ok = sink.wait(
        [&] {
            return sink.sent.has_value() && sink.got.size() >= message.size() &&
                   std::equal(message.begin(), message.end(), sink.got.end() - static_cast<std::ptrdiff_t>(message.size()));
        },
        10s);
    std::printf("alsa_races: after an abort: the next message %s\n", ok ? "came back whole" : "did NOT come back");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: alsa_races THROUGH-PORT\n");
        return 2;
    }
    bool ok = true;
    ok = removed_during_a_send() && ok;
    ok = removed_while_the_input_opens() && ok;
    ok = a_send_straight_after_an_abort(argv[1]) && ok;
    std::printf("alsa_races: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
