// A JACK client of the tests' own, standing in for a MIDI cable: what arrives
// at its "in" port leaves by its "out" port in the same cycle. Muted, it
// swallows everything (a cable that is not plugged in).
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cstdint>
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

private:
    static int process(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<JackThrough*>(arg);
        void* in = jack_port_get_buffer(self->in_, nframes);
        void* out = jack_port_get_buffer(self->out_, nframes);
        jack_midi_clear_buffer(out);
        if (self->muted_.load(std::memory_order_relaxed)) return 0;
        const jack_nframes_t count = jack_midi_get_event_count(in);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, in, i) != 0) continue;
            self->bytes_in_.fetch_add(ev.size, std::memory_order_relaxed);
            if (jack_midi_event_write(out, ev.time, ev.buffer, ev.size) != 0)
                self->bytes_refused_.fetch_add(ev.size, std::memory_order_relaxed);
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::atomic<bool> muted_{false};
    std::atomic<std::uint64_t> bytes_in_{0};
    std::atomic<std::uint64_t> bytes_refused_{0};
    std::atomic<std::uint64_t> xruns_{0};
};

}  // namespace tavrin_test
