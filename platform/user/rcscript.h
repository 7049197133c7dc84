// A reader for the resource script that the Windows build compiles with a
// resource compiler: the portable build reads the same script, so every menu
// text, id and dialog position has one source. It reads only the statements
// Tavrin's script uses:
//   #include "file" (resolved among the given files; <system> headers are
//   skipped: Win32's constants are known here), #define NAME value,
//   #ifndef/#ifdef/#endif, LANGUAGE, ICON, MENU with POPUP / MENUITEM /
//   MENUITEM SEPARATOR, DIALOG with STYLE / EXSTYLE / CAPTION / FONT /
//   LANGUAGE and the controls DEFPUSHBUTTON, PUSHBUTTON, LTEXT, CTEXT, CONTROL.
#pragma once

#include "user/resources.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MenuNode {
    std::string text;
    UINT id = 0;
    UINT flags = 0;  // MF_POPUP, MF_SEPARATOR
    std::vector<MenuNode> items;  // a popup's items
};

struct MenuTemplate {
    std::string name;  // upper case
    std::vector<MenuNode> items;
};

struct RcFile {
    std::string name;
    std::span<const std::uint8_t> bytes;
};

struct ResourceScript {
    std::vector<MenuTemplate> menus;
    std::vector<DialogTemplate> dialogs;
    std::map<UINT, std::vector<std::uint8_t>> icons;        // by number
    std::map<std::string, std::vector<std::uint8_t>> named_icons;  // upper case
    std::map<std::string, long> defines;

    const MenuTemplate* menu(LPCSTR name) const;
    const DialogTemplate* dialog(LPCSTR name) const;
    const std::vector<std::uint8_t>* icon(LPCSTR name) const;
};

struct RcResult {
    std::optional<ResourceScript> script;
    std::string error;  // "file:line: what", when script is empty
};

// Reads `main` (one of `files`); #include and ICON name other files of `files`.
RcResult read_resource_script(std::string_view main, std::span<const RcFile> files);

// The program's own script, embedded at build time; read once. Null (after a
// message on stderr) if it does not read.
const ResourceScript* embedded_resources();

// Hooks serving a script's menus, dialogs and icons. The script must outlive them.
void use_resource_script(ResourceHooks& hooks, const ResourceScript* script);

// Files embedded by the build (generated source).
std::span<const RcFile> embedded_resource_files();

}  // namespace platform
