// The windowing core: message order, timers, modal boxes, threads, bad handles.
#include "ui/headless/headless.h"
#include "user/input.h"
#include "user/session.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Seen {
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    long long at_ms;
};

std::vector<Seen>* g_seen = nullptr;

LRESULT CALLBACK recording_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (g_seen != nullptr && msg != WM_PAINT)
        g_seen->push_back(Seen{msg, wp, lp, platform::session().clock().now().count()});
    return DefWindowProcA(hwnd, msg, wp, lp);
}

class Core : public ::testing::Test {
protected:
    void SetUp() override {
        auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
        backend->set_activate_on_show(false);
        hb = backend.get();
        platform::install_backend(std::move(backend));
        g_seen = &seen;
        WNDCLASSA wc{};
        wc.lpfnWndProc = recording_proc;
        wc.lpszClassName = "CoreTest";
        ASSERT_NE(RegisterClassA(&wc), 0);
        hwnd = CreateWindowExA(0, "CoreTest", "core", 0, CW_USEDEFAULT, CW_USEDEFAULT, 200, 100, nullptr,
                               nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        seen.clear();
    }
    void TearDown() override {
        g_seen = nullptr;
        platform::install_backend(std::make_unique<platform::HeadlessBackend>());
    }

    // Runs the thread's loop until WM_QUIT, as a program's WinMain does.
    int run_loop() {
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        return static_cast<int>(msg.wParam);
    }

    std::vector<UINT> messages() const {
        std::vector<UINT> out;
        for (const auto& s : seen)
            if (s.msg >= WM_USER || s.msg == WM_TIMER) out.push_back(s.msg);
        return out;
    }

    platform::HeadlessBackend* hb = nullptr;
    HWND hwnd = nullptr;
    std::vector<Seen> seen;
};

TEST_F(Core, PostedMessagesComeInOrderAndBeforeADueTimer) {
    ASSERT_EQ(SetTimer(hwnd, 7, 10, nullptr), 7u);
    hb->after(platform::Ms(50), [&] {
        // The timer is overdue by now; the posts still come first, in order.
        for (UINT i = 0; i < 5; ++i) PostMessageA(hwnd, WM_USER + i, i, 0);
    });
    hb->after(platform::Ms(60), [] { PostQuitMessage(3); });
    hb->set_scripted();
    // Let the first tick go so that the timer is due again at 50 + ...
    EXPECT_EQ(run_loop(), 3);
    std::vector<UINT> order = messages();
    // Ticks at 10, 20, 30, 40, 50 (the 50 tick waits behind the posts).
    std::vector<UINT> posted;
    size_t first_post = order.size();
    for (size_t i = 0; i < order.size(); ++i)
        if (order[i] >= WM_USER) {
            if (first_post == order.size()) first_post = i;
            posted.push_back(order[i]);
        }
    EXPECT_EQ(posted, (std::vector<UINT>{WM_USER, WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_USER + 4}));
    ASSERT_LT(first_post, order.size());
    // Every post of the batch stands before the tick that was due with it.
    for (size_t i = first_post; i < first_post + 5; ++i) EXPECT_GE(order[i], static_cast<UINT>(WM_USER));
    ASSERT_GT(order.size(), first_post + 5);
    EXPECT_EQ(order[first_post + 5], static_cast<UINT>(WM_TIMER));
}

TEST_F(Core, TimerTicksAreSpacedByTheirPeriodAndKillDropsADueTick) {
    SetTimer(hwnd, 1, 100, nullptr);
    hb->after(platform::Ms(350), [&] {
        PostMessageA(hwnd, WM_USER, 0, 0);
    });
    hb->set_scripted();
    int ticks = 0;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (msg.message == WM_TIMER) ++ticks;
        if (msg.message == WM_USER) {
            // A tick is due at 400; kill the timer while it is pending and let time pass.
            hb->after(platform::Ms(100), [] { PostQuitMessage(0); });
            EXPECT_TRUE(KillTimer(hwnd, 1));
            EXPECT_FALSE(KillTimer(hwnd, 1));
        }
        DispatchMessageA(&msg);
    }
    EXPECT_EQ(ticks, 3);  // 100, 200, 300; the 400 tick was dropped by the kill
}

TEST_F(Core, ATimerThatFallsDueWhileABoxIsUpIsDispatchedInsideTheBox) {
    ASSERT_NE(SetTimer(hwnd, 1, 2000, nullptr), 0u);
    long long tick_at = -1;
    int answer_seen_at_tick = -1;
    hb->on_box([](const platform::BoxRecord&) { return platform::BoxReply{IDOK, platform::Ms(3000)}; });
    const int answer = MessageBoxA(hwnd, "text", "caption", MB_OK);
    for (const auto& s : seen)
        if (s.msg == WM_TIMER) {
            tick_at = s.at_ms;
            answer_seen_at_tick = 0;
        }
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(tick_at, 2000);
    EXPECT_EQ(answer_seen_at_tick, 0);
    ASSERT_EQ(hb->boxes().size(), 1u);
    EXPECT_EQ(hb->boxes()[0].answered_at.count(), 3000);
    EXPECT_EQ(hb->boxes()[0].caption, "caption");
    EXPECT_EQ(hb->boxes()[0].owner, hwnd);
    // The owner takes no input while the box is up and gets it back afterwards.
    EXPECT_TRUE(IsWindowEnabled(hwnd));
}

TEST_F(Core, OwnerIsDisabledWhileTheBoxIsUp) {
    BOOL enabled_during = TRUE;
    hb->on_box([&](const platform::BoxRecord&) {
        enabled_during = IsWindowEnabled(hwnd);
        return platform::BoxReply{IDNO};
    });
    EXPECT_EQ(MessageBoxA(hwnd, "q", "c", MB_YESNO), IDNO);
    EXPECT_FALSE(enabled_during);
    EXPECT_TRUE(IsWindowEnabled(hwnd));
}

TEST_F(Core, QuitInsideABoxEndsTheBoxAndThenTheOuterLoop) {
    int box_result = -1;
    hb->on_box([](const platform::BoxRecord&) {
        PostQuitMessage(5);
        return platform::BoxReply{IDYES, platform::Ms(0), true};  // never answered by the user
    });
    hb->when_idle([&] { PostMessageA(hwnd, WM_USER + 1, 0, 0); });
    hb->set_scripted();
    MSG msg;
    int after_box = 0;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (msg.message == WM_USER + 1) box_result = MessageBoxA(hwnd, "abandon?", "c", MB_YESNO);
        else ++after_box;
        DispatchMessageA(&msg);
    }
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_EQ(box_result, IDNO);
    EXPECT_EQ(after_box, 0);
    EXPECT_FALSE(hb->stalled());
}

TEST_F(Core, EightThreadsPostingLoseNothingAndKeepTheirOrder) {
    platform::install_backend(std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Real));
    WNDCLASSA wc{};
    wc.lpfnWndProc = recording_proc;
    wc.lpszClassName = "Threads";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND target = CreateWindowExA(0, "Threads", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(target, nullptr);
    constexpr int kThreads = 8;
    constexpr int kEach = 10000;
    std::atomic<int> failed_posts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                if (!PostMessageA(target, WM_USER + static_cast<UINT>(t), static_cast<WPARAM>(i), 0)) ++failed_posts;
        });
    std::vector<int> next(kThreads, 0);
    int received = 0;
    bool in_order = true;
    MSG msg;
    while (received < kThreads * kEach && GetMessageA(&msg, nullptr, 0, 0)) {
        if (msg.message < WM_USER) continue;
        const int t = static_cast<int>(msg.message - WM_USER);
        if (static_cast<int>(msg.wParam) != next[t]) in_order = false;
        next[t] = static_cast<int>(msg.wParam) + 1;
        ++received;
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failed_posts.load(), 0);
    EXPECT_EQ(received, kThreads * kEach);
    EXPECT_TRUE(in_order);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
}

TEST_F(Core, WindowLifecycleSendsCreateAndDestroyToChildren) {
    HWND child = CreateWindowExA(0, "button", "TEST", WS_CHILD | WS_VISIBLE, 1, 2, 75, 25, hwnd,
                                 reinterpret_cast<HMENU>(static_cast<intptr_t>(1)), nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetDlgItem(hwnd, 1), child);
    EXPECT_TRUE(platform::click_button(child));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().msg, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(seen.back().wp, MAKEWPARAM(1, BN_CLICKED));
    EnableWindow(child, FALSE);
    seen.clear();
    EXPECT_FALSE(platform::click_button(child));
    EXPECT_TRUE(seen.empty());

    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(IsWindow(child));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().msg, static_cast<UINT>(WM_DESTROY));
}

TEST_F(Core, DefaultWindowProcedureClosesOnWmClose) {
    SendMessageA(hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(Core, BadHandlesFailAsWin32DoesAndNeverCrash) {
    HWND bogus = reinterpret_cast<HWND>(static_cast<uintptr_t>(0xDEAD0));
    HWND dead = CreateWindowExA(0, "CoreTest", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(DestroyWindow(dead));
    for (HWND h : {bogus, dead}) {
        EXPECT_FALSE(DestroyWindow(h));
        EXPECT_FALSE(PostMessageA(h, WM_USER, 0, 0));
        EXPECT_EQ(SendMessageA(h, WM_USER, 0, 0), 0);
        EXPECT_FALSE(ShowWindow(h, SW_SHOWNORMAL));
        EXPECT_FALSE(UpdateWindow(h));
        EXPECT_FALSE(EnableWindow(h, TRUE));
        EXPECT_FALSE(IsWindowEnabled(h));
        EXPECT_FALSE(IsIconic(h));
        EXPECT_FALSE(BringWindowToTop(h));
        EXPECT_EQ(SetFocus(h), nullptr);
        EXPECT_EQ(SetTimer(h, 1, 100, nullptr), 0u);
        EXPECT_FALSE(KillTimer(h, 1));
        EXPECT_EQ(GetWindowLongPtrA(h, GWLP_HINSTANCE), 0);
        EXPECT_EQ(MessageBoxA(h, "x", "y", MB_OK), 0);
        EXPECT_EQ(GetDlgItem(h, 1), nullptr);
        MSG msg{h, WM_USER, 0, 0, 0, {0, 0}};
        EXPECT_EQ(DispatchMessageA(&msg), 0);
        EXPECT_FALSE(InvalidateRect(h, nullptr, TRUE));
        EXPECT_EQ(GetDC(h), nullptr);
    }
    EXPECT_FALSE(KillTimer(hwnd, 12345));
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateWindowExA(0, "button", "", WS_CHILD, 0, 0, 1, 1, bogus, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateWindowExA(0, "button", "", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    WNDCLASSA again{};
    again.lpfnWndProc = recording_proc;
    again.lpszClassName = "coretest";  // class names are case-insensitive
    EXPECT_EQ(RegisterClassA(&again), 0);
    EXPECT_EQ(FindWindowA("CORETEST", nullptr), hwnd);
}

TEST_F(Core, AnActionPostedWithAMessageRunsOnRetrievalBeforeTheMessage) {
    std::vector<int> order;
    std::thread poster([&] {
        platform::post_message_with(hwnd, WM_USER + 9, 0, 0, [&] { order.push_back(1); });
    });
    poster.join();
    MSG msg;
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    order.push_back(2);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 9));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(platform::post_message_with(reinterpret_cast<HWND>(static_cast<uintptr_t>(0xBAD0)), WM_USER, 0, 0,
                                             [&] { order.push_back(3); }));
}

TEST_F(Core, ActivationReachesTopLevelWindowsOnce) {
    platform::set_app_active(true);
    platform::set_app_active(true);
    platform::set_app_active(false);
    std::vector<WPARAM> acts;
    for (const auto& s : seen)
        if (s.msg == WM_ACTIVATEAPP) acts.push_back(s.wp);
    EXPECT_EQ(acts, (std::vector<WPARAM>{TRUE, FALSE}));
}

TEST_F(Core, PaintComesAfterPostedMessagesAndIsValidatedByBeginPaint) {
    ShowWindow(hwnd, SW_SHOWNORMAL);
    PostMessageA(hwnd, WM_USER, 0, 0);
    MSG msg;
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER));
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_PAINT));
    DispatchMessageA(&msg);  // DefWindowProcA validates
    PostQuitMessage(0);
    ASSERT_FALSE(GetMessageA(&msg, nullptr, 0, 0));
}

TEST_F(Core, AProgramWaitingForInputThatNeverComesIsEndedAndFlagged) {
    hb->set_scripted();
    hb->set_stall_limit(platform::Ms(50));
    EXPECT_EQ(run_loop(), 0);
    EXPECT_TRUE(hb->stalled());
}

}  // namespace

TEST_F(Core, AMessageOnlyWindowTakesMessagesButIsNeverShownNorFound) {
    HWND sink = CreateWindowExA(0, "CoreTest", "sink", WS_VISIBLE, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                nullptr);
    ASSERT_NE(sink, nullptr);
    EXPECT_FALSE(IsWindowVisible(sink));
    EXPECT_FALSE(ShowWindow(sink, SW_SHOW));
    EXPECT_FALSE(IsWindowVisible(sink));
    EXPECT_EQ(FindWindowA("CoreTest", "sink"), nullptr);
    ASSERT_TRUE(PostMessageA(sink, WM_USER + 9, 1, 2));
    MSG msg{};
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.hwnd, sink);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 9));
    EXPECT_TRUE(DestroyWindow(sink));
}

TEST(PerformanceCounter, CountsForwardAtItsFrequency) {
    LARGE_INTEGER f{}, a{}, b{};
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    EXPECT_EQ(f.QuadPart, 1000000000);
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_GE(b.QuadPart - a.QuadPart, 2000000);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
}
