// A bare owner window on the headless backend with the virtual clock, the
// service over the virtual cable, and the records as a fresh process has them.
#pragma once

#include "loopback/loopback.h"
#include "midi/midi.h"

#include "kernel/kernel.h"
#include "ui/headless/headless.h"
#include "user/session.h"
#include "winmm/service.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

class DeviceLayer : public ::testing::Test {
protected:
    void SetUp() override {
        auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
        hb = backend.get();
        platform::install_backend(std::move(backend));
        hb->set_scripted();
        hb->set_stall_limit(platform::Ms(200));
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "DeviceLayerTest";
        RegisterClassA(&wc);
        owner = CreateWindowExA(0, "DeviceLayerTest", "", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        MidiInDevice = MidiDevice{};
        MidiOutDevice = MidiDevice{};
        platform::clear_debug_output();
    }
    void TearDown() override {
        platform::midi::shutdown();
        FreeInputBuffer();
        MidiInDevice = MidiDevice{};
        MidiOutDevice = MidiDevice{};
        TestTimer = 0;
        platform::midi::clear_faults();
        platform::install_backend(std::make_unique<platform::HeadlessBackend>());
    }

    // Both records initialised and port 0 of each kind opened.
    void OpenBoth(const char* cable = "cable") {
        platform::midi::configure(cable);
        ASSERT_EQ(MidiInit(&MidiInDevice, &MidiOutDevice), 1);
        MidiInDevice.uDeviceId = 0;
        MidiOutDevice.uDeviceId = 0;
        ASSERT_EQ(MidiActivateDevice(owner, &MidiInDevice, ACTIVATE_OPEN), 0u);
        ASSERT_EQ(MidiActivateDevice(owner, &MidiOutDevice, ACTIVATE_OPEN), 0u);
    }

    // Runs the thread's messages until nothing more is scheduled.
    void Drain() {
        MSG msg;
        hb->when_quiet([] { PostQuitMessage(0); });
        while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& b : hb->boxes()) out.push_back(b.text);
        return out;
    }

    platform::HeadlessBackend* hb = nullptr;
    HWND owner = nullptr;
};
