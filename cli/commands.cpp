#include "cli/commands.h"

#include "cli/events.h"
#include "cli/exit_codes.h"
#include "cli/midi_io.h"
#include "cli/port_match.h"
#include "cli/report.h"
#include "cli/stats.h"
#include "cli/terminal.h"
#include "loopback/loopback.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <limits>
#include <optional>

namespace tavrin_cli {

namespace {

// How long a run's output may take to finish, and its input to give its
// buffers back, once the run is over.
constexpr double kDrainLimitSeconds = 2.0;
constexpr double kNever = std::numeric_limits<double>::infinity();
// The tag a wiring probe sends: SysEx, non-commercial id, "Tv", output index.
constexpr std::uint8_t kTagHead[] = {0xF0, 0x7D, 0x54, 0x76};
constexpr std::size_t kTagBytes = sizeof kTagHead + 3;
constexpr std::size_t kWiringBuffers = 4;
constexpr std::size_t kWiringBufferBytes = 256;

void write_out(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void write_err(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

// The wall clock, ISO 8601 in UTC to the millisecond.
std::string wall_clock() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}

PortList ports_or_exit() {
    PortList ports = list_ports();
    if (ports.inputs.empty() && ports.outputs.empty())
        throw Exit(kExitUnavailable, "no MIDI ports: the MIDI engine (" + ports.engine + ") offers none");
    return ports;
}

unsigned choose_port(const std::vector<PortEntry>& ports, const std::string& typed, const char* kind,
                     const char* title) {
    const PortMatch m = match_port(ports, typed, kind);
    if (!m.index) throw Exit(m.exit_status, m.error, port_listing(ports, title));
    return *m.index;
}

std::string port_label(const char* kind, unsigned index, const std::vector<PortEntry>& ports) {
    std::string label = std::string(kind) + " " + std::to_string(index);
    if (index < ports.size() && ports[index].error.empty()) label += " \"" + ports[index].name + "\"";
    return label;
}

// The standard message and its check are the desktop program's own.
Pattern make_pattern(const PatternChoice& choice) {
    const UINT length = BuildTestMessage();
    Pattern p = build_pattern(choice, std::span<const std::uint8_t>(TestMessage, length));
    if (choice.kind == PatternChoice::Kind::Standard) {
        p.accepts = [](std::span<const std::uint8_t> captured) {
            // Past the capture lies a byte that no good message holds.
            Bytes padded(captured.begin(), captured.end());
            padded.resize(std::max<std::size_t>(padded.size(), TEST_MESSAGE_LEN) + 1, 0xFF);
            return VerifyLoopback(padded.data()) == TEST_MESSAGE_LEN;
        };
    }
    return p;
}

// ---- the status line ------------------------------------------------------------

// One line at the foot of a terminal, redrawn at most ten times a second;
// other text goes above it.
class StatusLine {
public:
    explicit StatusLine(bool enabled) : enabled_(enabled) {}
    ~StatusLine() { clear(); }

    void update(const std::string& line, bool now = false) {
        if (!enabled_) return;
        line_ = line;
        const double t = now_seconds();
        if (!now && t - drawn_at_ < 0.1) return;
        drawn_at_ = t;
        draw();
    }
    void print_above(const std::string& text) {
        const bool was_shown = shown_;
        clear();
        write_out(text);
        if (was_shown) draw();
    }
    // Spaces, not terminal escapes, so that every console shows it the same.
    void clear() {
        if (!shown_) return;
        std::string blank(drawn_width_ + 2, ' ');
        blank.front() = blank.back() = '\r';
        write_err(blank);
        shown_ = false;
    }

private:
    void draw() {
        const std::size_t pad = drawn_width_ > line_.size() ? drawn_width_ - line_.size() : 0;
        std::string text(1, '\r');
        text.append(line_).append(pad, ' ');
        write_err(text);
        drawn_width_ = line_.size();
        shown_ = true;
    }

    bool enabled_;
    std::string line_;
    std::size_t drawn_width_ = 0;
    double drawn_at_ = 0;
    bool shown_ = false;
};

// ---- one port pair's runs ---------------------------------------------------------

// A run over one output and one input, driven by the events of an EventWait:
// it sends, listens until the pattern's bytes are in or nothing of them has
// come for the time-out, and settles the ports so that nothing of it reaches
// the next run. Bytes the pattern did not send are stray: real-time ones are
// counted by kind and never extend a run; others join a run's capture, or
// between runs are counted.
class PairRun {
public:
    PairRun(EventWait& wait, std::size_t in, std::size_t out, const Pattern& pattern, unsigned timeout_ms,
            bool strict)
        : wait_(wait), in_id_(in), out_id_(out), in_(wait.input(in)), out_(wait.output(out)), pattern_(pattern),
          timeout_s_(timeout_ms / 1000.0), strict_(strict) {}

    void start(std::uint64_t index) {
        result_ = RunResult{};
        result_.index = index;
        result_.bytes_sent = pattern_.wire.size();
        captured_.clear();
        f7_seen_ = uncounted_ = 0;
        complete_ = late_ = false;
        next_send_ = 0;
        taken_s_.reset();
        arrival_s_.reset();
        error_.clear();
        budget_ = realtime_budget(pattern_);
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
            if (!captured_.empty() || out_.sending()) {
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
        stage_ = Stage::Idle;
    }

    // What the run gave, once it is no longer busy.
    RunResult& result() { return result_; }

    // Stray bytes counted since the last call.
    void take_stray(RealtimeCounts& realtime, std::uint64_t& others) {
        realtime = stray_realtime_;
        others = stray_others_;
        stray_realtime_ = {};
        stray_others_ = 0;
    }

private:
    enum class Stage { Idle, Receiving, Late, Collecting, Finishing };

    void send_next() {
        if (out_.sending() || next_send_ >= out_.messages()) return;
        if (const MMRESULT r = out_.send(next_send_++); r != MMSYSERR_NOERROR)
            fail("output: " + output_error_text(r));
    }

    void arrived(std::span<const std::uint8_t> bytes) {
        const bool listening = stage_ == Stage::Receiving || stage_ == Stage::Late || stage_ == Stage::Collecting;
        bool own = false;
        for (std::uint8_t b : bytes) {
            if (b >= 0xF8) {
                std::uint64_t& left = budget_[b - 0xF8];
                if (left > 0 && listening) {
                    --left;
                } else if (!strict_ || !listening) {
                    ++stray_realtime_[b - 0xF8];
                    continue;
                } else {
                    ++uncounted_;  // a fault under --strict, but no byte of the pattern
                }
            } else if (!listening) {
                ++stray_others_;
                continue;
            }
            captured_.push_back(b);
            f7_seen_ += b == 0xF7 ? 1 : 0;
            own = true;
        }
        if (!own || stage_ == Stage::Collecting) return;
        if (!arrival_s_) arrival_s_ = engine_time(in_.engine_arrival_s());
        const double now = now_seconds();
        deadline_ = stage_ == Stage::Late ? deadline_ : now + timeout_s_;  // waits again from this arrival
        if (capture_complete(pattern_, captured_, f7_seen_, uncounted_)) {
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
        if (!error_.empty()) {
            result_.verdict = engine_error(pattern_, captured_, error_);
            return;
        }
        result_.verdict = judge(pattern_, captured_, complete_);
        if (late_) mark_late(result_.verdict);
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

    EventWait& wait_;
    std::size_t in_id_, out_id_;
    MidiInput& in_;
    MidiOutput& out_;
    const Pattern& pattern_;
    double timeout_s_;
    bool strict_;
    Stage stage_ = Stage::Idle;
    RunResult result_;
    Bytes captured_;
    std::size_t f7_seen_ = 0;
    std::size_t uncounted_ = 0;
    std::size_t next_send_ = 0;
    bool complete_ = false, late_ = false, out_reset_ = false;
    std::string error_;
    double start_ = 0, done_at_ = 0, deadline_ = 0;
    std::optional<double> taken_s_, arrival_s_;  // the engine's own times of this run
    RealtimeCounts budget_{};
    RealtimeCounts stray_realtime_{};
    std::uint64_t stray_others_ = 0;
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
void settle_ports(EventWait& wait, MidiInput& in, MidiOutput& out) {
    if (out.sending()) out.reset();
    in.reset();
    const double until = now_seconds() + kDrainLimitSeconds;
    while ((in.queued() > 0 || out.sending()) && now_seconds() < until) {
        const Event e = wait.next(until, true);
        if (e.kind == Event::Kind::Quit || e.kind == Event::Kind::Deadline) break;
    }
}

// ---- what a test prints as it goes ------------------------------------------------

class TestReport {
public:
    TestReport(const Options& options, const Pattern& pattern)
        : options_(options), pattern_(pattern), text_(!options.json && !options.quiet),
          terminal_(text_ && is_terminal(stdout)), status_(text_ && is_terminal(stderr)), started_(now_seconds()) {}

    void run(const RunResult& r) {
        const bool fault = r.verdict.kind != Verdict::Kind::Success;
        if (fault) {
            ++faults_[static_cast<std::size_t>(r.verdict.fault)];
            last_fault_ = std::string(fault_name(r.verdict.fault)) + " at " + r.time.substr(11, 8);
        }
        ++runs_;
        successes_ += fault ? 0 : 1;
        if (options_.json) write_out(json_line(run_json(r, pattern_)) + "\n");
        else if (text_ && (fault || !terminal_ || options_.verbose))
            status_.print_above(run_text(r, options_.count));
        tick(true);
    }
    void tick(bool force = false) {
        status_.update(status_line(runs_, options_.count, now_seconds() - started_, successes_, faults_, last_fault_),
                       force);
    }
    void finish(const Summary& summary, const std::string& title) {
        status_.clear();
        if (options_.json) {
            write_out(json_line(summary_json(summary, pattern_)) + "\n");
        } else {
            std::string s = summary_text(summary);
            if (terminal_) s += histogram_text(summary.histogram);
            write_out(s);
        }
        if (!options_.plot_file.empty()) write_file(options_.plot_file, plot_svg(summary, title), "the picture");
        if (!options_.junit_file.empty())
            write_file(options_.junit_file, junit_xml(summary, pattern_, title), "the JUnit report");
    }
    double elapsed() const { return now_seconds() - started_; }

private:
    static void write_file(const std::string& path, const std::string& text, const char* what) {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << text;
        if (!file.flush()) throw Exit(kExitIoError, std::string("cannot write ") + what + " to " + path);
    }

    const Options& options_;
    const Pattern& pattern_;
    bool text_, terminal_;
    StatusLine status_;
    double started_;
    std::uint64_t runs_ = 0, successes_ = 0;
    std::array<std::uint64_t, kFaultClasses> faults_{};
    std::string last_fault_;
};

}  // namespace

int run_ports(const Options& options) {
    const PortList ports = list_ports();
    if (options.json) write_out(json_line(ports_json(ports)) + "\n");
    else write_out(ports_text(ports));
    if (ports.inputs.empty() && ports.outputs.empty())
        throw Exit(kExitUnavailable, "no MIDI ports: the MIDI engine (" + ports.engine + ") offers none");
    return kExitOk;
}

namespace {

// Opens the two ports, runs the pattern as the options say, closes them;
// `report` hears of every run.
Summary run_pair(const PortList& ports, unsigned in_index, unsigned out_index, const Pattern& pattern,
                 const Options& options, InterruptWatch& interrupt, TestReport& report) {
    MessageWindow window;
    if (!window) throw Exit(kExitUnavailable, "cannot create the window that receives MIDI notifications");
    std::string error;
    auto out = MidiOutput::open(out_index, window.hwnd(), pattern.sends, error);
    if (!out) throw Exit(kExitUnavailable, "cannot open " + port_label("output", out_index, ports.outputs) + ": " + error);
    auto in = MidiInput::open(in_index, window.hwnd(), pattern.input_buffers, kInputBufferBytes, error);
    if (!in) throw Exit(kExitUnavailable, "cannot open " + port_label("input", in_index, ports.inputs) + ": " + error);
    interrupt.set_target(window.hwnd());

    EventWait wait(window.hwnd(), interrupt);
    PairRun pair(wait, wait.add_input(*in), wait.add_output(*out), pattern, options.timeout_ms, options.strict);
    PairRun* const pairs[] = {&pair};
    SummaryBuilder summary;
    const double end = options.duration_s > 0 ? now_seconds() + options.duration_s : kNever;
    auto take_stray = [&] {
        RealtimeCounts realtime;
        std::uint64_t others = 0;
        pair.take_stray(realtime, others);
        summary.add_stray(realtime, others);
    };
    for (std::uint64_t i = 1; options.count == 0 || i <= options.count; ++i) {
        if (now_seconds() >= end) break;
        pair.start(i);
        if (!drive(wait, pairs, std::nullopt, [&] { report.tick(); return !pair.busy(); })) {
            pair.abandon();
            break;
        }
        RunResult& r = pair.result();
        r.time = wall_clock();
        r.at_s = report.elapsed();
        take_stray();
        summary.add(r);
        report.run(r);
        if (r.verdict.kind == Verdict::Kind::Error) break;  // the port is of no more use
        if (options.interval_ms > 0 && (options.count == 0 || i < options.count)) {
            const double until = std::min(now_seconds() + options.interval_ms / 1000.0, end);
            if (!drive(wait, pairs, until, [] { return false; })) break;
        }
    }
    const double elapsed = report.elapsed();
    settle_ports(wait, *in, *out);
    take_stray();
    interrupt.set_target(nullptr);
    in.reset();
    out.reset();

    return std::move(summary).finish(interrupt.status(), elapsed);
}

}  // namespace

int run_test(const Options& options, InterruptWatch& interrupt) {
    const PortList ports = ports_or_exit();
    const unsigned in_index = choose_port(ports.inputs, options.in_port, "input", "Inputs");
    const unsigned out_index = choose_port(ports.outputs, options.out_port, "output", "Outputs");
    const Pattern pattern = make_pattern(options.pattern);
    TestReport report(options, pattern);
    const Summary s = run_pair(ports, in_index, out_index, pattern, options, interrupt, report);
    report.finish(s, "tavrin-cli test, pattern " + pattern.choice.text + ", input " + ports.inputs[in_index].name +
                         ", output " + ports.outputs[out_index].name);
    return exit_status(s);
}

Summary test_quietly(const PortList& ports, unsigned in_index, unsigned out_index, const Options& options,
                     InterruptWatch& interrupt) {
    Options quiet = options;
    quiet.json = false;
    quiet.quiet = true;
    quiet.plot_file.clear();
    quiet.junit_file.clear();
    const Pattern pattern = make_pattern(options.pattern);
    TestReport report(quiet, pattern);
    return run_pair(ports, in_index, out_index, pattern, quiet, interrupt, report);
}

int run_wiring(const Options& options, InterruptWatch& interrupt) {
    const PortList ports = ports_or_exit();
    WiringMap map;
    map.engine = ports.engine;
    MessageWindow window;
    if (!window) throw Exit(kExitUnavailable, "cannot create the window that receives MIDI notifications");
    EventWait wait(window.hwnd(), interrupt);
    std::vector<std::unique_ptr<MidiOutput>> outs;
    std::vector<std::size_t> output_of_port;  // the map's output for each of the waiter's
    for (const PortEntry& p : ports.outputs) {
        WiringMap::Output o{p.index, p.name, {}, {}};
        const Bytes tag = {kTagHead[0], kTagHead[1], kTagHead[2], kTagHead[3],
                           static_cast<std::uint8_t>((p.index >> 7) & 0x7F), static_cast<std::uint8_t>(p.index & 0x7F),
                           0xF7};
        if (auto out = MidiOutput::open(p.index, window.hwnd(), {tag}, o.error)) {
            wait.add_output(*out);
            output_of_port.push_back(map.outputs.size());
            outs.push_back(std::move(out));
        }
        map.outputs.push_back(std::move(o));
    }
    std::vector<std::unique_ptr<MidiInput>> ins;
    std::vector<std::size_t> input_of_port;  // the map's input for each of the waiter's
    for (const PortEntry& p : ports.inputs) {
        WiringMap::Input i{p.index, p.name, {}, 0};
        if (auto in = MidiInput::open(p.index, window.hwnd(), kWiringBuffers, kWiringBufferBytes, i.error)) {
            if (const MMRESULT r = in->start(); r != MMSYSERR_NOERROR) {
                i.error = input_error_text(r);
            } else {
                wait.add_input(*in);
                input_of_port.push_back(map.inputs.size());
                ins.push_back(std::move(in));
            }
        }
        map.inputs.push_back(std::move(i));
    }
    if (outs.empty() && ins.empty()) throw Exit(kExitUnavailable, "no MIDI port could be opened");
    interrupt.set_target(window.hwnd());
    std::size_t sent = 0;
    for (std::size_t k = 0; k < outs.size(); ++k) {
        if (const MMRESULT r = outs[k]->send(0); r != MMSYSERR_NOERROR) map.outputs[output_of_port[k]].error = output_error_text(r);
        else ++sent;
    }

    // A tag that came restarts the clock; nothing else does. With no output
    // sending, there is nothing to listen for.
    auto heard_from = [&](std::size_t input, std::span<const std::uint8_t> data) {
        const bool tag = data.size() == kTagBytes && std::equal(std::begin(kTagHead), std::end(kTagHead), data.begin()) &&
                         data[kTagBytes - 1] == 0xF7 && data[4] < 0x80 && data[5] < 0x80;
        const unsigned k = tag ? (static_cast<unsigned>(data[4]) << 7 | data[5]) : 0;
        if (!tag || k >= map.outputs.size()) {
            for (std::uint8_t b : data) map.inputs[input].unexpected_bytes += b < 0xF8 ? 1 : 0;
            return false;
        }
        auto& list = map.outputs[k].inputs;
        if (std::find(list.begin(), list.end(), map.inputs[input].index) == list.end())
            list.push_back(map.inputs[input].index);
        return true;
    };
    double deadline = now_seconds() + options.timeout_ms / 1000.0;
    while (sent > 0) {
        const Event e = wait.next(deadline);
        if (e.kind != Event::Kind::Arrival && e.kind != Event::Kind::Sent) break;
        if (e.kind == Event::Kind::Arrival && heard_from(input_of_port[e.port], e.bytes))
            deadline = now_seconds() + options.timeout_ms / 1000.0;
    }
    interrupt.set_target(nullptr);
    ins.clear();
    outs.clear();
    for (auto& o : map.outputs) std::sort(o.inputs.begin(), o.inputs.end());

    if (options.json) write_out(json_line(wiring_json(map)) + "\n");
    else write_out(wiring_text(map));
    if (interrupt.requested()) return interrupt.status();
    return kExitOk;
}

}  // namespace tavrin_cli
