// The Qt backend under a small Win32 program of its own: waiting and waking,
// boxes that leave the program's queue running, and a window destroyed from
// its own menu. Runs on Qt's offscreen platform.
#include "ui/qt/qt_backend.h"
#include "kernel/kernel.h"
#include "user/session.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr UINT kIdExit = 201;

struct Trace {
    std::vector<UINT> messages;
    int ticks_during_box = 0;
    bool in_box = false;
    int box_result = 0;
};
Trace* g_trace = nullptr;

LRESULT CALLBACK TestWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_TIMER:
        if (g_trace->in_box) ++g_trace->ticks_during_box;
        return 0;
    case WM_INITMENU:
        // As the port menus do: the first opening sets a check mark.
        CheckMenuItem(reinterpret_cast<HMENU>(wp), kIdExit, MF_BYCOMMAND | MF_CHECKED);
        return 0;
    case WM_COMMAND:
        g_trace->messages.push_back(msg);
        if (LOWORD(wp) == kIdExit) DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

class QtBackendTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "qt_backend_test";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        platform::QtBackend::flush_deferred_deletes();
        delete app_;
        app_ = nullptr;
    }
    void SetUp() override {
        g_trace = &trace_;
        platform::install_backend(std::make_unique<platform::QtBackend>());
        WNDCLASSA wc{};
        wc.lpfnWndProc = TestWndProc;
        wc.hInstance = platform::module_instance();
        wc.lpszClassName = "QtBackendTest";
        wc.lpszMenuName = "TavrinMenu";
        RegisterClassA(&wc);
        hwnd_ = CreateWindowExA(0, "QtBackendTest", "Scratch", WS_OVERLAPPED, 10, 10, 300, 200, nullptr,
                                nullptr, wc.hInstance, nullptr);
        ASSERT_NE(hwnd_, nullptr);
        ShowWindow(hwnd_, SW_SHOWNORMAL);
    }
    void TearDown() override {
        platform::install_backend(std::make_unique<platform::QtBackend>());
        platform::QtBackend::flush_deferred_deletes();
        g_trace = nullptr;
    }
    static QMessageBox* open_box() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
        }
        return nullptr;
    }
    static inline QApplication* app_ = nullptr;
    Trace trace_;
    HWND hwnd_ = nullptr;
};

TEST_F(QtBackendTest, PostFromAnotherThreadEndsTheWaitAtOnce) {
    SetTimer(hwnd_, 1, 10000, nullptr);
    const auto start = std::chrono::steady_clock::now();
    std::thread poster([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PostMessageA(hwnd_, WM_USER + 5, 0, 0);
    });
    MSG msg{};
    do {
        ASSERT_GT(GetMessageA(&msg, nullptr, 0, 0), 0);
    } while (msg.message != WM_USER + 5 && msg.message != WM_TIMER);
    poster.join();
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 5));
    // The ten-second timer must not be what ended the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(QtBackendTest, TimersRunWhileABoxIsUpAndItsAnswerEndsIt) {
    SetTimer(hwnd_, 1, 20, nullptr);
    QPointer<QMessageBox> seen;
    // The user answers once the program's timer has ticked a few times under the box.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QMessageBox* box = open_box();
        if (!box || trace_.ticks_during_box < 3) return;
        seen = box;
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Caption"));
        EXPECT_EQ(box->text(), QStringLiteral("One line\nand  a tab"));
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_FALSE(QApplication::topLevelWidgets().isEmpty());
        box->button(QMessageBox::No)->click();
    });
    poll.start(10);
    trace_.in_box = true;
    const int answer = MessageBoxA(hwnd_, "One line\nand \ta tab", "Caption", MB_YESNO | MB_ICONWARNING);
    trace_.in_box = false;
    EXPECT_EQ(answer, IDNO);
    EXPECT_GE(trace_.ticks_during_box, 3);
    platform::QtBackend::flush_deferred_deletes();
    EXPECT_TRUE(seen.isNull()) << "the answered box was not deleted";
}

// Presses `key` in the open box, the way the keyboard reaches it.
void press(QMessageBox* box, int key) {
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(box, &down);
}

TEST_F(QtBackendTest, BoxesAnswerKeysAsWin32Boxes) {
    // Escape and the frame's close do nothing in a Yes/No box; Enter presses
    // its default button, the second one here.
    int escapes_ignored = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QMessageBox* box = open_box();
        if (!box) return;
        press(box, Qt::Key_Escape);
        box->close();
        if (box->isVisible()) ++escapes_ignored;
        press(box, Qt::Key_Return);
    });
    poll.start(10);
    EXPECT_EQ(MessageBoxA(hwnd_, "Abandon?", "Question", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(escapes_ignored, 1);
    EXPECT_EQ(MessageBoxA(hwnd_, "Abandon?", "Question", MB_YESNO), IDYES);
    // Escape answers a box that has OK alone.
    QObject::disconnect(&poll, nullptr, nullptr, nullptr);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QMessageBox* box = open_box()) press(box, Qt::Key_Escape);
    });
    EXPECT_EQ(MessageBoxA(hwnd_, "Done.", "Verdict", MB_OK | MB_ICONERROR), IDOK);
}

QMenuBar* scratch_bar() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == QStringLiteral("Scratch")) return w->findChild<QMenuBar*>();
    }
    return nullptr;
}

TEST_F(QtBackendTest, TheFirstOpeningOfAMenuShowsIt) {
    QMenuBar* bar = scratch_bar();
    ASSERT_NE(bar, nullptr);
    ASSERT_FALSE(bar->actions().isEmpty());
    QAction* file = bar->actions().front();
    ASSERT_NE(file->menu(), nullptr);
    QPointer<QMenu> menu = file->menu();
    bar->setActiveAction(file);  // what a click on the title or its mnemonic does
    platform::QtBackend::flush_deferred_deletes();
    QApplication::processEvents();
    ASSERT_FALSE(menu.isNull()) << "the menu was thrown away while it opened";
    EXPECT_TRUE(menu->isVisible());
    bool checked = false;
    for (QAction* a : menu->actions()) checked = checked || (a->text() == QStringLiteral("E&xit") && a->isChecked());
    EXPECT_TRUE(checked) << "the menu shows the state WM_INITMENU left";
    menu->hide();
}

TEST_F(QtBackendTest, ExitFromTheMenuDestroysTheWindowSafely) {
    QMenuBar* bar = scratch_bar();
    ASSERT_NE(bar, nullptr);
    QAction* exit = nullptr;
    for (QAction* top : bar->actions()) {
        if (!top->menu()) continue;
        emit top->menu()->aboutToShow();  // WM_INITMENU and a fresh fill, as when the user opens it
        for (QAction* a : top->menu()->actions()) {
            if (a->text() == QStringLiteral("E&xit")) exit = a;
        }
    }
    ASSERT_NE(exit, nullptr);
    QPointer<QMenuBar> watched = bar;
    QTimer::singleShot(0, exit, &QAction::trigger);
    MSG msg{};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    EXPECT_EQ(trace_.messages, std::vector<UINT>{WM_COMMAND});
    EXPECT_FALSE(platform::session().is_live(hwnd_));
    platform::QtBackend::flush_deferred_deletes();
    EXPECT_TRUE(watched.isNull()) << "the window's widgets were not deleted";
}

}  // namespace
