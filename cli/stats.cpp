#include "cli/stats.h"

#include "cli/exit_codes.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tavrin_cli {

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const std::size_t i = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    return sorted[std::min(i, sorted.size() - 1)];
}

Summary summarize(const std::vector<RunResult>& runs, bool interrupted) {
    Summary s;
    s.interrupted = interrupted;
    double carried = 0;
    double busy_ms = 0;
    for (const RunResult& r : runs) {
        ++s.runs;
        switch (r.verdict.kind) {
        case Verdict::Kind::Success: ++s.successes; break;
        case Verdict::Kind::Failure:
            ++s.failures;
            ++s.failures_by_byte[r.verdict.offset];
            break;
        case Verdict::Kind::Timeout: ++s.timeouts; break;
        }
        if (r.latency_ms) {
            s.latencies_ms.push_back(*r.latency_ms);
            // What the wire carried: the bytes sent, or as many as came back.
            carried += static_cast<double>(r.verdict.kind == Verdict::Kind::Success
                                               ? r.bytes_sent
                                               : std::min(r.bytes_sent, r.verdict.received_bytes));
            busy_ms += *r.latency_ms;
        }
    }
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
    if (busy_ms > 0) {
        s.bytes_per_second = carried / (busy_ms / 1000.0);
        s.wire_percent = 100.0 * s.bytes_per_second / kWireBytesPerSecond;
    }
    return s;
}

int exit_status(const Summary& summary) {
    if (summary.interrupted) return kExitInterrupted;
    if (summary.failures > 0) return kExitFailure;
    if (summary.timeouts > 0) return kExitTimeout;
    return kExitOk;
}

}  // namespace tavrin_cli
