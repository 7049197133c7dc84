// The capture buffer, the verification of a capture, and whole test runs
// through the Test and Cancel buttons over the virtual cable.
#include "../midi/fixture.h"

#include "user/input.h"

#include <cstring>

namespace layer_test {
namespace {

using Strings = std::vector<std::string>;

constexpr char kSuccess[] = "The test was successful.";
constexpr char kTimeout[] = "Midi loopback timeout, check cable!";

bool AllZero(const BYTE* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// ---- the capture buffer ----

using CaptureBuffer = LayerFixture;

TEST_F(CaptureBuffer, IsZeroedAndAReplacementReleasesTheFirstBlock) {
    const size_t blocks = platform::global_blocks_in_use();
    AllocCapture();
    ASSERT_NE(InputBuffer, nullptr);
    ASSERT_NE(InputBufferHandle, nullptr);
    EXPECT_TRUE(AllZero(InputBuffer, 4096));
    std::memset(InputBuffer, 0x55, 4096);
    ASSERT_TRUE(AllocInputBuffer(hwnd, 4096));
    EXPECT_TRUE(AllZero(InputBuffer, 4096));
    EXPECT_EQ(platform::global_blocks_in_use(), blocks + 1);
    FreeInputBuffer();
    FreeInputBuffer();
    EXPECT_EQ(InputBuffer, nullptr);
    EXPECT_EQ(InputBufferHandle, nullptr);
    EXPECT_EQ(platform::global_blocks_in_use(), blocks);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(CaptureBuffer, AFailedAllocationOrLockHoldsNothing) {
    const size_t blocks = platform::global_blocks_in_use();
    AllocCapture();
    platform::fail_next_global_alloc();
    EXPECT_FALSE(AllocInputBuffer(hwnd, 4096));
    EXPECT_EQ(InputBuffer, nullptr);
    EXPECT_EQ(InputBufferHandle, nullptr);
    EXPECT_EQ(platform::global_blocks_in_use(), blocks);  // the first block was released first

    platform::fail_next_global_lock();
    EXPECT_FALSE(AllocInputBuffer(hwnd, 4096));
    EXPECT_EQ(InputBuffer, nullptr);
    EXPECT_EQ(InputBufferHandle, nullptr);
    EXPECT_EQ(platform::global_blocks_in_use(), blocks);
    FreeInputBuffer();

    ASSERT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(Boxes()[0].text, "Insufficient memory");
    EXPECT_EQ(Boxes()[1].text, "Error locking input buffer");
    for (const auto& b : Boxes()) {
        EXPECT_EQ(b.caption, "AllocInputBuffer");
        EXPECT_EQ(b.flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
        EXPECT_EQ(b.owner, hwnd);
    }
}

// ---- the verification ----

TEST(Verification, TheMessageAndEveryVerdictOfTheTable) {
    ASSERT_EQ(BuildTestMessage(), 258u);
    EXPECT_EQ(TestMessage[0], 0xF0);
    EXPECT_EQ(TestMessage[1], 0x00);
    EXPECT_EQ(TestMessage[128], 0x7F);
    EXPECT_EQ(TestMessage[129], 0x00);
    EXPECT_EQ(TestMessage[256], 0x7F);
    EXPECT_EQ(TestMessage[257], 0xF7);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(TestMessage[1 + i], i & 0x7F) << i;

    std::vector<BYTE> buf(4096, 0);
    auto with = [&](std::initializer_list<BYTE> start) {
        std::fill(buf.begin(), buf.end(), 0);
        std::copy(start.begin(), start.end(), buf.begin());
        return VerifyLoopback(buf.data());
    };
    auto exact = [&] {
        std::fill(buf.begin(), buf.end(), 0);
        std::memcpy(buf.data(), TestMessage, 258);
    };

    exact();
    EXPECT_EQ(VerifyLoopback(buf.data()), 258);
    std::fill(buf.begin() + 258, buf.end(), 0x33);  // whatever follows is not looked at
    EXPECT_EQ(VerifyLoopback(buf.data()), 258);
    EXPECT_EQ(with({}), 1);
    EXPECT_EQ(with({0xF7, 0x00}), 1);
    EXPECT_EQ(with({0xF0, 0x00, 0x7F}), 2);
    EXPECT_EQ(with({0xF0, 0xF7}), 2);
    EXPECT_EQ(with({0xF0}), 2);
    // Cut after n data bytes by an F7: n + 2.
    for (int n : {1, 16, 100, 200}) {
        exact();
        buf[1 + n] = 0xF7;
        std::fill(buf.begin() + 2 + n, buf.end(), 0);
        EXPECT_EQ(VerifyLoopback(buf.data()), n + 2) << n;
    }
    exact();
    std::fill(buf.begin() + 129, buf.end(), 0);
    EXPECT_EQ(VerifyLoopback(buf.data()), 130);
    exact();
    buf[257] = 0x00;
    EXPECT_EQ(VerifyLoopback(buf.data()), 257);
    exact();
    buf[5] = 0x44;
    EXPECT_EQ(VerifyLoopback(buf.data()), 5);
}

// ---- whole runs ----

class Run : public LayerFixture {
protected:
    void Ready(std::string_view setting) {
        OpenCable(setting);
        AllocCapture();
    }
    void Press(HWND button) { ASSERT_TRUE(platform::click_button(button)); }
    bool Idle() const { return TestTimer == 0 && Enabled(hTestButton) && !Enabled(hCancelButton); }
    bool Running() const { return TestTimer != 0 && !Enabled(hTestButton) && Enabled(hCancelButton); }
};

TEST_F(Run, VerdictsOverTheCable) {
    struct Case {
        const char* setting;
        const char* text;
        UINT flags;
    };
    const Case cases[] = {
        {"cable", kSuccess, MB_OK},
        {"cable:corrupt=5:0x44", "Midi loopback failure!\nByte: 0x5", MB_OK | MB_ICONERROR},
        {"cable:cut=17", "Midi loopback failure!\nByte: 0x12", MB_OK | MB_ICONERROR},
        // No F7: the message ends only in the next one.
        {"cable:drop=257,repeat=2", "Midi loopback failure!\nByte: 0x101", MB_OK | MB_ICONERROR},
        {"cable:repeat=3", kSuccess, MB_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        Ready(c.setting);
        const size_t before = Boxes().size();
        Press(hTestButton);
        EXPECT_TRUE(Running());
        EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
        EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));
        PumpUntilQuiet();
        ASSERT_EQ(Boxes().size(), before + 1);
        EXPECT_EQ(Boxes().back().text, c.text);
        EXPECT_EQ(Boxes().back().caption, "Tavrin");
        EXPECT_EQ(Boxes().back().flags, c.flags);
        EXPECT_EQ(Boxes().back().owner, hwnd);
        EXPECT_TRUE(Idle());
        EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
        EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
        EXPECT_EQ(MidiInDevice.midiHdr.lpData, nullptr);
        EXPECT_EQ(MidiOutDevice.midiHdr.lpData, nullptr);
        platform::midi::shutdown();
        FreeInputBuffer();
    }
}

TEST_F(Run, NothingBackTimesOutAfterTwoSeconds) {
    Ready("cable:unplugged");
    const long long pressed = Now();
    Press(hTestButton);
    PumpUntilQuiet();
    ASSERT_EQ(BoxTexts(), Strings{kTimeout});
    EXPECT_EQ(Boxes()[0].shown_at.count() - pressed, 2000);
    EXPECT_EQ(Boxes()[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(Boxes()[0].caption, "Tavrin");
    EXPECT_TRUE(Idle());
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
}

TEST_F(Run, ACaptureAfterTheTimeOutGetsNoVerdict) {
    Ready("cable:delay=2500");
    Press(hTestButton);
    PumpUntilQuiet();
    EXPECT_EQ(BoxTexts(), Strings{kTimeout});
    EXPECT_TRUE(Idle());
    // A notification for the dropped buffer changes nothing either.
    PostMessageA(hwnd, MM_MIM_LONGDATA, 0, 0);
    PumpUntilQuiet();
    EXPECT_EQ(BoxTexts(), Strings{kTimeout});
    EXPECT_TRUE(Idle());
}

TEST_F(Run, CancelShowsNothingClearsTheCaptureAndDropsTheLateBuffer) {
    Ready("cable:delay=500");
    Press(hTestButton);
    ASSERT_TRUE(Running());
    std::memset(InputBuffer, 0x11, 300);  // stands for bytes already recorded
    Press(hCancelButton);
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(AllZero(InputBuffer, InputBufferSize));
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    PumpUntilQuiet();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(AllZero(InputBuffer, InputBufferSize));
}

TEST_F(Run, ATimerWithNoTestRunningChangesNothing) {
    Ready("cable");
    SendMessageA(hwnd, WM_TIMER, TEST_TIMER_ID, 0);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(Idle());
}

TEST_F(Run, TestingWithNoInputOpenShowsOnlyTheLayersMessage) {
    Ready("cable");
    ASSERT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_CLOSE), 0u);
    platform::midi::clear_call_log();
    Press(hTestButton);
    EXPECT_EQ(BoxTexts(), Strings{"Must open MIDI input device first"});
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(Calls().empty());
    PumpUntilQuiet();
}

TEST_F(Run, TestingWithNoOutputOpenGivesTheCaptureBack) {
    Ready("cable");
    ASSERT_EQ(MidiActivateDevice(hwnd, &MidiOutDevice, ACTIVATE_CLOSE), 0u);
    Press(hTestButton);
    EXPECT_EQ(BoxTexts(), Strings{"Must open MIDI output device first"});
    EXPECT_TRUE(Idle());
    EXPECT_EQ(MidiInDevice.midiHdr.lpData, nullptr);
    EXPECT_EQ(MidiInDevice.midiHdr.dwFlags & MHDR_PREPARED, 0u);
    PumpUntilQuiet();
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(Run, ARefusedStartTakesBothBuffersBackAndStartsNoTimer) {
    for (const char* call : {"midiInPrepareHeader", "midiInAddBuffer", "midiInStart", "midiOutLongMsg"}) {
        SCOPED_TRACE(call);
        Ready("cable");
        const size_t before = Boxes().size();
        platform::midi::fail_next(call, MMSYSERR_ERROR);
        Press(hTestButton);
        EXPECT_TRUE(Idle());
        ASSERT_EQ(Boxes().size(), before + 1);
        for (const MidiDevice* d : {&MidiInDevice, &MidiOutDevice}) {
            EXPECT_EQ(d->midiHdr.lpData, nullptr);
            EXPECT_EQ(d->midiHdr.dwFlags & MHDR_PREPARED, 0u);
            EXPECT_EQ(d->uBufferState, static_cast<UINT>(BUF_IDLE));
        }
        PumpUntilQuiet();
        EXPECT_EQ(Boxes().size(), before + 1);  // nothing was sent, no time-out
        platform::midi::shutdown();
        FreeInputBuffer();
    }
}

TEST_F(Run, AFailedTearDownAtTheTimeOutStallsUntilCancel) {
    Ready("cable:unplugged");
    Press(hTestButton);
    // The time-out's tear-down: the stop of recording is refused once.
    hb->after(Ms(1999), [] { platform::midi::fail_next("midiInStop", MMSYSERR_ERROR); });
    PumpUntilQuiet();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, "MIDI Input Error");
    EXPECT_EQ(TestTimer, 0u);
    EXPECT_FALSE(Enabled(hTestButton));
    EXPECT_TRUE(Enabled(hCancelButton));
    EXPECT_EQ(MidiOutDevice.uBufferState, static_cast<UINT>(BUF_IDLE));  // the output was taken back anyway
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_ACTIVE));

    Press(hCancelButton);
    PumpUntilQuiet();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(MidiInDevice.uBufferState, static_cast<UINT>(BUF_IDLE));
    EXPECT_EQ(MidiInDevice.midiHdr.lpData, nullptr);
}

TEST_F(Run, TwoRunsInARowGiveTheSameVerdict) {
    Ready("cable:corrupt=200:0x01");
    for (int i = 0; i < 2; ++i) {
        Press(hTestButton);
        PumpUntilQuiet();
    }
    EXPECT_EQ(BoxTexts(), (Strings{"Midi loopback failure!\nByte: 0xC8", "Midi loopback failure!\nByte: 0xC8"}));
    TestMessage[3] = 0x55;  // rebuilt on every start
    Press(hTestButton);
    PumpUntilQuiet();
    EXPECT_EQ(Boxes().back().text, "Midi loopback failure!\nByte: 0xC8");
}

TEST_F(Run, ADoubleReportIsKeptOutWhileAVerdictIsUp) {
    Ready("cable");
    // While the verdict is up, the timer's and a second notification are handled and say nothing.
    answer = [this](const BoxRecord&) {
        SendMessageA(hwnd, WM_TIMER, TEST_TIMER_ID, 0);
        SendMessageA(hwnd, MM_MIM_LONGDATA, 0, 0);
        return 0;
    };
    Press(hTestButton);
    PumpUntilQuiet();
    EXPECT_EQ(BoxTexts(), Strings{kSuccess});
    EXPECT_TRUE(Idle());
}

}  // namespace
}  // namespace layer_test
