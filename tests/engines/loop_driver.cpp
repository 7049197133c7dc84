// One whole run of Tavrin on a real MIDI engine, driven as a user would: the
// start-up warning is answered, Test is pressed once the program waits for the
// user, the verdict box is printed ("verdict: TEXT") and answered, and File >
// Exit ends the program. Runs on the headless backend on real time, so it
// needs no display (and links neither Qt nor X11).
//
//   loop_driver [--through | --through-muted | --alsa-through | --alsa-through-muted]
//               [--kill-jack PID | --unplug-through]
//               [--cancel] [--sysex-without-end | --flood] [--expect TEXT]
//
// --through starts a JACK client of its own that loops what Tavrin sends back
// to it (muted, it swallows everything: no cable). --kill-jack kills that JACK
// server while the test runs; --unplug-through takes the through client's
// ports away instead. --alsa-through makes an ALSA sequencer client that sends
// back what it gets (muted: nothing), and chooses its port for input and
// output before Test; with --unplug-through that client exits mid-test. --cancel presses Cancel
// right after that, which must end the run at once: no box, Test enabled,
// Cancel disabled. Exit status 0 when the program exited 0 and, with
// --expect, the verdict was TEXT (with --cancel: no verdict came). --sysex-without-end and --flood have the
// through client write hostile traffic to Tavrin's input while the test runs
// (a megabyte of SysEx without F7, or 100,000 short messages); the input's
// counters and the growth of resident memory are printed, and what waits
// for the program must stay within the service's bound.
#include "alsa_through.h"
#include "jack_through.h"

#include "kernel/kernel.h"
#include "loopback/loopback.h"
#include "midi/midi.h"
#include "resources/resource.h"
#include "ui/headless/headless.h"
#include "user/input.h"
#include "user/session.h"
#include "winmm/service.h"

#include <mmsystem.h>
#include <windows.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

constexpr WPARAM kTest = 1;    // the Test button's command
constexpr WPARAM kCancel = 2;  // the Cancel button's
constexpr WPARAM kExit = 201;  // File > Exit

struct Script {
    std::optional<std::string> verdict;
    bool test_pressed = false;
    pid_t kill_pid = 0;
    bool unplug = false;
    bool cancel = false;
    bool alsa = false;
    int hostile = 0;  // 1: endless SysEx, 2: flood
    bool cancel_pressed = false;
    int boxes_after_cancel = 0;
    bool cancelled = false;  // Cancel was pressed, and then the buttons were idle
};

HWND main_window() { return FindWindowA("Tavrin", nullptr); }

// The index of the ALSA through client's port among the ports of one kind.
template <typename Caps, typename GetCaps>
int find_port(UINT count, GetCaps get_caps) {
    for (UINT i = 0; i < count; ++i) {
        Caps caps{};
        if (get_caps(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            std::strncmp(caps.szPname, "Tavrin Test Through", 19) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:").
long status_kib(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, field, std::strlen(field)) == 0) kib = std::atol(line + std::strlen(field));
    std::fclose(f);
    return kib;
}

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
        else if (arg == "--unplug-through") script.unplug = true;
        else if (arg == "--cancel") script.cancel = true;
        else if (arg == "--alsa-through") script.alsa = true;
        else if (arg == "--alsa-through-muted") script.alsa = muted = true;
        else if (arg == "--sysex-without-end") script.hostile = 1;
        else if (arg == "--flood") script.hostile = 2;
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

    std::unique_ptr<tavrin_test::AlsaThrough> alsa_cable;
    if (script.alsa) {
        alsa_cable = std::make_unique<tavrin_test::AlsaThrough>();
        if (!alsa_cable->ok()) {
            std::printf("loop_driver: no ALSA sequencer for the through client\n");
            return 1;
        }
        alsa_cable->mute(muted);
    }

    auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Real);
    platform::HeadlessBackend* hb = backend.get();
    platform::install_backend(std::move(backend));
    hb->set_scripted();
    for (int i = 0; i < 32; ++i) {
        hb->on_box([&script](const platform::BoxRecord& box) {
            std::printf("box: [%s] %s\n", box.caption.c_str(), box.text.c_str());
            if (script.cancel_pressed) ++script.boxes_after_cancel;
            if (script.test_pressed && !script.verdict && box.caption == "Tavrin") {
                script.verdict = box.text;
                std::printf("verdict: %s\n", box.text.c_str());
            }
            std::fflush(stdout);
            return platform::BoxReply{};
        });
    }
    if (script.alsa) {
        // The through client's port, chosen from both port menus as a person would.
        hb->when_quiet([] {
            const int in = find_port<MIDIINCAPSA>(midiInGetNumDevs(), midiInGetDevCapsA);
            const int out = find_port<MIDIOUTCAPSA>(midiOutGetNumDevs(), midiOutGetDevCapsA);
            HWND window = main_window();
            if (window == nullptr || in < 0 || out < 0) {
                std::printf("loop_driver: no port of the ALSA through client\n");
                return;
            }
            PostMessageA(window, WM_COMMAND, IDM_INPUT_FIRST + static_cast<WPARAM>(in), 0);
            PostMessageA(window, WM_COMMAND, IDM_OUTPUT_FIRST + static_cast<WPARAM>(out), 0);
        });
    }
    // Hostile traffic, armed before Test: the through client sends it once the
    // test message reaches it.
    long rss_at_test = 0;
    bool bounded = true;
    if (script.hostile != 0) {
        hb->when_quiet([&script, &cable, &alsa_cable, &rss_at_test] {
            rss_at_test = status_kib("VmRSS:");
            if (alsa_cable) {
                if (script.hostile == 1) alsa_cable->inject_endless_sysex(1 << 20);
                else alsa_cable->inject_flood(100'000);
            } else if (cable) {
                if (script.hostile == 1) cable->inject_endless_sysex(1 << 20);
                else cable->inject_flood(100'000);
            }
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
    if (script.unplug) {
        hb->when_idle([&cable, &alsa_cable] {
            std::printf("loop_driver: taking the through client's ports away\n");
            std::fflush(stdout);
            if (alsa_cable) alsa_cable->close();
            else if (!cable || !cable->unregister_ports()) std::printf("loop_driver: the ports could not be taken away\n");
        });
    }
    if (script.hostile != 0) {
        hb->when_quiet([&cable, &alsa_cable, &rss_at_test, &bounded] {
            // The verdict is in; the rest of the traffic still arrives.
            auto injecting = [&] { return (cable && cable->injecting()) || (alsa_cable && alsa_cable->injecting()); };
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (injecting() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (injecting()) {
                std::printf("loop_driver: the hostile traffic was not all written within 60 s\n");
                bounded = false;
                return;
            }
            const auto counters = platform::midi::input_counters(static_cast<HMIDIIN>(MidiInDevice.hDevice));
            const long peak = status_kib("VmHWM:");
            std::printf("loop_driver: input dropped %llu short messages and %llu bytes; %u waiting; peak resident "
                        "memory %ld KiB above the start of the test\n",
                        counters ? counters->short_dropped : 0ULL, counters ? counters->bytes_dropped : 0ULL,
                        counters ? counters->pending_short : 0U, peak - rss_at_test);
            bounded = bounded && counters && counters->pending_short <= platform::midi::kMaxPendingShortMessages &&
                      peak - rss_at_test < 64 * 1024;
        });
    }
    if (script.cancel) {
        hb->when_idle([&script] {
            HWND window = main_window();
            HWND cancel = window != nullptr ? GetDlgItem(window, static_cast<int>(kCancel)) : nullptr;
            if (cancel == nullptr || !IsWindowEnabled(cancel)) {
                std::printf("loop_driver: Cancel is not enabled while the test runs\n");
                return;
            }
            script.cancel_pressed = true;
            platform::click_button(cancel);
        });
        hb->when_quiet([&script] {
            HWND window = main_window();
            script.cancelled = window != nullptr && TestTimer == 0 &&
                               IsWindowEnabled(GetDlgItem(window, static_cast<int>(kTest))) &&
                               !IsWindowEnabled(GetDlgItem(window, static_cast<int>(kCancel)));
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
    alsa_cable.reset();
    std::printf("loop_driver: the program exited with %d\n", status);
    if (status != 0) return 1;
    if (!bounded) {
        std::printf("loop_driver: the hostile traffic was not kept within bounds\n");
        return 1;
    }
    if (script.cancel) {
        // The exit warning is the one box that may come after Cancel.
        if (!script.cancelled || script.verdict || script.boxes_after_cancel > 1) {
            std::printf("loop_driver: Cancel did not end the run quietly (%d boxes after it)\n",
                        script.boxes_after_cancel);
            return 1;
        }
        return 0;
    }
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
