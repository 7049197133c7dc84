// The performance counter: a monotonic count of nanoseconds, so its
// frequency is fixed at 10^9 for the life of the system, as Win32 promises.
#include <windows.h>

#include <chrono>

extern "C" {

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr) return FALSE;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    count->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) return FALSE;
    frequency->QuadPart = 1'000'000'000;
    return TRUE;
}

}  // extern "C"
