// The command line of tavrin-cli, parsed without touching any MIDI port, so
// that a fuzz target can call it.
#pragma once

#include "cli/pattern.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

// How long wiring listens after the last tag came, unless told.
inline constexpr unsigned kWiringTimeoutMs = 1000;

struct Options {
    enum class Command { Ports, Test, Wiring, Compare };
    Command command = Command::Ports;
    bool json = false;
    // test
    std::string in_port;
    std::string out_port;
    // Several pairs at once: "OUT:IN" each, or every loop wiring finds.
    std::vector<std::string> pairs;
    bool all_loops = false;
    unsigned count = 1;  // 0: until stopped
    double duration_s = 0;  // 0: no limit
    unsigned interval_ms = 0;
    unsigned timeout_ms = 2000;
    PatternChoice pattern;
    std::vector<PatternChoice> patterns;  // compare: in order
    bool quiet = false;
    bool verbose = false;  // a line for every run on a terminal too
    bool strict = false;   // stray real-time bytes are faults
    std::string plot_file;
    std::string junit_file;
};

// What the command line asks for: options to run with, or an exit right away
// (help, version, or a usage error) with the text to print.
struct ParseOutcome {
    bool run = false;
    Options options;
    int exit_status = 0;
    std::string out;  // for stdout (help, version)
    std::string err;  // for stderr: one line for a usage error
};

// "90s", "15m", "8h", "2d", "500ms" or plain seconds; nullopt if not one.
std::optional<double> parse_duration(std::string_view text);

// `args` without the program's name.
ParseOutcome parse_args(const std::vector<std::string>& args);

}  // namespace tavrin_cli
