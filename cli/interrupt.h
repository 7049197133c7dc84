// Ctrl-C and SIGTERM: the first one asks the running command to stop (a
// message to its window), a second Ctrl-C ends the program at once; with no
// window yet, the program ends at once.
#pragma once

#include <windows.h>

#include <thread>

namespace tavrin_cli {

// Call first in main, before any thread exists: on POSIX systems the signals
// must be blocked in every thread so that one thread alone takes them.
void prepare_interrupt();

class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The window that hears of an interrupt (kInterruptMessage); null: none.
    void set_target(HWND window);
    bool requested() const { return status() != 0; }
    // The exit status the interrupt asks for (130 or 143), or 0.
    int status() const;

private:
#ifndef _WIN32
    std::jthread thread_;  // waits for the signals
#endif
};

}  // namespace tavrin_cli
