// The JACK engine's frames on the steady clock: callbacks that run late by
// the microseconds of each row, on cycles of 64 frames at 48 kHz, give each
// cycle's first frame the stamp the row expects (as microseconds after the
// cycle's start on the frame grid).
#include "winmm/jack/frame_clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Cycle {
    std::int64_t late;   // the callback ran this long after its cycle's start
    bool reads;          // the cycle reads input
    std::int64_t stamp;  // the stamp of its first frame after its start
};

struct Row {
    const char* what;
    std::uint32_t first_frame;
    std::vector<Cycle> cycles;
};

TEST(FrameClock, StampsFollowTheFramesUntilACallbackContradictsThem) {
    const std::vector<Row> rows{
        {"jitter within a period keeps the earliest callback's mapping", 1000,
         {{200, false, 200}, {150, false, 150}, {300, false, 150}, {900, false, 150}, {120, false, 120}}},
        {"a server that stood still counts on from where it resumed", 1000,
         {{100, false, 100}, {5100, false, 5100}, {5200, false, 5100}, {5100, false, 5100}}},
        {"an echo read after a stall or an early callback is timed by frames", 1000,
         {{300, false, 300}, {5100, true, 300}, {5100, false, 5100}, {4900, true, 5100}, {4900, false, 4900}}},
        {"frame counts wrap", 0xFFFFFF00u,
         {{300, false, 300}, {300, false, 300}, {100, false, 100}, {300, false, 100}, {300, false, 100}}},
    };
    constexpr std::uint32_t kFrames = 64, kRate = 48000;
    for (const Row& row : rows) {
        platform::midi::jack::FrameClock clock;
        for (std::size_t i = 0; i < row.cycles.size(); ++i) {
            const Cycle& c = row.cycles[i];
            const std::int64_t start = 5'000'000 + static_cast<std::int64_t>(i) * kFrames * 1'000'000 / kRate;
            const std::uint32_t first = row.first_frame + static_cast<std::uint32_t>(i) * kFrames;
            clock.cycle(first, kFrames, kRate, start + c.late, c.reads);
            EXPECT_NEAR(clock.at(first) - start, c.stamp, 1) << row.what << ", cycle " << i;
            EXPECT_NEAR(clock.at(first + 32) - clock.at(first), 667, 1) << row.what << ": an in-cycle offset";
        }
    }
}

// Past the 2^31 frames of half a day the anchor's own frame count would wrap.
TEST(FrameClock, HalfADayOfFramesStaysFrameExact) {
    platform::midi::jack::FrameClock clock;
    constexpr std::int64_t kFrames = 256, kRate = 48000, kCycles = 13 * 3600 * kRate / kFrames;
    for (std::int64_t i = 0; i <= kCycles; ++i)
        clock.cycle(static_cast<std::uint32_t>(7 + i * kFrames), kFrames, kRate,
                    100 + i * kFrames * 1'000'000 / kRate + (i > 0 ? 50 : 0), false);
    EXPECT_EQ(clock.at(static_cast<std::uint32_t>(7 + kCycles * kFrames)), 100 + 13 * 3'600'000'000LL);
}

}  // namespace
