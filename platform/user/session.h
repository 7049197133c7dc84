// The state of the windowing system of one process: window classes, windows,
// menus, timers and the thread's message queue, with the UI backend that shows
// them. Win32 keeps this state per desktop and thread; Tavrin's programs have
// one UI thread, so one Session serves the process.
#pragma once

#include "ui/backend.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

namespace platform {

struct WindowClass {
    std::string name;
    UINT style = 0;
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
    std::string menu_name;  // empty: no class menu
};

struct TextRun {
    int x = 0;
    int y = 0;  // top of the text cell
    std::string text;
};

struct Window {
    HWND hwnd = nullptr;
    std::string class_name;
    WNDPROC proc = nullptr;
    std::string text;
    DWORD style = 0;
    DWORD ex_style = 0;
    RECT rect{};          // outer rectangle: screen for top-level, parent client for children
    HWND parent = nullptr;  // children only
    HWND owner = nullptr;   // owned top-level windows (dialogs)
    int id = 0;             // control id of a child
    HINSTANCE instance = nullptr;
    HMENU menu = nullptr;   // menu bar of a top-level window
    HICON icon = nullptr;
    bool enabled = true;
    bool visible = false;
    bool iconic = false;
    bool needs_paint = false;
    bool erase = false;
    bool destroying = false;
    bool message_only = false;  // created under HWND_MESSAGE: no display, not found by FindWindowA
    std::vector<TextRun> drawing;  // what the client area shows, in drawing order
    // Dialogs
    DLGPROC dlg_proc = nullptr;
    bool dialog_ended = false;
    INT_PTR dialog_result = 0;
    std::string dialog_template;
    int default_button = 0;  // control id of the default push button, 0 if none
    // A dialog and its controls: the template's rectangle in dialog units
    // (left, top, right, bottom); `rect` holds the same in pixels.
    RECT dialog_units{};
};

struct MenuItem {
    std::string text;
    UINT_PTR id = 0;
    UINT flags = 0;        // MF_CHECKED, MF_GRAYED, MF_DISABLED, MF_POPUP, MF_SEPARATOR
    HMENU popup = nullptr;
};

struct Menu {
    std::vector<MenuItem> items;
    HWND owner = nullptr;  // the window whose menu bar this menu is (or belongs to)
};

// Whether the user can choose the item: a command item that is enabled and has
// text (an item without text stands as a separator line).
bool menu_item_selectable(const MenuItem& item);

// Posted messages; safe from any thread. A message may carry an action that
// runs on the retrieving thread just before the message is handed out: a
// service that works on another thread uses it to publish state (header
// flags, say) on the program's own thread, in step with its notification.
class MessageQueue {
public:
    void post(const MSG& msg, std::function<void()> on_retrieve = {});
    bool pop(MSG& out);
    bool empty() const;
    void clear();

private:
    struct Entry {
        MSG msg;
        std::function<void()> on_retrieve;
    };
    mutable std::mutex mutex_;
    std::deque<Entry> messages_;
};

class Timers {
public:
    struct Timer {
        HWND hwnd;
        UINT_PTR id;
        Ms period;
        Ms due;
    };
    UINT_PTR set(HWND hwnd, UINT_PTR id, Ms period, Ms now);
    bool kill(HWND hwnd, UINT_PTR id);
    void kill_all(HWND hwnd);
    // The first due timer: returns it and schedules its next tick.
    bool take_due(Ms now, Timer& out);
    Ms next_due() const;
    bool empty() const { return timers_.empty(); }

private:
    std::vector<Timer> timers_;
    UINT_PTR next_anonymous_ = 0x7FFF;
};

class Session {
public:
    explicit Session(std::unique_ptr<UiBackend> backend);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    UiBackend& backend() { return *backend_; }
    Clock& clock() { return backend_->clock(); }

    // Classes
    bool register_class(const WindowClass& cls);
    const WindowClass* find_class(std::string_view name) const;

    // Windows (UI thread, except is_live)
    HWND add_window(std::unique_ptr<Window> window);
    Window* window(HWND hwnd);
    bool is_live(HWND hwnd) const;
    void remove_window(HWND hwnd);
    std::vector<HWND> windows() const;  // creation order
    std::vector<HWND> children(HWND parent) const;
    Window* top_level(HWND hwnd);  // the window itself or its top-level ancestor

    // Menus
    HMENU add_menu(std::unique_ptr<Menu> menu);
    Menu* menu(HMENU handle);
    void remove_menu_tree(HMENU handle);

    // Messages
    MessageQueue& queue() { return queue_; }
    Timers& timers() { return timers_; }
    void post_quit(int code);
    LRESULT send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    // Retrieves the next message in Win32's order: posted (FIFO), WM_QUIT,
    // WM_PAINT, WM_TIMER. Waits while nothing is ready; returns false without
    // a message as soon as `stop` answers true.
    bool next_message(MSG& out, const std::function<bool()>& stop = {});
    // Runs a modal loop until `done` answers true. Returns false when WM_QUIT
    // ended it (the quit is posted again for the outer loop).
    bool modal_loop(const std::function<bool()>& done);

    HWND focus() const { return focus_; }
    void set_focus(HWND hwnd) { focus_ = hwnd; }
    HWND active_modal() const;  // the topmost dialog, if one is up

    void notify_changed(HWND hwnd);

    bool app_active() const { return app_active_; }
    void set_app_active_flag(bool active) { app_active_ = active; }

private:
    bool take_paint(MSG& out);

    std::unique_ptr<UiBackend> backend_;
    std::vector<WindowClass> classes_;
    std::map<std::uintptr_t, std::unique_ptr<Window>> windows_;
    std::map<std::uintptr_t, std::unique_ptr<Menu>> menus_;
    mutable std::mutex live_mutex_;
    std::set<std::uintptr_t> live_;
    std::uintptr_t next_window_ = 0x10010;
    std::uintptr_t next_menu_ = 0x20010;
    MessageQueue queue_;
    Timers timers_;
    bool quit_pending_ = false;
    int quit_code_ = 0;
    HWND focus_ = nullptr;
    bool app_active_ = false;
};

// The process's session. Created with the default headless backend on first
// use unless a backend was installed.
Session& session();
// Replaces the session (and with it every window, menu, timer and queued
// message) by a fresh one on the given backend. UI thread only, while no
// other thread posts.
void install_backend(std::unique_ptr<UiBackend> backend);
// True while a session exists; other threads may post only then.
Session* current_session();
// Held shared by a post from any thread for its whole length, and exclusively
// while install_backend takes the old session away, so that no post still
// uses a session being destroyed.
std::shared_mutex& posting_mutex();

// PostMessageA with an action run on the program's thread when the message is
// retrieved (see MessageQueue). Any thread. False, and nothing posted, for a
// window that does not exist.
bool post_message_with(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, std::function<void()> on_retrieve);

template <typename H>
H to_handle(std::uintptr_t id) {
    return reinterpret_cast<H>(id);
}
template <typename H>
std::uintptr_t handle_id(H handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace platform
