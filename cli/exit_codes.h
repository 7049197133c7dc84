// The exit statuses of tavrin-cli (the usage, unavailable and I/O ones are
// those of sysexits.h), and the one way a command ends early: it throws an
// Exit, which main turns into one line on stderr and the status.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace tavrin_cli {

inline constexpr const char* kProgram = "tavrin-cli";

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;      // at least one run failed
inline constexpr int kExitTimeout = 2;      // time-outs, and no failure
inline constexpr int kExitUsage = 64;       // EX_USAGE
inline constexpr int kExitUnavailable = 69; // EX_UNAVAILABLE: no engine, no such port, engine error
inline constexpr int kExitIoError = 74;     // EX_IOERR: a file could not be written
inline constexpr int kExitInterrupted = 130;  // SIGINT, Ctrl-C
inline constexpr int kExitTerminated = 143;   // SIGTERM

// "tavrin-cli: WHAT" and a newline: every complaint the program makes.
// Control bytes (from a user's argument, say) are written as \xNN, so that
// it stays one line.
inline std::string complaint(std::string_view what) {
    std::string line = std::string(kProgram) + ": ";
    for (const char c : what) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F) {
            line += c;
            continue;
        }
        static constexpr char kHex[] = "0123456789ABCDEF";
        line += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
    }
    return line + "\n";
}

// Ends a command: `reason` is one line without the program's name; `details`
// follow it as they are (a port listing, say).
struct Exit : std::runtime_error {
    Exit(int status_, const std::string& reason, std::string details_ = {})
        : std::runtime_error(reason), status(status_), details(std::move(details_)) {}
    int status;
    std::string details;
};

}  // namespace tavrin_cli
