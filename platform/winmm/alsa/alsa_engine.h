// The ALSA sequencer as a MIDI engine: the ports others can be subscribed to,
// and ports of Tavrin's own subscribed to them. Each open port has its own
// sequencer client, so that its thread never shares a handle with another.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "winmm/port_backend.h"

struct _snd_seq;
struct snd_midi_event;
struct snd_seq_event;

namespace platform::midi::alsa {

struct Address {
    int client = 0;
    int port = 0;
};

struct PortEntry {
    Address address;
    std::string name;  // the sequencer's own name of the port, unaltered
};

// An open sequencer handle, closed with its owner.
class SeqHandle {
public:
    SeqHandle() = default;
    explicit SeqHandle(_snd_seq* seq) : seq_(seq) {}
    SeqHandle(SeqHandle&& other) noexcept : seq_(other.seq_) { other.seq_ = nullptr; }
    SeqHandle& operator=(SeqHandle&& other) noexcept;
    ~SeqHandle();
    _snd_seq* get() const { return seq_; }
    explicit operator bool() const { return seq_ != nullptr; }

private:
    _snd_seq* seq_ = nullptr;
};

// The text of an ALSA error number.
std::string alsa_error(const char* what, int err);

// Opens a sequencer client named "Tavrin"; mode is SND_SEQ_OPEN_*. Empty
// handle and `error` set when the sequencer cannot be opened.
SeqHandle open_client(int mode, std::string& error);

// The ports of the sequencer that can be read from (inputs = true) or written
// to, without the System client's ports and without Tavrin's own clients.
std::vector<PortEntry> list_ports(_snd_seq* seq, bool inputs);

// True while the port exists.
bool port_exists(_snd_seq* seq, Address address);

// A port of Tavrin's own subscribed to a source port; its thread waits in
// poll() and hands every event's bytes to the sink.
class Input final : public InputPort {
public:
    // `subscribe_error`, when given, receives ALSA's answer to the subscription.
    static std::unique_ptr<Input> open(Address source, InputSink& sink, std::string& error,
                                       int* subscribe_error = nullptr);
    ~Input() override;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Set once the source port has left the sequencer.
    bool gone() const { return gone_.load(std::memory_order_acquire); }

private:
    Input() = default;
    void run();
    int subscribe_stamped();
    Timestamp arrival(const snd_seq_event& ev) const;

    SeqHandle seq_;
    snd_midi_event* decoder_ = nullptr;
    Address source_{};
    int own_port_ = -1;
    Timestamp queue_zero_ = Timestamp::min();  // the stamping queue's time zero, on the steady clock
    InputSink* sink_ = nullptr;
    int stop_fd_ = -1;
    std::atomic<bool> gone_{false};
    std::thread thread_;
};

// A port of Tavrin's own subscribed to a destination port. Sends run on a
// thread of the port's own, in pieces that respect the sequencer's pool, so
// the caller never waits for the engine.
class Output final : public OutputPort {
public:
    static std::unique_ptr<Output> open(Address destination, OutputSink& sink, std::string& error,
                                        int* subscribe_error = nullptr);
    ~Output() override;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Copies `bytes` and returns; the sink hears of the end of the send.
    Status send(std::span<const std::uint8_t> bytes, std::uint64_t ticket) override;
    // Ends a queued or running send at once (the piece on its way, at most
    // 256 bytes, still goes out); the sink hears nothing of it.
    void abort() override;
    bool gone() const;

private:
    Output() = default;
    void run();
    std::string transmit(std::span<const std::uint8_t> bytes);
    bool wait_writable(int timeout_ms);
    bool pause(int ms);
    bool wait_for_wire(std::size_t bytes, bool& waited);
    std::string put(snd_seq_event& ev, std::size_t bytes);

    SeqHandle seq_;
    snd_midi_event* encoder_ = nullptr;
    Address destination_{};
    int own_port_ = -1;
    int stop_fd_ = -1;
    // A hardware port's bytes go out no faster than its DIN wire takes them:
    // the sequencer drops, silently to the sender, whatever the card's output
    // buffer cannot hold. When the bytes already sent will have left it.
    bool wire_paced_ = false;
    std::chrono::steady_clock::time_point wire_free_{};

    std::mutex mutex_;
    std::condition_variable cv_;
    OutputSink* sink_ = nullptr;
    bool quit_ = false;
    bool queued_ = false;        // a send waits for the thread
    bool transmitting_ = false;  // the thread has taken up a send
    std::atomic<bool> abort_{false};
    std::vector<std::uint8_t> job_;
    std::uint64_t ticket_ = 0;
    Timestamp taken_{};  // the thread's: when the first event of its send was delivered
    std::thread thread_;
};

}  // namespace platform::midi::alsa
