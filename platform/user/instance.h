// Finding a program's window in another process of the same user, for the
// single-instance check (FindWindowA). Each top-level window of a registered
// class listens on a per-user socket named after its class, in
// $TAVRIN_INSTANCE_DIR, else $XDG_RUNTIME_DIR, else a private folder
// /tmp/tavrin-<uid> (0700); the socket itself is 0600. Another process that
// finds it gets a proxy window handle; ShowWindow and BringWindowToTop on the
// proxy ask the running window to restore and raise itself, which is the only
// request a running instance answers. Anything else it reads is ignored.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Turns the service on for this process: windows created from now on listen,
// and FindWindowA looks for other processes' windows. Programs call it at
// start; tests that want it set TAVRIN_INSTANCE_DIR first.
void use_instance_sockets();

// The folder of the sockets, created if need be; empty if none can be had safely.
std::string instance_dir();

// Called by the window manager for each top-level window of a registered class.
void instance_window_created(HWND hwnd, const std::string& class_name);
void instance_window_destroyed(HWND hwnd);

// Proxy windows of other processes.
bool is_remote_window(HWND hwnd);
// Asks the other process to restore and raise its window. False if it is gone.
bool raise_remote_window(HWND hwnd);

// The longest request the running instance reads; longer ones are dropped.
inline constexpr size_t kInstanceRequestMax = 16;

// Reads one request from a client's connection until the client ends it:
// true for exactly the raise request. A request that is longer than
// kInstanceRequestMax or not finished within a quarter of a second is junk.
bool read_instance_request(int fd);

}  // namespace platform
