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
// `count` 0: a test that runs until stopped.
std::string run_text(const RunResult& run, std::uint64_t count);
nlohmann::ordered_json summary_json(const Summary& summary, const Pattern& pattern);
std::string summary_text(const Summary& summary);
// "3 truncated, 1 lost": the faults by class, in the summary's order.
std::string faults_list(const std::array<std::uint64_t, kFaultClasses>& faults);
// A latency histogram of text bars on log-spaced bins, `width` characters at most.
std::string histogram_text(const LatencyHistogram& latencies, unsigned width = 60);

// A picture of the latency histogram (log-spaced bins) and of the latencies
// over the runs (min and max of each slot, log scale), faults marked by class.
std::string plot_svg(const Summary& summary, const std::string& title);

// A JUnit XML report: one test case for the pattern over the port pair.
std::string junit_xml(const Summary& summary, const Pattern& pattern, const std::string& name);

// Text that is valid in XML whatever it holds: markup escaped, control bytes
// and bytes that are not UTF-8 replaced.
std::string xml_text(const std::string& text);

// Several pairs at once: each pair's summary, the messages of one pair that
// reached another's input, and how long each waited while the others ran.
struct PairsReport {
    struct Pair {
        unsigned out = 0, in = 0;
        std::string out_name, in_name;
        Summary summary;
        // The longest a run waited for its answer (or its verdict) while
        // another pair was busy, and the runs that did.
        double longest_wait_ms = 0;
        std::uint64_t runs_beside_others = 0;
    };
    struct Crosstalk {
        std::size_t from = 0, to = 0;  // pairs
        std::uint64_t from_run = 0;    // the sender's run its tag names
        std::uint64_t at_run = 0;      // the receiver's run under way (0: none yet)
        std::string time;
    };
    std::vector<Pair> pairs;
    std::vector<std::vector<std::uint64_t>> matrix;  // [from][to]: messages of pair `from` at the input of `to`
    std::uint64_t crosstalk() const;
    // The pair whose p99 is more than twice the median of the others' (and
    // a millisecond more), if one is.
    std::optional<std::size_t> slowest() const;
};

std::string pair_label(const PairsReport::Pair& pair);
std::string crosstalk_text(const PairsReport::Crosstalk& c, const PairsReport& report);
nlohmann::ordered_json crosstalk_json(const PairsReport::Crosstalk& c, const PairsReport& report);
// Each pair's summary, then the crosstalk matrix and the fairness lines.
std::string pairs_text(const PairsReport& report);
nlohmann::ordered_json pairs_json(const PairsReport& report, const Pattern& pattern);
// A signal's status, else 69 for an engine error, 1 for a failure or any
// crosstalk, 2 for a time-out, 0.
int exit_status(const PairsReport& report);

nlohmann::ordered_json wiring_json(const WiringMap& map);
std::string wiring_text(const WiringMap& map);

// The live status line of a test (no newline, no carriage return): runs (of
// `count`, if not 0), runs a second, successes, faults by class, the last
// fault and the time since the start.
std::string status_line(std::uint64_t runs, std::uint64_t count, double elapsed_s, std::uint64_t successes,
                        const std::array<std::uint64_t, kFaultClasses>& faults, const std::string& last_fault);

}  // namespace tavrin_cli
