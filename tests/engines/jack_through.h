// A JACK client of the tests' own, standing in for a MIDI cable: what arrives
// at its "in" port leaves by its "out" port in the same cycle. Muted, it
// swallows everything (a cable that is not plugged in).
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tavrin_test {

class JackThrough {
public:
    explicit JackThrough(const char* name = "through") {
        client_ = jack_client_open(name, JackNoStartServer, nullptr);
        if (client_ == nullptr) return;
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &JackThrough::process, this);
        jack_set_xrun_callback(client_, [](void* arg) {
            static_cast<JackThrough*>(arg)->xruns_.fetch_add(1);
            return 0;
        }, this);
        if (in_ == nullptr || out_ == nullptr || jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~JackThrough() {
        if (client_ != nullptr) jack_client_close(client_);
    }
    JackThrough(const JackThrough&) = delete;
    JackThrough& operator=(const JackThrough&) = delete;

    bool ok() const { return client_ != nullptr; }
    // Full port names: Tavrin reads from out_name() and writes to in_name().
    std::string in_name() const { return jack_port_name(in_); }
    std::string out_name() const { return jack_port_name(out_); }
    void mute(bool on) { muted_.store(on); }
    // Bytes that reached "in", and those "out" could not take (its buffer
    // was full): where a lost byte was lost.
    std::uint64_t bytes_in() const { return bytes_in_.load(); }
    std::uint64_t bytes_refused() const { return bytes_refused_.load(); }
    // Cycles the server reported late (an xrun): JACK may drop MIDI events then.
    std::uint64_t xruns() const { return xruns_.load(); }
    // Takes both ports away while the client stays: connections to them go
    // with them, as when a program's ports vanish under a running test.
    // Hostile traffic written to "out" beside what passes through, from the
    // cycle in which the next message reaches "in" (so that it meets a test
    // under way): a SysEx that never ends (F0, then `bytes` data bytes, in
    // chunks of up to 8 KiB a cycle), or `count` Note On messages, a thousand
    // a cycle.
    void inject_endless_sysex(std::size_t bytes) {
        armed_.store(true);
        sysex_left_.store(bytes + 1);
    }
    void inject_flood(std::size_t count) {
        armed_.store(true);
        flood_left_.store(count);
    }
    // A device's own traffic on "out" beside what passes through: Active
    // Sensing every 300 ms and, with `notes`, a Note On or Off every 500 ms.
    void chatter(bool notes) {
        chatter_.store(notes ? 2 : 1);
    }
    bool injecting() const { return sysex_left_.load() > 0 || flood_left_.load() > 0; }
    bool unregister_ports() {
        if (client_ == nullptr || in_ == nullptr || jack_deactivate(client_) != 0) return false;
        const bool gone = jack_port_unregister(client_, in_) == 0 && jack_port_unregister(client_, out_) == 0;
        in_ = out_ = nullptr;
        return gone && jack_activate(client_) == 0;
    }

private:
    static int process(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<JackThrough*>(arg);
        if (self->in_ == nullptr) return 0;  // the ports were taken away
        void* in = jack_port_get_buffer(self->in_, nframes);
        void* out = jack_port_get_buffer(self->out_, nframes);
        jack_midi_clear_buffer(out);
        const jack_nframes_t count = jack_midi_get_event_count(in);
        if (count > 0) self->armed_.store(false);
        if (!self->muted_.load(std::memory_order_relaxed)) {
            for (jack_nframes_t i = 0; i < count; ++i) {
                jack_midi_event_t ev;
                if (jack_midi_event_get(&ev, in, i) != 0) continue;
                self->bytes_in_.fetch_add(ev.size, std::memory_order_relaxed);
                if (jack_midi_event_write(out, ev.time, ev.buffer, ev.size) != 0)
                    self->bytes_refused_.fetch_add(ev.size, std::memory_order_relaxed);
            }
        }
        if (!self->armed_.load()) self->inject(out, nframes - 1);
        if (const int mode = self->chatter_.load(std::memory_order_relaxed)) self->talk(out, nframes, mode == 2);
        return 0;
    }

    void talk(void* out, jack_nframes_t nframes, bool notes) {
        const double rate = jack_get_sample_rate(client_);
        const auto every = [&](double ms) { return static_cast<std::uint64_t>(rate * ms / 1000.0); };
        for (jack_nframes_t f = 0; f < nframes; ++f, ++frames_) {
            if (frames_ % every(300) == 0) {
                static constexpr jack_midi_data_t kSensing[] = {0xFE};
                jack_midi_event_write(out, f, kSensing, 1);
            }
            if (notes && frames_ % every(500) == every(250)) {
                const jack_midi_data_t note[] = {static_cast<jack_midi_data_t>(note_on_ ? 0x80 : 0x90), 0x3C, 0x40};
                note_on_ = !note_on_;
                jack_midi_event_write(out, f, note, sizeof note);
            }
        }
    }

    void inject(void* out, jack_nframes_t at) {
        const std::size_t sysex = sysex_left_.load(std::memory_order_relaxed);
        if (sysex > 0) {
            const std::size_t n = std::min({sysex, jack_midi_max_event_size(out), std::size_t{8192}});
            if (jack_midi_data_t* d = n > 0 ? jack_midi_event_reserve(out, at, n) : nullptr) {
                std::memset(d, 0x11, n);
                if (!sysex_started_) d[0] = 0xF0;
                sysex_started_ = true;
                sysex_left_.store(sysex - n, std::memory_order_relaxed);
            }
        }
        std::size_t flood = flood_left_.load(std::memory_order_relaxed);
        static constexpr jack_midi_data_t kNoteOn[] = {0x90, 0x40, 0x7F};
        for (int i = 0; i < 1000 && flood > 0; ++i, --flood)
            if (jack_midi_event_write(out, at, kNoteOn, sizeof kNoteOn) != 0) break;
        flood_left_.store(flood, std::memory_order_relaxed);
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::atomic<bool> muted_{false};
    std::atomic<std::uint64_t> bytes_in_{0};
    std::atomic<std::uint64_t> bytes_refused_{0};
    std::atomic<std::uint64_t> xruns_{0};
    std::atomic<bool> armed_{false};  // injection waits for a message at "in"
    std::atomic<std::size_t> sysex_left_{0};
    std::atomic<std::size_t> flood_left_{0};
    bool sysex_started_ = false;  // process thread only
    std::atomic<int> chatter_{0};  // 1: Active Sensing, 2: and notes
    std::uint64_t frames_ = 0;     // process thread only
    bool note_on_ = false;         // process thread only
};

}  // namespace tavrin_test
