// The loop test as the program makes it, for the benchmarks: a window on the
// headless backend (real time), both ports of the MIDI service open on the
// chosen engine, and 258-byte SysEx round trips timed from midiOutLongMsg to
// the dispatch of MM_MIM_LONGDATA.
#pragma once

#include "common.h"

#include "ui/headless/headless.h"
#include "user/session.h"
#include "winmm/service.h"

#include <mmsystem.h>
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace bench {

class ServiceLoop {
public:
    using Clock = std::chrono::steady_clock;

    // `engine` is a TAVRIN_MIDI value; `who` names the benchmark in messages.
    bool open(const char* engine, const char* who) {
        who_ = who;
        auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Real);
        backend->set_scripted();
        backend->set_activate_on_show(false);
        platform::install_backend(std::move(backend));
        WNDCLASSA wc{};
        wc.lpfnWndProc = proc;
        wc.lpszClassName = "BenchServiceLoop";
        RegisterClassA(&wc);
        hwnd_ = CreateWindowExA(0, "BenchServiceLoop", "bench", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        platform::midi::configure(engine);
        if (midiInGetNumDevs() < 1 || midiOutGetNumDevs() < 1) {
            std::fprintf(stderr, "%s: the service sees no ports on \"%s\"\n", who_, engine);
            return false;
        }
        ih_.lpData = capture_.data();
        ih_.dwBufferLength = static_cast<DWORD>(capture_.size());
        oh_.lpData = message_.data();
        oh_.dwBufferLength = static_cast<DWORD>(message_.size());
        const auto cb = reinterpret_cast<DWORD_PTR>(hwnd_);
        if (midiInOpen(&in_, 0, cb, 0, CALLBACK_WINDOW) || midiOutOpen(&out_, 0, cb, 0, CALLBACK_WINDOW) ||
            midiInPrepareHeader(in_, &ih_, kHeaderSize) || midiOutPrepareHeader(out_, &oh_, kHeaderSize) ||
            midiInStart(in_)) {
            std::fprintf(stderr, "%s: could not open the ports on \"%s\"\n", who_, engine);
            return false;
        }
        return true;
    }

    // `warm_up` untimed rounds, then `rounds` timed ones (microseconds).
    bool rounds(int warm_up, int rounds, std::vector<double>& times) {
        for (int i = 0; i < warm_up + rounds; ++i) {
            reset_flags();
            if (midiInAddBuffer(in_, &ih_, kHeaderSize) != MMSYSERR_NOERROR) return false;
            SetTimer(hwnd_, kDeadline, 5000, nullptr);
            const auto t0 = Clock::now();
            if (midiOutLongMsg(out_, &oh_, kHeaderSize) != MMSYSERR_NOERROR) return false;
            pump();
            KillTimer(hwnd_, kDeadline);
            if (state().expired || ih_.dwBytesRecorded != message_.size()) {
                std::fprintf(stderr, "%s: round %d: 258 bytes did not come back within 5 s\n", who_, i);
                return false;
            }
            if (i >= warm_up) times.push_back(std::chrono::duration<double, std::micro>(state().in_at - t0).count());
        }
        return true;
    }

    // Both ports open and recording, the program waiting in its message loop.
    void idle(int seconds) {
        reset_flags();
        midiInAddBuffer(in_, &ih_, kHeaderSize);
        SetTimer(hwnd_, kDeadline, static_cast<UINT>(seconds * 1000), nullptr);
        pump();
        KillTimer(hwnd_, kDeadline);
    }

    void close() {
        midiInReset(in_);
        midiInUnprepareHeader(in_, &ih_, kHeaderSize);
        midiOutUnprepareHeader(out_, &oh_, kHeaderSize);
        midiInClose(in_);
        midiOutClose(out_);
        platform::midi::shutdown();
    }

private:
    static constexpr UINT kHeaderSize = offsetof(MIDIHDR, dwOffset);
    static constexpr UINT_PTR kDeadline = 1;

    struct State {
        bool in_done = false;
        bool out_done = false;
        bool expired = false;
        Clock::time_point in_at;
    };
    // What the window procedure saw; one loop per process.
    static State& state() {
        static State s;
        return s;
    }
    static void reset_flags() { state().in_done = state().out_done = state().expired = false; }

    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == MM_MIM_LONGDATA) {
            state().in_at = Clock::now();
            state().in_done = true;
        } else if (msg == MM_MOM_DONE) {
            state().out_done = true;
        } else if (msg == WM_TIMER && wp == kDeadline) {
            state().expired = true;
        }
        return DefWindowProcA(hwnd, msg, wp, lp);
    }

    void pump() {
        MSG msg{};
        while (!(state().in_done && state().out_done) && !state().expired)
            if (platform::session().next_message(msg)) DispatchMessageA(&msg);
    }

    const char* who_ = "bench";
    HWND hwnd_ = nullptr;
    HMIDIIN in_ = nullptr;
    HMIDIOUT out_ = nullptr;
    std::vector<char> capture_ = std::vector<char>(4096);
    std::vector<char> message_ = test_message();
    MIDIHDR ih_{};
    MIDIHDR oh_{};
};

}  // namespace bench
