#include "cli/interrupt.h"

#include "cli/exit_codes.h"
#include "cli/midi_io.h"

#include <atomic>
#include <cstdlib>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace tavrin_cli {

namespace {

// A console control handler and a signal take no context, so what they
// reach is the process's: the window to tell, and the status asked for.
std::atomic<HWND> g_target{nullptr};
std::atomic<int> g_status{0};

void on_interrupt(int status) {
    const int before = g_status.exchange(status);
    HWND target = g_target.load();
    if (target == nullptr || (before != 0 && status == kExitInterrupted)) std::_Exit(status);
    PostMessageA(target, kInterruptMessage, 0, 0);
}

#ifdef _WIN32
BOOL WINAPI console_handler(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) on_interrupt(kExitInterrupted);
    else if (event == CTRL_CLOSE_EVENT) on_interrupt(kExitTerminated);
    else return FALSE;
    return TRUE;
}
#else
// SIGUSR2 only ends the watching thread.
sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
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
            on_interrupt(sig == SIGTERM ? kExitTerminated : kExitInterrupted);
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

int InterruptWatch::status() const { return g_status.load(); }

}  // namespace tavrin_cli
