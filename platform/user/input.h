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
void request_close(HWND window);

}  // namespace platform
