// tavrin-cli's writers: ports, runs, summaries and wirings with any names,
// any verdicts and any latencies give one line of valid JSON each (text
// that is not UTF-8 replaced), and the text, progress and SVG writers do not
// fail on them.
#include "cli/report.h"
#include "cli/stats.h"
#include "fuzz/reader.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using nlohmann::ordered_json;

void check_line(const ordered_json& value) {
    const std::string line = tavrin_cli::json_line(value);
    if (line.find('\n') != std::string::npos) {
        std::fprintf(stderr, "tavrin-cli JSON: a line break inside a line\n");
        std::abort();
    }
    if (!ordered_json::accept(line)) {
        std::fprintf(stderr, "tavrin-cli JSON: not valid: %s\n", line.c_str());
        std::abort();
    }
}

std::string name(fuzz::Reader& in) { return std::string(in.text(in.byte() % 40)); }

double latency(fuzz::Reader& in) {
    switch (in.byte() % 8) {
    case 0: return 0.0;
    case 1: return -1.0;
    case 2: return 1e300;
    default: {
        double d;
        const auto bytes = in.bytes(sizeof d);
        std::uint64_t raw = 0;
        std::memcpy(&raw, bytes.data(), bytes.size());
        std::memcpy(&d, &raw, sizeof d);
        return std::isfinite(d) ? d : 1.5;  // the program measures, it never makes a NaN
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    tavrin_cli::PortList ports;
    ports.engine = name(in);
    for (unsigned i = 0, n = in.byte() % 5; i < n; ++i) ports.inputs.push_back({i, name(in), name(in)});
    for (unsigned i = 0, n = in.byte() % 5; i < n; ++i) ports.outputs.push_back({i, name(in), name(in)});
    check_line(tavrin_cli::ports_json(ports));
    (void)tavrin_cli::ports_text(ports);

    tavrin_cli::PatternChoice choice;
    choice.text = name(in);
    tavrin_cli::Pattern pattern;
    pattern.choice = choice;
    std::vector<tavrin_cli::RunResult> runs;
    for (unsigned i = 0, n = in.byte() % 16; i < n; ++i) {
        tavrin_cli::RunResult r;
        r.index = i + 1;
        r.verdict.kind = static_cast<tavrin_cli::Verdict::Kind>(in.byte() % 4);
        r.verdict.fault = static_cast<tavrin_cli::Fault>(in.byte() % tavrin_cli::kFaultClasses);
        r.verdict.count = in.u16();
        r.verdict.mask = in.byte();
        r.verdict.error = name(in);
        r.time = name(in);
        r.verdict.received_bytes = in.u16();
        r.verdict.expected_bytes = in.u16();
        r.verdict.offset = in.u16();
        if (in.byte() & 1) r.verdict.expected_value = in.byte();
        if (in.byte() & 1) r.verdict.received_value = in.byte();
        r.verdict.expected_context = name(in);
        r.verdict.received_context = name(in);
        if (in.byte() & 1) r.latency_ms = latency(in);
        r.bytes_sent = in.u16();
        check_line(tavrin_cli::run_json(r, pattern));
        (void)tavrin_cli::run_text(r, n);
        runs.push_back(r);
    }
    const tavrin_cli::Summary summary = tavrin_cli::summarize(runs, (in.byte() & 1) ? 130 : 0);
    check_line(tavrin_cli::summary_json(summary, pattern));
    (void)tavrin_cli::summary_text(summary);
    (void)tavrin_cli::histogram_text(summary.histogram, in.byte() % 100);
    (void)tavrin_cli::plot_svg(summary, name(in));
    (void)tavrin_cli::junit_xml(summary, pattern, name(in));
    (void)tavrin_cli::status_line(in.u16(), in.u16(), in.u16() / 10.0, in.u16(), summary.faults, name(in));

    tavrin_cli::WiringMap wiring;
    wiring.engine = name(in);
    for (unsigned i = 0, n = in.byte() % 4; i < n; ++i) {
        tavrin_cli::WiringMap::Output o{i, name(in), name(in), {}};
        for (unsigned k = 0, m = in.byte() % 4; k < m; ++k) o.inputs.push_back(in.byte());
        wiring.outputs.push_back(o);
    }
    for (unsigned i = 0, n = in.byte() % 4; i < n; ++i) wiring.inputs.push_back({i, name(in), name(in), in.u16()});
    check_line(tavrin_cli::wiring_json(wiring));
    (void)tavrin_cli::wiring_text(wiring);
    return 0;
}
