// The DIN side of the USB MIDI interface that scripts/test.d/lib/qemu-usb.sh
// makes in the qemu guest: cables between the interface's MIDI OUT and MIDI IN
// sockets. It works on the gadget's rawmidi devices (f_midi): what the host
// sends to its output port A comes back on its input port B no faster than
// the wire, one byte per --byte-us microseconds (320 at 31,250 baud).
//
//   usb_din --card C --ports N [--route A:B|A:-]... [--byte-us US]
//           [--buffer BYTES] [--drop K/N] [--corrupt K/N] [--sense MS]
//           [--stall AFTER:MS]
//
// Ports are numbered from 1, as the host names them ("... MIDI 1"). Without
// a --route each port is looped to itself; "A:-" leaves port A unlooped.
// The interface takes bytes in at USB speed into a buffer of --buffer bytes
// per port (f_midi cannot hold the host off): what does not fit is lost, as
// on a cheap interface. The gadget's own input buffers are made as large as
// the kernel allows, so that a busy guest that keeps usb_din from reading for
// a while loses nothing there (at the default 4 KiB a stall of a second lost
// bytes mid-stream). --drop and --corrupt lose or change (lowest bit
// flipped) byte K, counted from the status byte (0), of every Nth message.
// --sense puts Active Sensing (FE) on every looped wire every MS ms; --stall
// stops every wire for MS ms once AFTER bytes have gone out on it.
//
// Prints "usb_din: ready" once its devices are open, and on SIGTERM or
// SIGINT one line of counts per port. Ends with status 3 when the device goes
// away (the gadget unbound). Waits in poll() on the rawmidi devices and on
// timer fds armed only while a wire has bytes to send.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

// The most the kernel gives a rawmidi buffer.
constexpr std::size_t kDeviceBuffer = 1 << 20;
// The most bytes a wire makes up at once after its timer fired late: 82 ms at
// 320 us a byte, and one input buffer of Tavrin's.
constexpr std::uint64_t kCatchUpTicks = 256;

struct Fault {
    long byte = -1;  // K: offset from the message's status byte
    long every = 0;  // N: 0 when off
    bool hits(long message, long position) const {
        return every > 0 && message % every == 0 && position == byte;
    }
};

struct Options {
    int card = -1;
    int ports = 1;
    std::map<int, int> routes;  // host output port -> host input port, 0 = unlooped
    long byte_us = 320;
    std::size_t buffer = 1 << 20;
    Fault drop, corrupt;
    long sense_ms = 0;
    long stall_after = -1, stall_ms = 0;
};

// One host output port's bytes, on their way back on `to`.
struct Wire {
    int from = 0, to = 0;
    snd_rawmidi_t* in = nullptr;
    std::deque<std::uint8_t> queue;
    long received = 0, sent = 0, lost = 0;
    long message = 0, position = 0;  // for the faults
    bool stalled = false, stall_done = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "usb_din: %s\nusage: usb_din --card C --ports N [--route A:B|A:-]... [--byte-us US]\n"
                         "  [--buffer BYTES] [--drop K/N] [--corrupt K/N] [--sense MS] [--stall AFTER:MS]\n", why);
    std::exit(64);
}

long number(const char* text) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0) usage("not a number");
    return v;
}

// "X<sep>Y" into two numbers; Y may be "-" (returned as 0) when allowed.
void pair(const char* text, char sep, long& x, long& y, bool dash = false) {
    const char* at = std::strchr(text, sep);
    if (at == nullptr) usage("a pair needs its separator");
    x = number(std::string(text, at).c_str());
    y = dash && std::strcmp(at + 1, "-") == 0 ? 0 : number(at + 1);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage("an option lacks its value");
        const char* v = argv[++i];
        long x = 0, y = 0;
        if (arg == "--card") o.card = static_cast<int>(number(v));
        else if (arg == "--ports") o.ports = static_cast<int>(number(v));
        else if (arg == "--route") { pair(v, ':', x, y, true); o.routes[static_cast<int>(x)] = static_cast<int>(y); }
        else if (arg == "--byte-us") o.byte_us = number(v);
        else if (arg == "--buffer") o.buffer = static_cast<std::size_t>(number(v));
        else if (arg == "--drop") { pair(v, '/', o.drop.byte, o.drop.every); }
        else if (arg == "--corrupt") { pair(v, '/', o.corrupt.byte, o.corrupt.every); }
        else if (arg == "--sense") o.sense_ms = number(v);
        else if (arg == "--stall") pair(v, ':', o.stall_after, o.stall_ms);
        else usage("unknown option");
    }
    if (o.card < 0 || o.ports < 1 || o.ports > 16 || o.byte_us < 1) usage("--card and --ports (1 to 16) are needed");
    for (int p = 1; p <= o.ports; ++p) o.routes.try_emplace(p, p);
    for (const auto& [from, to] : o.routes)
        if (from < 1 || from > o.ports || to > o.ports) usage("a route names a port the interface does not have");
    return o;
}

std::string device(int card, int port) { return "hw:" + std::to_string(card) + ",0," + std::to_string(port - 1); }

// Arms `fd` to fire every `ns` nanoseconds, or disarms it (ns = 0).
void arm(int fd, long ns) {
    itimerspec t{};
    t.it_value.tv_sec = t.it_interval.tv_sec = ns / 1'000'000'000;
    t.it_value.tv_nsec = t.it_interval.tv_nsec = ns % 1'000'000'000;
    timerfd_settime(fd, 0, &t, nullptr);
}

std::uint64_t expirations(int fd) {
    std::uint64_t n = 0;
    return ::read(fd, &n, sizeof n) == sizeof n ? n : 0;
}

// Takes in what the host sent on `w`'s port, as the interface's buffer does.
void take_in(Wire& w, const Options& o, const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t b = bytes[i];
        ++w.received;
        if (b >= 0xF8) {  // real-time: not part of any message
            if (w.to != 0 && w.queue.size() < o.buffer) w.queue.push_back(b);
            continue;
        }
        if (b >= 0x80 && b != 0xF7) { ++w.message; w.position = 0; }
        const long at = w.position++;
        if (w.to == 0) continue;
        if (o.drop.hits(w.message, at)) { ++w.lost; continue; }
        if (o.corrupt.hits(w.message, at)) b ^= 0x01;
        if (w.queue.size() >= o.buffer) { ++w.lost; continue; }
        w.queue.push_back(b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::vector<Wire> wires;
    std::map<int, snd_rawmidi_t*> outs;  // by host input port
    for (const auto& [from, to] : o.routes) {
        Wire w;
        w.from = from;
        w.to = to;
        if (int err = snd_rawmidi_open(&w.in, nullptr, device(o.card, from).c_str(), SND_RAWMIDI_NONBLOCK); err < 0) {
            std::fprintf(stderr, "usb_din: cannot open %s for input: %s\n", device(o.card, from).c_str(), snd_strerror(err));
            return 1;
        }
        snd_rawmidi_params_t* params;
        snd_rawmidi_params_alloca(&params);
        if (snd_rawmidi_params_current(w.in, params) < 0 ||
            snd_rawmidi_params_set_buffer_size(w.in, params, kDeviceBuffer) < 0 || snd_rawmidi_params(w.in, params) < 0) {
            std::fprintf(stderr, "usb_din: the input buffer of %s cannot be made %zu bytes\n", device(o.card, from).c_str(),
                         kDeviceBuffer);
            return 1;
        }
        if (to != 0 && outs.count(to) == 0) {
            snd_rawmidi_t* out = nullptr;
            if (int err = snd_rawmidi_open(nullptr, &out, device(o.card, to).c_str(), SND_RAWMIDI_NONBLOCK); err < 0) {
                std::fprintf(stderr, "usb_din: cannot open %s for output: %s\n", device(o.card, to).c_str(), snd_strerror(err));
                return 1;
            }
            outs[to] = out;
        }
        wires.push_back(std::move(w));
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int signals = signalfd(-1, &mask, SFD_CLOEXEC);
    const int pace = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    const int sense = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    const int stall = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (signals < 0 || pace < 0 || sense < 0 || stall < 0) {
        std::perror("usb_din: timers");
        return 1;
    }
    if (o.sense_ms > 0) arm(sense, o.sense_ms * 1'000'000);

    // Descriptors: signals, pace, sense, stall, then each wire's input.
    std::vector<pollfd> fds{{signals, POLLIN, 0}, {pace, POLLIN, 0}, {sense, POLLIN, 0}, {stall, POLLIN, 0}};
    std::vector<std::size_t> owner;  // wire of each input descriptor
    for (std::size_t i = 0; i < wires.size(); ++i) {
        const int n = snd_rawmidi_poll_descriptors_count(wires[i].in);
        std::vector<pollfd> more(static_cast<std::size_t>(n));
        snd_rawmidi_poll_descriptors(wires[i].in, more.data(), static_cast<unsigned>(n));
        for (auto& p : more) {
            fds.push_back(p);
            owner.push_back(i);
        }
    }
    std::printf("usb_din: ready\n");
    std::fflush(stdout);

    bool pacing = false, gone = false, quit = false;
    std::uint8_t buf[4096];
    while (!quit && !gone) {
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents != 0) quit = true;
        if (fds[2].revents != 0 && expirations(sense) > 0)
            for (auto& w : wires)
                if (w.to != 0 && w.queue.size() < o.buffer) w.queue.push_front(0xFE);
        if (fds[3].revents != 0 && expirations(stall) > 0)
            for (auto& w : wires) w.stalled = false;
        for (std::size_t i = 4; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Wire& w = wires[owner[i - 4]];
            if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) gone = true;
            for (;;) {
                const ssize_t n = snd_rawmidi_read(w.in, buf, sizeof buf);
                if (n == -EAGAIN || n == 0) break;
                if (n < 0) { gone = true; break; }
                take_in(w, o, buf, static_cast<std::size_t>(n));
            }
        }
        // The wires: one byte per tick each. Ticks missed to timer slack are
        // made up at once; a longer stall (a busy guest) is time the wire
        // stood still, for no wire ever delivers faster than its rate.
        const std::uint64_t ticks = fds[1].revents != 0 ? std::min(expirations(pace), kCatchUpTicks) : 0;
        bool busy = false;
        for (auto& w : wires) {
            std::size_t n = 0;
            while (n < ticks && n < sizeof buf && !w.stalled && !w.queue.empty()) {
                buf[n++] = w.queue.front();
                w.queue.pop_front();
                if (++w.sent == o.stall_after && !w.stall_done) {
                    w.stalled = w.stall_done = true;
                    arm(stall, 0);
                    itimerspec once{};
                    once.it_value.tv_sec = o.stall_ms / 1000;
                    once.it_value.tv_nsec = (o.stall_ms % 1000) * 1'000'000;
                    timerfd_settime(stall, 0, &once, nullptr);
                }
            }
            // A non-blocking write may take only part: the rest waits in the
            // queue for the next tick rather than being lost.
            const ssize_t put = n > 0 ? snd_rawmidi_write(outs[w.to], buf, n) : 0;
            if (put < 0 && put != -EAGAIN) gone = true;
            const std::size_t taken = put > 0 ? static_cast<std::size_t>(put) : 0;
            for (std::size_t k = n; k > taken; --k) w.queue.push_front(buf[k - 1]);
            w.sent -= static_cast<long>(n - taken);
            busy = busy || (!w.stalled && !w.queue.empty());
        }
        if (busy != pacing) {
            arm(pace, busy ? o.byte_us * 1000 : 0);
            pacing = busy;
        }
    }
    for (const auto& w : wires) {
        std::printf("usb_din: port %d -> %s: received %ld, sent %ld, lost %ld, left %zu\n", w.from,
                    w.to == 0 ? "unlooped" : std::to_string(w.to).c_str(), w.received, w.sent, w.lost, w.queue.size());
        snd_rawmidi_close(w.in);
    }
    for (auto& [port, out] : outs) snd_rawmidi_close(out);
    if (gone) std::printf("usb_din: the device went away\n");
    return gone ? 3 : 0;
}
