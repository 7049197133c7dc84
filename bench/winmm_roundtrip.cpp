// Round trips midiOutLongMsg -> dispatch of MM_MIM_LONGDATA over the virtual
// cable on real time, beside a bare hand-off of the same bytes to a thread
// and back, measured in the same run.
#include "service_loop.h"

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
using bench::Figures;
using bench::figures;
using bench::test_message;

bool service_rounds(std::vector<double>& times) {
    bench::ServiceLoop loop;
    if (!loop.open("cable", "winmm_roundtrip") || !loop.rounds(kWarmUp, kRounds, times)) return false;
    loop.close();
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
