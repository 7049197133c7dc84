// The cable on real time: deliveries from its own thread racing the
// program's resets and closes. Run under ThreadSanitizer as well.
#include "fixture.h"

#include <algorithm>

namespace winmm_test {
namespace {

class RealTime : public MidiFixture {
protected:
    void SetUp() override { start(platform::HeadlessBackend::Time::Real, "cable"); }
};

TEST_F(RealTime, RoundTripsArriveFromTheCableThread) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    for (int i = 1; i <= 20; ++i) {
        ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
        ASSERT_TRUE(pump_until([&] { return count(MM_MIM_LONGDATA) == i && count(MM_MOM_DONE) == i; }))
            << "round " << i << ": no MM_MIM_LONGDATA and MM_MOM_DONE within 5 s";
        EXPECT_EQ(loop.in_hdr.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
        EXPECT_EQ(loop.in_hdr.dwBytesRecorded, 258u);
        EXPECT_TRUE(std::equal(loop.message.begin(), loop.message.end(), loop.capture.begin()));
        std::fill(loop.capture.begin(), loop.capture.end(), 0);
        ASSERT_EQ(midiInAddBuffer(loop.in, &loop.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    }
    loop.close();
}

TEST_F(RealTime, NothingIsWrittenIntoABufferAfterStopOrReset) {
    // Paced so that the cable thread is still delivering when the program stops.
    platform::midi::configure("cable:baud=312500");
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
        ASSERT_EQ(i % 2 ? midiInStop(loop.in) : midiInReset(loop.in), MMSYSERR_NOERROR);
        // The buffer is the program's again (or still queued and idle): it may write it.
        std::fill(loop.capture.begin(), loop.capture.end(), 0);
        ASSERT_TRUE(pump_until([&] { return count(MM_MOM_DONE) == i; })) << "round " << i << ": no MM_MOM_DONE";
        EXPECT_TRUE(std::all_of(loop.capture.begin(), loop.capture.end(), [](char c) { return c == 0; }));
        ASSERT_EQ(midiInReset(loop.in), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(loop.in, &loop.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInStart(loop.in), MMSYSERR_NOERROR);
    }
    loop.close();
}

TEST_F(RealTime, AResetSendIsGivenBackOnceNeverTwice) {
    Loop loop;
    ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
    ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
    constexpr int kRounds = 100;
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
        ASSERT_EQ(midiOutReset(loop.out), MMSYSERR_NOERROR);
        ASSERT_EQ(loop.out_hdr.dwFlags, DWORD{MHDR_DONE | MHDR_PREPARED});
    }
    ASSERT_EQ(midiInReset(loop.in), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(loop.in, &loop.in_hdr, kHeaderSize), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInStart(loop.in), MMSYSERR_NOERROR);
    notes.clear();
    // A last, undisturbed round: every stale completion would have come before it.
    ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
    ASSERT_TRUE(pump_until([&] { return count(MM_MOM_DONE) >= kRounds + 1 && count(MM_MIM_LONGDATA) >= 1; }))
        << "the last round's notifications did not come";
    EXPECT_EQ(count(MM_MOM_DONE), kRounds + 1);
    loop.close();
}

TEST_F(RealTime, ClosingAndShuttingDownWhileTheCableDelivers) {
    platform::midi::configure("cable:baud=312500,repeat=4");
    for (int i = 0; i < 10; ++i) {
        Loop loop;
        ASSERT_EQ(loop.open(cb()), MMSYSERR_NOERROR);
        ASSERT_EQ(loop.arm(), MMSYSERR_NOERROR);
        ASSERT_EQ(loop.send(), MMSYSERR_NOERROR);
        if (i % 2 == 0) {
            loop.close();  // reset, unprepare, close while bytes are still on the wire
        } else {
            platform::midi::configure("cable:baud=312500,repeat=4");  // everything goes at once
        }
        EXPECT_EQ(midiInStart(loop.in), MMSYSERR_INVALHANDLE);
    }
}

}  // namespace
}  // namespace winmm_test
