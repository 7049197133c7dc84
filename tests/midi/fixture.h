// The one fixture of the device layer's and the loopback test's suites: the
// headless backend's virtual clock, the virtual loop cable, the records as a
// fresh process has them, and a bare main window of the tests' own: two push
// buttons and a procedure that routes the buttons, the timer and the input's
// notification the way the program's main window does.
#pragma once

#include "loopback/loopback.h"
#include "midi/midi.h"

#include "kernel/kernel.h"
#include "ui/headless/headless.h"
#include "user/session.h"
#include "winmm/service.h"

#include <gtest/gtest.h>
#include <mmsystem.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace layer_test {

using platform::BoxRecord;
using platform::BoxReply;
using platform::Ms;

// Off for tests of the device layer alone, which watch the headers themselves.
inline bool g_route_to_test = true;

inline LRESULT CALLBACK test_main_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        if (!g_route_to_test) break;
        if (wp == 1) StartTest(hwnd);
        else if (wp == 2) CancelTest(hwnd);
        return 0;
    case WM_TIMER:
        if (!g_route_to_test) break;
        OnTestTimeout(hwnd);
        return 0;
    case MM_MIM_LONGDATA:
        if (!g_route_to_test) break;
        OnInputDone(hwnd);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

class LayerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
        backend->set_activate_on_show(false);
        backend->set_scripted();
        hb = backend.get();
        platform::install_backend(std::move(backend));
        // Every box asks the test's current policy; by default its default button.
        for (int i = 0; i < 64; ++i)
            hb->on_box([this](const BoxRecord& box) { return BoxReply{answer ? answer(box) : 0}; });
        ResetRecords();
        platform::clear_debug_output();
        platform::midi::clear_call_log();

        WNDCLASSA wc{};
        wc.lpfnWndProc = test_main_proc;
        wc.lpszClassName = "LayerTest";
        ASSERT_NE(RegisterClassA(&wc), 0);
        hwnd = CreateWindowExA(0, "LayerTest", "layer", WS_OVERLAPPED, 0, 0, 400, 300, nullptr, nullptr,
                               nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        hTestButton = CreateWindowExA(0, "button", "Test", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 80, 24,
                                      hwnd, reinterpret_cast<HMENU>(1), nullptr, nullptr);
        hCancelButton =
            CreateWindowExA(0, "button", "Cancel", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_DISABLED, 100, 10, 80,
                            24, hwnd, reinterpret_cast<HMENU>(2), nullptr, nullptr);
        ASSERT_NE(hTestButton, nullptr);
        ASSERT_NE(hCancelButton, nullptr);
    }

    void TearDown() override {
        g_route_to_test = true;
        platform::midi::clear_faults();
        // The service lets go of every buffer before the buffer is released.
        platform::midi::shutdown();
        FreeInputBuffer();
        ResetRecords();
        platform::install_backend(std::make_unique<platform::HeadlessBackend>());
    }

    static void ResetRecords() {
        MidiInDevice = MidiDevice{};
        MidiOutDevice = MidiDevice{};
        uNumInputDevs = 0;
        uNumOutputDevs = 0;
        TestTimer = 0;
        InputBufferSize = 0;
        hTestButton = nullptr;
        hCancelButton = nullptr;
    }

    // The cable as given, both records found and port 0 of each kind open.
    void OpenCable(std::string_view setting = "cable") {
        platform::midi::configure(setting);
        ASSERT_EQ(MidiInit(&MidiInDevice, &MidiOutDevice), 1);
        MidiInDevice.uDeviceId = 0;
        MidiOutDevice.uDeviceId = 0;
        ASSERT_EQ(MidiActivateDevice(hwnd, &MidiInDevice, ACTIVATE_OPEN), 0u);
        ASSERT_EQ(MidiActivateDevice(hwnd, &MidiOutDevice, ACTIVATE_OPEN), 0u);
        platform::midi::clear_call_log();
    }
    void AllocCapture() {
        InputBufferSize = INPUT_BUFFER_SIZE;
        ASSERT_TRUE(AllocInputBuffer(hwnd, InputBufferSize));
    }

    // Dispatches messages until `done` answers true or `limit` of virtual time
    // has passed; answers done().
    bool PumpUntil(const std::function<bool()>& done, Ms limit = Ms(10000)) {
        auto expired = std::make_shared<bool>(false);
        hb->after(limit, [expired] { *expired = true; });
        MSG msg{};
        while (!done() && !*expired) {
            if (!platform::session().next_message(msg, [&] { return done() || *expired; })) break;
            DispatchMessageA(&msg);
        }
        return done();
    }
    // Dispatches everything until nothing at all is scheduled any more (no
    // timer, clock event or pending answer): where a program waits for its user.
    void PumpUntilQuiet() {
        bool quiet = false;
        hb->when_quiet([&quiet] { quiet = true; });
        MSG msg{};
        while (!quiet && platform::session().next_message(msg, [&quiet] { return quiet; }))
            DispatchMessageA(&msg);
        ASSERT_TRUE(quiet) << "the program never came to rest";
        ASSERT_FALSE(hb->stalled());
    }
    long long Now() const { return hb->clock().now().count(); }

    const std::vector<BoxRecord>& Boxes() const { return hb->boxes(); }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : hb->boxes()) out.push_back(b.text);
        return out;
    }
    static std::vector<std::string> Calls() { return platform::midi::call_log(); }
    static bool Enabled(HWND button) { return IsWindowEnabled(button) != FALSE; }

    platform::HeadlessBackend* hb = nullptr;
    HWND hwnd = nullptr;
    std::function<int(const BoxRecord&)> answer;
};

}  // namespace layer_test
