// What the user does, as the windowing system turns it into messages. UI
// backends call these when the toolkit reports input; tests call them to act
// as the user. UI thread only.
#pragma once

#include <windows.h>

#include <string_view>

namespace platform {

// A click on a push button: WM_COMMAND (id, BN_CLICKED) to its parent, sent.
// Nothing happens when the button or its top-level window is disabled.
bool click_button(HWND button);

// The application becomes active or inactive: WM_ACTIVATEAPP, sent to every
// top-level window of the application. Nothing happens when the state is
// already the one given.
void set_app_active(bool active);
bool app_active();

// The user wants to close a top-level window from its frame: WM_SYSCOMMAND
// SC_CLOSE, which the default handling turns into WM_CLOSE.
// For a dialog the close command becomes WM_COMMAND IDCANCEL (posted), which
// the dialog procedure handles or ignores.
void request_close(HWND window);

// The menu bar of a top-level window is about to open: WM_INITMENU (sent),
// unless the window is disabled. False when nothing was sent.
bool open_menu_bar(HWND window);
// The user chooses a menu item: WM_COMMAND (id, 0) posted to the window.
// Refused (false) for a separator, an item without text, a grayed or
// disabled item, a popup, an unknown id, or a disabled window.
bool choose_menu_item(HWND window, UINT id);

// A key pressed in the active dialog: VK_RETURN sends WM_COMMAND with the
// default push button's id (IDOK when there is none), VK_ESCAPE sends
// WM_COMMAND IDCANCEL, both to the dialog. False when no dialog is up or the
// key means nothing to it.
bool press_key(int vk);

}  // namespace platform
