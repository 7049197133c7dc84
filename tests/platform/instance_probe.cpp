// A second process for the instance tests: looks for a window of the class
// given, asks it to come forward as a second Tavrin does, and exits 0 when it
// found one, 1 when not.
#include "user/instance.h"

#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    platform::use_instance_sockets();
    HWND other = FindWindowA(argv[1], nullptr);
    if (other == nullptr) return 1;
    if (IsIconic(other)) ShowWindow(other, SW_SHOWNORMAL);
    else BringWindowToTop(other);
    return 0;
}
