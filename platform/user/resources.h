// Where the windowing core meets the program's resources and other
// instances. Each is answered by the module that owns that concern; until one
// is registered the core behaves as if there were no resource of that name
// and no other instance.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace platform {

// One control of a dialog template. Positions are dialog units.
struct DialogControl {
    std::string class_name;  // "button" or "static"
    std::string text;
    WORD id = 0;             // -1 in the script is 0xFFFF: no id
    DWORD style = 0;         // WS_CHILD | WS_VISIBLE included
    DWORD ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
};

struct DialogTemplate {
    std::string name;  // upper case, as the resource table keeps it
    DWORD style = 0;
    DWORD ex_style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units, from the owner's client area
    std::string caption;
    int font_points = 0;  // 0: no FONT statement
    std::string font_face;
    WORD language = 0;
    std::vector<DialogControl> controls;  // template order: creation and tab order
};

struct ResourceHooks {
    // The menu bar named in a window class ("TavrinMenu"), or null.
    std::function<HMENU(HINSTANCE, LPCSTR)> load_menu;
    // An icon resource by name or number, or null.
    std::function<HICON(HINSTANCE, LPCSTR)> load_icon;
    // A dialog template by name (any case) or number, or null.
    std::function<const DialogTemplate*(HINSTANCE, LPCSTR)> load_dialog;
    // A top-level window of another process of this user with this class, or null.
    std::function<HWND(LPCSTR class_name, LPCSTR title)> find_remote_window;
};

// Starts with the program's embedded resource script and the instance
// finder registered; tests may replace any hook.
ResourceHooks& resource_hooks();

// The bytes of an icon returned by LoadIconA (an .ico file image), or empty.
std::span<const std::uint8_t> icon_image(HICON icon);

}  // namespace platform
