// Everything tavrin-cli writes: text for people, JSON for programs, an SVG
// picture. Pure formatting of plain records, so a fuzz target can call it.
#pragma once

#include "cli/stats.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

struct PortEntry {
    unsigned index = 0;
    std::string name;
    std::string error;  // the name could not be had
};

struct PortList {
    std::string engine;
    std::vector<PortEntry> inputs;
    std::vector<PortEntry> outputs;
};

struct WiringMap {
    struct Output {
        unsigned index = 0;
        std::string name;
        std::string error;  // could not be opened, or the send failed
        std::vector<unsigned> inputs;  // that received its tag
    };
    struct Input {
        unsigned index = 0;
        std::string name;
        std::string error;  // could not be opened
        std::size_t unexpected_bytes = 0;  // received, but sent by no output
    };
    std::string engine;
    std::vector<Output> outputs;
    std::vector<Input> inputs;
};

// One line of JSON (no newline). Text that is not UTF-8 is replaced, never thrown on.
std::string json_line(const nlohmann::ordered_json& value);

nlohmann::ordered_json ports_json(const PortList& ports);
// The ports under a title, one per line with its index.
std::string port_listing(const std::vector<PortEntry>& ports, const char* title);
std::string ports_text(const PortList& ports);

nlohmann::ordered_json run_json(const RunResult& run, const Pattern& pattern);
std::string run_text(const RunResult& run, unsigned count);
nlohmann::ordered_json summary_json(const Summary& summary, const Pattern& pattern);
std::string summary_text(const Summary& summary);
// A latency histogram of text bars, `width` characters at most.
std::string histogram_text(const std::vector<double>& latencies_ms, unsigned width = 60);

// A picture of the latency histogram and of each run's latency over the runs,
// failures and time-outs marked.
std::string plot_svg(const std::vector<RunResult>& runs, const Summary& summary, const std::string& title);

nlohmann::ordered_json wiring_json(const WiringMap& map);
std::string wiring_text(const WiringMap& map);

// The progress bar's line (no newline, no carriage return).
std::string progress_line(unsigned done, unsigned total, unsigned failures, unsigned timeouts, unsigned width = 30);

}  // namespace tavrin_cli
