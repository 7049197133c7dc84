// Whole runs of the program: WinMain on the headless backend with a virtual
// clock and the virtual loop cable, driven the way a user would drive it.
#pragma once

#include "app/tavrin.h"
#include "loopback/loopback.h"
#include "midi/midi.h"
#include "resources/resource.h"

#include "kernel/kernel.h"
#include "ui/headless/headless.h"
#include "user/input.h"
#include "user/instance.h"
#include "user/session.h"
#include "winmm/service.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tavrin_test {

using platform::BoxRecord;
using platform::BoxReply;
using platform::Ms;

inline constexpr char kWarning[] = "Warning!\tYou must quit any MIDI applications before running this test.";
inline constexpr char kCaution[] =
    "You must disconnect the MIDI output cable from the MIDI input cable before starting any MIDI applications.";
inline constexpr char kAbandonInput[] = "MIDI input still in use - abandon it?";
inline constexpr char kAbandonOutput[] = "MIDI output still in use - abandon it?";
// Set in the environment of a test process started as a second instance.
inline constexpr char kSecondInstanceEnv[] = "TAVRIN_TEST_SECOND_INSTANCE";

class Program : public ::testing::Test {
protected:
    void SetUp() override { Begin(); }
    void TearDown() override { End(); }

    // A fresh process's start and end; a test that runs the program several
    // times ends and begins again between the runs.
    void Begin() {
        // Each test process finds only its own instances: test processes run
        // side by side, each with a "Tavrin" window. A second instance started
        // by a test inherits its parent's folder.
        if (std::getenv(kSecondInstanceEnv) == nullptr) {
            char dir[] = "/tmp/tavrin-app-test-XXXXXX";
            ASSERT_NE(mkdtemp(dir), nullptr);
            runtime_dir = dir;
            setenv("XDG_RUNTIME_DIR", dir, 1);
        }
        // As the program's entry does: other processes find this one's window.
        platform::use_instance_sockets();
        auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
        hb = backend.get();
        platform::install_backend(std::move(backend));
        hb->set_scripted();
        // Every box asks the test's current policy; by default its default button.
        for (int i = 0; i < 64; ++i)
            hb->on_box([this](const BoxRecord& box) { return BoxReply{answer ? answer(box) : 0}; });
        ResetRecords();
    }

    void End() {
        // The service lets go of any buffer before the buffer is released.
        platform::midi::shutdown();
        FreeInputBuffer();
        ResetRecords();
        platform::install_backend(std::make_unique<platform::HeadlessBackend>());
        if (!runtime_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(runtime_dir, ignored);
        }
    }

    // The program-wide records start each run as a fresh process has them.
    static void ResetRecords() {
        MidiInDevice = MidiDevice{};
        MidiOutDevice = MidiDevice{};
        uNumInputDevs = 0;
        uNumOutputDevs = 0;
        TestTimer = 0;
        InputBufferSize = 0;
        hInst = nullptr;
        nLineHeight = 0;
        nWindowWidth = 0;
        nWindowHeight = 0;
        hMainMenu = nullptr;
    }

    int Run() {
        char command_line[] = "";
        return WinMain(platform::module_instance(), nullptr, command_line, SW_SHOWNORMAL);
    }

    // A step once the program waits for the user (nothing scheduled).
    void Then(std::function<void()> step) { hb->when_quiet(std::move(step)); }
    // A step `ms` of virtual time after the step that schedules it.
    void After(int ms, std::function<void()> fn) { hb->after(Ms(ms), std::move(fn)); }

    static HWND Main() { return FindWindowA("Tavrin", nullptr); }
    static HWND Button(int id) { return GetDlgItem(Main(), id); }
    static bool Enabled(int id) { return IsWindowEnabled(Button(id)) != FALSE; }
    long long Now() const { return hb->clock().now().count(); }

    // File > Exit, answered with the caution box's OK.
    static void ChooseExit() { platform::choose_menu_item(Main(), IDM_EXIT); }

    // Boxes with this text, in the order shown.
    std::vector<BoxRecord> BoxesWith(const std::string& text) const {
        std::vector<BoxRecord> out;
        for (const auto& b : hb->boxes())
            if (b.text == text) out.push_back(b);
        return out;
    }
    // Every box after the start-up warning.
    std::vector<std::string> TextsAfterWarning() const {
        std::vector<std::string> out;
        for (const auto& b : hb->boxes())
            if (b.text != kWarning) out.push_back(b.text);
        return out;
    }

    platform::HeadlessBackend* hb = nullptr;
    std::function<int(const BoxRecord&)> answer;
    std::string runtime_dir;
};

}  // namespace tavrin_test
