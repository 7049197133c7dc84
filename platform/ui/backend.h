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

// Pixels of a dialog font's average character width and height: a dialog
// unit is a quarter of the first horizontally, an eighth of the second
// vertically.
struct DialogBaseUnits {
    int x = 6;
    int y = 13;
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

    // Dialogs. A dialog is a top-level Window with dlg_proc set (owner: the
    // window it is modal to); it and its controls come through
    // window_created / window_destroyed like any window, the dialog first,
    // then its controls in template order, all before it is shown: the dialog
    // becomes visible (window_changed) only after its procedure has had
    // WM_INITDIALOG. Window::dialog_units holds each one's template rectangle;
    // `rect` holds it in pixels by the base units below.
    // The base units of the template's font (face, size in points).
    virtual DialogBaseUnits dialog_base_units(std::string_view face, int points) {
        (void)face;
        (void)points;
        return {};
    }
};

}  // namespace platform
