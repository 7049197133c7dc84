// tavrin-cli compare: the same patterns through every engine that reaches one
// loop, side by side, and the layer that adds the delay or loses the bytes.
#include "cli/commands.h"
#include "cli/compare_table.h"
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

#ifndef _WIN32
namespace {

constexpr const char* kEngines[] = {"rawmidi", "alsa", "jack"};

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
    std::printf("verdict: %s\n", compare_verdict(rows).c_str());
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
                   {"engines", engines}, {"verdict", compare_verdict(rows)}};
    std::printf("%s\n", json_line(out).c_str());
}

}  // namespace
#endif

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
            for (const PatternChoice& pattern : options.patterns) {
                Options o = options;
                o.pattern = pattern;
                row.cells.push_back({pattern.text, test_quietly(ports, *in, *out, o, interrupt)});
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
