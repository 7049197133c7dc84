#include "cli/args.h"

#include "cli/exit_codes.h"
#include "cli/tavrin_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <sstream>

namespace tavrin_cli {

namespace {

std::string first_line(std::string text) {
    const auto nl = text.find('\n');
    if (nl != std::string::npos) text.resize(nl);
    return text;
}

}  // namespace

std::optional<double> parse_duration(std::string_view text) {
    static constexpr std::pair<std::string_view, double> kUnits[] = {
        {"ms", 0.001}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
    double scale = 1;
    for (const auto& [unit, seconds] : kUnits) {
        if (text.size() > unit.size() && text.ends_with(unit) &&
            (unit != "s" || !text.ends_with("ms"))) {
            text.remove_suffix(unit.size());
            scale = seconds;
            break;
        }
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !(value > 0)) return std::nullopt;
    return value * scale;
}

ParseOutcome parse_args(const std::vector<std::string>& args) {
    ParseOutcome result;
    Options& o = result.options;
    std::string pattern_text = "standard";

    CLI::App app{"Checks MIDI cable loops byte for byte: latency, losses, throughput and wiring.", kProgram};
    app.set_version_flag("--version", std::string(kProgram) + " " + kTavrinVersion);
    app.require_subcommand(1);
    app.fallthrough(false);

    CLI::App* ports = app.add_subcommand("ports", "List the MIDI engine in use and every input and output");
    ports->add_flag("--json", o.json, "Write JSON");

    CLI::App* test = app.add_subcommand("test", "Send a pattern out of one port and check what comes back in another");
    auto* in = test->add_option("--in", o.in_port, "Input port: index or name (exact, else a unique case-insensitive prefix)");
    auto* out = test->add_option("--out", o.out_port, "Output port: index or name");
    auto* pair = test->add_option("--pair", o.pairs, "OUT:IN, repeatable: all pairs at once, with crosstalk between them")
                     ->excludes(in)
                     ->excludes(out);
    test->add_flag("--all-loops", o.all_loops, "Every loop that wiring finds, all at once")
        ->excludes(in)
        ->excludes(out)
        ->excludes(pair);
    std::string duration_text;
    test->add_option("--count", o.count, "Runs (default 1); 0: until stopped (Ctrl-C) or --duration is up")
        ->check(CLI::Range(0u, 4'000'000'000u));
    test->add_option("--duration", duration_text, "Stop after this long: 90s, 15m, 8h, 2d (with --count 0 or a count)");
    test->add_option("--interval", o.interval_ms, "Milliseconds between runs (default 0)")
        ->check(CLI::Range(0u, 3'600'000u));
    test->add_option("--timeout", o.timeout_ms, "Milliseconds a run waits with nothing arriving (default 2000)")
        ->check(CLI::Range(1u, 3'600'000u));
    test->add_option("--pattern", pattern_text, "standard (default), sysex:N, notes, realtime or mixed");
    auto* json = test->add_flag("--json", o.json, "JSON Lines: one object per run, the summary last");
    auto* quiet = test->add_flag("--quiet", o.quiet, "The summary only");
    json->excludes(quiet);
    test->add_flag("--verbose", o.verbose, "On a terminal too, a line for every run, not only for faults");
    test->add_flag("--strict", o.strict, "Stray real-time bytes (clock, Active Sensing) are faults");
    test->add_option("--plot", o.plot_file, "Write an SVG picture of the latencies to FILE");
    test->add_option("--junit", o.junit_file, "Write a JUnit XML report to FILE, for CI servers");

    CLI::App* wiring = app.add_subcommand("wiring", "Find which output is wired to which input");
    wiring->add_option("--timeout", o.timeout_ms, "Milliseconds to listen after the last arrival (default 1000)")
        ->check(CLI::Range(1u, 3'600'000u));
    wiring->add_flag("--json", o.json, "Write JSON");

    CLI::App* compare = app.add_subcommand(
        "compare", "Run the same patterns through every engine that reaches one loop, side by side (not on Windows)");
    compare->add_option("--in", o.in_port, "Input port: a name each engine knows (exact, else a unique part of one)")
        ->required();
    compare->add_option("--out", o.out_port, "Output port: the same")->required();
    compare->add_option("--count", o.count, "Runs of each pattern on each engine (default 20)")
        ->check(CLI::Range(1u, 1'000'000u));
    compare->add_option("--timeout", o.timeout_ms, "Milliseconds a run waits with nothing arriving (default 2000)")
        ->check(CLI::Range(1u, 3'600'000u));
    std::vector<std::string> compare_patterns{"standard", "sysex:65536", "notes", "realtime"};
    compare->add_option("--pattern", compare_patterns,
                        "A pattern to run, repeatable (default: standard, sysex:65536, notes and realtime)");
    compare->add_flag("--json", o.json, "Write JSON");

    // A usage error: one line and status 64.
    auto refuse = [&result](const std::string& why) {
        result.exit_status = kExitUsage;
        result.err = complaint(why);
        return result;
    };
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        result.out = app.help();
        for (CLI::App* sub : {ports, test, wiring, compare})
            if (sub->parsed()) result.out = sub->help();
        return result;
    } catch (const CLI::CallForAllHelp&) {
        result.out = app.help("", CLI::AppFormatMode::All);
        return result;
    } catch (const CLI::CallForVersion&) {
        result.out = std::string(kProgram) + " " + kTavrinVersion + "\n";
        return result;
    } catch (const CLI::Error& e) {  // every parse error, and anything else CLI11 may refuse
        return refuse(first_line(e.what()) + " (see " + kProgram + " --help)");
    }

    if (ports->parsed()) {
        o.command = Options::Command::Ports;
    } else if (compare->parsed()) {
        o.command = Options::Command::Compare;
        if (compare->count("--count") == 0) o.count = 20;
        for (const std::string& text : compare_patterns) {
            std::string error;
            auto choice = parse_pattern(text, error);
            if (!choice) return refuse(error);
            o.patterns.push_back(*choice);
        }
    } else if (wiring->parsed()) {
        o.command = Options::Command::Wiring;
        if (wiring->count("--timeout") == 0) o.timeout_ms = kWiringTimeoutMs;
    } else {
        o.command = Options::Command::Test;
        std::string error;
        auto choice = parse_pattern(pattern_text, error);
        if (!choice) return refuse(error);
        o.pattern = *choice;
        if (!duration_text.empty()) {
            const auto d = parse_duration(duration_text);
            if (!d)
                return refuse("--duration " + duration_text + ": expected a time such as 90s, 15m or 8h");
            o.duration_s = *d;
            if (test->count("--count") == 0) o.count = 0;
        }
        const bool several = !o.pairs.empty() || o.all_loops;
        if (!several && (o.in_port.empty() || o.out_port.empty()))
            return refuse("--in and --out need a port index or name (or --pair OUT:IN, or --all-loops)");
        if (several && (!o.plot_file.empty() || !o.junit_file.empty()))
            return refuse("--plot and --junit are for one pair, not with --pair or --all-loops");
        for (const std::string& p : o.pairs) {
            if (p.find(':') == std::string::npos)
                return refuse("--pair " + p + ": expected OUT:IN, an output and an input");
        }
    }
    result.run = true;
    return result;
}

}  // namespace tavrin_cli
