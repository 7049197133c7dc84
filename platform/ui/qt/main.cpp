// The process entry of the desktop program: the Qt application, the Qt
// backend under the Win32 core, then the program's WinMain.
#include "kernel/kernel.h"
#include "ui/headless/headless.h"
#include "ui/qt/qt_backend.h"
#include "user/endsession.h"
#include "user/instance.h"
#include "user/session.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    std::string command_line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) command_line += ' ';
        command_line += argv[i];
    }
    platform::install_backend(std::make_unique<platform::QtBackend>());
    platform::watch_end_session_signals();
    platform::use_instance_sockets();
    const int result = WinMain(platform::module_instance(), nullptr, command_line.data(), SW_SHOWNORMAL);
    // Windows and boxes go before the application object does.
    platform::install_backend(std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Real));
    platform::QtBackend::flush_deferred_deletes();
    // Qt 6.4's Wayland client can deadlock in its display's destructor (its
    // event thread waits for a read nobody finishes), and the process would
    // never end. Everything of the program's is down by now; the compositor
    // frees what a client leaves behind.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        std::fflush(nullptr);
        std::_Exit(result);
    }
    return result;
}
