#include "cli/commands.h"

#include "cli/exit_codes.h"
#include "cli/midi_io.h"
#include "cli/port_match.h"
#include "cli/report.h"
#include "cli/stats.h"
#include "cli/terminal.h"
#include "loopback/loopback.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>

namespace tavrin_cli {

namespace {

constexpr const char* kProgram = "tavrin-cli";
constexpr UINT_PTR kRunTimer = 1;
constexpr UINT_PTR kDrainTimer = 2;
constexpr UINT_PTR kIntervalTimer = 3;
constexpr UINT kDrainLimitMs = 2000;
// The tag a wiring probe sends: SysEx, non-commercial id, "Tv", output index.
constexpr std::uint8_t kTagHead[] = {0xF0, 0x7D, 0x54, 0x76};
constexpr std::size_t kTagBytes = sizeof kTagHead + 3;
constexpr std::size_t kWiringBuffers = 4;
constexpr std::size_t kWiringBufferBytes = 256;

void say(const std::string& line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); }

void write_out(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
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

// ---- the progress bar ------------------------------------------------------------

class Progress {
public:
    Progress(bool enabled, unsigned total) : enabled_(enabled), total_(total), start_(now_seconds()) {}
    ~Progress() { clear(); }

    void update(unsigned done, unsigned failures, unsigned timeouts) {
        if (!enabled_) return;
        line_ = progress_line(done, total_, failures, timeouts);
        const double now = now_seconds();
        if (now - start_ < 1.0 || (now - drawn_at_ < 0.1 && done != total_)) return;
        drawn_at_ = now;
        draw();
    }
    // Writes text to stdout above the bar, which stays at the foot.
    void print_above(const std::string& text) {
        const bool was_shown = shown_;
        clear();
        write_out(text);
        if (was_shown) draw();
    }
    // Takes the bar away for good or before other text goes to the terminal.
    // Spaces, not terminal escapes, so that every console shows it the same.
    void clear() {
        if (!shown_) return;
        std::fprintf(stderr, "\r%s\r", std::string(drawn_width_, ' ').c_str());
        std::fflush(stderr);
        shown_ = false;
    }

private:
    void draw() {
        const std::size_t pad = drawn_width_ > line_.size() ? drawn_width_ - line_.size() : 0;
        std::fprintf(stderr, "\r%s%s", line_.c_str(), std::string(pad, ' ').c_str());
        std::fflush(stderr);
        drawn_width_ = line_.size();
        shown_ = true;
    }

    bool enabled_;
    std::string line_;
    std::size_t drawn_width_ = 0;
    unsigned total_;
    double start_;
    double drawn_at_ = 0;
    bool shown_ = false;
};

// ---- one run ---------------------------------------------------------------------

class LoopRun {
public:
    LoopRun(HWND window, MidiInput& in, MidiOutput& out, const Pattern& pattern, unsigned timeout_ms)
        : window_(window), in_(in), out_(out), pattern_(pattern), timeout_ms_(timeout_ms) {}

    // Runs once; a WinMM error is written once per run to `error`.
    RunResult run(unsigned index, const std::function<void()>& tick, std::string& error) {
        RunResult result;
        result.index = index;
        result.bytes_sent = pattern_.wire.size();
        captured_.clear();
        f7_seen_ = 0;
        complete_ = false;
        timed_out_ = false;
        next_send_ = 0;

        MMRESULT r = in_.start();
        if (r != MMSYSERR_NOERROR) {
            error = "input: " + input_error_text(r);
        } else {
            start_ = now_seconds();
            r = send_next();
            if (r != MMSYSERR_NOERROR) error = "output: " + output_error_text(r);
        }
        if (r == MMSYSERR_NOERROR) {
            SetTimer(window_, kRunTimer, timeout_ms_, nullptr);
            MSG msg{};
            while (!complete_ && !timed_out_ && next_message(msg)) {
                handle(msg, error);
                tick();
            }
            KillTimer(window_, kRunTimer);
        }
        settle();
        result.verdict = judge(pattern_, captured_, complete_);
        if (complete_) result.latency_ms = (done_at_ - start_) * 1000.0;
        return result;
    }

private:
    MMRESULT send_next() {
        if (next_send_ >= out_.messages()) return MMSYSERR_NOERROR;
        return out_.send(next_send_++);
    }

    void arrived() {
        if (capture_complete(pattern_, captured_, f7_seen_)) {
            complete_ = true;
            done_at_ = now_seconds();
        } else {
            SetTimer(window_, kRunTimer, timeout_ms_, nullptr);  // waits again from this arrival
        }
    }

    void handle(const MSG& msg, std::string& error) {
        switch (msg.message) {
        case MM_MIM_LONGDATA: {
            auto* header = reinterpret_cast<MIDIHDR*>(msg.lParam);
            if (!in_.take_back(header)) return;
            const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
            const DWORD n = header->dwBytesRecorded;
            captured_.insert(captured_.end(), data, data + n);
            f7_seen_ += static_cast<std::size_t>(std::count(data, data + n, 0xF7));
            if (n > 0) arrived();
            if (!complete_) in_.requeue(header);
            return;
        }
        case MM_MIM_DATA:
            if (reinterpret_cast<HMIDIIN>(msg.wParam) != in_.handle()) return;
            append_short_message(static_cast<DWORD>(msg.lParam), captured_);
            arrived();
            return;
        case MM_MOM_DONE:
            if (!out_.take_back(reinterpret_cast<const MIDIHDR*>(msg.lParam))) return;
            if (const MMRESULT r = send_next(); r != MMSYSERR_NOERROR) error = "output: " + output_error_text(r);
            return;
        case WM_TIMER:
            if (msg.wParam == kRunTimer) timed_out_ = true;
            return;
        default: DispatchMessageA(&msg);
        }
    }

    // Ends the run so that nothing of it reaches the next one. The output is
    // let finish first: a reset sends controller messages down the cable on
    // every channel, and they would arrive in the next run, so it is reset
    // only when its message does not come back in time. Then the input stops
    // and every buffer comes back.
    void settle() {
        drain([this] { return out_.sending(); }, true);
        if (out_.sending()) out_.reset();
        in_.reset();
        drain([this] { return in_.queued() > 0 || out_.sending(); }, false);
    }

    // Takes notifications until `pending` is false or kDrainLimitMs passes;
    // late input is dropped, its buffer queued again while `recording`.
    template <class Pending> void drain(Pending pending, bool recording) {
        if (!pending()) return;
        SetTimer(window_, kDrainTimer, kDrainLimitMs, nullptr);
        MSG msg{};
        while (pending() && next_message(msg)) {
            if (msg.message == MM_MIM_LONGDATA) {
                auto* header = reinterpret_cast<MIDIHDR*>(msg.lParam);
                if (in_.take_back(header) && recording) in_.requeue(header);
            } else if (msg.message == MM_MOM_DONE) {
                out_.take_back(reinterpret_cast<const MIDIHDR*>(msg.lParam));
            } else if (msg.message == WM_TIMER && msg.wParam == kDrainTimer) {
                break;
            }
        }
        KillTimer(window_, kDrainTimer);
    }

    HWND window_;
    MidiInput& in_;
    MidiOutput& out_;
    const Pattern& pattern_;
    unsigned timeout_ms_;
    Bytes captured_;
    std::size_t f7_seen_ = 0;
    std::size_t next_send_ = 0;
    bool complete_ = false;
    bool timed_out_ = false;
    double start_ = 0;
    double done_at_ = 0;
};

// Waits `ms` unless interrupted.
void pause(HWND window, unsigned ms, const InterruptWatch& interrupt) {
    if (ms == 0 || interrupt.requested()) return;
    SetTimer(window, kIntervalTimer, ms, nullptr);
    MSG msg{};
    while (!interrupt.requested() && next_message(msg)) {
        if (msg.message == WM_TIMER && msg.wParam == kIntervalTimer) break;
    }
    KillTimer(window, kIntervalTimer);
}

// A port the user named, or the exit status and message for it.
std::optional<unsigned> choose_port(const std::vector<PortEntry>& ports, const std::string& typed, const char* kind,
                                    const char* title, int& status) {
    const PortMatch m = match_port(ports, typed, kind);
    if (m.index) return m.index;
    say(m.error);
    std::fputs(port_listing(ports, title).c_str(), stderr);
    status = m.exit_status;
    return std::nullopt;
}

}  // namespace

int run_ports(const Options& options) {
    const PortList ports = list_ports();
    if (options.json) write_out(json_line(ports_json(ports)) + "\n");
    else write_out(ports_text(ports));
    if (ports.inputs.empty() && ports.outputs.empty()) {
        say("no MIDI ports: the MIDI engine (" + ports.engine + ") offers none");
        return kExitUnavailable;
    }
    return kExitOk;
}

int run_test(const Options& options, InterruptWatch& interrupt) {
    const PortList ports = list_ports();
    if (ports.inputs.empty() && ports.outputs.empty()) {
        say("no MIDI ports: the MIDI engine (" + ports.engine + ") offers none");
        return kExitUnavailable;
    }
    int status = kExitOk;
    const auto in_index = choose_port(ports.inputs, options.in_port, "input", "Inputs", status);
    if (!in_index) return status;
    const auto out_index = choose_port(ports.outputs, options.out_port, "output", "Outputs", status);
    if (!out_index) return status;

    const Pattern pattern = make_pattern(options.pattern);
    MessageWindow window;
    if (!window) {
        say("cannot create the window that receives MIDI notifications");
        return kExitUnavailable;
    }
    std::string error;
    auto out = MidiOutput::open(*out_index, window.hwnd(), pattern.sends, error);
    if (!out) {
        say("cannot open " + port_label("output", *out_index, ports.outputs) + ": " + error);
        return kExitUnavailable;
    }
    auto in = MidiInput::open(*in_index, window.hwnd(), pattern.input_buffers, kInputBufferBytes, error);
    if (!in) {
        say("cannot open " + port_label("input", *in_index, ports.inputs) + ": " + error);
        return kExitUnavailable;
    }
    interrupt.set_target(window.hwnd());

    const bool text = !options.json && !options.quiet;
    Progress progress(!options.json && !options.quiet && is_terminal(stderr), options.count);
    LoopRun loop(window.hwnd(), *in, *out, pattern, options.timeout_ms);
    SummaryBuilder summary_builder(options.count);
    std::vector<RunResult> runs;  // every run's record is kept for the picture alone
    unsigned failures = 0, timeouts = 0;
    std::string last_error;
    for (unsigned i = 1; i <= options.count; ++i) {
        std::string run_error;
        RunResult r = loop.run(i, [&] { progress.update(i - 1, failures, timeouts); }, run_error);
        failures += r.verdict.kind == Verdict::Kind::Failure ? 1 : 0;
        timeouts += r.verdict.kind == Verdict::Kind::Timeout ? 1 : 0;
        if (!run_error.empty() && run_error != last_error) {
            progress.clear();
            say(run_error);
        }
        last_error = run_error;
        if (options.json) write_out(json_line(run_json(r, pattern)) + "\n");
        else if (text) progress.print_above(run_text(r, options.count));
        summary_builder.add(r);
        if (!options.plot_file.empty()) runs.push_back(std::move(r));
        progress.update(i, failures, timeouts);
        if (interrupt.requested()) break;
        if (i < options.count) pause(window.hwnd(), options.interval_ms, interrupt);
        if (interrupt.requested()) break;
    }
    progress.clear();
    interrupt.set_target(nullptr);
    in.reset();
    out.reset();

    const Summary summary = std::move(summary_builder).finish(interrupt.requested());
    if (options.json) {
        write_out(json_line(summary_json(summary, pattern)) + "\n");
    } else {
        std::string s = summary_text(summary);
        if (is_terminal(stdout)) s += histogram_text(summary.latencies_ms);
        write_out(s);
    }
    if (!options.plot_file.empty()) {
        std::ofstream file(options.plot_file, std::ios::binary | std::ios::trunc);
        file << plot_svg(runs, summary,
                         "tavrin-cli test, pattern " + pattern.choice.text + ", input " + ports.inputs[*in_index].name +
                             ", output " + ports.outputs[*out_index].name);
        if (!file.flush()) say("cannot write the picture to " + options.plot_file);
    }
    return exit_status(summary);
}

int run_wiring(const Options& options, InterruptWatch& interrupt) {
    const PortList ports = list_ports();
    WiringMap map;
    map.engine = ports.engine;
    if (ports.inputs.empty() && ports.outputs.empty()) {
        say("no MIDI ports: the MIDI engine (" + ports.engine + ") offers none");
        return kExitUnavailable;
    }
    MessageWindow window;
    if (!window) {
        say("cannot create the window that receives MIDI notifications");
        return kExitUnavailable;
    }
    std::vector<std::unique_ptr<MidiOutput>> outs;
    for (const PortEntry& p : ports.outputs) {
        WiringMap::Output o{p.index, p.name, {}, {}};
        const Bytes tag = {kTagHead[0], kTagHead[1], kTagHead[2], kTagHead[3],
                           static_cast<std::uint8_t>((p.index >> 7) & 0x7F), static_cast<std::uint8_t>(p.index & 0x7F),
                           0xF7};
        outs.push_back(MidiOutput::open(p.index, window.hwnd(), {tag}, o.error));
        map.outputs.push_back(std::move(o));
    }
    std::vector<std::unique_ptr<MidiInput>> ins;
    for (const PortEntry& p : ports.inputs) {
        WiringMap::Input i{p.index, p.name, {}, 0};
        ins.push_back(MidiInput::open(p.index, window.hwnd(), kWiringBuffers, kWiringBufferBytes, i.error));
        if (ins.back()) {
            if (const MMRESULT r = ins.back()->start(); r != MMSYSERR_NOERROR) {
                i.error = input_error_text(r);
                ins.back().reset();
            }
        }
        map.inputs.push_back(std::move(i));
    }
    interrupt.set_target(window.hwnd());
    for (std::size_t k = 0; k < outs.size(); ++k) {
        if (!outs[k]) continue;
        if (const MMRESULT r = outs[k]->send(0); r != MMSYSERR_NOERROR) map.outputs[k].error = output_error_text(r);
    }

    // Listens until nothing more has come for the time-out.
    auto heard_from = [&](std::size_t input, const std::uint8_t* data, std::size_t n) {
        const bool tag = n == kTagBytes && std::equal(std::begin(kTagHead), std::end(kTagHead), data) &&
                         data[kTagBytes - 1] == 0xF7;
        const unsigned k = tag ? (static_cast<unsigned>(data[4]) << 7 | data[5]) : 0;
        if (!tag || k >= map.outputs.size() || (data[4] | data[5]) >= 0x80) {
            map.inputs[input].unexpected_bytes += n;
            return;
        }
        auto& list = map.outputs[k].inputs;
        if (std::find(list.begin(), list.end(), map.inputs[input].index) == list.end())
            list.push_back(map.inputs[input].index);
    };
    SetTimer(window.hwnd(), kRunTimer, options.timeout_ms, nullptr);
    MSG msg{};
    while (!interrupt.requested() && next_message(msg)) {
        if (msg.message == WM_TIMER && msg.wParam == kRunTimer) break;
        if (msg.message == MM_MIM_LONGDATA) {
            auto* header = reinterpret_cast<MIDIHDR*>(msg.lParam);
            for (std::size_t j = 0; j < ins.size(); ++j) {
                if (!ins[j] || !ins[j]->take_back(header)) continue;
                if (header->dwBytesRecorded > 0)
                    heard_from(j, reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBytesRecorded);
                ins[j]->requeue(header);
            }
        } else if (msg.message == MM_MIM_DATA) {
            for (std::size_t j = 0; j < ins.size(); ++j) {
                if (!ins[j] || reinterpret_cast<HMIDIIN>(msg.wParam) != ins[j]->handle()) continue;
                Bytes b;
                append_short_message(static_cast<DWORD>(msg.lParam), b);
                map.inputs[j].unexpected_bytes += b.size();
            }
        } else if (msg.message == MM_MOM_DONE) {
            for (auto& o : outs)
                if (o) o->take_back(reinterpret_cast<const MIDIHDR*>(msg.lParam));
            continue;  // a finished send is no arrival
        } else {
            continue;
        }
        SetTimer(window.hwnd(), kRunTimer, options.timeout_ms, nullptr);
    }
    KillTimer(window.hwnd(), kRunTimer);
    interrupt.set_target(nullptr);
    ins.clear();
    outs.clear();
    for (auto& o : map.outputs) std::sort(o.inputs.begin(), o.inputs.end());

    if (options.json) write_out(json_line(wiring_json(map)) + "\n");
    else write_out(wiring_text(map));
    return interrupt.requested() ? kExitInterrupted : kExitOk;
}

}  // namespace tavrin_cli
