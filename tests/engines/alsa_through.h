// An ALSA sequencer client of the tests' own, standing in for a MIDI cable:
// every event written to its port is sent back out of the same port. Closing
// it mid-test takes the port away, as when the program that provides a port
// exits.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace tavrin_test {

class AlsaThrough {
public:
    AlsaThrough() {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
            seq_ = nullptr;
            return;
        }
        snd_seq_set_client_name(seq_, "Tavrin Test Through");
        port_ = snd_seq_create_simple_port(
            seq_, "Tavrin Test Through",
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (port_ < 0 || ::pipe(stop_) != 0) {
            snd_seq_close(seq_);
            seq_ = nullptr;
            return;
        }
        thread_ = std::thread([this] { run(); });
    }
    ~AlsaThrough() { close(); }
    AlsaThrough(const AlsaThrough&) = delete;
    AlsaThrough& operator=(const AlsaThrough&) = delete;

    bool ok() const { return seq_ != nullptr; }
    // Muted, it swallows everything (a cable that is not plugged in).
    void mute(bool on) { muted_.store(on); }
    // Hostile traffic sent out of the port by the client's thread once the
    // next event reaches it (so that it meets a test under way): a SysEx that
    // never ends (F0, then `bytes` data bytes, 256 to an event), or `count`
    // Note On messages.
    void inject_endless_sysex(std::size_t bytes) { command('s', bytes); }
    void inject_flood(std::size_t count) { command('f', count); }
    bool injecting() const { return injecting_.load(); }
    // The client exits: its port and every connection to it go.
    void close() {
        if (seq_ == nullptr) return;
        command('q', 0);
        thread_.join();
        snd_seq_close(seq_);
        seq_ = nullptr;
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

private:
    void command(char what, std::size_t amount) {
        if (seq_ == nullptr) return;
        if (what != 'q') injecting_.store(true);
        amount_.store(amount);
        [[maybe_unused]] auto n = ::write(stop_[1], &what, 1);
    }
    void send(snd_seq_event_t& ev) {
        snd_seq_ev_set_source(&ev, port_);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_event_output_direct(seq_, &ev);
    }
    void inject(char what, std::size_t amount) {
        if (what == 's') {
            std::vector<unsigned char> chunk(256, 0x11);
            chunk[0] = 0xF0;
            for (std::size_t left = amount + 1; left > 0;) {
                const std::size_t n = left < chunk.size() ? left : chunk.size();
                snd_seq_event_t ev;
                snd_seq_ev_clear(&ev);
                snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(n), chunk.data());
                send(ev);
                chunk[0] = 0x11;
                left -= n;
            }
        } else {
            for (std::size_t i = 0; i < amount; ++i) {
                snd_seq_event_t ev;
                snd_seq_ev_clear(&ev);
                snd_seq_ev_set_noteon(&ev, 0, 0x40, 0x7F);
                send(ev);
            }
        }
        injecting_.store(false);
    }
    void run() {
        const int n = snd_seq_poll_descriptors_count(seq_, POLLIN);
        std::vector<pollfd> fds(static_cast<std::size_t>(n) + 1);
        snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(n), POLLIN);
        fds[static_cast<std::size_t>(n)] = {stop_[0], POLLIN, 0};
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds.back().revents != 0) {
                char what = 'q';
                [[maybe_unused]] auto n = ::read(stop_[0], &what, 1);
                if (what == 'q') return;
                armed_ = what;
                continue;
            }
            snd_seq_event_t* ev = nullptr;
            while (snd_seq_event_input(seq_, &ev) >= 0 && ev != nullptr) {
                if (!muted_.load()) send(*ev);
                if (snd_seq_event_input_pending(seq_, 0) == 0) break;
            }
            if (armed_ != 0) {
                inject(armed_, amount_.load());
                armed_ = 0;
            }
        }
    }

    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<bool> muted_{false};
    std::atomic<bool> injecting_{false};
    char armed_ = 0;  // the client's thread only: the traffic to send after the next event
    std::atomic<std::size_t> amount_{0};
    std::thread thread_;
};

}  // namespace tavrin_test
