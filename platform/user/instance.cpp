#include "user/instance.h"

#include "user/resources.h"
#include "user/session.h"

#include <windows.h>

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr char kRaise[] = "RAISE\n";
constexpr auto kReadTimeout = std::chrono::milliseconds(250);  // for a whole request: a client that dawdles is dropped
constexpr std::uintptr_t kProxyBase = 0x7E000000;

bool g_enabled = false;

// A folder we own, that only we can enter, and that is not a link.
bool private_dir(const std::string& path, bool create) {
    if (create) ::mkdir(path.c_str(), 0700);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
    return (st.st_mode & 077) == 0;
}

std::string socket_path(const std::string& class_name) {
    const std::string dir = instance_dir();
    if (dir.empty()) return {};
    std::string name;
    for (char c : class_name) {
        const auto u = static_cast<unsigned char>(c);
        name += std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '_';
    }
    std::string path = dir + "/" + name + ".instance";
    return path.size() < sizeof(sockaddr_un{}.sun_path) ? path : std::string();
}

sockaddr_un address(const std::string& path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    return sa;
}

// A connection to a live listener, or -1. A socket nobody listens on is stale
// (its process crashed): it is removed if it is ours.
int connect_to(const std::string& path) {
    if (path.empty()) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_un sa = address(path);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
    const int err = errno;
    ::close(fd);
    struct stat st {};
    if (err == ECONNREFUSED && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::getuid())
        ::unlink(path.c_str());
    return -1;
}

class Server {
public:
    Server(HWND hwnd, std::string path) : hwnd_(hwnd), path_(std::move(path)) {
        int fd = connect_to(path_);
        if (fd >= 0) {  // another live instance owns the name
            ::close(fd);
            return;
        }
        listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listen_ < 0) return;
        sockaddr_un sa = address(path_);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::chmod(path_.c_str(), 0600) != 0 ||
            ::listen(listen_, 8) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) {
            ::close(listen_);
            listen_ = -1;
            return;
        }
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0) inode_ = st.st_ino;
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "tavrin-instance");
            run();
        });
    }
    ~Server() {
        if (thread_.joinable()) {
            const char byte = 0;
            [[maybe_unused]] auto n = ::write(stop_[1], &byte, 1);
            thread_.join();
        }
        if (listen_ >= 0) {
            // Only our own socket goes: a later instance may have taken the name.
            struct stat st {};
            if (::stat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
            ::close(listen_);
        }
        for (int fd : stop_)
            if (fd >= 0) ::close(fd);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

private:
    void run() {
        pollfd fds[2] = {{listen_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) continue;
            if (read_instance_request(fd)) {
                const HWND hwnd = hwnd_;
                post_message_with(hwnd, WM_NULL, 0, 0, [hwnd] {
                    if (IsIconic(hwnd)) ShowWindow(hwnd, SW_RESTORE);
                    BringWindowToTop(hwnd);
                });
            }
            ::close(fd);
        }
    }
    HWND hwnd_;
    std::string path_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    ino_t inode_ = 0;
    std::thread thread_;
};

std::map<HWND, std::unique_ptr<Server>>& servers() {
    static std::map<HWND, std::unique_ptr<Server>> table;
    return table;
}

std::vector<std::string>& proxies() {  // socket paths, by proxy index
    static std::vector<std::string> table;
    return table;
}

HWND find_remote(LPCSTR class_name, LPCSTR title) {
    // Only a search by class is offered across processes.
    if (class_name == nullptr || IS_INTRESOURCE(class_name) || title != nullptr) return nullptr;
    const std::string path = socket_path(class_name);
    const int fd = connect_to(path);
    if (fd < 0) return nullptr;
    ::close(fd);  // an empty request: the instance ignores it
    auto& table = proxies();
    table.push_back(path);
    return to_handle<HWND>(kProxyBase + (table.size() - 1) * 4);
}

}  // namespace

bool read_instance_request(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + kReadTimeout;
    char buffer[kInstanceRequestMax + 1];
    size_t got = 0;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;  // end of the request
        got += static_cast<size_t>(n);
        if (got > kInstanceRequestMax) return false;
    }
    return got == sizeof kRaise - 1 && std::memcmp(buffer, kRaise, got) == 0;
}

void use_instance_sockets() {
    g_enabled = true;
    resource_hooks().find_remote_window = find_remote;
}

std::string instance_dir() {
    if (const char* dir = std::getenv("TAVRIN_INSTANCE_DIR"); dir != nullptr && *dir != '\0')
        return private_dir(dir, true) ? dir : std::string();
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir != nullptr && *dir != '\0' && private_dir(dir, false))
        return dir;
    const std::string dir = "/tmp/tavrin-" + std::to_string(::getuid());
    return private_dir(dir, true) ? dir : std::string();
}

void instance_window_created(HWND hwnd, const std::string& class_name) {
    if (!g_enabled) return;
    const std::string path = socket_path(class_name);
    if (path.empty()) return;
    servers()[hwnd] = std::make_unique<Server>(hwnd, path);
}

void instance_window_destroyed(HWND hwnd) { servers().erase(hwnd); }

bool is_remote_window(HWND hwnd) {
    const std::uintptr_t id = handle_id(hwnd);
    return id >= kProxyBase && (id - kProxyBase) % 4 == 0 && (id - kProxyBase) / 4 < proxies().size();
}

bool raise_remote_window(HWND hwnd) {
    if (!is_remote_window(hwnd)) return false;
    const int fd = connect_to(proxies()[(handle_id(hwnd) - kProxyBase) / 4]);
    if (fd < 0) return false;
    const bool sent = ::send(fd, kRaise, sizeof kRaise - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kRaise - 1);
    ::close(fd);
    return sent;
}

}  // namespace platform
