// One whole run of Tavrin on a real MIDI engine, driven as a user would: the
// start-up warning is answered, Test is pressed once the program waits for the
// user, the verdict box is printed ("verdict: TEXT") and answered, and File >
// Exit ends the program. Runs on the headless backend on real time, so it
// needs no display (and links neither Qt nor X11).
//
//   loop_driver [--through | --through-muted] [--kill-jack PID] [--expect TEXT]
//
// --through starts a JACK client of its own that loops what Tavrin sends back
// to it (muted, it swallows everything: no cable). --kill-jack kills that JACK
// server while the test runs. Exit status 0 when the program exited 0 and,
// with --expect, the verdict was TEXT.
#include "jack_through.h"

#include "kernel/kernel.h"
#include "ui/headless/headless.h"
#include "user/input.h"
#include "user/session.h"
#include "winmm/service.h"

#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

constexpr WPARAM kTest = 1;    // the Test button's command
constexpr WPARAM kExit = 201;  // File > Exit

struct Script {
    std::optional<std::string> verdict;
    bool test_pressed = false;
    pid_t kill_pid = 0;
};

HWND main_window() { return FindWindowA("Tavrin", nullptr); }

}  // namespace

int main(int argc, char** argv) {
    bool through = false;
    bool muted = false;
    std::optional<std::string> expect;
    Script script;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--through") through = true;
        else if (arg == "--through-muted") through = muted = true;
        else if (arg == "--kill-jack" && i + 1 < argc) script.kill_pid = static_cast<pid_t>(std::atoi(argv[++i]));
        else if (arg == "--expect" && i + 1 < argc) expect = argv[++i];
        else {
            std::fprintf(stderr, "loop_driver: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }

    std::unique_ptr<tavrin_test::JackThrough> cable;
    if (through) {
        cable = std::make_unique<tavrin_test::JackThrough>();
        if (!cable->ok()) {
            std::printf("loop_driver: no JACK server for the through client\n");
            return 1;
        }
        cable->mute(muted);
    }

    auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Real);
    platform::HeadlessBackend* hb = backend.get();
    platform::install_backend(std::move(backend));
    hb->set_scripted();
    for (int i = 0; i < 32; ++i) {
        hb->on_box([&script](const platform::BoxRecord& box) {
            std::printf("box: [%s] %s\n", box.caption.c_str(), box.text.c_str());
            if (script.test_pressed && !script.verdict && box.caption == "Tavrin") {
                script.verdict = box.text;
                std::printf("verdict: %s\n", box.text.c_str());
            }
            std::fflush(stdout);
            return platform::BoxReply{};
        });
    }
    // Test, once the program is up and waits for the user.
    hb->when_quiet([&script] {
        HWND window = main_window();
        HWND button = window != nullptr ? GetDlgItem(window, static_cast<int>(kTest)) : nullptr;
        if (button == nullptr) {
            std::printf("loop_driver: no main window with a Test button\n");
            return;
        }
        script.test_pressed = true;
        platform::click_button(button);  // nothing happens while it is disabled
    });
    if (script.kill_pid > 0) {
        hb->when_idle([&script] {
            std::printf("loop_driver: killing the JACK server (pid %d)\n", static_cast<int>(script.kill_pid));
            std::fflush(stdout);
            kill(script.kill_pid, SIGKILL);
        });
    }
    // Exit, once the verdict has been answered.
    hb->when_quiet([] {
        if (HWND window = main_window()) PostMessageA(window, WM_COMMAND, kExit, 0);
    });

    char command_line[] = "";
    const int status = WinMain(platform::module_instance(), nullptr, command_line, SW_SHOWNORMAL);
    platform::midi::shutdown();
    cable.reset();
    std::printf("loop_driver: the program exited with %d\n", status);
    if (status != 0) return 1;
    if (!script.verdict) {
        std::printf("loop_driver: no verdict box came\n");
        return 1;
    }
    if (expect && *script.verdict != *expect) {
        std::printf("loop_driver: expected \"%s\"\n", expect->c_str());
        return 1;
    }
    return 0;
}
