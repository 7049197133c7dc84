#include "cli/commands.h"

#include "cli/events.h"
#include "cli/exit_codes.h"
#include "cli/midi_io.h"
#include "cli/multi.h"
#include "cli/pair_run.h"
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
#include <utility>

namespace tavrin_cli {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();
// The tag a wiring probe sends: SysEx, non-commercial id, "Tv", output index.
constexpr std::uint8_t kTagHead[] = {0xF0, 0x7D, 0x54, 0x76};
constexpr std::size_t kTagBytes = sizeof kTagHead + 3;
constexpr std::size_t kWiringBuffers = 4;
constexpr std::size_t kWiringBufferBytes = 256;

void write_err(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
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

// After a fault, lets the rest of that run come (counted as stray) until it
// is quiet. False on an interrupt.
bool wait_for_quiet(EventWait& wait, PairRun& pair) {
    const double limit = now_seconds() + kDrainLimitSeconds;
    double quiet_at = now_seconds() + kQuietSeconds;
    for (;;) {
        const Event e = wait.next(std::min(quiet_at, limit));
        if (e.kind == Event::Kind::Interrupt || e.kind == Event::Kind::Quit) return false;
        if (e.kind == Event::Kind::Deadline) return true;
        if (!pair.owns(e)) continue;
        pair.on_event(e);
        if (std::any_of(e.bytes.begin(), e.bytes.end(), [](std::uint8_t b) { return b < 0xF8; }))
            quiet_at = now_seconds() + kQuietSeconds;
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

void write_out(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

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

int run_ports(const Options& options) {
    const PortList ports = list_ports();
    if (options.json) write_out(json_line(ports_json(ports)) + "\n");
    else write_out(ports_text(ports));
    if (ports.inputs.empty() && ports.outputs.empty())
        throw Exit(kExitUnavailable, "no MIDI ports: the MIDI engine (" + ports.engine + ") offers none");
    return kExitOk;
}

namespace {

// The two ports of a test, open, with the window that hears from them.
struct OpenLoop {
    MessageWindow window;
    std::unique_ptr<MidiOutput> out;
    std::unique_ptr<MidiInput> in;
};

std::unique_ptr<OpenLoop> open_loop(const PortList& ports, unsigned in_index, unsigned out_index,
                                    const Pattern& pattern) {
    auto loop = std::make_unique<OpenLoop>();
    if (!loop->window) throw Exit(kExitUnavailable, "cannot create the window that receives MIDI notifications");
    std::string error;
    loop->out = MidiOutput::open(out_index, loop->window.hwnd(), pattern.sends, error);
    if (!loop->out)
        throw Exit(kExitUnavailable, "cannot open " + port_label("output", out_index, ports.outputs) + ": " + error);
    loop->in = MidiInput::open(in_index, loop->window.hwnd(), pattern.input_buffers, kInputBufferBytes, error);
    if (!loop->in)
        throw Exit(kExitUnavailable, "cannot open " + port_label("input", in_index, ports.inputs) + ": " + error);
    return loop;
}

// Runs until the count or the duration is reached, an engine error ends the
// test, or an interrupt.
void run_runs(EventWait& wait, PairRun& pair, const Options& options, TestReport& report, SummaryBuilder& summary) {
    PairRun* const pairs[] = {&pair};
    const double end = options.duration_s > 0 ? now_seconds() + options.duration_s : kNever;
    for (std::uint64_t i = 1; options.count == 0 || i <= options.count; ++i) {
        if (now_seconds() >= end) return;
        pair.start(i);
        if (!drive(wait, pairs, std::nullopt, [&] { report.tick(); return !pair.busy(); })) {
            pair.abandon();
            return;
        }
        RunResult& r = pair.result();
        r.time = wall_clock();
        r.at_s = report.elapsed();
        summary.add_stray(pair.take_stray());
        summary.add(r);
        report.run(r);
        if (r.verdict.kind == Verdict::Kind::Error && r.verdict.port_lost) return;  // the port is of no more use
        if (r.verdict.kind != Verdict::Kind::Success && !wait_for_quiet(wait, pair)) return;
        if (options.interval_ms > 0 && (options.count == 0 || i < options.count)) {
            const double until = std::min(now_seconds() + options.interval_ms / 1000.0, end);
            if (!drive(wait, pairs, until, [] { return false; })) return;
        }
    }
}

// Opens the two ports, runs the pattern as the options say, closes them;
// `report` hears of every run.
Summary run_pair(const PortList& ports, unsigned in_index, unsigned out_index, const Pattern& pattern,
                 const Options& options, InterruptWatch& interrupt, TestReport& report) {
    const auto loop = open_loop(ports, in_index, out_index, pattern);
    interrupt.set_target(loop->window.hwnd());
    EventWait wait(loop->window.hwnd(), interrupt);
    PairRun pair(wait, wait.add_input(*loop->in), wait.add_output(*loop->out), pattern, options.timeout_ms,
                 options.strict);
    SummaryBuilder summary;
    run_runs(wait, pair, options, report, summary);
    const double elapsed = report.elapsed();
    settle_ports(wait, *loop->in, *loop->out);
    summary.add_stray(pair.take_stray());
    interrupt.set_target(nullptr);
    return std::move(summary).finish(interrupt.status(), elapsed);
}

}  // namespace

int run_test(const Options& options, InterruptWatch& interrupt) {
    const PortList ports = ports_or_exit();
    if (options.all_loops || !options.pairs.empty()) {
        std::vector<PortPair> pairs;
        if (options.all_loops) {
            pairs = loops_of(find_wiring(ports, kWiringTimeoutMs, interrupt));
            if (interrupt.requested()) return interrupt.status();
            if (pairs.empty()) throw Exit(kExitUnavailable, "--all-loops: wiring finds no loop");
        } else {
            pairs = resolve_pairs(options.pairs, ports);
        }
        return run_pairs(options, ports, pairs, make_pattern(options.pattern), interrupt);
    }
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

WiringMap find_wiring(const PortList& ports, unsigned timeout_ms, InterruptWatch& interrupt) {
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
    double deadline = now_seconds() + timeout_ms / 1000.0;
    while (sent > 0) {
        const Event e = wait.next(deadline);
        if (e.kind != Event::Kind::Arrival && e.kind != Event::Kind::Sent) break;
        if (e.kind == Event::Kind::Arrival && heard_from(input_of_port[e.port], e.bytes))
            deadline = now_seconds() + timeout_ms / 1000.0;
    }
    interrupt.set_target(nullptr);
    ins.clear();
    outs.clear();
    for (auto& o : map.outputs) std::sort(o.inputs.begin(), o.inputs.end());
    return map;
}

int run_wiring(const Options& options, InterruptWatch& interrupt) {
    const WiringMap map = find_wiring(ports_or_exit(), options.timeout_ms, interrupt);
    if (options.json) write_out(json_line(wiring_json(map)) + "\n");
    else write_out(wiring_text(map));
    if (interrupt.requested()) return interrupt.status();
    return kExitOk;
}

}  // namespace tavrin_cli
