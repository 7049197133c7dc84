// Ctrl-C: the first one asks the running command to stop after its current
// run (a message to its window); with no window yet, the program ends at once.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>

namespace tavrin_cli {

// Call first in main, before any thread exists: on POSIX systems the signal
// must be blocked in every thread so that one thread alone takes it.
void prepare_interrupt();

class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The window that hears of an interrupt (kInterruptMessage); null: none.
    void set_target(HWND window);
    bool requested() const;

private:
#ifndef _WIN32
    std::jthread thread_;  // waits for the signal
#endif
};

}  // namespace tavrin_cli
