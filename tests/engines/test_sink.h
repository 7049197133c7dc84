// A sink for both directions of an engine's ports, for the engine tests:
// what arrived (the first megabyte kept), ends of sends and errors, each
// waited for with a deadline. A closed gate holds the engine's delivering
// thread inside on_bytes until the test opens it.
#pragma once

#include "winmm/port_backend.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

namespace tavrin_test {

struct TestSink final : platform::midi::InputSink, platform::midi::OutputSink {
    using Status = platform::midi::Status;
    static constexpr std::size_t kKeep = 1 << 20;  // bytes kept to compare

    std::mutex mutex;
    std::condition_variable cv;
    std::size_t bytes = 0;
    std::vector<std::uint8_t> got;
    int sends = 0;
    std::optional<Status> sent;
    std::optional<Status> in_error;   // the first error told
    std::optional<Status> out_error;  // the second
    std::size_t bytes_at_error = 0;   // bytes that had arrived by the first
    bool gate_open = true;
    bool held = false;  // the engine's thread waits at the gate

    void on_bytes(std::span<const std::uint8_t> b, platform::midi::Timestamp) override {
        std::unique_lock lock(mutex);
        bytes += b.size();
        if (got.size() < kKeep) got.insert(got.end(), b.begin(), b.end());
        held = !gate_open;
        cv.notify_all();
        cv.wait(lock, [&] { return gate_open; });
        held = false;
    }
    void on_sent(std::uint64_t, const Status& result) override {
        std::lock_guard lock(mutex);
        sent = result;
        ++sends;
        cv.notify_all();
    }
    void on_error(const Status& why) override {
        std::lock_guard lock(mutex);
        if (!in_error) bytes_at_error = bytes;
        (in_error ? out_error : in_error) = why;
        cv.notify_all();
    }
    template <typename Pred>
    bool wait(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, limit, pred);
    }
    bool ends_with(const std::vector<std::uint8_t>& m) {
        std::lock_guard lock(mutex);
        return got.size() >= m.size() && std::equal(m.begin(), m.end(), got.end() - static_cast<std::ptrdiff_t>(m.size()));
    }
    void set_gate(bool open) {
        std::lock_guard lock(mutex);
        gate_open = open;
        cv.notify_all();
    }
};

}  // namespace tavrin_test
