// The summary of a test: verdict counts, latency statistics, throughput.
#pragma once

#include "cli/pattern.h"

#include <cstddef>
#include <map>
#include <optional>
#include <vector>

namespace tavrin_cli {

// A DIN MIDI cable: 31,250 baud, ten bits a byte.
inline constexpr double kWireBytesPerSecond = 3125.0;

struct RunResult {
    unsigned index = 0;  // from 1
    Verdict verdict;
    std::optional<double> latency_ms;  // from just before the send to the completing dispatch
    std::size_t bytes_sent = 0;
};

struct LatencyStats {
    double min = 0, median = 0, p99 = 0, max = 0, mean = 0, stddev = 0;
};

struct Summary {
    unsigned runs = 0;
    unsigned successes = 0;
    unsigned failures = 0;
    unsigned timeouts = 0;
    std::map<std::size_t, unsigned> failures_by_byte;  // first bad byte -> runs
    std::optional<LatencyStats> latency;               // over runs that got an answer
    std::vector<double> latencies_ms;                  // the same, in run order
    double bytes_per_second = 0;                       // bytes carried over the time they took
    double wire_percent = 0;                           // of kWireBytesPerSecond
    bool interrupted = false;
};

// Nearest-rank percentile of sorted values, p from 0 to 100.
double percentile(const std::vector<double>& sorted, double p);

// Takes the runs one by one and keeps only what the summary needs, so that a
// run of millions holds no record of each. `expected_runs` sizes the latency
// array once, up front: memory stays flat while the runs go.
class SummaryBuilder {
public:
    explicit SummaryBuilder(std::size_t expected_runs = 0);
    void add(const RunResult& run);
    Summary finish(bool interrupted) &&;

private:
    Summary s_;
    std::size_t answered_ = 0;  // latencies_ms' first entries in use
    double carried_ = 0;
    double busy_ms_ = 0;
};

Summary summarize(const std::vector<RunResult>& runs, bool interrupted);

// The exit status a test ends with.
int exit_status(const Summary& summary);

}  // namespace tavrin_cli
