// An input port's assembly: raw MIDI bytes, in chunks of any size, into the
// program's queued buffers (SysEx) and short messages. A function of the
// bytes alone: no lock, thread or clock; the port drives it under the
// service's lock and turns what it gives back into notifications.
#pragma once

#include <mmsystem.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

namespace platform::midi {

class InputAssembly {
public:
    struct Buffer {
        MIDIHDR* header;
        std::span<std::uint8_t> data;
        DWORD recorded = 0;
        std::chrono::microseconds first_at{};  // the engine's time of its first byte
    };
    // What the bytes come to, called as they do.
    class Output {
    public:
        // The front buffer leaves the queue: full, holding an ended SysEx,
        // or given back by a stop or reset.
        virtual void give_back(const Buffer& buffer) = 0;
        virtual void short_message(DWORD message) = 0;

    protected:
        ~Output() = default;
    };

    explicit InputAssembly(Output& out) : out_(out) {}
    void add(const Buffer& buffer) { queue_.push_back(buffer); }
    // `at` is the engine's time of the bytes; it stamps a buffer's first byte.
    void take(std::span<const std::uint8_t> bytes, std::chrono::microseconds at = {}) {
        at_ = at;
        for (std::uint8_t b : bytes) take_byte(b);
    }
    // Forgets a message under way (recording starts or stops).
    void reset_parser();
    // A stop or a SysEx's end: a partly filled buffer comes back; empty ones
    // stay queued.
    void give_back_partial();
    // A reset: every buffer comes back.
    void give_back_all();
    bool holds_buffers() const { return !queue_.empty(); }
    std::size_t queued() const { return queue_.size(); }
    // SysEx bytes that found no buffer.
    unsigned long long bytes_dropped() const { return bytes_dropped_; }

private:
    void take_byte(std::uint8_t b);
    void store(std::uint8_t b);
    void give_back_front();

    Output& out_;
    std::deque<Buffer> queue_;
    bool in_sysex_ = false;
    std::uint8_t status_ = 0;  // status of the message being read, or running status
    unsigned need_ = 0;
    unsigned have_ = 0;
    std::uint8_t data_[2]{};
    unsigned long long bytes_dropped_ = 0;
    std::chrono::microseconds at_{};
};

}  // namespace platform::midi
