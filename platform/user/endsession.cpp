#include "user/endsession.h"

#include "user/session.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<int> g_signal_fd{-1};

extern "C" void on_end_signal(int) {
    const int saved = errno;
    const char byte = 1;
    const int fd = g_signal_fd.load(std::memory_order_relaxed);
    if (fd >= 0) [[maybe_unused]] auto n = ::write(fd, &byte, 1);
    errno = saved;
}

// On the program's thread: ask every top-level window, then tell them the outcome.
void query_end_session() {
    Session& s = session();
    std::vector<HWND> tops;
    for (HWND hwnd : s.windows()) {
        Window* w = s.window(hwnd);
        if (w != nullptr && w->parent == nullptr && w->dlg_proc == nullptr && !w->destroying) tops.push_back(hwnd);
    }
    if (tops.empty()) {
        // No window to ask or to close (a box before the main window, say):
        // the session ends and the program with it, as Windows ends it.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    bool agreed = true;
    for (HWND hwnd : tops) {
        if (!IsWindow(hwnd)) continue;
        if (s.send(hwnd, WM_QUERYENDSESSION, 0, 0) == 0) {
            agreed = false;
            break;
        }
    }
    for (HWND hwnd : tops)
        if (IsWindow(hwnd)) s.send(hwnd, WM_ENDSESSION, agreed ? TRUE : FALSE, 0);
}

class Watcher {
public:
    Watcher() {
        if (::pipe2(signal_pipe_, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(stop_pipe_, O_CLOEXEC) != 0) return;
        g_signal_fd.store(signal_pipe_[1]);
        struct sigaction sa {};
        sa.sa_handler = on_end_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGHUP, &sa, nullptr);
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "tavrin-session");
            run();
        });
    }
    ~Watcher() {
        if (thread_.joinable()) {
            const char byte = 0;
            [[maybe_unused]] auto n = ::write(stop_pipe_[1], &byte, 1);
            thread_.join();
        }
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

private:
    void run() {
        pollfd fds[2] = {{signal_pipe_[0], POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if (fds[0].revents & POLLIN) {
                char buffer[64];
                bool any = false;
                while (::read(signal_pipe_[0], buffer, sizeof buffer) > 0) any = true;
                // Several signals before the program looks are one request.
                if (any) post_message_with(nullptr, WM_NULL, 0, 0, query_end_session);
            }
        }
    }
    int signal_pipe_[2] = {-1, -1};
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace

void watch_end_session_signals() {
    static Watcher watcher;
}

}  // namespace platform
