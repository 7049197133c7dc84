#include "cli/stats.h"

#include "cli/exit_codes.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tavrin_cli {

namespace {

// Buckets from kLowestMs to an hour.
const std::size_t kBuckets = static_cast<std::size_t>(
    std::ceil(std::log(3'600'000.0 / LatencyHistogram::kLowestMs) / std::log(LatencyHistogram::kRatio))) + 2;

}  // namespace

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const double rank = std::clamp(p / 100.0, 0.0, 1.0) * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(rank));
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (rank - static_cast<double>(lo));
}

// ---- latencies ------------------------------------------------------------------

// The exact part is laid out at once, so that memory does not move while it fills.
LatencyHistogram::LatencyHistogram() : buckets_(kBuckets, 0) { exact_.reserve(kExact); }

std::size_t LatencyHistogram::bucket_of(double ms) const {
    if (!(ms > kLowestMs)) return 0;  // NaN too
    const double i = std::log(ms / kLowestMs) / std::log(kRatio) + 1;
    const auto last = static_cast<double>(buckets_.size() - 1);
    return i >= last ? buckets_.size() - 1 : static_cast<std::size_t>(i);
}

double LatencyHistogram::bucket_middle(std::size_t i) const {
    if (i == 0) return kLowestMs;
    return kLowestMs * std::pow(kRatio, static_cast<double>(i) - 0.5);
}

void LatencyHistogram::add(double ms) {
    if (!std::isfinite(ms)) return;  // no clock gives one; kept out of the arithmetic
    if (exact_.size() < kExact) exact_.push_back(ms);
    ++buckets_[bucket_of(ms)];
    ++n_;
    min_ = n_ == 1 ? ms : std::min(min_, ms);
    max_ = n_ == 1 ? ms : std::max(max_, ms);
    const double d = ms - mean_;
    mean_ += d / static_cast<double>(n_);
    m2_ += d * (ms - mean_);
}

double LatencyHistogram::percentile(double p) const {
    if (n_ == 0) return 0;
    if (n_ == exact_.size()) {
        std::vector<double> sorted = exact_;
        std::sort(sorted.begin(), sorted.end());
        return tavrin_cli::percentile(sorted, p);
    }
    const double rank = std::clamp(p / 100.0, 0.0, 1.0) * static_cast<double>(n_ - 1);
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        seen += buckets_[i];
        if (static_cast<double>(seen) > rank) return std::clamp(bucket_middle(i), min_, max_);
    }
    return max_;
}

LatencyStats LatencyHistogram::stats() const {
    LatencyStats l;
    l.min = min_;
    l.max = max_;
    l.mean = mean_;
    l.stddev = n_ > 1 ? std::sqrt(m2_ / static_cast<double>(n_ - 1)) : 0;
    if (n_ == exact_.size()) {
        std::vector<double> sorted = exact_;
        std::sort(sorted.begin(), sorted.end());
        l.median = tavrin_cli::percentile(sorted, 50);
        l.p99 = tavrin_cli::percentile(sorted, 99);
    } else {
        l.median = percentile(50);
        l.p99 = percentile(99);
    }
    return l;
}

std::vector<LatencyHistogram::Bin> LatencyHistogram::log_bins(unsigned bins) const {
    std::vector<Bin> out;
    if (n_ == 0 || bins == 0) return out;
    const double lo = std::max(min_, kLowestMs);
    const double hi = std::max(max_, lo * 1.0001);
    const double ratio = std::pow(hi / lo, 1.0 / bins);
    for (unsigned i = 0; i < bins; ++i)
        out.push_back({lo * std::pow(ratio, i), i + 1 == bins ? hi : lo * std::pow(ratio, i + 1), 0});
    auto put = [&](double v, std::uint64_t k) {
        const double x = std::max(v, lo);
        const double i = std::log(x / lo) / std::log(ratio);
        out[!(i > 0) ? 0 : i >= bins - 1 ? bins - 1 : static_cast<std::size_t>(i)].count += k;
    };
    if (n_ == exact_.size()) {
        for (double v : exact_) put(v, 1);
    } else {
        for (std::size_t i = 0; i < buckets_.size(); ++i)
            if (buckets_[i] > 0) put(std::clamp(bucket_middle(i), lo, hi), buckets_[i]);
    }
    return out;
}

// ---- the runs over time -----------------------------------------------------------

void Timeline::add(const RunResult& r) {
    if (slots_.empty() || slots_.back().runs == per_slot_) {
        if (slots_.size() == kSlots) {
            for (std::size_t i = 0; i < kSlots / 2; ++i) {
                Slot merged = slots_[2 * i];
                const Slot& b = slots_[2 * i + 1];
                if (b.answered > 0) {
                    merged.min_ms = merged.answered > 0 ? std::min(merged.min_ms, b.min_ms) : b.min_ms;
                    merged.max_ms = merged.answered > 0 ? std::max(merged.max_ms, b.max_ms) : b.max_ms;
                }
                merged.runs += b.runs;
                merged.answered += b.answered;
                for (std::size_t k = 0; k < kFaultClasses; ++k) merged.faults[k] += b.faults[k];
                slots_[i] = merged;
            }
            slots_.resize(kSlots / 2);
            per_slot_ *= 2;
        }
        slots_.push_back(Slot{r.index, 0, 0, 0, 0, {}});
    }
    Slot& s = slots_.back();
    ++s.runs;
    if (r.latency_ms) {
        s.min_ms = s.answered > 0 ? std::min(s.min_ms, *r.latency_ms) : *r.latency_ms;
        s.max_ms = s.answered > 0 ? std::max(s.max_ms, *r.latency_ms) : *r.latency_ms;
        ++s.answered;
    }
    if (r.verdict.fault != Fault::None) ++s.faults[static_cast<std::size_t>(r.verdict.fault)];
}

// ---- the summary --------------------------------------------------------------------

void SummaryBuilder::add(const RunResult& r) {
    ++s_.runs;
    switch (r.verdict.kind) {
    case Verdict::Kind::Success: ++s_.successes; break;
    case Verdict::Kind::Failure:
        ++s_.failures;
        ++s_.failures_by_byte[r.verdict.offset];
        break;
    case Verdict::Kind::Timeout: ++s_.timeouts; break;
    case Verdict::Kind::Error: ++s_.errors; break;
    }
    s_.timeline.add(r);
    if (r.verdict.kind == Verdict::Kind::Success) {
        if (clean_runs_++ == 0) clean_since_s_ = r.at_s;
        if (clean_runs_ > s_.longest_clean_runs) {
            s_.longest_clean_runs = clean_runs_;
            s_.longest_clean_s = r.at_s - clean_since_s_;
        }
    } else {
        clean_runs_ = 0;
        clean_since_s_ = r.at_s;
        ++s_.faults[static_cast<std::size_t>(r.verdict.fault)];
        if (s_.first_fault_time.empty()) s_.first_fault_time = r.time;
        s_.last_fault_time = r.time;
    }
    if (!r.latency_ms) return;
    s_.histogram.add(*r.latency_ms);
    if (r.layers) {
        to_engine_.add(r.layers->to_engine_ms);
        engine_.add(r.layers->engine_ms);
        to_program_.add(r.layers->to_program_ms);
    }
    // What the wire carried: the bytes sent, or as many as came back.
    carried_ += static_cast<double>(r.verdict.kind == Verdict::Kind::Success
                                        ? r.bytes_sent
                                        : std::min(r.bytes_sent, r.verdict.received_bytes));
    busy_ms_ += *r.latency_ms;
}

void SummaryBuilder::add_stray(const StrayCounts& stray) {
    for (std::size_t k = 0; k < stray.realtime.size(); ++k) s_.stray_realtime[k] += stray.realtime[k];
    s_.stray_between_runs += stray.others;
}

Summary SummaryBuilder::finish(int interrupted_by, double elapsed_s) && {
    Summary s = std::move(s_);
    s.interrupted_by = interrupted_by;
    s.elapsed_s = elapsed_s;
    if (s.histogram.count() > 0) s.latency = s.histogram.stats();
    if (engine_.count() > 0) s.layers = LayerStats{to_engine_.stats(), engine_.stats(), to_program_.stats()};
    if (busy_ms_ > 0) {
        s.bytes_per_second = carried_ / (busy_ms_ / 1000.0);
        s.wire_percent = 100.0 * s.bytes_per_second / kWireBytesPerSecond;
    }
    return s;
}

Summary summarize(const std::vector<RunResult>& runs, int interrupted_by) {
    SummaryBuilder builder;
    for (const RunResult& r : runs) builder.add(r);
    return std::move(builder).finish(interrupted_by, runs.empty() ? 0 : runs.back().at_s);
}

int exit_status(const Summary& summary) {
    if (summary.interrupted()) return summary.interrupted_by;
    if (summary.errors > 0) return kExitUnavailable;
    if (summary.failures > 0) return kExitFailure;
    if (summary.timeouts > 0) return kExitTimeout;
    return kExitOk;
}

}  // namespace tavrin_cli
