// The platform's request to end the session. On Linux a SIGTERM or SIGHUP is
// that request: the signal handler only writes a byte to a pipe; a watcher
// thread turns it into a posted action, and the program's own thread then
// sends WM_QUERYENDSESSION to each top-level window, followed by
// WM_ENDSESSION with the outcome. A window that agrees destroys itself (or
// not: Win32 would end the process, but a program here ends by its own quit).
#pragma once

namespace platform {

// Installs the handlers and starts the watcher; idempotent. The watcher stops
// at process exit.
void watch_end_session_signals();

}  // namespace platform
