// The process entry of a program on the headless backend: Win32 programs
// start in WinMain, and its result is the exit status.
#include "kernel/kernel.h"
#include "user/endsession.h"
#include "user/instance.h"

#include <windows.h>

#include <string>

int main(int argc, char** argv) {
    std::string command_line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) command_line += ' ';
        command_line += argv[i];
    }
    platform::watch_end_session_signals();
    platform::use_instance_sockets();
    return WinMain(platform::module_instance(), nullptr, command_line.data(), SW_SHOWNORMAL);
}
