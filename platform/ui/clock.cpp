#include "ui/clock.h"

#include <algorithm>

namespace platform {

Ms VirtualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool VirtualClock::schedule(Ms at, std::function<void()> fn) {
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex_);
        events_.emplace(std::max(at, now_), std::move(fn));
        notify = on_schedule_;
    }
    if (notify) notify();
    return true;
}

Ms VirtualClock::next_event() const {
    std::lock_guard lock(mutex_);
    return events_.empty() ? kNoDeadline : events_.begin()->first;
}

void VirtualClock::advance_to(Ms t) {
    std::lock_guard lock(mutex_);
    if (!events_.empty()) t = std::min(t, events_.begin()->first);
    now_ = std::max(now_, t);
}

bool VirtualClock::run_due() {
    bool ran = false;
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            if (events_.empty() || events_.begin()->first > now_) return ran;
            fn = std::move(events_.begin()->second);
            events_.erase(events_.begin());
        }
        fn();
        ran = true;
    }
}

void VirtualClock::set_on_schedule(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    on_schedule_ = std::move(fn);
}

}  // namespace platform
