// tavrin-cli compare: the same patterns through every engine that reaches one
// loop, side by side, and the layer that adds the delay or loses the bytes.
//
// A port is found in each engine by its name: the sequencer names a sound
// card's port after its rawmidi substream ("USB MIDI Interface MIDI 1" in
// both), and JACK's bridges of the sequencer keep that name inside theirs.
// So each engine takes the port whose name is the one given (case aside), else
// the one port whose name contains it.
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/midi_io.h"

#ifndef _WIN32
#include "winmm/service.h"
#endif

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

namespace {

constexpr const char* kEngines[] = {"rawmidi", "alsa", "jack"};
constexpr const char* kPatterns[] = {"standard", "sysex:65536", "notes", "realtime"};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::optional<unsigned> find_across(const std::vector<PortEntry>& ports, const std::string& name) {
    const std::string want = lower(name);
    std::optional<unsigned> part;
    int parts = 0;
    for (const PortEntry& p : ports) {
        const std::string have = lower(p.name);
        if (have == want) return p.index;
        if (have.find(want) != std::string::npos && ++parts == 1) part = p.index;
    }
    return parts == 1 ? part : std::nullopt;
}

std::string layer_name(const std::string& engine) {
    if (engine == "alsa") return "the sequencer";
    if (engine == "jack") return "JACK";
    return engine;
}

struct Cell {
    std::string pattern;
    Summary summary;
    bool lossless() const { return summary.successes == summary.runs && summary.runs > 0; }
};

struct EngineRow {
    std::string engine;
    std::string absent;  // why the engine does not reach the loop, or empty
    std::string input, output;
    std::vector<Cell> cells;
};

// One line naming the layer that loses bytes, else the one that adds delay.
std::string verdict(const std::vector<EngineRow>& rows) {
    std::vector<const EngineRow*> here;
    for (const auto& r : rows)
        if (r.absent.empty()) here.push_back(&r);
    if (here.empty()) return "no engine reaches this loop";
    if (here.size() == 1) return "only " + layer_name(here.front()->engine) + " reaches this loop";
    for (std::size_t k = 0; k < here.front()->cells.size(); ++k) {
        std::string losers, carriers, how;
        for (const EngineRow* r : here) {
            if (k >= r->cells.size()) continue;
            const Cell& c = r->cells[k];
            std::string& list = c.lossless() ? carriers : losers;
            list += (list.empty() ? "" : " and ") + layer_name(r->engine);
            if (!c.lossless() && how.empty())
                how = std::to_string(c.summary.runs - c.summary.successes) + " of " + std::to_string(c.summary.runs) +
                      " runs: " + faults_list(c.summary.faults);
        }
        if (!losers.empty() && !carriers.empty())
            return losers + " loses " + here.front()->cells[k].pattern + " (" + how + "); " + carriers + " carries it";
    }
    const EngineRow* fast = nullptr;
    const EngineRow* slow = nullptr;
    auto median = [](const EngineRow* r) { return r->cells.front().summary.latency->median; };
    for (const EngineRow* r : here) {
        if (r->cells.empty() || !r->cells.front().summary.latency) continue;
        if (fast == nullptr || median(r) < median(fast)) fast = r;
        if (slow == nullptr || median(r) > median(slow)) slow = r;
    }
    if (fast == nullptr || fast == slow) return "every engine carries every pattern";
    char text[200];
    std::snprintf(text, sizeof text, "every engine carries every pattern; %s adds %.3f ms to the %s message over %s",
                  layer_name(slow->engine).c_str(), median(slow) - median(fast), fast->cells.front().pattern.c_str(),
                  layer_name(fast->engine).c_str());
    return text;
}

std::string ms_or_dash(const std::optional<LatencyStats>& l, double LatencyStats::*field) {
    if (!l) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", (*l).*field);
    return text;
}

void print_text(const std::vector<EngineRow>& rows, const Options& options) {
    std::printf("compare: input \"%s\", output \"%s\", %u runs of each pattern on each engine\n",
                options.in_port.c_str(), options.out_port.c_str(), options.count);
    std::printf("%-8s %-12s %-9s %-24s %10s %10s %12s\n", "engine", "pattern", "ok", "faults", "median ms", "p99 ms",
                "bytes/s");
    for (const auto& r : rows) {
        if (!r.absent.empty()) {
            std::printf("%-8s %s\n", r.engine.c_str(), r.absent.c_str());
            continue;
        }
        for (const Cell& c : r.cells) {
            const std::string ok = std::to_string(c.summary.successes) + "/" + std::to_string(c.summary.runs);
            const std::string faults = faults_list(c.summary.faults);
            std::printf("%-8s %-12s %-9s %-24s %10s %10s %12.0f\n", r.engine.c_str(), c.pattern.c_str(), ok.c_str(),
                        faults.empty() ? "-" : faults.c_str(), ms_or_dash(c.summary.latency, &LatencyStats::median).c_str(),
                        ms_or_dash(c.summary.latency, &LatencyStats::p99).c_str(), c.summary.bytes_per_second);
        }
    }
    std::printf("verdict: %s\n", verdict(rows).c_str());
}

void print_json(const std::vector<EngineRow>& rows, const Options& options) {
    using json = nlohmann::ordered_json;
    json engines = json::array();
    for (const auto& r : rows) {
        json e{{"engine", r.engine}, {"absent", r.absent.empty() ? json(nullptr) : json(r.absent)}};
        if (r.absent.empty()) {
            e["input"] = r.input;
            e["output"] = r.output;
            json cells = json::array();
            for (const Cell& c : r.cells) {
                const auto& s = c.summary;
                cells.push_back({{"pattern", c.pattern},
                                 {"runs", s.runs},
                                 {"successes", s.successes},
                                 {"failures", s.failures},
                                 {"timeouts", s.timeouts},
                                 {"faults", faults_list(s.faults)},
                                 {"median_ms", s.latency ? json(s.latency->median) : json(nullptr)},
                                 {"p99_ms", s.latency ? json(s.latency->p99) : json(nullptr)},
                                 {"bytes_per_second", s.bytes_per_second}});
            }
            e["patterns"] = cells;
        }
        engines.push_back(e);
    }
    const json out{{"type", "compare"}, {"input", options.in_port}, {"output", options.out_port},
                   {"engines", engines}, {"verdict", verdict(rows)}};
    std::printf("%s\n", json_line(out).c_str());
}

}  // namespace

int run_compare([[maybe_unused]] const Options& options, [[maybe_unused]] InterruptWatch& interrupt) {
#ifdef _WIN32
    throw Exit(kExitUnavailable, "compare runs the engines of Linux side by side; here WinMM is the only one");
#else
    std::vector<EngineRow> rows;
    for (const char* engine : kEngines) {
        EngineRow row{engine, {}, {}, {}, {}};
        platform::midi::configure(engine);
        const PortList ports = list_ports();
        const auto in = find_across(ports.inputs, options.in_port);
        const auto out = find_across(ports.outputs, options.out_port);
        if (ports.engine != engine) row.absent = "not running here";
        else if (!in || !out) row.absent = "names no such input and output";
        if (row.absent.empty()) {
            row.input = ports.inputs[*in].name;
            row.output = ports.outputs[*out].name;
            for (const char* text : kPatterns) {
                Options o = options;
                std::string error;
                o.pattern = *parse_pattern(text, error);
                row.cells.push_back({text, test_quietly(ports, *in, *out, o, interrupt)});
                if (interrupt.status() != 0) break;
            }
        }
        rows.push_back(std::move(row));
        if (interrupt.status() != 0) break;
    }
    platform::midi::configure("none");
    if (options.json) print_json(rows, options);
    else print_text(rows, options);
    if (interrupt.status() != 0) return interrupt.status();
    const bool reached = std::any_of(rows.begin(), rows.end(), [](const EngineRow& r) { return r.absent.empty(); });
    return reached ? kExitOk : kExitUnavailable;
#endif
}

}  // namespace tavrin_cli
