// The summary of a test: verdict counts by class, latency statistics in
// bounded memory, throughput, and the runs over time in a bounded picture.
#pragma once

#include "cli/pattern.h"
#include "platform/winmm/midi_wire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

inline constexpr double kWireBytesPerSecond = midi_wire::kBytesPerSecond;

// The latency split where the engine reports its own times: from the call
// until the engine took the first bytes, the engine's own round trip (first
// byte out to first byte in, by its clock: JACK frame times, the sequencer's
// queue stamps, rawmidi's kernel stamps), and from the engine to the program.
struct Layers {
    double to_engine_ms = 0, engine_ms = 0, to_program_ms = 0;
};

struct RunResult {
    std::uint64_t index = 0;  // from 1
    Verdict verdict;
    std::optional<double> latency_ms;  // from just before the send to the completing dispatch
    std::optional<Layers> layers;      // the same latency by layer, when the engine gave its times
    std::size_t bytes_sent = 0;
    std::string time;  // wall-clock time the run ended, ISO 8601 (UTC)
    double at_s = 0;   // seconds from the start of the test to the end of the run
};

// Bytes no run sent: real-time ones by kind, and others between runs.
struct StrayCounts {
    RealtimeCounts realtime{};
    std::uint64_t others = 0;
};

struct LatencyStats {
    double min = 0, median = 0, p99 = 0, max = 0, mean = 0, stddev = 0;
};

struct LayerStats {
    LatencyStats to_engine, engine, to_program;
};

// Percentile of sorted values by linear interpolation between order
// statistics (numpy's default, R's type 7), p from 0 to 100.
double percentile(const std::vector<double>& sorted, double p);

// Latencies in bounded memory: the first kExact values as they are (so that
// the statistics of a test of that size are exact), and every value in
// log-spaced buckets, each 2 % wider than the last, so that a percentile of
// a longer test is within 1 % of the true one. Nothing grows with the runs.
class LatencyHistogram {
public:
    static constexpr std::size_t kExact = 1u << 16;
    static constexpr double kLowestMs = 0.001;
    static constexpr double kRatio = 1.02;
    LatencyHistogram();
    void add(double ms);
    std::uint64_t count() const { return n_; }
    // Exact while every value is kept, else from the buckets.
    double percentile(double p) const;
    LatencyStats stats() const;
    struct Bin {
        double from = 0, to = 0;
        std::uint64_t count = 0;
    };
    // `bins` log-spaced bins from the least to the greatest value.
    std::vector<Bin> log_bins(unsigned bins) const;

private:
    std::size_t bucket_of(double ms) const;
    double bucket_middle(std::size_t i) const;
    std::vector<double> exact_;
    std::vector<std::uint64_t> buckets_;
    std::uint64_t n_ = 0;
    double min_ = 0, max_ = 0, mean_ = 0, m2_ = 0;  // Welford's running mean and squares
};

// The runs over time in at most kSlots slots: when they are full, each two
// neighbours become one, so a slot holds 1, 2, 4, ... runs.
class Timeline {
public:
    static constexpr std::size_t kSlots = 1024;
    struct Slot {
        std::uint64_t first_run = 0;
        std::uint64_t runs = 0;
        std::uint64_t answered = 0;
        double min_ms = 0, max_ms = 0;
        std::array<std::uint32_t, kFaultClasses> faults{};
    };
    void add(const RunResult& run);
    const std::vector<Slot>& slots() const { return slots_; }

private:
    std::vector<Slot> slots_;
    std::uint64_t per_slot_ = 1;
};

struct Summary {
    std::uint64_t runs = 0;
    std::uint64_t successes = 0;
    std::uint64_t failures = 0;  // truncated, corrupted, dropped, extra, reordered
    std::uint64_t timeouts = 0;  // lost, late
    std::uint64_t errors = 0;
    std::array<std::uint64_t, kFaultClasses> faults{};  // by Fault
    std::map<std::size_t, std::uint64_t> failures_by_byte;  // first bad byte -> runs
    std::optional<LatencyStats> latency;                    // over runs that got an answer
    std::optional<LayerStats> layers;                       // over runs with engine times
    LatencyHistogram histogram;
    Timeline timeline;
    double bytes_per_second = 0;  // bytes carried over the time they took
    double wire_percent = 0;      // of kWireBytesPerSecond
    RealtimeCounts stray_realtime{};
    std::uint64_t stray_between_runs = 0;  // other bytes no run sent
    double elapsed_s = 0;
    std::string first_fault_time, last_fault_time;
    std::uint64_t longest_clean_runs = 0;  // the longest stretch of successes
    double longest_clean_s = 0;
    int interrupted_by = 0;  // the exit status of the signal that ended the test, or 0
    bool interrupted() const { return interrupted_by != 0; }
};

// Takes the runs one by one and keeps only what the summary needs: its
// memory does not grow with the number of runs.
class SummaryBuilder {
public:
    void add(const RunResult& run);
    void add_stray(const StrayCounts& stray);
    Summary finish(int interrupted_by, double elapsed_s) &&;

private:
    Summary s_;
    LatencyHistogram to_engine_, engine_, to_program_;
    double carried_ = 0;
    double busy_ms_ = 0;
    std::uint64_t clean_runs_ = 0;
    double clean_since_s_ = 0;
};

Summary summarize(const std::vector<RunResult>& runs, int interrupted_by = 0);

// The exit status a test ends with: a signal's, else 69 for an engine error,
// 1 for a failure, 2 for a time-out, 0.
int exit_status(const Summary& summary);

}  // namespace tavrin_cli
