// Where the windowing core meets the program's resources and other
// instances. Each is answered by the module that owns that concern; until one
// is registered the core behaves as if there were no resource of that name
// and no other instance.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace platform {

struct ResourceHooks {
    // The menu bar named in a window class ("TavrinMenu"), or null.
    std::function<HMENU(HINSTANCE, LPCSTR)> load_menu;
    // An icon resource by name or number, or null.
    std::function<HICON(HINSTANCE, LPCSTR)> load_icon;
    // A top-level window of another process of this user with this class, or null.
    std::function<HWND(LPCSTR class_name, LPCSTR title)> find_remote_window;
};

ResourceHooks& resource_hooks();

}  // namespace platform
