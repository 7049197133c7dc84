// Round trips midiOutLongMsg -> dispatch of MM_MIM_LONGDATA over the virtual
// cable on real time, beside a bare hand-off of the same bytes to a thread
// and back, measured in the same run.
#include "common.h"

#include "ui/headless/headless.h"
#include "user/session.h"
#include "winmm/service.h"

#include <mmsystem.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 1000;
constexpr int kWarmUp = 50;
constexpr UINT kHeaderSize = offsetof(MIDIHDR, dwOffset);
constexpr UINT_PTR kDeadline = 1;

bool g_in_done = false;
bool g_out_done = false;
bool g_expired = false;
Clock::time_point g_in_at;

LRESULT CALLBACK bench_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == MM_MIM_LONGDATA) {
        g_in_at = Clock::now();
        g_in_done = true;
    } else if (msg == MM_MOM_DONE) {
        g_out_done = true;
    } else if (msg == WM_TIMER && wp == kDeadline) {
        g_expired = true;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

using bench::Figures;
using bench::figures;
using bench::test_message;

bool service_rounds(std::vector<double>& times) {
    auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Real);
    backend->set_scripted();
    backend->set_activate_on_show(false);
    platform::install_backend(std::move(backend));
    WNDCLASSA wc{};
    wc.lpfnWndProc = bench_proc;
    wc.lpszClassName = "WinmmBench";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowExA(0, "WinmmBench", "bench", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    platform::midi::configure("cable");

    HMIDIIN in = nullptr;
    HMIDIOUT out = nullptr;
    std::vector<char> capture(4096);
    std::vector<char> message = test_message();
    MIDIHDR ih{};
    MIDIHDR oh{};
    ih.lpData = capture.data();
    ih.dwBufferLength = 4096;
    oh.lpData = message.data();
    oh.dwBufferLength = static_cast<DWORD>(message.size());
    const auto cb = reinterpret_cast<DWORD_PTR>(hwnd);
    if (midiInOpen(&in, 0, cb, 0, CALLBACK_WINDOW) || midiOutOpen(&out, 0, cb, 0, CALLBACK_WINDOW) ||
        midiInPrepareHeader(in, &ih, kHeaderSize) || midiOutPrepareHeader(out, &oh, kHeaderSize) ||
        midiInStart(in)) {
        std::fputs("could not open the virtual cable\n", stderr);
        return false;
    }
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        g_in_done = g_out_done = false;
        if (midiInAddBuffer(in, &ih, kHeaderSize) != MMSYSERR_NOERROR) return false;
        SetTimer(hwnd, kDeadline, 5000, nullptr);
        const auto t0 = Clock::now();
        if (midiOutLongMsg(out, &oh, kHeaderSize) != MMSYSERR_NOERROR) return false;
        MSG msg{};
        while (!(g_in_done && g_out_done) && !g_expired) {
            if (platform::session().next_message(msg)) DispatchMessageA(&msg);
        }
        KillTimer(hwnd, kDeadline);
        if (g_expired || ih.dwBytesRecorded != message.size()) {
            std::fprintf(stderr, "round %d: MM_MIM_LONGDATA with 258 bytes did not come within 5 s\n", i);
            return false;
        }
        if (i >= kWarmUp) times.push_back(std::chrono::duration<double, std::micro>(g_in_at - t0).count());
    }
    midiInReset(in);
    midiInUnprepareHeader(in, &ih, kHeaderSize);
    midiOutUnprepareHeader(out, &oh, kHeaderSize);
    midiInClose(in);
    midiOutClose(out);
    platform::midi::shutdown();
    return true;
}

// The same bytes handed to a thread, copied into a buffer there, and handed back.
void handoff_rounds(std::vector<double>& out) {
    const std::vector<char> message = test_message();
    std::vector<char> capture(4096);
    std::mutex m;
    std::condition_variable cv;
    const std::vector<char>* job = nullptr;
    bool copied = false;
    bool stop = false;
    std::thread worker([&] {
        std::unique_lock lock(m);
        for (;;) {
            cv.wait(lock, [&] { return job != nullptr || stop; });
            if (stop) return;
            std::memcpy(capture.data(), job->data(), job->size());
            job = nullptr;
            copied = true;
            cv.notify_all();
        }
    });
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        const auto t0 = Clock::now();
        std::unique_lock lock(m);
        job = &message;
        copied = false;
        cv.notify_all();
        cv.wait(lock, [&] { return copied; });
        const auto t1 = Clock::now();
        if (i >= kWarmUp) out.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    {
        std::lock_guard lock(m);
        stop = true;
    }
    cv.notify_all();
    worker.join();
}

}  // namespace

int main() {
    std::vector<double> service_us;
    std::vector<double> handoff_us;
    if (!service_rounds(service_us)) return 1;
    handoff_rounds(handoff_us);
    const Figures s = figures(service_us);
    const Figures h = figures(handoff_us);
    std::printf("winmm round trip, %d rounds of a 258-byte SysEx over the virtual cable (real time):\n", kRounds);
    std::printf("  midiOutLongMsg -> MM_MIM_LONGDATA dispatched: median %8.1f us, p99 %8.1f us\n", s.median_us,
                s.p99_us);
    std::printf("  bare thread hand-off and back (baseline):     median %8.1f us, p99 %8.1f us\n", h.median_us,
                h.p99_us);
    std::printf("  ratio service / baseline: median %.2f, p99 %.2f\n", s.median_us / h.median_us,
                s.p99_us / h.p99_us);
    return 0;
}
