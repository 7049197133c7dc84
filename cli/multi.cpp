#include "cli/multi.h"

#include "cli/commands.h"
#include "cli/events.h"
#include "cli/exit_codes.h"
#include "cli/midi_io.h"
#include "cli/pair_run.h"
#include "cli/port_match.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>

namespace tavrin_cli {

namespace {

// Crosstalk lines printed for one sender and one receiver; the matrix
// counts the rest.
constexpr std::uint64_t kCrosstalkLinesPerCell = 10;

// One pair's ports, its runs and what they gave.
struct Lane {
    std::unique_ptr<MidiOutput> out;
    std::unique_ptr<MidiInput> in;
    std::unique_ptr<PairRun> run;
    SummaryBuilder summary;
    std::uint64_t runs = 0;   // started
    bool in_flight = false;   // a run started and not yet taken
    bool stopped = false;     // an engine error: no more runs
    double started_at = 0, next_at = 0;
    double fault_at = 0;  // when the last run ended in a fault; 0 after a success
    bool beside_others = false;  // another pair was busy when the run started
};

}  // namespace

int run_pairs(const Options& options, const PortList& ports, const std::vector<PortPair>& pairs, const Pattern& pattern,
              InterruptWatch& interrupt) {
    if (pairs.size() > kMaxPairs) throw Exit(kExitUsage, "at most " + std::to_string(kMaxPairs) + " pairs");
    MessageWindow window;
    if (!window) throw Exit(kExitUnavailable, "cannot create the window that receives MIDI notifications");
    EventWait wait(window.hwnd(), interrupt);
    PairsReport report;
    report.matrix.assign(pairs.size(), std::vector<std::uint64_t>(pairs.size(), 0));
    std::vector<Lane> lanes(pairs.size());
    const std::vector<Bytes> sends = tagged_sends(pattern);
    if (sends.front().size() > kMaxSysexBytes)
        throw Exit(kExitUsage, "with several pairs a SysEx may have " + std::to_string(kMaxSysexBytes - kPairTagBytes) +
                                   " bytes at most: the run's tag shares its send");
    const bool text = !options.json && !options.quiet;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        PairsReport::Pair& p = report.pairs.emplace_back();
        p.out = pairs[k].out;
        p.in = pairs[k].in;
        p.out_name = ports.outputs[p.out].name;
        p.in_name = ports.inputs[p.in].name;
        std::string error;
        Lane& lane = lanes[k];
        lane.out = MidiOutput::open(p.out, window.hwnd(), sends, error);
        if (!lane.out) throw Exit(kExitUnavailable, "cannot open output " + std::to_string(p.out) + ": " + error);
        lane.in = MidiInput::open(p.in, window.hwnd(), tagged_input_buffers(pattern), kInputBufferBytes, error);
        if (!lane.in) throw Exit(kExitUnavailable, "cannot open input " + std::to_string(p.in) + ": " + error);
        lane.run = std::make_unique<PairRun>(wait, wait.add_input(*lane.in), wait.add_output(*lane.out), pattern,
                                             options.timeout_ms, options.strict);
        lane.run->tag_as(static_cast<unsigned>(k), [&report, &options, text, k](const PairTag& from, std::uint64_t at) {
            if (from.pair >= report.pairs.size()) return;  // a tag of no pair of this test
            const PairsReport::Crosstalk c{from.pair, k, from.run, at, wall_clock()};
            const std::uint64_t n = ++report.matrix[from.pair][k];
            if (options.json) write_out(json_line(crosstalk_json(c, report)) + "\n");
            else if (text && n <= kCrosstalkLinesPerCell) write_out(crosstalk_text(c, report));
        });
    }
    interrupt.set_target(window.hwnd());

    std::vector<PairRun*> runs;
    for (Lane& lane : lanes) runs.push_back(lane.run.get());
    const double started = now_seconds();
    const double end = options.duration_s > 0 ? started + options.duration_s : std::numeric_limits<double>::infinity();
    auto more = [&](const Lane& lane) {
        return !lane.stopped && (options.count == 0 || lane.runs < options.count);
    };
    auto busy_besides = [&](const Lane& self) {
        return std::any_of(lanes.begin(), lanes.end(), [&](const Lane& l) { return &l != &self && l.run->busy(); });
    };
    auto take = [&](std::size_t k) {
        Lane& lane = lanes[k];
        RunResult& r = lane.run->result();
        const double now = now_seconds();
        r.time = wall_clock();
        r.at_s = now - started;
        lane.summary.add_stray(lane.run->take_stray());
        lane.summary.add(r);
        lane.in_flight = false;
        lane.next_at = now + options.interval_ms / 1000.0;
        lane.fault_at = r.verdict.kind == Verdict::Kind::Success ? 0 : now;
        lane.stopped = r.verdict.kind == Verdict::Kind::Error && r.verdict.port_lost;  // the port is of no more use
        if (lane.beside_others) {
            PairsReport::Pair& p = report.pairs[k];
            p.longest_wait_ms = std::max(p.longest_wait_ms, r.latency_ms.value_or((now - lane.started_at) * 1000.0));
            ++p.runs_beside_others;
        }
        if (options.json) {
            auto j = run_json(r, pattern);
            j["pair"] = k + 1;
            write_out(json_line(j) + "\n");
        } else if (text && (r.verdict.kind != Verdict::Kind::Success || options.verbose)) {
            write_out("pair " + std::to_string(k + 1) + " " + run_text(r, options.count));
        }
    };

    bool interrupted = false;
    while (!interrupted) {
        const double now = now_seconds();
        std::optional<double> until;
        for (Lane& lane : lanes) {
            if (lane.run->busy() || !more(lane) || now >= end) continue;
            // After a fault, the next run waits for quiet as well.
            const double quiet = lane.fault_at == 0 ? 0
                                 : std::min(std::max(lane.run->last_arrival(), lane.fault_at) + kQuietSeconds,
                                            lane.fault_at + kDrainLimitSeconds);
            const double due = std::max(lane.next_at, quiet);
            if (due > now) {
                until = std::min(until.value_or(due), due);
                continue;
            }
            lane.started_at = now_seconds();
            lane.beside_others = false;
            lane.run->start(++lane.runs);
            lane.in_flight = true;
        }
        for (Lane& lane : lanes) lane.beside_others = lane.in_flight && (lane.beside_others || busy_besides(lane));
        const bool any_busy = std::any_of(lanes.begin(), lanes.end(), [](const Lane& l) { return l.in_flight; });
        if (!any_busy && !until) break;
        interrupted = !drive(wait, runs, until, [&] {
            bool ended = false;
            for (std::size_t k = 0; k < lanes.size(); ++k) {
                Lane& lane = lanes[k];
                if (lane.in_flight && lane.run->busy()) lane.beside_others = lane.beside_others || busy_besides(lane);
                if (lane.in_flight && !lane.run->busy()) {
                    take(k);
                    ended = true;
                }
            }
            return ended;
        });
    }
    const double elapsed = now_seconds() - started;
    for (Lane& lane : lanes) {
        if (interrupted) lane.run->abandon();
        settle_ports(wait, *lane.in, *lane.out);
        lane.summary.add_stray(lane.run->take_stray());
    }
    interrupt.set_target(nullptr);
    for (std::size_t k = 0; k < lanes.size(); ++k)
        report.pairs[k].summary = std::move(lanes[k].summary).finish(interrupt.status(), elapsed);
    lanes.clear();

    if (options.json) write_out(json_line(pairs_json(report, pattern)) + "\n");
    else write_out(pairs_text(report));
    return exit_status(report);
}

}  // namespace tavrin_cli
