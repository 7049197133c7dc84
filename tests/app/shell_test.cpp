// Start-up, activation, the port menus, the instruction text and the two
// dialog boxes.
#include "program.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavrin_test {
namespace {

using platform::session;

RECT RectOf(HWND hwnd) {
    RECT r{};
    GetWindowRect(hwnd, &r);
    return r;
}

TEST_F(Program, StartsWithTheWarningThenShowsTheWindowAndItsButtons) {
    platform::midi::configure("cable");
    bool window_during_warning = true;
    answer = [&](const BoxRecord& box) {
        if (box.text == kWarning) window_during_warning = Main() != nullptr;
        return 0;
    };
    Then([&] {
        HWND main = Main();
        ASSERT_NE(main, nullptr);
        EXPECT_TRUE(IsWindowVisible(main));
        const RECT r = RectOf(main);
        EXPECT_EQ(r.right - r.left, 414);
        EXPECT_EQ(r.bottom - r.top, 299);
        platform::Window* w = session().window(main);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->style, static_cast<DWORD>(WS_OVERLAPPED));
        EXPECT_EQ(w->text, "Tavrin");

        const RECT test = RectOf(Button(IDC_TEST)), cancel = RectOf(Button(IDC_CANCEL));
        EXPECT_EQ(test.left, 94);
        EXPECT_EQ(test.top, 176);
        EXPECT_EQ(test.right - test.left, 75);
        EXPECT_EQ(test.bottom - test.top, 25);
        EXPECT_EQ(cancel.left, 244);
        EXPECT_EQ(cancel.top, 176);
        EXPECT_EQ(cancel.right - cancel.left, 75);
        EXPECT_EQ(cancel.bottom - cancel.top, 25);
        EXPECT_EQ(session().window(Button(IDC_TEST))->text, "TEST");
        EXPECT_EQ(session().window(Button(IDC_CANCEL))->text, "CANCEL");
        EXPECT_TRUE(Enabled(IDC_TEST));
        EXPECT_FALSE(Enabled(IDC_CANCEL));
        // Showing the window activated the application, which opened port 0 of each kind.
        EXPECT_EQ(MidiInDevice.uDeviceId, 0u);
        EXPECT_EQ(MidiOutDevice.uDeviceId, 0u);
        EXPECT_NE(MidiInDevice.hDevice, nullptr);
        EXPECT_NE(MidiOutDevice.hDevice, nullptr);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_FALSE(window_during_warning);
    ASSERT_GE(hb->boxes().size(), 1u);
    const BoxRecord& warning = hb->boxes()[0];
    EXPECT_EQ(warning.text, kWarning);
    EXPECT_EQ(warning.caption, "Tavrin");
    EXPECT_EQ(warning.flags, static_cast<UINT>(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(warning.owner, nullptr);
    // Exit: the caution box first, then the ports close and the window goes.
    const auto caution = BoxesWith(kCaution);
    ASSERT_EQ(caution.size(), 1u);
    EXPECT_EQ(caution[0].caption, "Caution:");
    EXPECT_EQ(caution[0].flags, static_cast<UINT>(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
    EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
    EXPECT_EQ(Main(), nullptr);
}

TEST_F(Program, WithoutAnInputPortItWarnsExplainsAndEndsWithoutAWindow) {
    platform::midi::configure("cable");
    platform::midi::fail_next("midiInGetNumDevs", MMSYSERR_ERROR);
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(hb->boxes().size(), 2u);
    EXPECT_EQ(hb->boxes()[0].text, kWarning);
    EXPECT_EQ(hb->boxes()[1].text, "No MIDI input devices are present");
    EXPECT_EQ(hb->boxes()[1].caption, "MidiInit");
    EXPECT_FALSE(platform::app_active());
    EXPECT_FALSE(IsWindowVisible(Main()));
}

TEST_F(Program, WithoutCaptureMemoryItWarnsExplainsAndEndsWithoutAWindow) {
    platform::midi::configure("cable");
    platform::fail_next_global_alloc();
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(hb->boxes().size(), 2u);
    EXPECT_EQ(hb->boxes()[1].text, "Insufficient memory");
    EXPECT_FALSE(IsWindowVisible(Main()));
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
}

TEST_F(Program, WindowQueryEndSessionClosesThePortsAndAnswersOne) {
    platform::midi::configure("cable");
    LRESULT answered = -1;
    Then([&] { answered = SendMessageA(Main(), WM_QUERYENDSESSION, 0, 0); });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(MidiInDevice.hDevice, nullptr);
    EXPECT_TRUE(BoxesWith(kCaution).empty());
}

// The second instance is this test program started again with only the test
// below, in a process of its own, as a user's second start would be.
TEST_F(Program, ASecondInstanceRestoresTheFirstAndEndsWithoutTheWarning) {
    platform::midi::configure("cable");
    pid_t child = -1;
    int status = -1;
    std::function<void()> poll;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    poll = [&] {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            EXPECT_FALSE(IsIconic(Main()));
            ChooseExit();
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the second instance did not end within 60 s";
            ChooseExit();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        After(1, poll);
    };
    Then([&] {
        ShowWindow(Main(), SW_MINIMIZE);
        ASSERT_TRUE(IsIconic(Main()));
        char self[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        std::string filter = "--gtest_filter=Program.SecondInstanceOfTheTestAbove";
        char* argv[] = {self, filter.data(), nullptr};
        std::vector<std::string> env_text;
        for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
        env_text.emplace_back(std::string(kSecondInstanceEnv) + "=1");
        std::vector<char*> envp;
        for (auto& e : env_text) envp.push_back(e.data());
        envp.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, envp.data()), 0);
        After(1, poll);
    });
    EXPECT_EQ(Run(), 0);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The first instance showed nothing for it.
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{kCaution}));
}

// What the second instance checks in its own process. It is registered only
// there, so that no test list shows it as a test of its own.
class SecondInstance : public Program {
public:
    void TestBody() override {
        platform::midi::configure("cable");
        EXPECT_EQ(Run(), 0);
        ASSERT_EQ(hb->boxes().size(), 1u);
        const BoxRecord& box = hb->boxes()[0];
        EXPECT_EQ(box.text, "Only a single instance of this application can run");
        EXPECT_EQ(box.caption, "Tavrin");
        EXPECT_EQ(box.flags, static_cast<UINT>(MB_OK));
        // The owner lives in the other process: the box stands on its own there,
        // and the other window was asked to come forward instead.
        EXPECT_EQ(session().find_class("Tavrin"), nullptr);
    }
};

[[maybe_unused]] const bool kSecondInstanceRegistered =
    std::getenv(kSecondInstanceEnv) != nullptr &&
    (::testing::RegisterTest("Program", "SecondInstanceOfTheTestAbove", nullptr, nullptr, __FILE__, __LINE__,
                             []() -> Program* { return new SecondInstance; }),
     true);

TEST_F(Program, SwitchingAwayWhileIdleReleasesThePortsAndBackReopensTheSame) {
    platform::midi::configure("cable:ports=3");
    Then([&] { platform::choose_menu_item(Main(), IDM_INPUT_FIRST + 2); });
    Then([&] { platform::choose_menu_item(Main(), IDM_OUTPUT_FIRST + 1); });
    Then([&] {
        ASSERT_NE(MidiInDevice.hDevice, nullptr);
        platform::set_app_active(false);
        EXPECT_EQ(MidiInDevice.hDevice, nullptr);
        EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
        platform::set_app_active(true);
        EXPECT_NE(MidiInDevice.hDevice, nullptr);
        EXPECT_NE(MidiOutDevice.hDevice, nullptr);
        EXPECT_EQ(MidiInDevice.uDeviceId, 2u);
        EXPECT_EQ(MidiOutDevice.uDeviceId, 1u);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{kCaution}));
}

TEST_F(Program, SwitchingAwayDuringATestLeavesTheBusyPortsOpen) {
    platform::midi::configure("cable:unplugged");
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(100, [&] {
            platform::set_app_active(false);
            EXPECT_NE(MidiInDevice.hDevice, nullptr);
            EXPECT_NE(MidiOutDevice.hDevice, nullptr);
        });
    });
    Then([&] {
        // The test ended while away; now the idle ports go at the next switch.
        platform::set_app_active(true);
        platform::set_app_active(false);
        EXPECT_EQ(MidiInDevice.hDevice, nullptr);
        EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{"Midi loopback timeout, check cable!", kCaution}));
}

// ---- port menus ----

std::vector<std::string> Items(HMENU popup) {
    std::vector<std::string> out;
    const int n = GetMenuItemCount(popup);
    for (int i = 0; i < n; ++i) {
        char text[64] = "";
        GetMenuStringA(popup, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        out.emplace_back(text);
    }
    return out;
}

// Positions of the checked items of a popup.
std::vector<int> Checked(HMENU popup) {
    std::vector<int> out;
    const int n = GetMenuItemCount(popup);
    for (int i = 0; i < n; ++i)
        if (GetMenuState(popup, static_cast<UINT>(i), MF_BYPOSITION) & MF_CHECKED) out.push_back(i);
    return out;
}

HMENU Inputs() { return GetSubMenu(GetMenu(FindWindowA("Tavrin", nullptr)), 1); }
HMENU Outputs() { return GetSubMenu(GetMenu(FindWindowA("Tavrin", nullptr)), 2); }

TEST_F(Program, EightPortsOfEachKindListSixAndCheckPortZero) {
    platform::midi::configure("cable:ports=8");
    Then([&] {
        platform::open_menu_bar(Main());
        for (HMENU popup : {Inputs(), Outputs()}) {
            const auto names = Items(popup);
            ASSERT_EQ(names.size(), 6u);
            for (const auto& name : names) EXPECT_FALSE(name.empty());
            EXPECT_EQ(Checked(popup), std::vector<int>{0});
            EXPECT_EQ(GetMenuState(popup, 5, MF_BYPOSITION) & (MF_GRAYED | MF_DISABLED), 0u);
        }
        // 107 is output port 0, never input port 6.
        platform::choose_menu_item(Main(), IDM_OUTPUT_FIRST + 5);
    });
    Then([&] {
        EXPECT_EQ(MidiOutDevice.uDeviceId, 5u);
        EXPECT_EQ(MidiInDevice.uDeviceId, 0u);
        EXPECT_NE(MidiOutDevice.hDevice, nullptr);
        platform::open_menu_bar(Main());
        EXPECT_EQ(Checked(Outputs()), std::vector<int>{5});
        EXPECT_EQ(Checked(Inputs()), std::vector<int>{0});
        // 113 and notification codes in the high half are no port items: DefWindowProcA gets them.
        EXPECT_FALSE(SelectDevice(Main(), IDM_OUTPUT_FIRST + 6));
        EXPECT_FALSE(OnCommand(Main(), MAKEWPARAM(IDM_INPUT_FIRST + 1, 1), 0, nullptr, nullptr));
        EXPECT_EQ(MidiInDevice.uDeviceId, 0u);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
}

TEST_F(Program, APortWithoutANameEndsTheListingOfItsKindOnly) {
    platform::midi::configure("cable:ports=5");
    ASSERT_TRUE(platform::midi::set_port_name(platform::midi::PortKind::Input, 3, std::nullopt));
    Then([&] {
        EXPECT_EQ(Items(Inputs()).size(), 3u);
        EXPECT_EQ(Items(Outputs()).size(), 5u);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    std::size_t errors = 0;
    for (const auto& b : hb->boxes()) errors += b.caption == "MIDI Input Error";
    EXPECT_EQ(errors, 1u);
}

TEST_F(Program, ChoosingTheCheckedInputLeavesTheKindWithoutAPortUntilAnotherIsChosen) {
    platform::midi::configure("cable:ports=3");
    Then([&] { platform::choose_menu_item(Main(), IDM_INPUT_FIRST); });
    Then([&] {
        EXPECT_EQ(MidiInDevice.uDeviceId, static_cast<UINT>(NO_DEVICE));
        EXPECT_EQ(MidiInDevice.hDevice, nullptr);
        platform::open_menu_bar(Main());
        EXPECT_TRUE(Checked(Inputs()).empty());
        EXPECT_EQ(Checked(Outputs()), std::vector<int>{0});
        platform::set_app_active(false);
        platform::set_app_active(true);
        EXPECT_EQ(MidiInDevice.hDevice, nullptr);
        platform::choose_menu_item(Main(), IDM_INPUT_FIRST + 1);
    });
    Then([&] {
        EXPECT_EQ(MidiInDevice.uDeviceId, 1u);
        EXPECT_NE(MidiInDevice.hDevice, nullptr);
        platform::open_menu_bar(Main());
        EXPECT_EQ(Checked(Inputs()), std::vector<int>{1});
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{kCaution}));
}

TEST_F(Program, APortThatFailsToOpenLeavesTheKindWithoutAPort) {
    platform::midi::configure("cable:ports=3");
    Then([&] {
        platform::midi::fail_next("midiOutOpen", MMSYSERR_ALLOCATED);
        platform::choose_menu_item(Main(), IDM_OUTPUT_FIRST + 2);
    });
    Then([&] {
        EXPECT_EQ(MidiOutDevice.uDeviceId, static_cast<UINT>(NO_DEVICE));
        EXPECT_EQ(MidiOutDevice.hDevice, nullptr);
        platform::open_menu_bar(Main());
        EXPECT_TRUE(Checked(Outputs()).empty());
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    ASSERT_EQ(hb->boxes().size(), 3u);
    EXPECT_EQ(hb->boxes()[1].caption, "MIDI Output Error");
}

TEST_F(Program, SwitchingTheInputDuringATestAsksAndNoKeepsTheOldPort) {
    platform::midi::configure("cable:ports=3,unplugged");
    int asked = 0;
    answer = [&](const BoxRecord& box) {
        if (box.text != kAbandonInput) return 0;
        return ++asked == 1 ? IDNO : IDYES;
    };
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(100, [&] {
            platform::choose_menu_item(Main(), IDM_INPUT_FIRST + 2);
        });
        After(200, [&] {
            EXPECT_EQ(MidiInDevice.uDeviceId, 0u);
            EXPECT_NE(MidiInDevice.hDevice, nullptr);
            EXPECT_NE(TestTimer, 0u);
            platform::open_menu_bar(Main());
            EXPECT_EQ(Checked(Inputs()), std::vector<int>{0});
            platform::choose_menu_item(Main(), IDM_INPUT_FIRST + 2);
        });
        After(300, [&] {
            EXPECT_EQ(MidiInDevice.uDeviceId, 2u);
            EXPECT_NE(MidiInDevice.hDevice, nullptr);
        });
    });
    Then([&] { ChooseExit(); });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(asked, 2);
}

// Taking the running test's port away through the menus ends the test as a
// cancel would: no verdict for it, nothing asked of the port that is gone, and
// the next test runs as usual.
struct TakenPort {
    const char* name;
    UINT item;            // the menu item chosen while the test runs
    const char* question;
    UINT in_after;        // the selections afterwards
    UINT out_after;
};

class PortTakenDuringATest : public Program, public ::testing::WithParamInterface<TakenPort> {};

TEST_P(PortTakenDuringATest, EndsTheRunWithoutAVerdictAndTheNextTestRuns) {
    const TakenPort& c = GetParam();
    platform::midi::configure("cable:ports=3,delay=1000");
    answer = [](const BoxRecord& box) { return box.text == kAbandonInput || box.text == kAbandonOutput ? IDYES : 0; };
    Then([&] {
        platform::click_button(Button(IDC_TEST));
        After(100, [&] { platform::choose_menu_item(Main(), c.item); });
    });
    Then([&] {
        EXPECT_EQ(TestTimer, 0u);
        EXPECT_TRUE(Enabled(IDC_TEST));
        EXPECT_FALSE(Enabled(IDC_CANCEL));
        EXPECT_EQ(MidiInDevice.uDeviceId, c.in_after);
        EXPECT_EQ(MidiOutDevice.uDeviceId, c.out_after);
        for (const MidiDevice* d : {&MidiInDevice, &MidiOutDevice}) {
            EXPECT_EQ(d->hDevice != nullptr, d->uDeviceId != NO_DEVICE);
            EXPECT_NE(d->uBufferState, static_cast<UINT>(BUF_ACTIVE));
            EXPECT_EQ(d->midiHdr.lpData, nullptr);
        }
        EXPECT_TRUE(std::all_of(InputBuffer, InputBuffer + InputBufferSize, [](BYTE b) { return b == 0; }));
        // The loop of port 1, and a test over it.
        platform::choose_menu_item(Main(), IDM_INPUT_FIRST + 1);
        platform::choose_menu_item(Main(), IDM_OUTPUT_FIRST + 1);
    });
    Then([&] { platform::click_button(Button(IDC_TEST)); });
    Then([&] {
        EXPECT_TRUE(Enabled(IDC_TEST));
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(TextsAfterWarning(), (std::vector<std::string>{c.question, "The test was successful.", kCaution}));
}

INSTANTIATE_TEST_SUITE_P(
    Menus, PortTakenDuringATest,
    ::testing::Values(TakenPort{"InputDeselected", IDM_INPUT_FIRST, kAbandonInput, NO_DEVICE, 0},
                      TakenPort{"InputSwitched", IDM_INPUT_FIRST + 2, kAbandonInput, 2, 0},
                      TakenPort{"OutputDeselected", IDM_OUTPUT_FIRST, kAbandonOutput, 0, NO_DEVICE},
                      TakenPort{"OutputSwitched", IDM_OUTPUT_FIRST + 2, kAbandonOutput, 0, 2}),
    [](const ::testing::TestParamInfo<TakenPort>& info) { return std::string(info.param.name); });

// ---- instruction text ----

const std::vector<std::string> kLines = {
    "To use this test, connect a Midi output cable ",
    "to a Midi input cable.  Select the Output device ",
    "from the \"Outputs\" menu, and the Input device ",
    "from the \"Inputs\" menu.  The test will inform ",
    "you of the results.  To cancel a test at any time, ",
    "press the \"Cancel\" button.  To quit the test,",
    "select \"Exit\" from the File menu.",
};

TEST_F(Program, PaintDrawsTheSevenInstructionLinesOneLineHeightApart) {
    platform::midi::configure("cable");
    Then([&] {
        ASSERT_GE(hb->drawn().size(), 7u);
        for (std::size_t i = 0; i < 7; ++i) {
            const auto& d = hb->drawn()[i];
            EXPECT_EQ(d.window, Main());
            EXPECT_EQ(d.x, 48);
            EXPECT_EQ(d.y, 32 + 16 * static_cast<int>(i));
            EXPECT_EQ(d.text, kLines[i]);
        }
        EXPECT_EQ(hb->drawn().size(), 7u);
        // A failed line ends the drawing there; the next paint starts again at line 1.
        hb->fail_text_after(3);
        EXPECT_FALSE(PaintInstructions(Main()));
        EXPECT_EQ(hb->drawn().size(), 10u);
        hb->fail_text_after(-1);
        EXPECT_TRUE(PaintInstructions(Main()));
        ASSERT_EQ(hb->drawn().size(), 17u);
        EXPECT_EQ(hb->drawn()[10].text, kLines[0]);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
}

// ---- dialog boxes ----

struct BoxCase {
    UINT command;
    const char* caption;
};

class Boxes : public Program, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(Boxes, CloseOnOkAndEnterButNotOnEscape) {
    platform::midi::configure("cable");
    HWND seen = nullptr;
    bool up_after_escape = false, gone_after_enter = false, gone_after_ok = false;
    Then([&] {
        platform::choose_menu_item(Main(), GetParam().command);
        After(10, [&] {
            seen = session().active_modal();
            ASSERT_NE(seen, nullptr);
            EXPECT_EQ(session().window(seen)->text, GetParam().caption);
            EXPECT_FALSE(IsWindowEnabled(Main()));
            platform::press_key(VK_ESCAPE);
            platform::request_close(seen);
        });
        After(15, [&] {
            up_after_escape = session().active_modal() == seen;
            platform::press_key(VK_RETURN);
        });
        After(20, [&] {
            gone_after_enter = IsWindow(seen) == FALSE && session().active_modal() == nullptr;
            platform::choose_menu_item(Main(), GetParam().command);
        });
        After(30, [&] {
            HWND box = session().active_modal();
            ASSERT_NE(box, nullptr);
            platform::click_button(GetDlgItem(box, IDOK));
        });
        After(40, [&] { gone_after_ok = session().active_modal() == nullptr; });
    });
    Then([&] {
        // Neither box touched the ports.
        EXPECT_TRUE(IsWindowEnabled(Main()));
        EXPECT_EQ(MidiInDevice.uDeviceId, 0u);
        EXPECT_NE(MidiInDevice.hDevice, nullptr);
        ChooseExit();
    });
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(up_after_escape);
    EXPECT_TRUE(gone_after_enter);
    EXPECT_TRUE(gone_after_ok);
}

// The instance handle of a 64-bit module does not fit in 32 bits; the boxes
// must be given all of it.
TEST_F(Program, TheHelpBoxGetsTheWholeInstanceHandleOfA64BitModule) {
    platform::midi::configure("cable");
    const HINSTANCE wide = reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x7FF600400000ull));
    HINSTANCE given = nullptr;
    Then([&] {
        platform::choose_menu_item(Main(), IDM_HELP);
        After(10, [&] {
            HWND box = session().active_modal();
            ASSERT_NE(box, nullptr);
            given = session().window(box)->instance;
            platform::press_key(VK_RETURN);
        });
    });
    Then([&] { ChooseExit(); });
    char command_line[] = "";
    EXPECT_EQ(WinMain(wide, nullptr, command_line, SW_SHOWNORMAL), 0);
    EXPECT_EQ(given, wide);
}

INSTANTIATE_TEST_SUITE_P(Help, Boxes,
                         ::testing::Values(BoxCase{IDM_HELP, "Tavrin Help"}, BoxCase{IDM_ABOUT, "About Tavrin"}));

}  // namespace
}  // namespace tavrin_test
