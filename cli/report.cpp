#include "cli/report.h"

#include "cli/exit_codes.h"

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
    case Verdict::Kind::Error: return "error";
    }
    return "";
}

std::string byte_name(std::size_t offset) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "byte %zu (0x%zX)", offset, offset);
    return buf;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// How a fault reads: its class, then where and what.
std::string fault_words(const RunResult& run) {
    const Verdict& v = run.verdict;
    std::string s = fault_name(v.fault);
    switch (v.fault) {
    case Fault::None: return "success";
    case Fault::Lost: return s + ": nothing came back";
    case Fault::Error: return s + ": " + v.error;
    case Fault::Late:
        return s + ": complete after " + ms(run.latency_ms.value_or(0)) + " ms, past the time-out";
    case Fault::Truncated:
        s += v.received_bytes == 0 ? ": nothing came back" : ": stopped after " + byte_name(v.last_offset);
        break;
    case Fault::Dropped: s += ": " + plural(v.count, "byte", "bytes") + " missing, the first at " + byte_name(v.offset); break;
    case Fault::Extra: s += ": " + plural(v.count, "byte", "bytes") + " more than sent, the first at " + byte_name(v.offset); break;
    case Fault::Reordered: s += ": the bytes came in another order, the first out of place at " + byte_name(v.offset); break;
    case Fault::Corrupted:
        s += " at " + byte_name(v.offset) + ": ";
        if (v.expected_value && v.received_value)
            s += "expected " + hex_byte(*v.expected_value) + ", received " + hex_byte(*v.received_value) + " (XOR " +
                 hex_byte(v.mask) + "), " + plural(v.count, "byte differs", "bytes differ");
        else
            s += "the pattern's own check refused it";
        break;
    }
    return s;
}

// XML 1.0 text: markup escaped; control bytes and what is not UTF-8 become U+FFFD.
std::string escape_xml(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= text.size();
        char32_t c = n == 1 ? b : n > 1 ? (b & (0x7F >> n)) : 0;
        for (std::size_t k = 1; ok && k < n; ++k) {
            const auto cont = static_cast<unsigned char>(text[i + k]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        const std::size_t step = ok ? n : 1;  // a broken sequence costs one byte
        static constexpr char32_t kMinOf[] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && c >= kMinOf[n] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF) && c != 0xFFFE && c != 0xFFFF &&
             (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') && !(c >= 0x7F && c <= 0x9F);
        if (!ok) {
            out += "\xEF\xBF\xBD";
            i += step;
            continue;
        }
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

std::string clock_of(double seconds) {
    const auto t = static_cast<unsigned long long>(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", t / 3600, t / 60 % 60, t % 60);
    return buf;
}

// The fault classes in the order they are listed, with their colours.
struct ClassLook {
    Fault fault;
    const char* colour;
};
constexpr ClassLook kClassLooks[] = {
    {Fault::Lost, "#7f7f7f"},      {Fault::Truncated, "#ff7f0e"}, {Fault::Corrupted, "#d62728"},
    {Fault::Dropped, "#9467bd"},   {Fault::Extra, "#8c564b"},     {Fault::Reordered, "#e377c2"},
    {Fault::Late, "#bcbd22"},      {Fault::Error, "#000000"}};

}  // namespace

std::string faults_list(const std::array<std::uint64_t, kFaultClasses>& faults) {
    std::string s;
    for (const ClassLook& c : kClassLooks) {
        const std::uint64_t n = faults[static_cast<std::size_t>(c.fault)];
        if (n > 0) s += (s.empty() ? "" : ", ") + std::to_string(n) + " " + fault_name(c.fault);
    }
    return s;
}

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
              {"time", run.time},
              {"pattern", pattern.choice.text},
              {"verdict", verdict_name(v.kind)},
              {"fault", v.fault == Fault::None ? json(nullptr) : json(fault_name(v.fault))},
              {"bytes_sent", run.bytes_sent},
              {"bytes_expected", v.expected_bytes},
              {"bytes_received", v.received_bytes}};
    j["latency_ms"] = run.latency_ms ? json(*run.latency_ms) : json(nullptr);
    j["layers_ms"] = run.layers ? json{{"to_engine", run.layers->to_engine_ms},
                                       {"engine", run.layers->engine_ms},
                                       {"to_program", run.layers->to_program_ms}}
                                : json(nullptr);
    if (v.kind == Verdict::Kind::Error) j["error"] = v.error;
    if (v.kind == Verdict::Kind::Failure) {
        j["offset"] = v.offset;
        j["expected"] = v.expected_value ? json(*v.expected_value) : json(nullptr);
        j["received"] = v.received_value ? json(*v.received_value) : json(nullptr);
        j["expected_context"] = v.expected_context;
        j["received_context"] = v.received_context;
        if (v.fault == Fault::Corrupted) j["xor"] = v.mask;
        if (v.fault == Fault::Truncated) j["last_offset"] = v.last_offset;
        if (v.count > 0) j["count"] = v.count;
    }
    return j;
}

std::string run_text(const RunResult& run, std::uint64_t count) {
    const Verdict& v = run.verdict;
    std::string s = "run " + std::to_string(run.index) + (count > 0 ? "/" + std::to_string(count) : "");
    if (v.kind == Verdict::Kind::Success)
        return s + ": success, " + ms(run.latency_ms.value_or(0)) + " ms, " + std::to_string(v.received_bytes) +
               " bytes\n";
    s += " at " + run.time + ": " + fault_words(run);
    if (v.kind == Verdict::Kind::Failure) {
        s += "; " + std::to_string(v.received_bytes) + " of " + std::to_string(v.expected_bytes) + " bytes came";
        if (run.latency_ms) s += ", " + ms(*run.latency_ms) + " ms";
        s += "\n    expected: " + v.expected_context + "\n    received: " + v.received_context;
    }
    return s + "\n";
}

json summary_json(const Summary& s, const Pattern& pattern) {
    json by_byte = json::object();
    for (const auto& [offset, n] : s.failures_by_byte) by_byte[std::to_string(offset)] = n;
    json faults = json::object();
    for (const ClassLook& c : kClassLooks) faults[fault_name(c.fault)] = s.faults[static_cast<std::size_t>(c.fault)];
    json stray = json::object();
    for (std::size_t k = 0; k < s.stray_realtime.size(); ++k)
        if (s.stray_realtime[k] > 0) stray[realtime_name(static_cast<std::uint8_t>(0xF8 + k))] = s.stray_realtime[k];
    const std::uint64_t faulty = s.runs - s.successes;
    json j = {{"type", "summary"},
              {"pattern", pattern.choice.text},
              {"runs", s.runs},
              {"successes", s.successes},
              {"failures", s.failures},
              {"timeouts", s.timeouts},
              {"errors", s.errors},
              {"faults", faults},
              {"failures_by_byte", by_byte},
              {"stray_realtime", stray},
              {"stray_between_runs", s.stray_between_runs},
              {"elapsed_s", s.elapsed_s},
              {"faults_per_minute", s.elapsed_s > 0 ? static_cast<double>(faulty) * 60.0 / s.elapsed_s : 0.0},
              {"first_fault", s.first_fault_time.empty() ? json(nullptr) : json(s.first_fault_time)},
              {"last_fault", s.last_fault_time.empty() ? json(nullptr) : json(s.last_fault_time)},
              {"longest_fault_free_runs", s.longest_clean_runs},
              {"longest_fault_free_s", s.longest_clean_s},
              {"bytes_per_second", s.bytes_per_second},
              {"wire_rate_percent", s.wire_percent},
              {"interrupted", s.interrupted()}};
    auto stats = [](const LatencyStats& l) {
        return json{{"min", l.min}, {"median", l.median}, {"p99", l.p99},
                    {"max", l.max}, {"mean", l.mean},     {"stddev", l.stddev}};
    };
    j["latency_ms"] = s.latency ? stats(*s.latency) : json(nullptr);
    j["layers_ms"] = s.layers ? json{{"to_engine", stats(s.layers->to_engine)},
                                     {"engine", stats(s.layers->engine)},
                                     {"to_program", stats(s.layers->to_program)}}
                              : json(nullptr);
    return j;
}

std::string summary_text(const Summary& s) {
    std::ostringstream out;
    out << "runs " << s.runs << ", successes " << s.successes << ", failures " << s.failures << ", time-outs "
        << s.timeouts;
    if (s.errors > 0) out << ", errors " << s.errors;
    out << (s.interrupted() ? " (interrupted)" : "") << "\n";
    const std::uint64_t faulty = s.runs - s.successes;
    if (faulty > 0) {
        out << "faults: " << faults_list(s.faults) << "\n";
        if (s.elapsed_s >= 60) out << "faults per minute " << format("%.2f", faulty * 60.0 / s.elapsed_s) << "; ";
        out << "over " << clock_of(s.elapsed_s) << ": first " << s.first_fault_time << ", last "
            << s.last_fault_time << "; longest fault-free stretch " << plural(s.longest_clean_runs, "run", "runs")
            << " (" << format("%.1f", s.longest_clean_s) << " s)\n";
    }
    if (!s.failures_by_byte.empty()) {
        out << "failures by first bad byte:";
        for (const auto& [offset, n] : s.failures_by_byte) out << " " << byte_name(offset) << " x" << n << ";";
        out.seekp(-1, std::ios_base::cur);
        out << "\n";
    }
    std::string stray;
    for (std::size_t k = 0; k < s.stray_realtime.size(); ++k)
        if (s.stray_realtime[k] > 0)
            stray += (stray.empty() ? "" : ", ") + std::to_string(s.stray_realtime[k]) + " " +
                     realtime_name(static_cast<std::uint8_t>(0xF8 + k));
    if (s.stray_between_runs > 0)
        stray += (stray.empty() ? "" : ", ") + plural(s.stray_between_runs, "other byte", "other bytes") + " between runs";
    if (!stray.empty()) out << "stray: " << stray << "\n";
    if (s.latency) {
        const LatencyStats& l = *s.latency;
        const std::uint64_t n = s.histogram.count();
        out << "latency ms: min " << ms(l.min) << ", median " << ms(l.median) << ", p99 " << ms(l.p99)
            << (n < 100 ? " (of " + plural(n, "run", "runs") + ": near the maximum)" : "") << ", max " << ms(l.max)
            << ", mean " << ms(l.mean) << ", stddev " << ms(l.stddev) << "\n";
        if (s.layers) {
            const LayerStats& y = *s.layers;
            out << "by layer ms (median, p99): call to engine " << ms(y.to_engine.median) << ", "
                << ms(y.to_engine.p99) << "; engine round trip " << ms(y.engine.median) << ", " << ms(y.engine.p99)
                << "; engine to program " << ms(y.to_program.median) << ", " << ms(y.to_program.p99) << "\n";
        }
        out << "throughput: " << format("%.0f", s.bytes_per_second) << " bytes/s, "
            << format("%.1f", s.wire_percent) << "% of the 31,250-baud wire rate (3,125 bytes/s)\n";
    } else {
        out << "latency: no run got an answer\n";
    }
    return out.str();
}

std::string histogram_text(const LatencyHistogram& latencies, unsigned width) {
    const auto bins = latencies.log_bins(16);
    if (bins.empty()) return {};
    std::uint64_t most = 0;
    for (const auto& b : bins) most = std::max(most, b.count);
    std::string out = "latency histogram (ms, each bin " +
                      format("%.1f", 100.0 * (bins[0].to / bins[0].from - 1.0)) + "% wider than the last):\n";
    char label[96];
    for (const auto& b : bins) {
        std::snprintf(label, sizeof label, "%10.3f - %10.3f %9llu ", b.from, b.to, static_cast<unsigned long long>(b.count));
        const auto bar = most == 0 ? 0 : static_cast<std::size_t>((b.count * width + most - 1) / most);
        out += label + std::string(bar, '#') + "\n";
    }
    return out;
}

namespace {

// Ticks for a log axis: 1, 2 and 5 times powers of ten over a decade or
// more; over less, round values a fifth of the range apart.
std::vector<double> log_ticks(double lo, double hi) {
    std::vector<double> out;
    if (!(lo > 0) || !std::isfinite(hi) || !(hi > lo)) return out;
    if (hi / lo >= 10) {
        double decade = std::pow(10.0, std::floor(std::log10(lo)));
        for (int k = 0; k < 40 && decade <= hi; ++k, decade *= 10)  // a latency axis spans a few decades
            for (double m : {1.0, 2.0, 5.0})
                if (decade * m >= lo * 0.999 && decade * m <= hi * 1.001) out.push_back(decade * m);
        return out;
    }
    const double raw = (hi - lo) / 5;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    const double r = raw / mag;
    const double step = mag * (r < 1.5 ? 1 : r < 3.5 ? 2 : r < 7.5 ? 5 : 10);
    double v = std::ceil(lo / step) * step;
    for (int k = 0; k < 12 && v <= hi * 1.0001; ++k, v += step) out.push_back(v);
    return out;
}

std::string tick_label(double v) { return format("%.4g", v); }

}  // namespace

std::string plot_svg(const Summary& summary, const std::string& title) {
    constexpr int kWidth = 960, kPanel = 280, kLeft = 80, kGap = 90, kTop = 60;
    const int plot_w = kWidth - kLeft - 150;
    const int height = kTop + kPanel + kGap + kPanel + 60;
    std::ostringstream o;
    auto line = [&](double x1, double y1, double x2, double y2, const char* stroke, const char* extra = "") {
        o << "<line x1=\"" << x1 << "\" y1=\"" << y1 << "\" x2=\"" << x2 << "\" y2=\"" << y2 << "\" stroke=\"" << stroke
          << "\"" << extra << "/>\n";
    };
    auto text = [&](double x, double y, const std::string& t, const char* anchor = "start", const char* extra = "") {
        o << "<text x=\"" << x << "\" y=\"" << y << "\" text-anchor=\"" << anchor << "\"" << extra << ">"
          << escape_xml(t) << "</text>\n";
    };
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    text(kLeft, 24, title, "start", " font-size=\"16\"");
    std::string counts = "runs " + std::to_string(summary.runs) + ", successes " + std::to_string(summary.successes);
    if (summary.runs > summary.successes) counts += "; faults: " + faults_list(summary.faults);
    text(kLeft, 42, counts);

    // The histogram: log-spaced bins on a log latency axis.
    const auto bins = summary.histogram.log_bins(40);
    const int h_top = kTop + 10, h_base = h_top + kPanel;
    text(kLeft, h_top - 4, "latency histogram: runs per bin (log-spaced bins)");
    line(kLeft, h_base, kLeft + plot_w, h_base, "black");
    line(kLeft, h_top, kLeft, h_base, "black");
    if (!bins.empty() && summary.latency) {
        const double lo = bins.front().from, hi = bins.back().to;
        auto x_of = [&](double v) { return kLeft + plot_w * (std::log(std::max(v, lo) / lo) / std::log(hi / lo)); };
        std::uint64_t most = 0;
        for (const auto& b : bins) most = std::max(most, b.count);
        for (const auto& b : bins) {
            const double bh = most == 0 ? 0 : (kPanel - 20.0) * static_cast<double>(b.count) / static_cast<double>(most);
            o << "<rect class=\"bin\" x=\"" << x_of(b.from) << "\" y=\"" << h_base - bh << "\" width=\""
              << std::max(1.0, x_of(b.to) - x_of(b.from) - 1) << "\" height=\"" << bh << "\" fill=\"#3a7bd5\"/>\n";
        }
        for (double t : log_ticks(lo, hi)) {
            line(x_of(t), h_base, x_of(t), h_base + 5, "black", " class=\"tick\"");
            text(x_of(t), h_base + 18, tick_label(t), "middle");
        }
        text(kLeft + plot_w / 2.0, h_base + 36, "latency (ms, log scale)", "middle");
        for (int k = 0; k <= 4; ++k) {
            const double y = h_base - (kPanel - 20) * k / 4.0;
            line(kLeft - 5, y, kLeft, y, "black", " class=\"tick\"");
            text(kLeft - 8, y + 4, std::to_string(most * static_cast<unsigned>(k) / 4), "end");
        }
        const LatencyStats& l = *summary.latency;
        line(x_of(l.median), h_top, x_of(l.median), h_base, "#2ca02c", " class=\"median\" stroke-dasharray=\"4 3\"");
        text(x_of(l.median) + 3, h_top + 12, "median " + ms(l.median) + " ms", "start", " fill=\"#2ca02c\"");
        line(x_of(l.p99), h_top, x_of(l.p99), h_base, "#d62728", " class=\"p99\" stroke-dasharray=\"4 3\"");
        text(x_of(l.p99) + 3, h_top + 26, "p99 " + ms(l.p99) + " ms", "start", " fill=\"#d62728\"");
    } else {
        text(kLeft + 10, h_top + kPanel / 2.0, "no run got an answer");
    }

    // The runs: min to max latency of each slot on a log axis; faults below.
    const int t_top = h_base + kGap, t_base = t_top + kPanel - 50, f_row = t_base + 22;
    const auto& slots = summary.timeline.slots();
    text(kLeft, t_top - 8, "latency over the runs (ms, log scale; min to max of each group of runs); faults below");
    line(kLeft, t_base, kLeft + plot_w, t_base, "black");
    line(kLeft, t_top, kLeft, t_base, "black");
    const std::uint64_t first_run = slots.empty() ? 1 : slots.front().first_run;
    const std::uint64_t last_run = slots.empty() ? 1 : slots.back().first_run + slots.back().runs - 1;
    auto run_x = [&](double run) {
        return last_run == first_run
                   ? kLeft + plot_w / 2.0
                   : kLeft + plot_w * (run - static_cast<double>(first_run)) / static_cast<double>(last_run - first_run);
    };
    if (summary.latency) {
        const double lo = std::max(summary.latency->min, LatencyHistogram::kLowestMs) / 1.2;
        const double hi = std::max(summary.latency->max * 1.2, lo * 2);
        auto y_of = [&](double v) { return t_base - (t_base - t_top) * std::log(std::max(v, lo) / lo) / std::log(hi / lo); };
        for (double t : log_ticks(lo, hi)) {
            line(kLeft - 5, y_of(t), kLeft, y_of(t), "black", " class=\"tick\"");
            text(kLeft - 8, y_of(t) + 4, tick_label(t), "end");
        }
        for (const auto& s : slots) {
            if (s.answered == 0) continue;
            const double x = run_x(static_cast<double>(s.first_run) + (static_cast<double>(s.runs) - 1) / 2.0);
            o << "<line class=\"runs\" x1=\"" << x << "\" y1=\"" << y_of(s.min_ms) + 1 << "\" x2=\"" << x
              << "\" y2=\"" << y_of(s.max_ms) - 1 << "\" stroke=\"#2ca02c\" stroke-width=\"2\"/>\n";
        }
    }
    for (const auto& s : slots) {
        const double x = run_x(static_cast<double>(s.first_run) + (static_cast<double>(s.runs) - 1) / 2.0);
        for (const ClassLook& c : kClassLooks) {
            const auto n = s.faults[static_cast<std::size_t>(c.fault)];
            if (n == 0) continue;
            o << "<rect class=\"fault " << fault_name(c.fault) << "\" x=\"" << x - 1.5 << "\" y=\"" << f_row - 8
              << "\" width=\"3\" height=\"16\" fill=\"" << c.colour << "\"><title>" << n << " " << fault_name(c.fault)
              << "</title></rect>\n";
        }
    }
    text(kLeft - 8, f_row + 4, "faults", "end");
    for (int k = 0; k <= 4; ++k) {
        const double run = static_cast<double>(first_run) + static_cast<double>(last_run - first_run) * k / 4.0;
        line(run_x(run), f_row + 10, run_x(run), f_row + 15, "black", " class=\"tick\"");
        text(run_x(run), f_row + 28, "run " + std::to_string(std::llround(run)), "middle");
    }
    int legend_y = t_top + 10;
    for (const ClassLook& c : kClassLooks) {
        o << "<rect x=\"" << kLeft + plot_w + 20 << "\" y=\"" << legend_y - 9 << "\" width=\"10\" height=\"10\" fill=\""
          << c.colour << "\"/>\n";
        text(kLeft + plot_w + 36, legend_y, fault_name(c.fault));
        legend_y += 16;
    }
    o << "</svg>\n";
    return o.str();
}

std::string junit_xml(const Summary& s, const Pattern& pattern, const std::string& name) {
    const bool failed = s.runs == 0 || s.runs > s.successes;
    const std::string time = format("%.3f", s.elapsed_s);
    const std::string summary = summary_text(s);
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites name=\"tavrin-cli\" tests=\"1\" failures=\"" << (failed ? 1 : 0) << "\" errors=\"0\" time=\""
      << time << "\">\n"
      << "  <testsuite name=\"tavrin-cli test\" tests=\"1\" failures=\"" << (failed ? 1 : 0)
      << "\" errors=\"0\" skipped=\"0\" time=\"" << time << "\">\n"
      << "    <testcase classname=\"tavrin-cli." << escape_xml(pattern.choice.text) << "\" name=\"" << escape_xml(name)
      << "\" time=\"" << time << "\">\n";
    if (failed) {
        const std::string what = s.runs == 0 ? "no run was made"
                                             : plural(s.runs - s.successes, "fault", "faults") + " in " +
                                                   plural(s.runs, "run", "runs") + ": " + faults_list(s.faults);
        o << "      <failure message=\"" << escape_xml(what) << "\" type=\"loop\">" << escape_xml(summary)
          << "</failure>\n";
    }
    o << "      <system-out>" << escape_xml(summary) << "</system-out>\n    </testcase>\n  </testsuite>\n</testsuites>\n";
    return o.str();
}

std::string xml_text(const std::string& text) { return escape_xml(text); }

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

std::string status_line(std::uint64_t runs, std::uint64_t count, double elapsed_s, std::uint64_t successes,
                        const std::array<std::uint64_t, kFaultClasses>& faults, const std::string& last_fault) {
    std::string line = "runs " + std::to_string(runs) + (count > 0 ? "/" + std::to_string(count) : "") + " (" +
                       format("%.1f", elapsed_s > 0 ? static_cast<double>(runs) / elapsed_s : 0.0) + "/s), " +
                       std::to_string(successes) + " ok";
    const std::string f = faults_list(faults);
    line += f.empty() ? ", no faults" : "; faults: " + f + "; last " + last_fault;
    return line + "; " + clock_of(elapsed_s);
}

// ---- several pairs ------------------------------------------------------------

std::uint64_t PairsReport::crosstalk() const {
    std::uint64_t n = 0;
    for (const auto& row : matrix)
        for (std::uint64_t v : row) n += v;
    return n;
}

std::optional<std::size_t> PairsReport::slowest() const {
    std::optional<std::size_t> worst;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const auto& l = pairs[k].summary.latency;
        if (l && (!worst || l->p99 > pairs[*worst].summary.latency->p99)) worst = k;
    }
    std::vector<double> others;
    for (std::size_t k = 0; k < pairs.size(); ++k)
        if (worst && k != *worst && pairs[k].summary.latency) others.push_back(pairs[k].summary.latency->p99);
    if (!worst || others.empty()) return std::nullopt;
    std::sort(others.begin(), others.end());
    // Twice as slow, and by a millisecond at least: not a scheduler's jitter.
    const double p99 = pairs[*worst].summary.latency->p99, median = percentile(others, 50);
    return p99 > 2 * median && p99 - median >= 1.0 ? worst : std::nullopt;
}

std::string pair_label(const PairsReport::Pair& p) {
    return "output " + std::to_string(p.out) + " \"" + p.out_name + "\" -> input " + std::to_string(p.in) + " \"" +
           p.in_name + "\"";
}

std::string crosstalk_text(const PairsReport::Crosstalk& c, const PairsReport& report) {
    const auto& from = report.pairs[c.from];
    const auto& to = report.pairs[c.to];
    return "crosstalk at " + c.time + ": run " + std::to_string(c.from_run) + " of output " + std::to_string(from.out) +
           " \"" + from.out_name + "\" reached input " + std::to_string(to.in) + " \"" + to.in_name + "\"" +
           (c.at_run > 0 ? " during its pair's run " + std::to_string(c.at_run) : std::string()) + "\n";
}

json crosstalk_json(const PairsReport::Crosstalk& c, const PairsReport& report) {
    return {{"type", "crosstalk"},           {"time", c.time},
            {"from_pair", c.from + 1},       {"from_output", report.pairs[c.from].out},
            {"from_run", c.from_run},        {"to_pair", c.to + 1},
            {"to_input", report.pairs[c.to].in}, {"at_run", c.at_run}};
}

std::string pairs_text(const PairsReport& r) {
    std::ostringstream out;
    for (std::size_t k = 0; k < r.pairs.size(); ++k)
        out << "pair " << k + 1 << ": " << pair_label(r.pairs[k]) << "\n" << summary_text(r.pairs[k].summary) << "\n";
    out << "crosstalk: messages of the output in each row that reached the input in each column";
    out << (r.crosstalk() == 0 ? " (none)\n" : "\n") << "           ";
    auto right = [](std::string cell) { return std::string(cell.size() < 8 ? 8 - cell.size() : 1, ' ') + cell; };
    for (const auto& p : r.pairs) out << right("in " + std::to_string(p.in));
    out << "\n";
    for (std::size_t f = 0; f < r.pairs.size(); ++f) {
        const std::string row = "  out " + std::to_string(r.pairs[f].out);
        out << row << std::string(row.size() < 11 ? 11 - row.size() : 1, ' ');
        for (std::size_t t = 0; t < r.pairs.size(); ++t) out << right(f == t ? "-" : std::to_string(r.matrix[f][t]));
        out << "\n";
    }
    out << "fairness: each pair's p99 latency, and its longest wait while other pairs were busy\n";
    const auto slowest = r.slowest();
    for (std::size_t k = 0; k < r.pairs.size(); ++k) {
        const auto& p = r.pairs[k];
        out << "  pair " << k + 1 << " out " << p.out << " -> in " << p.in << ": p99 "
            << (p.summary.latency ? ms(p.summary.latency->p99) + " ms" : std::string("none (no answer)"))
            << ", longest wait " << ms(p.longest_wait_ms) << " ms over " << plural(p.runs_beside_others, "run", "runs")
            << " beside others";
        if (p.summary.runs > 0 && p.summary.successes == 0) out << "  <- no run answered";
        else if (slowest == k) out << "  <- slowest: over twice the others' median p99";
        out << "\n";
    }
    return out.str();
}

json pairs_json(const PairsReport& r, const Pattern& pattern) {
    json pairs = json::array();
    for (std::size_t k = 0; k < r.pairs.size(); ++k) {
        const auto& p = r.pairs[k];
        json one = summary_json(p.summary, pattern);
        one.erase("type");
        pairs.push_back({{"pair", k + 1},
                         {"output", p.out},
                         {"input", p.in},
                         {"summary", one},
                         {"p99_ms", p.summary.latency ? json(p.summary.latency->p99) : json(nullptr)},
                         {"longest_wait_ms", p.longest_wait_ms},
                         {"runs_beside_others", p.runs_beside_others}});
    }
    const auto slowest = r.slowest();
    return {{"type", "summary"},
            {"pattern", pattern.choice.text},
            {"pairs", pairs},
            {"crosstalk", r.crosstalk()},
            {"crosstalk_matrix", r.matrix},
            {"slowest_pair", slowest ? json(*slowest + 1) : json(nullptr)}};
}

int exit_status(const PairsReport& r) {
    int worst = kExitOk;
    auto rank = [](int status) {
        return status == kExitOk ? 0 : status == kExitTimeout ? 1 : status == kExitFailure ? 2 : status == kExitUnavailable ? 3 : 4;
    };
    for (const auto& p : r.pairs)
        if (rank(exit_status(p.summary)) > rank(worst)) worst = exit_status(p.summary);
    if (r.crosstalk() > 0 && rank(kExitFailure) > rank(worst)) worst = kExitFailure;
    return worst;
}

}  // namespace tavrin_cli
