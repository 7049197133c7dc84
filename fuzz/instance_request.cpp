// The single-instance request reader: whatever a client writes, in whatever
// pieces, is a raise request exactly when it is the one request, and the
// reader never takes more than it allows.
#include "fuzz/reader.h"
#include "user/instance.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    std::string sent;
    // Pieces of 1 to 16 bytes, as separate writes, up to 64 bytes in all: the
    // reader stops long before, and a socket holds only so many small writes.
    while (!in.empty() && sent.size() < 64) {
        const auto piece = in.text(1 + in.byte() % 16);
        sent.append(piece);
        if (::send(fds[1], piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
            std::abort();
    }
    ::shutdown(fds[1], SHUT_WR);
    const bool raise = platform::read_instance_request(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
    if (raise != (sent == "RAISE\n")) {
        std::fprintf(stderr, "instance request of %zu bytes read as %s\n", sent.size(), raise ? "raise" : "junk");
        std::abort();
    }
    return 0;
}
