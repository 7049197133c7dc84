// The kernel's rawmidi devices as a MIDI engine: each open port holds one
// rawmidi substream of its own, and one thread that waits in poll() on the
// substream and on an eventfd that wakes it. A quiet port costs no wake-up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "winmm/port_backend.h"

struct _snd_rawmidi;

namespace platform::midi::rawmidi {

// One line of `amidi -l` in one direction: a substream when the driver names
// its substreams (a USB interface's "... MIDI 1", "... MIDI 2"), else the
// whole device, of which the kernel opens any free substream.
struct DeviceEntry {
    std::string address;  // "hw:C,D,S" or "hw:C,D"
    std::string name;     // the name amidi -l shows, unaltered
    int card = 0;
    int device = 0;
};

// The rawmidi devices of every sound card that can take input (inputs = true)
// or output, in card, device and substream order.
std::vector<DeviceEntry> list_devices(bool inputs);

// True when at least one sound card is there.
bool any_card();

// Makes an open output substream writable only once its buffer is empty, so
// that one wait serves both "room for more" and "every byte has gone to the
// driver"; closing then adds no Active Sensing byte. The kernel allows a
// wake-up threshold of the whole buffer; libasound stops one byte short of
// it, so the kernel is asked directly. 0 or a negative errno.
int wake_when_empty(int fd, std::size_t buffer_size);

struct RawmidiClose {
    void operator()(_snd_rawmidi* handle) const;
};
using Handle = std::unique_ptr<_snd_rawmidi, RawmidiClose>;

// An eventfd that wakes a port's thread out of poll().
class WakeFd {
public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    int fd() const { return fd_; }
    void signal() const;
    void drain() const;

private:
    int fd_ = -1;
};

// An input substream; its thread hands what arrives to the sink, stamped with
// the kernel's own time of arrival when the kernel gives it.
class Input final : public InputPort {
public:
    static std::unique_ptr<Input> open(const std::string& address, InputSink& sink, Status& error);
    ~Input() override;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

private:
    Input() = default;
    void run();

    Handle handle_;
    InputSink* sink_ = nullptr;
    bool stamped_ = false;  // the kernel stamps each chunk (framing mode)
    WakeFd stop_;
    std::thread thread_;
};

// An output substream. Its thread writes what the device's buffer takes and
// waits for room (the kernel's own flow control); a send ends when the
// buffer has handed its last byte to the driver.
class Output final : public OutputPort {
public:
    static std::unique_ptr<Output> open(const std::string& address, OutputSink& sink, Status& error);
    ~Output() override;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    Status send(std::span<const std::uint8_t> bytes, std::uint64_t ticket) override;
    // Ends the send at once: what the device's buffer still holds is dropped.
    void abort() override;

private:
    Output() = default;
    void run();
    // Writes what fits; true when the send has ended (all out, or failed).
    bool pump(std::span<const std::uint8_t> job, std::size_t& done, Status& result);

    Handle handle_;
    std::size_t buffer_size_ = 0;
    Timestamp taken_{};  // the thread's: when the first bytes of its send went in
    WakeFd wake_;
    std::atomic<bool> gone_{false};

    std::mutex mutex_;
    std::condition_variable cv_;
    OutputSink* sink_ = nullptr;
    bool quit_ = false;
    bool queued_ = false;  // a send waits for the thread
    bool busy_ = false;    // from send() until the thread is done with it
    bool abort_ = false;
    std::vector<std::uint8_t> job_;
    std::uint64_t ticket_ = 0;
    std::thread thread_;
};

}  // namespace platform::midi::rawmidi
