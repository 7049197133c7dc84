#include "cli/stats.h"

#include "cli/exit_codes.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace tavrin_cli {

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const std::size_t i = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    return sorted[std::min(i, sorted.size() - 1)];
}

// Up to a million runs' latencies are laid out at once (8 MB at most); a
// longer run grows the array as it goes.
SummaryBuilder::SummaryBuilder(std::size_t expected_runs) {
    s_.latencies_ms.resize(std::min<std::size_t>(expected_runs, 1u << 20));
}

void SummaryBuilder::add(const RunResult& r) {
    ++s_.runs;
    switch (r.verdict.kind) {
    case Verdict::Kind::Success: ++s_.successes; break;
    case Verdict::Kind::Failure:
        ++s_.failures;
        ++s_.failures_by_byte[r.verdict.offset];
        break;
    case Verdict::Kind::Timeout: ++s_.timeouts; break;
    }
    if (!r.latency_ms) return;
    if (answered_ < s_.latencies_ms.size()) s_.latencies_ms[answered_] = *r.latency_ms;
    else s_.latencies_ms.push_back(*r.latency_ms);
    ++answered_;
    // What the wire carried: the bytes sent, or as many as came back.
    carried_ += static_cast<double>(r.verdict.kind == Verdict::Kind::Success
                                        ? r.bytes_sent
                                        : std::min(r.bytes_sent, r.verdict.received_bytes));
    busy_ms_ += *r.latency_ms;
}

Summary SummaryBuilder::finish(bool interrupted) && {
    Summary s = std::move(s_);
    s.interrupted = interrupted;
    s.latencies_ms.resize(answered_);
    if (!s.latencies_ms.empty()) {
        std::vector<double> sorted = s.latencies_ms;
        std::sort(sorted.begin(), sorted.end());
        LatencyStats l;
        l.min = sorted.front();
        l.max = sorted.back();
        l.median = percentile(sorted, 50);
        l.p99 = percentile(sorted, 99);
        const double n = static_cast<double>(sorted.size());
        l.mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / n;
        double var = 0;
        for (double x : sorted) var += (x - l.mean) * (x - l.mean);
        l.stddev = std::sqrt(var / n);
        s.latency = l;
    }
    if (busy_ms_ > 0) {
        s.bytes_per_second = carried_ / (busy_ms_ / 1000.0);
        s.wire_percent = 100.0 * s.bytes_per_second / kWireBytesPerSecond;
    }
    return s;
}

Summary summarize(const std::vector<RunResult>& runs, bool interrupted) {
    SummaryBuilder builder(runs.size());
    for (const RunResult& r : runs) builder.add(r);
    return std::move(builder).finish(interrupted);
}

int exit_status(const Summary& summary) {
    if (summary.interrupted) return kExitInterrupted;
    if (summary.failures > 0) return kExitFailure;
    if (summary.timeouts > 0) return kExitTimeout;
    return kExitOk;
}

}  // namespace tavrin_cli
