// Modal dialog boxes from the resource script's templates: the dialog
// manager's window procedure, DialogBoxParamA / EndDialog and the keys a
// dialog answers.
#include "user/input.h"
#include "user/resources.h"
#include "user/session.h"

#include <windows.h>

using platform::session;

namespace platform {
namespace {

int mul_div(int value, int numerator, int denominator) {
    return static_cast<int>((static_cast<long long>(value) * numerator) / denominator);
}

RECT to_pixels(const RECT& dlu, DialogBaseUnits units) {
    return RECT{mul_div(dlu.left, units.x, 4), mul_div(dlu.top, units.y, 8), mul_div(dlu.right, units.x, 4),
                mul_div(dlu.bottom, units.y, 8)};
}

// The dialog manager's own handling, after the dialog procedure declined.
LRESULT CALLBACK dialog_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Window* w = session().window(hwnd);
    if (w == nullptr) return 0;
    if (DLGPROC proc = w->dlg_proc; proc != nullptr && proc(hwnd, msg, wp, lp) != FALSE) return TRUE;
    switch (msg) {
    case WM_CLOSE:
        // The close command is Cancel's command; the dialog procedure decides.
        PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDCANCEL)));
        return 0;
    case WM_COMMAND:
        return 0;  // unhandled commands (IDOK, IDCANCEL included) end nothing
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

HWND create_dialog(Session& s, const DialogTemplate& t, HINSTANCE instance, HWND owner, DLGPROC proc) {
    const DialogBaseUnits units = s.backend().dialog_base_units(t.font_face, t.font_points);
    auto d = std::make_unique<Window>();
    d->class_name = "#32770";
    d->proc = dialog_window_proc;
    d->dlg_proc = proc;
    d->text = t.caption;
    d->style = t.style & ~static_cast<DWORD>(WS_VISIBLE);  // shown after WM_INITDIALOG
    d->ex_style = t.ex_style;
    d->instance = instance;
    d->owner = owner;
    d->enabled = (t.style & WS_DISABLED) == 0;
    d->dialog_template = t.name;
    d->dialog_units = RECT{t.x, t.y, t.x + t.cx, t.y + t.cy};
    // Placed from the owner's top-left corner.
    RECT px = to_pixels(d->dialog_units, units);
    if (Window* o = s.window(owner)) {
        px.left += o->rect.left;
        px.right += o->rect.left;
        px.top += o->rect.top;
        px.bottom += o->rect.top;
    }
    d->rect = px;
    for (const auto& c : t.controls)
        if (c.class_name == "button" && (c.style & 0x0F) == BS_DEFPUSHBUTTON && d->default_button == 0)
            d->default_button = c.id;
    HWND dialog = s.add_window(std::move(d));
    s.backend().window_created(dialog);
    for (const auto& c : t.controls) {
        auto w = std::make_unique<Window>();
        w->class_name = c.class_name;
        w->proc = [](HWND h, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(h, m, wp, lp); };
        w->text = c.text;
        w->style = c.style;
        w->ex_style = c.ex_style;
        w->instance = instance;
        w->parent = dialog;
        w->id = c.id;
        w->enabled = (c.style & WS_DISABLED) == 0;
        w->visible = (c.style & WS_VISIBLE) != 0;
        w->dialog_units = RECT{c.x, c.y, c.x + c.cx, c.y + c.cy};
        w->rect = to_pixels(w->dialog_units, units);
        HWND child = s.add_window(std::move(w));
        s.backend().window_created(child);
    }
    return dialog;
}

// The first control that takes the focus by Tab.
HWND first_tab_stop(Session& s, HWND dialog) {
    for (HWND child : s.children(dialog))
        if (Window* w = s.window(child); w != nullptr && (w->style & WS_TABSTOP) && w->enabled && w->visible)
            return child;
    return nullptr;
}

}  // namespace

bool press_key(int vk) {
    Session& s = session();
    HWND dialog = s.active_modal();
    Window* w = s.window(dialog);
    if (w == nullptr || !w->enabled) return false;
    int id = 0;
    if (vk == VK_RETURN) id = w->default_button != 0 ? w->default_button : IDOK;
    else if (vk == VK_ESCAPE) id = IDCANCEL;
    else return false;
    HWND button = GetDlgItem(dialog, id);
    if (Window* b = s.window(button); b != nullptr && !b->enabled) return false;
    s.send(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return true;
}

}  // namespace platform

extern "C" {

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    platform::Session& s = session();
    const auto& load = platform::resource_hooks().load_dialog;
    const platform::DialogTemplate* t = load ? load(instance, name) : nullptr;
    if (t == nullptr || proc == nullptr) return -1;
    if (owner != nullptr) {
        platform::Window* top = s.top_level(owner);
        if (top == nullptr) return -1;
        owner = top->hwnd;
    }
    // The owner takes no input while the box is up.
    const bool disabled_owner = owner != nullptr && IsWindowEnabled(owner);
    if (disabled_owner) EnableWindow(owner, FALSE);

    HWND dialog = platform::create_dialog(s, *t, instance, owner, proc);
    HWND focus = platform::first_tab_stop(s, dialog);
    if (s.send(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param) != FALSE && focus != nullptr)
        SetFocus(focus);
    platform::Window* d = s.window(dialog);
    if (d != nullptr && !d->dialog_ended && (t->style & WS_VISIBLE)) {
        d->style |= WS_VISIBLE;
        d->visible = true;
        d->needs_paint = true;
        s.notify_changed(dialog);
    }
    s.modal_loop([&] {
        platform::Window* w = s.window(dialog);
        return w == nullptr || w->dialog_ended || w->destroying;
    });
    INT_PTR result = 0;
    if (platform::Window* w = s.window(dialog)) result = w->dialog_result;
    // The owner gets input back before the box goes, as EndDialog does.
    if (disabled_owner && IsWindow(owner)) EnableWindow(owner, TRUE);
    DestroyWindow(dialog);
    return result;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
    platform::Session& s = session();
    platform::Window* w = s.window(dialog);
    if (w == nullptr || w->dlg_proc == nullptr || w->destroying) return FALSE;
    w->dialog_ended = true;
    w->dialog_result = result;
    if (w->visible) {
        w->visible = false;
        s.notify_changed(dialog);
    }
    s.backend().wake();
    return TRUE;
}

}  // extern "C"
