// SIGTERM and SIGHUP reach the program as WM_QUERYENDSESSION on its own thread.
#include "ui/headless/headless.h"
#include "user/endsession.h"
#include "user/session.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

int g_queries = 0;
int g_declines = 0;  // how many queries to refuse before agreeing
std::thread::id g_ui;
bool g_on_ui_thread = true;
WPARAM g_endsession = 99;

LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_QUERYENDSESSION:
        ++g_queries;
        g_on_ui_thread = g_on_ui_thread && std::this_thread::get_id() == g_ui;
        if (g_declines > 0) {
            --g_declines;
            return 0;
        }
        DestroyWindow(hwnd);
        return 1;
    case WM_ENDSESSION:
        g_endsession = wp;
        if (wp == FALSE && IsWindow(hwnd)) std::raise(SIGHUP);  // declined and kept running: ask again
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

TEST(EndSession, SignalsAskTheWindowWhichMayDeclineThenAgree) {
    auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
    auto* hb = backend.get();
    platform::install_backend(std::move(backend));
    platform::watch_end_session_signals();
    g_ui = std::this_thread::get_id();
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.lpszClassName = "EndSessionTest";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND hwnd = CreateWindowExA(0, "EndSessionTest", "t", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    g_declines = 1;
    hb->when_quiet([] { std::raise(SIGTERM); });
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    EXPECT_FALSE(hb->stalled());
    EXPECT_EQ(g_queries, 2);
    EXPECT_EQ(g_endsession, static_cast<WPARAM>(FALSE));  // the agreeing window was gone already
    EXPECT_TRUE(g_on_ui_thread);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(msg.wParam, 0u);
    platform::install_backend(std::make_unique<platform::HeadlessBackend>());
}

// With only a box up and no window to ask, a SIGTERM must still end the
// program rather than be ignored.
TEST(EndSessionDeathTest, WithNoWindowToAskTheProgramEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
            auto* hb = backend.get();
            platform::install_backend(std::move(backend));
            platform::watch_end_session_signals();
            hb->on_box([](const platform::BoxRecord&) { return platform::BoxReply{IDOK, platform::Ms{0}, true}; });
            hb->when_quiet([] { std::raise(SIGTERM); });
            MessageBoxA(nullptr, "Warning!", "t", MB_OK | MB_ICONWARNING);
            std::fprintf(stderr, "the box returned\n");
            std::exit(3);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
