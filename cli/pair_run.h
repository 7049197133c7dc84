// One port pair's runs as a state machine over the events of an EventWait,
// and the loop that hands those events to one pair or many.
#pragma once

#include "cli/capture.h"
#include "cli/events.h"
#include "cli/exit_codes.h"
#include "cli/pattern.h"
#include "cli/stats.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <span>
#include <utility>

namespace tavrin_cli {

// How long a run's output may take to finish, and its input to give its
// buffers back, once the run is over.
inline constexpr double kDrainLimitSeconds = 2.0;
// After a faulty run, the rest of what it sent may still be on its way: the
// next run waits until nothing but real-time bytes has come for this long
// (within the drain limit), so that it does not spoil that run.
inline constexpr double kQuietSeconds = 0.1;

// ---- one port pair's runs ---------------------------------------------------------

// A run over one output and one input, driven by the events of an EventWait:
// it sends, listens until the pattern's bytes are in or nothing of them has
// come for the time-out, and settles the ports so that nothing of it reaches
// the next run. Bytes the pattern did not send are stray: real-time ones are
// counted by kind and never extend a run (see Capture); others join a run's
// capture, or between runs are counted.
class PairRun {
public:
    PairRun(EventWait& wait, std::size_t in, std::size_t out, const Pattern& pattern, unsigned timeout_ms,
            bool strict)
        : in_id_(in), out_id_(out), in_(wait.input(in)), out_(wait.output(out)), pattern_(pattern),
          timeout_s_(timeout_ms / 1000.0), capture_(pattern, strict) {}

    // A message tagged by another pair (its number, its run) reached this
    // pair's input, during this pair's run `at_run` (0: before the first).
    using CrosstalkSeen = std::function<void(const PairTag& from, std::uint64_t at_run)>;
    // Tags each run's traffic as pair `pair`'s; the output must have been
    // opened with tagged_sends(). Another pair's tag and the SysEx that
    // follows it are crosstalk: named to `seen`, kept out of the capture.
    void tag_as(unsigned pair, CrosstalkSeen seen) {
        tag_ = pair;
        crosstalk_seen_ = std::move(seen);
    }

    void start(std::uint64_t index) {
        if (tag_) out_.overwrite(0, pair_tag(*tag_, index));
        result_ = RunResult{};
        result_.index = index;
        result_.bytes_sent = pattern_.wire.size();
        capture_.clear();
        complete_ = late_ = false;
        next_send_ = 0;
        taken_s_.reset();
        arrival_s_.reset();
        error_.clear();
        losses_at_start_ = in_.losses();
        if (!in_.recording()) {
            if (const MMRESULT r = in_.start(); r != MMSYSERR_NOERROR) return fail("input: " + input_error_text(r));
        }
        start_ = now_seconds();
        stage_ = Stage::Receiving;
        deadline_ = start_ + timeout_s_;
        send_next();
    }

    bool busy() const { return stage_ != Stage::Idle; }
    std::optional<double> deadline() const { return busy() ? std::optional<double>(deadline_) : std::nullopt; }
    bool owns(const Event& e) const {
        return (e.kind == Event::Kind::Arrival && e.port == in_id_) || (e.kind == Event::Kind::Sent && e.port == out_id_);
    }

    void on_event(const Event& e) {
        if (e.kind == Event::Kind::Sent && !taken_s_) taken_s_ = engine_time(out_.engine_taken_s());
        if (e.kind == Event::Kind::Arrival) arrived(e.bytes);
        else if (e.kind == Event::Kind::Sent && (stage_ == Stage::Receiving || stage_ == Stage::Late)) send_next();
        advance();
    }

    void on_deadline() {
        switch (stage_) {
        case Stage::Receiving:
            // Bytes that are on their way may still complete it: a late run.
            if (!capture_.bytes().empty() || out_.sending()) {
                stage_ = Stage::Late;
                deadline_ = now_seconds() + kDrainLimitSeconds;
            } else {
                collect();
            }
            break;
        case Stage::Late: collect(); break;
        case Stage::Finishing:
            if (out_reset_) throw Exit(kExitUnavailable, "the output does not give its buffer back");
            out_.reset();
            out_reset_ = true;
            deadline_ = now_seconds() + kDrainLimitSeconds;
            break;
        case Stage::Collecting: throw Exit(kExitUnavailable, "the input does not give its buffers back");
        case Stage::Idle: break;
        }
        advance();
    }

    // An interrupt: the run under way ends with no verdict.
    void abandon() {
        if (out_.sending()) out_.reset();
        in_.reset();
        capture_.close();
        stage_ = Stage::Idle;
    }

    // When bytes other than real-time ones last came.
    double last_arrival() const { return last_arrival_; }

    // What the run gave, once it is no longer busy.
    RunResult& result() { return result_; }

    // Stray bytes counted since the last call.
    StrayCounts take_stray() { return capture_.take_stray(); }

private:
    enum class Stage { Idle, Receiving, Late, Collecting, Finishing };

    void send_next() {
        if (out_.sending() || next_send_ >= out_.messages()) return;
        if (const MMRESULT r = out_.send(next_send_++); r != MMSYSERR_NOERROR)
            fail("output: " + output_error_text(r));
    }

    // Drops tags, and the foreign SysEx after a foreign tag; true when
    // nothing of `bytes` is left for the run.
    bool untagged(std::span<const std::uint8_t>& bytes) {
        if (!tag_) return false;
        if (const auto t = read_pair_tag(bytes)) {
            foreign_ = t->pair != *tag_ ? Foreign::Expected : Foreign::None;
            if (t->pair != *tag_) crosstalk_seen_(*t, result_.index);
            return true;
        }
        if (foreign_ == Foreign::None) return false;
        kept_.clear();
        for (std::uint8_t b : bytes) {
            if (b < 0xF8 && foreign_ == Foreign::Expected) foreign_ = b == 0xF0 ? Foreign::Inside : Foreign::None;
            if (b < 0xF8 && foreign_ == Foreign::Inside) {
                if (b == 0xF7) foreign_ = Foreign::None;
                continue;
            }
            kept_.push_back(b);
        }
        bytes = kept_;
        return kept_.empty();
    }

    void arrived(std::span<const std::uint8_t> bytes) {
        if (std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b < 0xF8; })) last_arrival_ = now_seconds();
        if (untagged(bytes)) return;
        const bool listening = stage_ == Stage::Receiving || stage_ == Stage::Late || stage_ == Stage::Collecting;
        bool own = false;
        for (std::uint8_t b : bytes) {
            if (listening) own = capture_.take(b) || own;
            else capture_.stray(b);
        }
        if (!own || stage_ == Stage::Collecting) return;
        if (!arrival_s_) arrival_s_ = engine_time(in_.engine_arrival_s());
        const double now = now_seconds();
        deadline_ = stage_ == Stage::Late ? deadline_ : now + timeout_s_;  // waits again from this arrival
        if (capture_.complete()) {
            complete_ = true;
            late_ = stage_ == Stage::Late;
            done_at_ = now;
            finishing();
        }
    }

    // Nothing more came in time: the output stops, and the input gives back
    // the buffer it was filling, whose bytes join the capture.
    void collect() {
        if (out_.sending()) {
            out_.reset();
            out_reset_ = true;
        }
        in_.reset();
        stage_ = Stage::Collecting;
        deadline_ = now_seconds() + kDrainLimitSeconds;
    }

    void finishing() {
        stage_ = Stage::Finishing;
        deadline_ = now_seconds() + kDrainLimitSeconds;
    }

    void advance() {
        if (stage_ == Stage::Collecting && in_.queued() == 0) {
            if (const MMRESULT r = in_.start(); r != MMSYSERR_NOERROR) error_ = "input: " + input_error_text(r);
            finishing();
        }
        if (stage_ == Stage::Finishing && !out_.sending()) finish();
    }

    void finish() {
        stage_ = Stage::Idle;
        out_reset_ = false;
        capture_.close();
        if (!error_.empty()) {
            result_.verdict = engine_error(pattern_, capture_.bytes(), error_);
            return;
        }
        result_.verdict = judge(pattern_, capture_.bytes(), complete_);
        if (late_) mark_late(result_.verdict);
        // Bytes that Tavrin's own input lost are not the cable's fault.
        if (result_.verdict.kind != Verdict::Kind::Success) {
            if (const std::string lost = losses_text(losses_at_start_, in_.losses()); !lost.empty()) {
                result_.verdict =
                    engine_error(pattern_, capture_.bytes(), "input: lost on Tavrin's side, not on the cable: " + lost);
                result_.verdict.port_lost = false;
                return;
            }
        }
        if (complete_) result_.latency_ms = (done_at_ - start_) * 1000.0;
        if (complete_ && taken_s_ && arrival_s_ && *arrival_s_ >= *taken_s_)
            result_.layers = Layers{(*taken_s_ - start_) * 1000.0, (*arrival_s_ - *taken_s_) * 1000.0,
                                    (done_at_ - *arrival_s_) * 1000.0};
    }

    // An engine time of this run: one from before its start is an earlier run's.
    std::optional<double> engine_time(std::optional<double> at) const {
        return at && *at >= start_ ? at : std::nullopt;
    }

    void fail(const std::string& what) {
        error_ = what;
        if (out_.sending()) out_.reset();
        finishing();
        advance();
    }

    std::size_t in_id_, out_id_;
    MidiInput& in_;
    MidiOutput& out_;
    const Pattern& pattern_;
    double timeout_s_;
    Stage stage_ = Stage::Idle;
    RunResult result_;
    Capture capture_;
    std::size_t next_send_ = 0;
    bool complete_ = false, late_ = false, out_reset_ = false;
    std::string error_;
    double start_ = 0, done_at_ = 0, deadline_ = 0;
    std::optional<double> taken_s_, arrival_s_;  // the engine's own times of this run
    InputLosses losses_at_start_;
    enum class Foreign { None, Expected, Inside };
    std::optional<unsigned> tag_;
    CrosstalkSeen crosstalk_seen_;
    Foreign foreign_ = Foreign::None;
    Bytes kept_;
    double last_arrival_ = 0;
};

// Waits and hands each event to the pair it concerns until `done()`, or until
// `until` passes; false on an interrupt.
template <class Done>
bool drive(EventWait& wait, std::span<PairRun* const> pairs, std::optional<double> until, Done done) {
    while (!done()) {
        std::optional<double> deadline = until;
        for (PairRun* p : pairs)
            if (auto d = p->deadline(); d && (!deadline || *d < *deadline)) deadline = d;
        const Event e = wait.next(deadline);
        switch (e.kind) {
        case Event::Kind::Interrupt:
        case Event::Kind::Quit: return false;
        case Event::Kind::Deadline: {
            const double now = now_seconds() + 0.0005;
            for (PairRun* p : pairs)
                if (auto d = p->deadline(); d && *d <= now) p->on_deadline();
            if (until && *until <= now) return true;
            break;
        }
        default:
            for (PairRun* p : pairs)
                if (p->owns(e)) p->on_event(e);
        }
    }
    return true;
}

// Stops both ports and takes notifications until every buffer is back (they
// come at once after a reset), for at most the drain limit.
inline void settle_ports(EventWait& wait, MidiInput& in, MidiOutput& out) {
    if (out.sending()) out.reset();
    in.reset();
    const double until = now_seconds() + kDrainLimitSeconds;
    while ((in.queued() > 0 || out.sending()) && now_seconds() < until) {
        const Event e = wait.next(until, true);
        if (e.kind == Event::Kind::Quit || e.kind == Event::Kind::Deadline) break;
    }
}

}  // namespace tavrin_cli
