#include "cli/interrupt.h"

#include "cli/exit_codes.h"
#include "cli/midi_io.h"

#include <cstdlib>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace tavrin_cli {

namespace {

// A console control handler and a signal take no context, so what they
// reach is the process's: the window to tell, and whether it was told.
std::atomic<HWND> g_target{nullptr};
std::atomic<bool> g_requested{false};

void on_interrupt() {
    g_requested.store(true);
    HWND target = g_target.load();
    if (target == nullptr) std::_Exit(kExitInterrupted);
    PostMessageA(target, kInterruptMessage, 0, 0);
}

#ifdef _WIN32
BOOL WINAPI console_handler(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    on_interrupt();
    return TRUE;
}
#else
// SIGUSR2 only ends the watching thread.
sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR2);
    return set;
}
#endif

}  // namespace

void prepare_interrupt() {
#ifndef _WIN32
    const sigset_t set = watched_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
}

InterruptWatch::InterruptWatch() {
#ifdef _WIN32
    SetConsoleCtrlHandler(console_handler, TRUE);
#else
    thread_ = std::jthread([] {
        pthread_setname_np(pthread_self(), "tavrin-signals");
        const sigset_t set = watched_signals();
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0 || sig == SIGUSR2) return;
            on_interrupt();
        }
    });
#endif
}

InterruptWatch::~InterruptWatch() {
#ifdef _WIN32
    SetConsoleCtrlHandler(console_handler, FALSE);
#else
    pthread_kill(thread_.native_handle(), SIGUSR2);
    thread_.join();
#endif
    g_target.store(nullptr);
}

void InterruptWatch::set_target(HWND window) { g_target.store(window); }

bool InterruptWatch::requested() const { return g_requested.load(); }

}  // namespace tavrin_cli
