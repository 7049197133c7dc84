// Window classes and windows: creation, destruction, the default window
// procedure, visibility, enabling and focus.
#include "user/input.h"
#include "user/instance.h"
#include "user/rcscript.h"
#include "user/resources.h"
#include "user/session.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

using platform::session;
using platform::Window;

namespace platform {

ResourceHooks& resource_hooks() {
    static ResourceHooks hooks = [] {
        ResourceHooks h;
        use_resource_script(h, embedded_resources());
        return h;
    }();
    return hooks;
}

namespace {

constexpr int kDefaultX = 64;
constexpr int kDefaultY = 48;
constexpr int kDefaultWidth = 400;
constexpr int kDefaultHeight = 300;

LRESULT CALLBACK control_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// "button" and "static" exist in every process, as in Win32.
const WindowClass* system_class(std::string_view name) {
    static const WindowClass button{"button", 0, control_proc, nullptr, nullptr, nullptr, nullptr, ""};
    static const WindowClass stat{"static", 0, control_proc, nullptr, nullptr, nullptr, nullptr, ""};
    for (const WindowClass* c : {&button, &stat})
        if (c->name.size() == name.size() && strncasecmp(c->name.c_str(), name.data(), name.size()) == 0)
            return c;
    return nullptr;
}

bool equal_nocase(const std::string& a, LPCSTR b) {
    return b != nullptr && strcasecmp(a.c_str(), b) == 0;
}

void destroy_tree(HWND hwnd);

void destroy_tree(HWND hwnd) {
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr || w->destroying) return;
    w->destroying = true;
    // Owned windows (dialogs) go before their owner.
    for (HWND other : s.windows()) {
        Window* o = s.window(other);
        if (o != nullptr && o->owner == hwnd) destroy_tree(other);
    }
    if (w->visible) {
        w->visible = false;
        s.notify_changed(hwnd);
    }
    s.send(hwnd, WM_DESTROY, 0, 0);
    for (HWND child : s.children(hwnd)) destroy_tree(child);
    w = s.window(hwnd);
    if (w == nullptr) return;
    HMENU menu = w->parent == nullptr ? w->menu : nullptr;
    instance_window_destroyed(hwnd);
    if (!w->message_only) s.backend().window_destroyed(hwnd);
    s.remove_window(hwnd);
    if (menu != nullptr) s.remove_menu_tree(menu);
}

}  // namespace

bool click_button(HWND button) {
    Session& s = session();
    Window* w = s.window(button);
    if (w == nullptr || w->parent == nullptr || !w->enabled || !w->visible) return false;
    Window* top = s.top_level(button);
    if (top == nullptr || !top->enabled) return false;
    s.send(w->parent, WM_COMMAND, MAKEWPARAM(w->id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return true;
}

void set_app_active(bool active) {
    Session& s = session();
    if (s.app_active() == active) return;
    s.set_app_active_flag(active);
    for (HWND hwnd : s.windows()) {
        Window* w = s.window(hwnd);
        if (w != nullptr && w->parent == nullptr && !w->destroying)
            s.send(hwnd, WM_ACTIVATEAPP, active ? TRUE : FALSE, 0);
    }
}

bool app_active() { return session().app_active(); }

void request_close(HWND window) {
    Session& s = session();
    Window* w = s.window(window);
    if (w == nullptr || !w->enabled) return;
    s.send(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

}  // namespace platform

using platform::Session;
using platform::WindowClass;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* wc) {
    if (wc == nullptr || wc->lpszClassName == nullptr || wc->lpfnWndProc == nullptr) return 0;
    WindowClass cls;
    cls.name = wc->lpszClassName;
    cls.style = wc->style;
    cls.proc = wc->lpfnWndProc;
    cls.instance = wc->hInstance;
    cls.icon = wc->hIcon;
    cls.cursor = wc->hCursor;
    cls.background = wc->hbrBackground;
    if (wc->lpszMenuName != nullptr && !IS_INTRESOURCE(wc->lpszMenuName)) cls.menu_name = wc->lpszMenuName;
    Session& s = session();
    if (!s.register_class(cls)) return 0;
    static ATOM next_atom = 0xC000;
    return next_atom++;
}

HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    if (class_name == nullptr || IS_INTRESOURCE(class_name)) return nullptr;
    Session& s = session();
    const WindowClass* cls = s.find_class(class_name);
    const bool registered = cls != nullptr;
    if (cls == nullptr) cls = platform::system_class(class_name);
    if (cls == nullptr) return nullptr;
    // A message-only window only receives messages: it is never shown and
    // no toolkit hears of it.
    const bool message_only = parent == HWND_MESSAGE;
    if (message_only) {
        parent = nullptr;
        style &= ~static_cast<DWORD>(WS_VISIBLE | WS_CHILD);
    }
    if (parent != nullptr && s.window(parent) == nullptr) return nullptr;
    const bool child = (style & WS_CHILD) != 0;
    if (child && parent == nullptr) return nullptr;

    auto w = std::make_unique<Window>();
    w->class_name = cls->name;
    w->proc = cls->proc;
    w->text = title != nullptr ? title : "";
    w->style = style;
    w->ex_style = ex_style;
    w->instance = instance;
    w->icon = cls->icon;
    w->enabled = (style & WS_DISABLED) == 0;
    w->visible = (style & WS_VISIBLE) != 0;
    w->message_only = message_only;
    if (child) {
        w->parent = parent;
        w->id = static_cast<int>(reinterpret_cast<std::intptr_t>(menu));
    } else {
        w->owner = parent;
        if (x == CW_USEDEFAULT) {
            x = platform::kDefaultX;
            y = platform::kDefaultY;
        }
        if (width == CW_USEDEFAULT) {
            width = platform::kDefaultWidth;
            height = platform::kDefaultHeight;
        }
    }
    w->rect = RECT{x, y, x + width, y + height};
    w->needs_paint = w->visible;
    w->erase = w->visible;
    HWND hwnd = s.add_window(std::move(w));
    if (!child) {
        HMENU bar = menu;
        if (bar == nullptr && !cls->menu_name.empty() && platform::resource_hooks().load_menu)
            bar = platform::resource_hooks().load_menu(instance, cls->menu_name.c_str());
        if (Window* created = s.window(hwnd)) created->menu = bar;
        if (platform::Menu* m = s.menu(bar)) m->owner = hwnd;
        if (registered && !message_only) platform::instance_window_created(hwnd, cls->name);
    }
    if (!message_only) s.backend().window_created(hwnd);

    CREATESTRUCTA cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style), title,
                     class_name, ex_style};
    if (s.send(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    return s.window(hwnd) != nullptr ? hwnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr || w->destroying) return FALSE;
    platform::destroy_tree(hwnd);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd) {
    Window* w = session().window(hwnd);
    return w != nullptr && !w->destroying ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    (void)lp;
    switch (msg) {
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE) SendMessageA(hwnd, WM_CLOSE, 0, 0);
        return 0;
    default:
        return 0;
    }
}

LRESULT WINAPI SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return session().send(hwnd, msg, wp, lp);
}

BOOL WINAPI ShowWindow(HWND hwnd, int cmd) {
    // Another instance's window: it restores and raises itself when asked.
    if (platform::is_remote_window(hwnd)) {
        if (cmd != SW_HIDE) platform::raise_remote_window(hwnd);
        return FALSE;
    }
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr) return FALSE;
    if (w->message_only) return FALSE;
    const BOOL was_visible = w->visible ? TRUE : FALSE;
    switch (cmd) {
    case SW_HIDE:
        w->visible = false;
        break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
        w->visible = true;
        w->iconic = true;
        break;
    default:  // SW_SHOWNORMAL, SW_SHOW, SW_RESTORE
        w->visible = true;
        w->iconic = false;
        break;
    }
    if (w->visible && !was_visible) {
        w->needs_paint = true;
        w->erase = true;
    }
    s.notify_changed(hwnd);
    return was_visible;
}

BOOL WINAPI UpdateWindow(HWND hwnd) {
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr) return FALSE;
    if (w->needs_paint && w->visible) s.send(hwnd, WM_PAINT, 0, 0);
    return TRUE;
}

BOOL WINAPI IsIconic(HWND hwnd) {
    Window* w = session().window(hwnd);
    return w != nullptr && w->iconic ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hwnd) {
    Session& s = session();
    for (Window* w = s.window(hwnd); w != nullptr; w = s.window(w->parent)) {
        if (!w->visible) return FALSE;
        if (w->parent == nullptr) return TRUE;
    }
    return FALSE;
}

BOOL WINAPI BringWindowToTop(HWND hwnd) {
    if (platform::is_remote_window(hwnd)) return platform::raise_remote_window(hwnd) ? TRUE : FALSE;
    Session& s = session();
    if (s.window(hwnd) == nullptr) return FALSE;
    s.backend().window_raised(hwnd);
    return TRUE;
}

BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable) {
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr) return FALSE;
    const BOOL was_disabled = w->enabled ? FALSE : TRUE;
    const bool now_enabled = enable != FALSE;
    if (w->enabled != now_enabled) {
        w->enabled = now_enabled;
        if (now_enabled) w->style &= ~static_cast<DWORD>(WS_DISABLED);
        else w->style |= static_cast<DWORD>(WS_DISABLED);
        if (!now_enabled && s.focus() == hwnd) s.set_focus(nullptr);
        s.send(hwnd, WM_ENABLE, now_enabled ? TRUE : FALSE, 0);
        s.notify_changed(hwnd);
    }
    return was_disabled;
}

BOOL WINAPI IsWindowEnabled(HWND hwnd) {
    Window* w = session().window(hwnd);
    return w != nullptr && w->enabled ? TRUE : FALSE;
}

HWND WINAPI SetFocus(HWND hwnd) {
    Session& s = session();
    HWND previous = s.focus();
    if (hwnd != nullptr) {
        Window* w = s.window(hwnd);
        if (w == nullptr || !w->enabled) return nullptr;
    }
    s.set_focus(hwnd);
    return previous;
}

HWND WINAPI GetFocus(void) { return session().focus(); }

HWND WINAPI FindWindowA(LPCSTR class_name, LPCSTR title) {
    Session& s = session();
    for (HWND hwnd : s.windows()) {
        Window* w = s.window(hwnd);
        if (w == nullptr || w->parent != nullptr || w->destroying || w->message_only) continue;
        if (class_name != nullptr && !platform::equal_nocase(w->class_name, class_name)) continue;
        if (title != nullptr && w->text != title) continue;
        return hwnd;
    }
    if (platform::resource_hooks().find_remote_window)
        return platform::resource_hooks().find_remote_window(class_name, title);
    return nullptr;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hwnd, int index) {
    Window* w = session().window(hwnd);
    if (w == nullptr) return 0;
    switch (index) {
    case GWLP_HINSTANCE:
        return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_ID:
        return w->id;
    case GWL_STYLE:
        return static_cast<LONG>(w->style);
    default:
        return 0;
    }
}

LONG WINAPI GetWindowLongA(HWND hwnd, int index) {
    // A 32-bit read, as in Win32: a pointer-sized value is cut.
    return static_cast<LONG>(GetWindowLongPtrA(hwnd, index));
}

HWND WINAPI GetDlgItem(HWND dialog, int id) {
    Session& s = session();
    if (s.window(dialog) == nullptr) return nullptr;
    for (HWND child : s.children(dialog))
        if (Window* w = s.window(child); w != nullptr && w->id == id) return child;
    return nullptr;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
    Window* w = session().window(hwnd);
    if (w == nullptr || rect == nullptr) return FALSE;
    *rect = w->rect;
    return TRUE;
}

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
    if (name == nullptr) return nullptr;
    if (instance == nullptr) return name == IDI_APPLICATION ? reinterpret_cast<HICON>(0x7F00) : nullptr;
    if (platform::resource_hooks().load_icon) return platform::resource_hooks().load_icon(instance, name);
    return nullptr;
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
    // Only the system's arrow exists here.
    if (instance == nullptr && name == IDC_ARROW) return reinterpret_cast<HCURSOR>(0x10003);
    return nullptr;
}

}  // extern "C"
