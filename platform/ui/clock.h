// The two clocks: real time, and a virtual clock for tests that moves only to
// the next thing scheduled on it.
#pragma once

#include "ui/backend.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>

namespace platform {

class RealClock final : public Clock {
public:
    RealClock() : origin_(std::chrono::steady_clock::now()) {}
    Ms now() const override {
        return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - origin_);
    }
    std::chrono::steady_clock::time_point to_real(Ms t) const { return origin_ + t; }

private:
    std::chrono::steady_clock::time_point origin_;
};

class VirtualClock final : public Clock {
public:
    Ms now() const override;
    bool schedule(Ms at, std::function<void()> fn) override;
    // The earliest scheduled event, or kNoDeadline.
    Ms next_event() const;
    // Moves the clock to `t` (never backwards, never past a scheduled event).
    void advance_to(Ms t);
    // Runs the events that are due; true when any ran.
    bool run_due();
    // Called (from any thread) whenever something is scheduled.
    void set_on_schedule(std::function<void()> fn);

private:
    mutable std::mutex mutex_;
    Ms now_{0};
    std::multimap<Ms, std::function<void()>> events_;
    std::function<void()> on_schedule_;
};

}  // namespace platform
