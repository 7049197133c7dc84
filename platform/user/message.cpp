// The message queue and timers: posting, retrieving, dispatching.
#include "user/session.h"

#include <windows.h>

using platform::Session;
using platform::session;

namespace platform {

bool post_message_with(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, std::function<void()> on_retrieve) {
    std::shared_lock lock(posting_mutex());
    Session* s = current_session();
    if (s == nullptr) return false;
    // A null window posts a thread message; any other must be alive.
    if (hwnd != nullptr && !s->is_live(hwnd)) return false;
    s->queue().post(MSG{hwnd, msg, wp, lp, 0, {0, 0}}, std::move(on_retrieve));
    s->backend().wake();
    return true;
}

}  // namespace platform

extern "C" {

BOOL WINAPI PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return platform::post_message_with(hwnd, msg, wp, lp, {}) ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int code) { session().post_quit(code); }

BOOL WINAPI GetMessageA(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max) {
    // Tavrin reads every message of its thread; filters are not offered.
    (void)hwnd;
    (void)filter_min;
    (void)filter_max;
    if (msg == nullptr) return -1;
    session().next_message(*msg);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
    // No keyboard layouts here: key messages are not turned into WM_CHAR.
    (void)msg;
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
    if (msg == nullptr || msg->hwnd == nullptr) return 0;
    Session& s = session();
    if (s.window(msg->hwnd) == nullptr) return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    return s.send(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    // Timer procedures are not offered: Tavrin's timers arrive as WM_TIMER.
    if (proc != nullptr) return 0;
    Session& s = session();
    if (hwnd != nullptr && s.window(hwnd) == nullptr) return 0;
    if (elapse < 10) elapse = 10;  // USER_TIMER_MINIMUM
    UINT_PTR result = s.timers().set(hwnd, id, platform::Ms(elapse), s.clock().now());
    s.backend().wake();
    // A window's timer keeps its id; Win32 answers a non-zero value even for id 0.
    if (hwnd != nullptr) return result != 0 ? result : 1;
    return result;
}

BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
    return session().timers().kill(hwnd, id) ? TRUE : FALSE;
}

}  // extern "C"
