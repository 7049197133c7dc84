// The contract between the toolkit-free Win32 core (platform/user, platform/gdi)
// and a UI toolkit. The core owns the Win32 model (windows, menus, timers, the
// message queue); a backend shows that model and reports what the user does.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

using Ms = std::chrono::milliseconds;
inline constexpr Ms kNoDeadline = Ms::max();

// The time base of timers and of MIDI deliveries. A virtual clock moves only
// when the waiting thread asks it to, and never past an event scheduled on it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Ms now() const = 0;
    // Runs fn on the waiting thread once the clock reaches `at`. Only a
    // virtual clock schedules; a real one answers false and the caller keeps
    // its own time.
    virtual bool schedule(Ms at, std::function<void()> fn) {
        (void)at;
        (void)fn;
        return false;
    }
};

struct BoxRequest {
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT flags = 0;
};

// The button a box gives when the user confirms without choosing (Enter).
int default_box_button(UINT flags);

class UiBackend {
public:
    virtual ~UiBackend() = default;

    virtual Clock& clock() = 0;

    // Waits until something may have changed: an event of the toolkit was
    // handled, wake() was called, or clock().now() reached `deadline`.
    // Spurious returns are allowed; the core checks again.
    virtual void wait(Ms deadline) = 0;
    // Any thread: end the current or the next wait() at once.
    virtual void wake() = 0;

    // Shows a message box without blocking. The core runs its own modal loop
    // and polls box_answer() between messages.
    virtual int show_box(const BoxRequest& box) = 0;
    virtual std::optional<int> box_answer(int box_id) = 0;
    // The core gives up on a box (WM_QUIT arrived): take it down.
    virtual void dismiss_box(int box_id) = 0;

    // Notifications of the window model; a backend shows what it needs.
    virtual void window_created(HWND) {}
    virtual void window_destroyed(HWND) {}
    virtual void window_changed(HWND) {}  // visibility, enabling, text, position
    virtual void window_raised(HWND) {}
    virtual void menu_changed(HWND) {}    // the menu bar of this window changed
    virtual void window_painted(HWND) {}  // a paint or a GetDC drawing ended
    // TextOutA on a window's device context; false makes the call fail.
    virtual bool draw_text(HWND, int x, int y, std::string_view text) {
        (void)x;
        (void)y;
        (void)text;
        return true;
    }

    // Metrics of the default (display) font, for GetTextMetricsA.
    virtual TEXTMETRICA text_metrics() = 0;
};

}  // namespace platform
