#include "cli/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace tavrin_cli {

using json = nlohmann::ordered_json;

namespace {

std::string format(const char* fmt, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

std::string ms(double value) { return format("%.3f", value); }

std::string hex_byte(std::uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

const char* verdict_name(Verdict::Kind kind) {
    switch (kind) {
    case Verdict::Kind::Success: return "success";
    case Verdict::Kind::Failure: return "failure";
    case Verdict::Kind::Timeout: return "timeout";
    }
    return "";
}

std::string byte_name(std::size_t offset) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "byte %zu (0x%zX)", offset, offset);
    return buf;
}

// How a failure reads: the bad byte with what was expected and what came.
std::string failure_words(const Verdict& v) {
    std::string s = "failure at " + byte_name(v.offset) + ": ";
    if (!v.expected_value) s += "nothing more was sent, received " + hex_byte(*v.received_value);
    else if (!v.received_value) s += "expected " + hex_byte(*v.expected_value) + ", the capture ended there";
    else s += "expected " + hex_byte(*v.expected_value) + ", received " + hex_byte(*v.received_value);
    return s;
}

std::string escape_xml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

struct Bins {
    double low = 0;
    double width = 1;
    std::vector<unsigned> counts;
};

Bins bin(const std::vector<double>& values, unsigned max_bins) {
    Bins b;
    if (values.empty()) return b;
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    const unsigned n = std::max(1u, std::min<unsigned>(max_bins, static_cast<unsigned>(values.size())));
    b.low = *lo;
    b.width = (*hi - *lo) / n;
    if (b.width <= 0) b.width = std::max(0.001, *lo * 0.01);
    b.counts.assign(n, 0);
    for (double v : values) {
        auto i = static_cast<std::size_t>((v - b.low) / b.width);
        ++b.counts[std::min(i, b.counts.size() - 1)];
    }
    return b;
}

}  // namespace

std::string json_line(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json ports_json(const PortList& ports) {
    auto list = [](const std::vector<PortEntry>& entries) {
        json out = json::array();
        for (const auto& e : entries) {
            json p = {{"index", e.index}, {"name", e.name}};
            if (!e.error.empty()) p["error"] = e.error;
            out.push_back(std::move(p));
        }
        return out;
    };
    return {{"engine", ports.engine}, {"inputs", list(ports.inputs)}, {"outputs", list(ports.outputs)}};
}

std::string port_listing(const std::vector<PortEntry>& ports, const char* title) {
    std::string out = std::string(title) + ":\n";
    if (ports.empty()) out += "  none\n";
    for (const auto& p : ports)
        out += "  " + std::to_string(p.index) + "  " + (p.error.empty() ? p.name : "(no name: " + p.error + ")") + "\n";
    return out;
}

std::string ports_text(const PortList& ports) {
    return "MIDI engine: " + ports.engine + "\n" + port_listing(ports.inputs, "Inputs") +
           port_listing(ports.outputs, "Outputs");
}

json run_json(const RunResult& run, const Pattern& pattern) {
    const Verdict& v = run.verdict;
    json j = {{"type", "run"},
              {"run", run.index},
              {"pattern", pattern.choice.text},
              {"verdict", verdict_name(v.kind)},
              {"bytes_sent", run.bytes_sent},
              {"bytes_expected", v.expected_bytes},
              {"bytes_received", v.received_bytes}};
    j["latency_ms"] = run.latency_ms ? json(*run.latency_ms) : json(nullptr);
    if (v.kind == Verdict::Kind::Failure) {
        j["offset"] = v.offset;
        j["expected"] = v.expected_value ? json(*v.expected_value) : json(nullptr);
        j["received"] = v.received_value ? json(*v.received_value) : json(nullptr);
        j["expected_context"] = v.expected_context;
        j["received_context"] = v.received_context;
    }
    return j;
}

std::string run_text(const RunResult& run, unsigned count) {
    const Verdict& v = run.verdict;
    std::string s = "run " + std::to_string(run.index) + "/" + std::to_string(count) + ": ";
    switch (v.kind) {
    case Verdict::Kind::Success:
        s += "success, " + ms(run.latency_ms.value_or(0)) + " ms, " + std::to_string(v.received_bytes) + " bytes";
        break;
    case Verdict::Kind::Timeout: s += "time-out: nothing came back"; break;
    case Verdict::Kind::Failure:
        s += failure_words(v) + "; " + std::to_string(v.received_bytes) + " of " + std::to_string(v.expected_bytes) +
             " bytes came";
        if (run.latency_ms) s += ", " + ms(*run.latency_ms) + " ms";
        s += "\n    expected: " + v.expected_context + "\n    received: " + v.received_context;
        break;
    }
    return s + "\n";
}

json summary_json(const Summary& s, const Pattern& pattern) {
    json by_byte = json::object();
    for (const auto& [offset, n] : s.failures_by_byte) by_byte[std::to_string(offset)] = n;
    json j = {{"type", "summary"},
              {"pattern", pattern.choice.text},
              {"runs", s.runs},
              {"successes", s.successes},
              {"failures", s.failures},
              {"timeouts", s.timeouts},
              {"failures_by_byte", by_byte},
              {"bytes_per_second", s.bytes_per_second},
              {"wire_rate_percent", s.wire_percent},
              {"interrupted", s.interrupted}};
    if (s.latency) {
        const LatencyStats& l = *s.latency;
        j["latency_ms"] = {{"min", l.min},   {"median", l.median}, {"p99", l.p99},
                           {"max", l.max},   {"mean", l.mean},     {"stddev", l.stddev}};
    } else {
        j["latency_ms"] = nullptr;
    }
    return j;
}

std::string summary_text(const Summary& s) {
    std::ostringstream out;
    out << "runs " << s.runs << ", successes " << s.successes << ", failures " << s.failures << ", time-outs "
        << s.timeouts << (s.interrupted ? " (interrupted)" : "") << "\n";
    if (!s.failures_by_byte.empty()) {
        out << "failures by first bad byte:";
        for (const auto& [offset, n] : s.failures_by_byte) out << " " << byte_name(offset) << " x" << n << ";";
        out.seekp(-1, std::ios_base::cur);
        out << "\n";
    }
    if (s.latency) {
        const LatencyStats& l = *s.latency;
        out << "latency ms: min " << ms(l.min) << ", median " << ms(l.median) << ", p99 " << ms(l.p99) << ", max "
            << ms(l.max) << ", mean " << ms(l.mean) << ", stddev " << ms(l.stddev) << "\n";
        out << "throughput: " << format("%.0f", s.bytes_per_second) << " bytes/s, "
            << format("%.1f", s.wire_percent) << "% of the 31,250-baud wire rate (3,125 bytes/s)\n";
    } else {
        out << "latency: no run got an answer\n";
    }
    return out.str();
}

std::string histogram_text(const std::vector<double>& latencies_ms, unsigned width) {
    const Bins b = bin(latencies_ms, 20);
    if (b.counts.empty()) return {};
    const unsigned most = *std::max_element(b.counts.begin(), b.counts.end());
    std::string out = "latency histogram (ms):\n";
    char label[64];
    for (std::size_t i = 0; i < b.counts.size(); ++i) {
        const double from = b.low + b.width * static_cast<double>(i);
        std::snprintf(label, sizeof label, "%10.3f - %10.3f %7u ", from, from + b.width, b.counts[i]);
        const unsigned bar = most == 0 ? 0 : (b.counts[i] * width + most - 1) / most;
        out += label + std::string(bar, '#') + "\n";
    }
    return out;
}

std::string plot_svg(const std::vector<RunResult>& runs, const Summary& summary, const std::string& title) {
    constexpr int kWidth = 900, kPanel = 300, kLeft = 70, kGap = 70, kTop = 50;
    const int plot_w = kWidth - kLeft - 30;
    const int height = kTop + kPanel + kGap + kPanel + 50;
    std::ostringstream o;
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << kLeft << "\" y=\"24\" font-size=\"16\">" << escape_xml(title) << "</text>\n"
      << "<text x=\"" << kLeft << "\" y=\"40\">runs " << summary.runs << ", successes " << summary.successes
      << ", failures " << summary.failures << ", time-outs " << summary.timeouts << "</text>\n";

    // Histogram.
    const Bins b = bin(summary.latencies_ms, 40);
    const int h_top = kTop + 10;
    o << "<text x=\"" << kLeft << "\" y=\"" << h_top - 2 << "\">latency histogram (runs per bin)</text>\n";
    o << "<line x1=\"" << kLeft << "\" y1=\"" << h_top + kPanel << "\" x2=\"" << kLeft + plot_w << "\" y2=\""
      << h_top + kPanel << "\" stroke=\"black\"/>\n";
    if (!b.counts.empty()) {
        const unsigned most = *std::max_element(b.counts.begin(), b.counts.end());
        const double bw = static_cast<double>(plot_w) / static_cast<double>(b.counts.size());
        for (std::size_t i = 0; i < b.counts.size(); ++i) {
            const double bh = most == 0 ? 0 : static_cast<double>(kPanel - 20) * b.counts[i] / most;
            o << "<rect class=\"bin\" x=\"" << kLeft + bw * static_cast<double>(i) << "\" y=\""
              << h_top + kPanel - bh << "\" width=\"" << std::max(1.0, bw - 1) << "\" height=\"" << bh
              << "\" fill=\"#3a7bd5\"/>\n";
        }
        o << "<text x=\"" << kLeft << "\" y=\"" << h_top + kPanel + 16 << "\">" << ms(b.low) << " ms</text>\n";
        o << "<text x=\"" << kLeft + plot_w << "\" y=\"" << h_top + kPanel + 16 << "\" text-anchor=\"end\">"
          << ms(b.low + b.width * static_cast<double>(b.counts.size())) << " ms</text>\n";
        o << "<text x=\"" << kLeft - 6 << "\" y=\"" << h_top + 20 << "\" text-anchor=\"end\">" << most
          << "</text>\n";
    } else {
        o << "<text x=\"" << kLeft + 10 << "\" y=\"" << h_top + kPanel / 2 << "\">no run got an answer</text>\n";
    }

    // Latency of each run.
    const int t_top = h_top + kPanel + kGap;
    const double top_ms = summary.latency ? std::max(summary.latency->max, 0.001) * 1.1 : 1.0;
    const double step = runs.size() > 1 ? static_cast<double>(plot_w) / static_cast<double>(runs.size() - 1) : 0;
    o << "<text x=\"" << kLeft << "\" y=\"" << t_top - 2
      << "\">latency of each run (ms); red: failure, grey bar: time-out</text>\n";
    o << "<line x1=\"" << kLeft << "\" y1=\"" << t_top + kPanel << "\" x2=\"" << kLeft + plot_w << "\" y2=\""
      << t_top + kPanel << "\" stroke=\"black\"/>\n";
    o << "<line x1=\"" << kLeft << "\" y1=\"" << t_top << "\" x2=\"" << kLeft << "\" y2=\"" << t_top + kPanel
      << "\" stroke=\"black\"/>\n";
    o << "<text x=\"" << kLeft - 6 << "\" y=\"" << t_top + 10 << "\" text-anchor=\"end\">" << ms(top_ms)
      << "</text>\n<text x=\"" << kLeft - 6 << "\" y=\"" << t_top + kPanel << "\" text-anchor=\"end\">0</text>\n";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const double x = kLeft + step * static_cast<double>(i);
        const RunResult& r = runs[i];
        if (r.verdict.kind == Verdict::Kind::Timeout) {
            o << "<rect class=\"timeout\" x=\"" << x - 1.5 << "\" y=\"" << t_top << "\" width=\"3\" height=\""
              << kPanel << "\" fill=\"#bbbbbb\"/>\n";
            continue;
        }
        const double y = t_top + kPanel - static_cast<double>(kPanel) * r.latency_ms.value_or(0) / top_ms;
        const bool failed = r.verdict.kind == Verdict::Kind::Failure;
        o << "<circle class=\"" << (failed ? "failure" : "success") << "\" cx=\"" << x << "\" cy=\"" << y
          << "\" r=\"" << (failed ? 4 : 2.5) << "\" fill=\"" << (failed ? "#d62728" : "#2ca02c") << "\"/>\n";
    }
    o << "<text x=\"" << kLeft << "\" y=\"" << t_top + kPanel + 16 << "\">run 1</text>\n";
    o << "<text x=\"" << kLeft + plot_w << "\" y=\"" << t_top + kPanel + 16 << "\" text-anchor=\"end\">run "
      << runs.size() << "</text>\n</svg>\n";
    return o.str();
}

json wiring_json(const WiringMap& map) {
    json outputs = json::array();
    for (const auto& out : map.outputs) {
        json o = {{"index", out.index}, {"name", out.name}, {"inputs", out.inputs}};
        if (!out.error.empty()) o["error"] = out.error;
        outputs.push_back(std::move(o));
    }
    json inputs = json::array();
    for (const auto& in : map.inputs) {
        json i = {{"index", in.index}, {"name", in.name}, {"unexpected_bytes", in.unexpected_bytes}};
        if (!in.error.empty()) i["error"] = in.error;
        inputs.push_back(std::move(i));
    }
    return {{"engine", map.engine}, {"outputs", outputs}, {"inputs", inputs}};
}

std::string wiring_text(const WiringMap& map) {
    std::ostringstream out;
    out << "MIDI engine: " << map.engine << "\n";
    auto input_name = [&](unsigned index) -> std::string {
        for (const auto& in : map.inputs)
            if (in.index == index) return in.name;
        return {};
    };
    out << "Outputs:\n";
    if (map.outputs.empty()) out << "  none\n";
    for (const auto& o : map.outputs) {
        out << "  " << o.index << " " << o.name << " -> ";
        if (!o.error.empty()) out << "not tested: " << o.error;
        else if (o.inputs.empty()) out << "no input (not looped)";
        for (std::size_t i = 0; i < o.inputs.size(); ++i)
            out << (i ? ", " : "") << "input " << o.inputs[i] << " " << input_name(o.inputs[i]);
        if (o.inputs.size() > 1) out << " (a thru or merge)";
        out << "\n";
    }
    for (const auto& in : map.inputs) {
        if (!in.error.empty()) out << "Input " << in.index << " " << in.name << " could not be opened: " << in.error << "\n";
        if (in.unexpected_bytes > 0)
            out << "Input " << in.index << " " << in.name << " received " << in.unexpected_bytes
                << " bytes that no output sent\n";
    }
    return out.str();
}

std::string progress_line(unsigned done, unsigned total, unsigned failures, unsigned timeouts, unsigned width) {
    // More done than planned (a caller's slip) shows a full bar, never a negative gap.
    const unsigned filled =
        total == 0 || done >= total ? width : static_cast<unsigned>(static_cast<unsigned long long>(done) * width / total);
    std::string line(1, '[');
    line.append(filled, '#').append(width - filled, '.');
    line += "] " + std::to_string(done) + "/" + std::to_string(total) + " runs, " + std::to_string(failures) +
            " failures, " + std::to_string(timeouts) + " time-outs";
    return line;
}

}  // namespace tavrin_cli
