// The command line of tavrin-cli, parsed without touching any MIDI port, so
// that a fuzz target can call it.
#pragma once

#include "cli/pattern.h"

#include <string>
#include <vector>

namespace tavrin_cli {

struct Options {
    enum class Command { Ports, Test, Wiring };
    Command command = Command::Ports;
    bool json = false;
    // test
    std::string in_port;
    std::string out_port;
    unsigned count = 1;
    unsigned interval_ms = 0;
    unsigned timeout_ms = 2000;
    PatternChoice pattern;
    bool quiet = false;
    std::string plot_file;
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

// `args` without the program's name.
ParseOutcome parse_args(const std::vector<std::string>& args);

}  // namespace tavrin_cli
