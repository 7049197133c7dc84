// The JACK engine's frames on the steady clock, on cycles of 64 frames at
// 48 kHz: each row's callbacks run late by their microseconds after their
// cycle's start on the frame grid, some read input, and each cycle's first
// frame gets the stamp the row expects (after that start).
#include "winmm/jack/frame_clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Cycle {
    std::int64_t late;
    bool reads;
    std::int64_t stamp;
};

TEST(FrameClock, StampsFollowTheFramesUntilACallbackContradictsThem) {
    const std::vector<std::pair<const char*, std::vector<Cycle>>> rows{
        {"jitter within a period keeps the earliest callback's mapping",
         {{200, false, 200}, {150, false, 150}, {300, false, 150}, {900, false, 150}, {120, false, 120}}},
        {"a server that stood still counts on from where it resumed",
         {{100, false, 100}, {5100, false, 5100}, {5200, false, 5100}}},
        {"an echo read after a stall or by an early callback is timed by frames",
         {{300, false, 300}, {5100, true, 300}, {5100, false, 5100}, {4900, true, 5100}, {4900, false, 4900}}},
    };
    for (const auto& [what, cycles] : rows) {
        platform::midi::jack::FrameClock clock;
        for (std::uint32_t i = 0; i < cycles.size(); ++i) {
            const std::int64_t start = 5'000'000 + std::int64_t{i} * 64 * 1'000'000 / 48000;
            clock.cycle(1000 + i * 64, 64, 48000, start + cycles[i].late, cycles[i].reads);
            EXPECT_NEAR(clock.at(1000 + i * 64) - start, cycles[i].stamp, 1) << what << ", cycle " << i;
            EXPECT_NEAR(clock.at(1032 + i * 64) - clock.at(1000 + i * 64), 667, 1) << what << ": an in-cycle offset";
        }
    }
}

// Frame counts wrap, and past 2^31 frames from the anchor (half a day) so would its distance.
TEST(FrameClock, HalfADayOfFramesStaysFrameExact) {
    platform::midi::jack::FrameClock clock;
    constexpr std::int64_t kCycles = 13LL * 3600 * 48000 / 256;
    for (std::int64_t i = 0; i <= kCycles; ++i)
        clock.cycle(static_cast<std::uint32_t>(0xF0000000u + i * 256), 256, 48000,
                    100 + i * 256 * 1'000'000 / 48000 + (i > 0 ? 50 : 0), false);
    EXPECT_EQ(clock.at(static_cast<std::uint32_t>(0xF0000000u + kCycles * 256)), 100 + 13 * 3'600'000'000LL);
}

}  // namespace
