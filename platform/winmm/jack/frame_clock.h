// JACK frames on the steady clock, for the engine's time stamps.
//
// Frames become microseconds at the sample rate from an anchor: a cycle whose
// callback ran at a known steady time. Two stamps are then apart exactly by
// the frames between their events, in-cycle offsets included, as JACK's own
// latency tools count them; JACK's frame-to-time estimate is no use for that,
// as it strays from the frames by a tenth of a period and more while it
// catches up with a dummy driver on a busy machine.
//
// The anchor moves only when a callback shows the mapping wrong: it ran before
// its cycle's mapped start (the anchor's own callback had run late), or more
// than a period after it (the server stood still, as a dummy driver does on a
// late machine, and counts on from where it resumed). It never moves in a
// cycle that reads input, so that an echo is timed by frames alone from the
// cycle that sent it; a stall in between moves it in the next cycle that
// reads nothing.
#pragma once

#include <cstdint>

namespace platform::midi::jack {

class FrameClock {
public:
    // In each cycle's callback: its first frame, its length, the sample rate,
    // the steady clock's microseconds now, and whether the cycle reads input.
    void cycle(std::uint32_t first, std::uint32_t frames, std::uint32_t rate, std::int64_t now_us, bool reads) {
        if (rate == 0) return;  // no server answers so; nothing to map by
        if (rate == rate_) {
            // Whole seconds of frames move on with no rounding, so that frame
            // counts never stray far from the anchor's (they wrap).
            const std::int64_t seconds = static_cast<std::int32_t>(first - anchor_frame_) / std::int64_t{rate};
            anchor_frame_ += static_cast<std::uint32_t>(seconds * rate);
            anchor_us_ += seconds * 1'000'000;
            const std::int64_t late = now_us - at(first);
            if (reads || (late >= 0 && late <= static_cast<std::int64_t>(frames) * 1'000'000 / rate)) return;
        }
        anchor_us_ = now_us;
        anchor_frame_ = first;
        rate_ = rate;
    }

    // A frame's time on the steady clock, in microseconds.
    std::int64_t at(std::uint32_t frame) const {
        if (rate_ == 0) return anchor_us_;
        const auto since = static_cast<std::int32_t>(frame - anchor_frame_);
        return anchor_us_ + static_cast<std::int64_t>(since) * 1'000'000 / rate_;
    }

private:
    std::int64_t anchor_us_ = 0;
    std::uint32_t anchor_frame_ = 0;
    std::uint32_t rate_ = 0;  // none before the first cycle
};

}  // namespace platform::midi::jack
