// FindWindowA across processes through the per-user instance socket.
#include "ui/headless/headless.h"
#include "user/instance.h"
#include "user/session.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

int g_raises = 0;

LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NULL) {  // the instance service's action has run before this
        ++g_raises;
        PostQuitMessage(0);
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// Sends raw bytes as a client would; `hold` keeps the connection open unfinished.
int send_raw(const std::string& path, const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    [[maybe_unused]] auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return fd;
}

class Instance : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tavrin-instance-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ::setenv("TAVRIN_INSTANCE_DIR", dir.c_str(), 1);
        auto backend = std::make_unique<platform::HeadlessBackend>(platform::HeadlessBackend::Time::Virtual);
        backend->set_activate_on_show(false);
        hb = backend.get();
        platform::install_backend(std::move(backend));
        platform::use_instance_sockets();
        WNDCLASSA wc{};
        wc.lpfnWndProc = proc;
        wc.lpszClassName = "InstTest";
        ASSERT_NE(RegisterClassA(&wc), 0);
        g_raises = 0;
    }
    void TearDown() override {
        platform::install_backend(std::make_unique<platform::HeadlessBackend>());
        ::rmdir(dir.c_str());
        ::unsetenv("TAVRIN_INSTANCE_DIR");
    }
    int probe() {
        const std::string exe = std::string(TAVRIN_PROBE);
        char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>("InstTest"), nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string dir;
    platform::HeadlessBackend* hb = nullptr;
};

TEST_F(Instance, ASecondProcessFindsAndRestoresTheWindowOnlyThroughItsOneRequest) {
    EXPECT_EQ(probe(), 1);  // nothing runs yet
    HWND hwnd = CreateWindowExA(0, "InstTest", "t", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    ShowWindow(hwnd, SW_MINIMIZE);
    const std::string path = dir + "/insttest.instance";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Bad requests first: the server takes connections in order, so they are
    // all behind it when the good one is served.
    for (const std::string& bad : {std::string("RAISE"), std::string("RAISE\nRAISE\n"), std::string("raise\n"),
                                   std::string("\0RAISE\n", 7), std::string(100000, 'R'), std::string("QUIT\n")}) {
        const int fd = send_raw(path, bad);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    const int dawdler = send_raw(path, "RAI");  // never finished: dropped after a while

    EXPECT_EQ(probe(), 0);
    ::close(dawdler);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    EXPECT_FALSE(hb->stalled());
    EXPECT_EQ(g_raises, 1);
    EXPECT_FALSE(IsIconic(hwnd));

    DestroyWindow(hwnd);
    EXPECT_NE(::stat(path.c_str(), &st), 0);  // the socket goes with the window
    EXPECT_EQ(probe(), 1);
}

TEST_F(Instance, AStaleSocketIsReplaced) {
    const std::string path = dir + "/insttest.instance";
    // A socket left behind by a crashed process: bound, then its owner gone.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::close(fd);
    EXPECT_EQ(probe(), 1);
    HWND hwnd = CreateWindowExA(0, "InstTest", "t", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(probe(), 0);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    EXPECT_EQ(g_raises, 1);
    DestroyWindow(hwnd);
}

TEST_F(Instance, AClientThatTricklesItsRequestIsDroppedAfterAQuarterSecondInAll) {
    HWND hwnd = CreateWindowExA(0, "InstTest", "t", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    const std::string path = dir + "/insttest.instance";
    // The one request, a byte every 300 ms: each wait is short, the whole is not.
    const int fd = send_raw(path, "R");
    ASSERT_GE(fd, 0);
    std::thread trickle([fd] {
        for (char c : std::string("AISE\n")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            [[maybe_unused]] auto n = ::send(fd, &c, 1, MSG_NOSIGNAL);
        }
        ::shutdown(fd, SHUT_WR);
    });
    EXPECT_EQ(probe(), 0);  // served once the trickler is dropped
    trickle.join();
    ::close(fd);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    EXPECT_EQ(g_raises, 1);  // the probe's request only
    DestroyWindow(hwnd);
}

TEST_F(Instance, AFolderOthersCanEnterOrAForeignFileAtTheSocketsPlaceIsLeftAlone) {
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    EXPECT_EQ(platform::instance_dir(), "");
    HWND open_dir = CreateWindowExA(0, "InstTest", "t", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(open_dir, nullptr);
    const std::string path = dir + "/insttest.instance";
    struct stat st {};
    EXPECT_NE(::stat(path.c_str(), &st), 0);  // no socket where others could reach it
    EXPECT_EQ(probe(), 1);
    DestroyWindow(open_dir);

    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    const int file = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(file, 0);
    ::close(file);
    HWND beside_file = CreateWindowExA(0, "InstTest", "t", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(beside_file, nullptr);
    EXPECT_EQ(probe(), 1);  // nobody listens, and the file is not taken for a stale socket
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    DestroyWindow(beside_file);
    ::unlink(path.c_str());
}

}  // namespace
