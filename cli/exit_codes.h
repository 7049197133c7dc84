// The exit statuses of tavrin-cli (the usage and unavailable ones are those
// of sysexits.h).
#pragma once

namespace tavrin_cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;      // at least one run failed
inline constexpr int kExitTimeout = 2;      // time-outs, and no failure
inline constexpr int kExitUsage = 64;       // EX_USAGE
inline constexpr int kExitUnavailable = 69; // EX_UNAVAILABLE: no engine, no such port, port will not open
inline constexpr int kExitInterrupted = 130;

}  // namespace tavrin_cli
