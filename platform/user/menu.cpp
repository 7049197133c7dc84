// Menus: the model of the menu bar and its popups, Win32's calls on it, and
// what the user does with it (opening the bar, choosing an item).
#include "user/input.h"
#include "user/session.h"

#include <windows.h>

#include <cstring>

using platform::Menu;
using platform::MenuItem;
using platform::session;

namespace platform {
namespace {

constexpr UINT kStateFlags = MF_CHECKED | MF_GRAYED | MF_DISABLED;

struct Found {
    Menu* menu = nullptr;
    size_t index = 0;
    MenuItem* item() const { return menu != nullptr ? &menu->items[index] : nullptr; }
};

// By command, the search goes through the popups depth-first, as in Win32.
Found find_by_command(HMENU handle, UINT id, int depth = 0) {
    Menu* m = session().menu(handle);
    if (m == nullptr || depth > 16) return {};
    for (size_t i = 0; i < m->items.size(); ++i) {
        MenuItem& item = m->items[i];
        if (item.popup != nullptr) {
            if (Found f = find_by_command(item.popup, id, depth + 1); f.menu != nullptr) return f;
        } else if (item.id == id && !(item.flags & MF_SEPARATOR)) {
            return Found{m, i};
        }
    }
    return {};
}

Found find(HMENU handle, UINT position, UINT flags) {
    if (flags & MF_BYPOSITION) {
        Menu* m = session().menu(handle);
        if (m == nullptr || position >= m->items.size()) return {};
        return Found{m, position};
    }
    return find_by_command(handle, position);
}

bool contains(HMENU tree, HMENU handle, int depth = 0) {
    if (tree == handle) return true;
    Menu* m = session().menu(tree);
    if (m == nullptr || depth > 16) return false;
    for (const auto& item : m->items)
        if (item.popup != nullptr && contains(item.popup, handle, depth + 1)) return true;
    return false;
}

// Tells the backend which window's menu bar changed, if the menu is on one.
void changed(HMENU handle) {
    Session& s = session();
    for (HWND hwnd : s.windows()) {
        Window* w = s.window(hwnd);
        if (w != nullptr && w->parent == nullptr && w->menu != nullptr && contains(w->menu, handle)) {
            s.backend().menu_changed(hwnd);
            return;
        }
    }
}

}  // namespace

bool menu_item_selectable(const MenuItem& item) {
    // An item without text stands as a separator line.
    return item.popup == nullptr && !(item.flags & (MF_SEPARATOR | MF_GRAYED | MF_DISABLED)) && !item.text.empty();
}

bool open_menu_bar(HWND hwnd) {
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr || w->parent != nullptr || w->menu == nullptr || !w->enabled || w->destroying) return false;
    s.send(hwnd, WM_INITMENU, reinterpret_cast<WPARAM>(w->menu), 0);
    return true;
}

bool choose_menu_item(HWND hwnd, UINT id) {
    Session& s = session();
    Window* w = s.window(hwnd);
    if (w == nullptr || w->parent != nullptr || w->menu == nullptr || !w->enabled || w->destroying) return false;
    Found f = find_by_command(w->menu, id);
    if (f.menu == nullptr || !menu_item_selectable(*f.item())) return false;
    return PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0) != FALSE;
}

}  // namespace platform

extern "C" {

HMENU WINAPI GetMenu(HWND hwnd) {
    platform::Window* w = session().window(hwnd);
    return w != nullptr && w->parent == nullptr ? w->menu : nullptr;
}

HMENU WINAPI GetSubMenu(HMENU menu, int pos) {
    Menu* m = session().menu(menu);
    if (m == nullptr || pos < 0 || static_cast<size_t>(pos) >= m->items.size()) return nullptr;
    return m->items[static_cast<size_t>(pos)].popup;
}

BOOL WINAPI ModifyMenuA(HMENU menu, UINT position, UINT flags, UINT_PTR new_id, LPCSTR text) {
    platform::Found f = platform::find(menu, position, flags);
    MenuItem* item = f.item();
    if (item == nullptr) return FALSE;
    // The item is replaced: its old state, popup and text go.
    MenuItem replaced;
    replaced.flags = flags & (platform::kStateFlags | MF_POPUP | MF_SEPARATOR);
    if (flags & MF_POPUP) replaced.popup = reinterpret_cast<HMENU>(new_id);
    else replaced.id = new_id;
    if (!(flags & MF_SEPARATOR) && text != nullptr) replaced.text = text;
    if (item->popup != nullptr && item->popup != replaced.popup) session().remove_menu_tree(item->popup);
    *item = std::move(replaced);
    platform::changed(menu);
    return TRUE;
}

BOOL WINAPI AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) {
    Menu* m = session().menu(menu);
    if (m == nullptr) return FALSE;
    MenuItem item;
    item.flags = flags & (platform::kStateFlags | MF_POPUP | MF_SEPARATOR);
    if (flags & MF_POPUP) item.popup = reinterpret_cast<HMENU>(id);
    else item.id = id;
    if (!(flags & MF_SEPARATOR) && text != nullptr) item.text = text;
    m->items.push_back(std::move(item));
    platform::changed(menu);
    return TRUE;
}

DWORD WINAPI CheckMenuItem(HMENU menu, UINT id, UINT check) {
    MenuItem* item = platform::find(menu, id, check).item();
    if (item == nullptr) return static_cast<DWORD>(-1);
    const DWORD previous = item->flags & MF_CHECKED;
    item->flags = (item->flags & ~static_cast<UINT>(MF_CHECKED)) | (check & MF_CHECKED);
    if (previous != (item->flags & MF_CHECKED)) platform::changed(menu);
    return previous;
}

BOOL WINAPI EnableMenuItem(HMENU menu, UINT id, UINT enable) {
    MenuItem* item = platform::find(menu, id, enable).item();
    if (item == nullptr) return -1;
    const UINT previous = item->flags & (MF_GRAYED | MF_DISABLED);
    item->flags = (item->flags & ~static_cast<UINT>(MF_GRAYED | MF_DISABLED)) | (enable & (MF_GRAYED | MF_DISABLED));
    if (previous != (item->flags & (MF_GRAYED | MF_DISABLED))) platform::changed(menu);
    return static_cast<BOOL>(previous);
}

int WINAPI GetMenuItemCount(HMENU menu) {
    Menu* m = session().menu(menu);
    return m != nullptr ? static_cast<int>(m->items.size()) : -1;
}

UINT WINAPI GetMenuState(HMENU menu, UINT id, UINT flags) {
    MenuItem* item = platform::find(menu, id, flags).item();
    if (item == nullptr) return static_cast<UINT>(-1);
    if (item->popup != nullptr) {
        // A popup: its item count in the high byte, its own flags below.
        const int count = GetMenuItemCount(item->popup);
        return static_cast<UINT>(count << 8) | (item->flags & 0xFF);
    }
    return item->flags;
}

int WINAPI GetMenuStringA(HMENU menu, UINT id, LPSTR text, int max, UINT flags) {
    MenuItem* item = platform::find(menu, id, flags).item();
    if (item == nullptr) return 0;
    const int length = static_cast<int>(item->text.size());
    if (text == nullptr || max <= 0) return length;
    const int n = std::min(length, max - 1);
    std::memcpy(text, item->text.data(), static_cast<size_t>(n));
    text[n] = '\0';
    return n;
}

}  // extern "C"
