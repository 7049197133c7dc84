// One loopback test from the Test button to its verdict, cancelled, timed out
// or interrupted by closing the window.
#include "program.h"

#include <algorithm>

namespace tavrin_test {
namespace {

struct Verdict {
    const char* cable;
    const char* text;
    UINT flags;
    long long after_ms;  // from the click to the box; -1: not looked at
};

class Verdicts : public Program, public ::testing::WithParamInterface<Verdict> {};

TEST_P(Verdicts, ShownOnceWithTheButtonsBackAtRest) {
    const Verdict& v = GetParam();
    platform::midi::configure(v.cable);
    long long clicked = -1;
    bool test_was_disabled = false, cancel_was_enabled = false;
    HWND main = nullptr;
    Then([&] {
        main = Main();
        ASSERT_TRUE(Enabled(IDC_TEST));
        ASSERT_FALSE(Enabled(IDC_CANCEL));
        clicked = Now();
        platform::click_button(Button(IDC_TEST));
        test_was_disabled = !Enabled(IDC_TEST);
        cancel_was_enabled = Enabled(IDC_CANCEL);
    });
    Then([&] {
        EXPECT_TRUE(Enabled(IDC_TEST));
        EXPECT_FALSE(Enabled(IDC_CANCEL));
        EXPECT_EQ(TestTimer, 0u);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);

    EXPECT_TRUE(test_was_disabled);
    EXPECT_TRUE(cancel_was_enabled);
    const auto shown = BoxesWith(v.text);
    ASSERT_EQ(shown.size(), 1u) << v.cable;
    EXPECT_EQ(shown[0].caption, "Tavrin");
    EXPECT_EQ(shown[0].flags, v.flags);
    EXPECT_EQ(shown[0].owner, main);
    if (v.after_ms >= 0) {
        EXPECT_EQ(shown[0].shown_at.count() - clicked, v.after_ms);
    }
    // The verdict, the caution box at Exit, and nothing else.
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{v.text, kCaution}));
}

INSTANTIATE_TEST_SUITE_P(
    Cable, Verdicts,
    ::testing::Values(Verdict{"cable", "The test was successful.", MB_OK, -1},
                      Verdict{"cable:corrupt=5:0x44", "Midi loopback failure!\nByte: 0x5", MB_OK | MB_ICONERROR, -1},
                      Verdict{"cable:cut=17", "Midi loopback failure!\nByte: 0x12", MB_OK | MB_ICONERROR, -1},
                      Verdict{"cable:corrupt=2:0x7F", "Midi loopback failure!\nByte: 0x2", MB_OK | MB_ICONERROR, -1},
                      Verdict{"cable:cut=1", "Midi loopback failure!\nByte: 0x2", MB_OK | MB_ICONERROR, -1},
                      Verdict{"cable:cut=129", "Midi loopback failure!\nByte: 0x82", MB_OK | MB_ICONERROR, -1},
                      Verdict{"cable:drop=257,repeat=2", "Midi loopback failure!\nByte: 0x101", MB_OK | MB_ICONERROR, -1},
                      Verdict{"cable:repeat=3", "The test was successful.", MB_OK, -1},
                      Verdict{"cable:unplugged", "Midi loopback timeout, check cable!", MB_OK | MB_ICONERROR, 2000}));

TEST_F(Program, CancelDuringARunShowsNothingClearsTheCaptureAndDropsTheLateBuffer) {
    platform::midi::configure("cable:unplugged");
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(500, [&] { platform::click_button(Button(IDC_CANCEL)); });
    });
    Then([&] {
        EXPECT_EQ(TestTimer, 0u);
        EXPECT_TRUE(Enabled(IDC_TEST));
        EXPECT_FALSE(Enabled(IDC_CANCEL));
        ASSERT_NE(InputBuffer, nullptr);
        EXPECT_TRUE(std::all_of(InputBuffer, InputBuffer + InputBufferSize, [](BYTE b) { return b == 0; }));
        // A buffer the port gives back late finds no test and gets no verdict.
        PostMessageA(Main(), MM_MIM_LONGDATA, 0, 0);
    });
    Then([&] {
        EXPECT_TRUE(Enabled(IDC_TEST));
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{kCaution}));
}

TEST_F(Program, ACaptureAfterTheTimeOutGetsNoVerdict) {
    // The loop answers, but only long after the test has given up.
    platform::midi::configure("cable:delay=3000");
    Then([&] { platform::click_button(Button(IDC_TEST)); });
    Then([&] {
        PostMessageA(Main(), MM_MIM_LONGDATA, 0, 0);
    });
    Then([&] {
        EXPECT_TRUE(Enabled(IDC_TEST));
        EXPECT_FALSE(Enabled(IDC_CANCEL));
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{"Midi loopback timeout, check cable!", kCaution}));
}

TEST_F(Program, TheVerdictOfARunEndingWhileAHelpBoxIsUpIsShownOverIt) {
    platform::midi::configure("cable:unplugged");
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(100, [&] { platform::choose_menu_item(Main(), IDM_ABOUT); });
        After(2500, [&] {
            HWND box = platform::session().active_modal();
            ASSERT_NE(box, nullptr);
            platform::press_key(VK_RETURN);
        });
    });
    Then([&] { ChooseExit(); });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{"Midi loopback timeout, check cable!", kCaution}));
}

TEST_F(Program, ABufferGivenBackWithNothingInItReportsByteOne) {
    platform::midi::configure("cable:unplugged");
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(100, [&] { PostMessageA(Main(), MM_MIM_LONGDATA, 0, 0); });
    });
    Then([&] { ChooseExit(); });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{"Midi loopback failure!\nByte: 0x1", kCaution}));
}

// Closing while a test runs asks about the busy input port before anything goes.
TEST_F(Program, ClosingDuringATestAsksFirstAndNoKeepsWindowAndTest) {
    platform::midi::configure("cable:unplugged");
    answer = [](const BoxRecord& box) { return box.text == kAbandonInput ? IDNO : 0; };
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(300, [&] { platform::request_close(Main()); });
        After(600, [&] {
            EXPECT_TRUE(IsWindowVisible(Main()));
            EXPECT_NE(TestTimer, 0u);
            EXPECT_NE(MidiInDevice.hDevice, nullptr);
            EXPECT_NE(MidiOutDevice.hDevice, nullptr);
        });
    });
    Then([&] {
        answer = nullptr;
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    const auto asked = BoxesWith(kAbandonInput);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].caption, "MidiActivateDevice");
    EXPECT_EQ(asked[0].flags, static_cast<UINT>(MB_YESNO));
    EXPECT_TRUE(BoxesWith(kAbandonOutput).empty());
    // The test went on to its own end.
    EXPECT_EQ(TextsAfterWarning(),
              (std::vector<std::string>{kAbandonInput, "Midi loopback timeout, check cable!", kCaution}));
}

TEST_F(Program, ClosingDuringATestWithYesClosesEverythingAndExitsZero) {
    platform::midi::configure("cable:unplugged");
    answer = [](const BoxRecord& box) { return box.text == kAbandonInput || box.text == kAbandonOutput ? IDYES : 0; };
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(300, [&] { platform::request_close(Main()); });
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Main(), nullptr);
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(TestTimer, 0u);
    EXPECT_EQ(InputBuffer, nullptr);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{kAbandonInput, kAbandonOutput}));
}

// A reset refused while closing leaves the capture buffer queued on the open
// input port: the buffer must outlive the window rather than be freed under
// the service.
TEST_F(Program, ACaptureBufferStillHeldByTheInputPortIsNotFreedAtDestroy) {
    platform::midi::configure("cable:unplugged");
    answer = [](const BoxRecord& box) { return box.text == kAbandonInput || box.text == kAbandonOutput ? IDYES : 0; };
    LPBYTE buffer = nullptr;
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        buffer = InputBuffer;
        platform::midi::fail_next("midiInReset", MMSYSERR_ERROR);
        platform::request_close(Main());
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Main(), nullptr);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(InputBuffer, buffer);
    EXPECT_NE(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiInDevice.midiHdr.lpData, reinterpret_cast<LPSTR>(buffer));
    EXPECT_EQ(BoxesWith(kAbandonInput).size(), 1u);
    // The refused reset was shown; the output port was still closed after it.
    EXPECT_EQ(TextsAfterWarning().size(), 3u);
    EXPECT_EQ(hb->boxes()[2].caption, "MIDI Input Error");
    EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
}

TEST_F(Program, TheCaptureBufferIsFreedAtDestroyWhenNoPortHoldsIt) {
    platform::midi::configure("cable");
    Then([&] { ChooseExit(); });
    const std::size_t before = platform::global_blocks_in_use();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(InputBuffer, nullptr);
    EXPECT_EQ(platform::global_blocks_in_use(), before);
}

}  // namespace
}  // namespace tavrin_test
