// tavrin-cli's core without ports: what a pattern must deliver, the verdict
// on a capture, the command line, port names, the summary and the writers.
#include "cli/args.h"
#include "cli/capture.h"
#include "cli/compare_table.h"
#include "cli/exit_codes.h"
#include "cli/pattern.h"
#include "cli/port_match.h"
#include "cli/report.h"
#include "cli/stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

using namespace tavrin_cli;

namespace {

Pattern pattern_of(const std::string& text) {
    std::string error;
    auto choice = parse_pattern(text, error);
    EXPECT_TRUE(choice) << error;
    const Bytes standard = {0xF0, 0x01, 0x02, 0xF7};
    return build_pattern(choice.value_or(PatternChoice{}), standard);
}

ParseOutcome parse(std::vector<std::string> args) { return parse_args(args); }

}  // namespace

TEST(CliDelivery, RunningStatusComesBackWholeAndRealtimeBeforeItsSysex) {
    const Bytes wire = {0x90, 60, 100, 61, 101, 0xF0, 1, 0xF8, 2, 0xF7, 0xC0, 5};
    const Delivery d = expected_delivery(wire, 4096);
    const Bytes want = {0x90, 60, 100, 0x90, 61, 101, 0xF8, 0xF0, 1, 2, 0xF7, 0xC0, 5};
    EXPECT_EQ(d.bytes, want);
    // The repeated status stands where the running status began on the wire.
    const std::vector<std::size_t> origin = {0, 1, 2, 0, 3, 4, 7, 5, 6, 8, 9, 10, 11};
    EXPECT_EQ(d.origin, origin);
}

TEST(CliDelivery, ABufferThatFillsComesBackBeforeLaterRealtimeBytes) {
    const Bytes wire = {0xF0, 1, 2, 3, 0xF8, 4, 0xF7};
    const Bytes want = {0xF0, 1, 2, 3, 0xF8, 4, 0xF7};  // buffers of 4: F0 1 2 3 | F8 | 4 F7
    EXPECT_EQ(expected_delivery(wire, 4).bytes, want);
}

TEST(CliPattern, EveryPatternIsWhatItSays) {
    const Pattern s = pattern_of("sysex:5000");
    ASSERT_EQ(s.wire.size(), 5000u);
    EXPECT_EQ(s.wire.front(), 0xF0);
    EXPECT_EQ(s.wire.back(), 0xF7);
    EXPECT_EQ(s.wire[200], (199 & 0x7F));
    EXPECT_GE(s.input_buffers * kInputBufferBytes, 5000u);

    const Pattern n = pattern_of("notes");
    EXPECT_EQ(n.expected.size(), 16u * 128u * 2u * 3u);  // every message whole
    EXPECT_LT(n.wire.size(), n.expected.size());         // running status on the wire
    for (const Bytes& send : n.sends) EXPECT_GE(send.front(), 0x80);

    const Pattern r = pattern_of("realtime");
    for (std::uint8_t rt : {0xF8, 0xFA, 0xFB, 0xFC})
        EXPECT_NE(std::find(r.wire.begin() + 1, r.wire.end() - 1, rt), r.wire.end() - 1);

    const Pattern m = pattern_of("mixed");
    EXPECT_GT(std::count(m.wire.begin(), m.wire.end(), 0xF0), 1);
    EXPECT_GE(m.input_buffers, static_cast<std::size_t>(std::count(m.wire.begin(), m.wire.end(), 0xF0)));
}

TEST(CliPattern, SizesOutsideWhatASendCarriesAreRefusedWithTheLimits) {
    std::string error;
    EXPECT_FALSE(parse_pattern("sysex:2", error));
    EXPECT_FALSE(parse_pattern("sysex:65537", error));
    EXPECT_NE(error.find("65536"), std::string::npos);
    EXPECT_FALSE(parse_pattern("sysex:", error));
    EXPECT_FALSE(parse_pattern("sysex:12x", error));
    EXPECT_TRUE(parse_pattern("sysex:65536", error));
}

TEST(CliVerdict, NamesTheFirstBadByteOnTheWire) {
    const Pattern p = pattern_of("sysex:300");
    Bytes got = p.expected;
    got[5] = 0x44;
    got[9] = 0x45;
    Verdict v = judge(p, got, true);
    ASSERT_EQ(v.kind, Verdict::Kind::Failure);
    EXPECT_EQ(v.offset, 5u);
    EXPECT_EQ(v.expected_value, 4);
    EXPECT_EQ(v.received_value, 0x44);
    EXPECT_EQ(v.received_context, "00 01 02 03 [44] 05 06 07 45");

    got = p.expected;
    got.resize(100);  // short
    v = judge(p, got, false);
    EXPECT_EQ(v.kind, Verdict::Kind::Failure);
    EXPECT_EQ(v.offset, 100u);
    EXPECT_FALSE(v.received_value);
    EXPECT_EQ(v.received_bytes, 100u);

    got = p.expected;
    got.push_back(0xF0);  // more than was sent
    v = judge(p, got, true);
    EXPECT_EQ(v.kind, Verdict::Kind::Failure);
    EXPECT_EQ(v.offset, 300u);
    EXPECT_FALSE(v.expected_value);

    EXPECT_EQ(judge(p, {}, false).kind, Verdict::Kind::Timeout);
    EXPECT_EQ(judge(p, p.expected, true).kind, Verdict::Kind::Success);
}

TEST(CliVerdict, OffsetsOfAStreamUnderRunningStatusCountTheWire) {
    const Pattern p = pattern_of("notes");
    Bytes got = p.expected;
    got[4] = 0x11;  // the key of the second message: wire byte 3
    const Verdict v = judge(p, got, true);
    EXPECT_EQ(v.offset, 3u);
}

TEST(CliVerdict, ThePatternsOwnCheckMustAgree) {
    Pattern p = pattern_of("standard");
    p.accepts = [](std::span<const std::uint8_t>) { return false; };
    EXPECT_EQ(judge(p, p.expected, true).kind, Verdict::Kind::Failure);
}

TEST(CliVerdict, ACaptureIsCompleteAtItsLastSysexEnd) {
    const Pattern p = pattern_of("sysex:300");
    const Bytes cut = {0xF0, 0, 1, 0xF7};
    EXPECT_TRUE(capture_complete(p, cut, 1));
    EXPECT_FALSE(capture_complete(p, Bytes{0xF0, 0, 1}, 0));
}

TEST(CliPattern, APairTagNamesItsPairAndRunAndNothingElseIsOne) {
    const Bytes tag = pair_tag(300, 0x0ABCDEF);
    const auto t = read_pair_tag(tag);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->pair, 300u);
    EXPECT_EQ(t->run, 0x0ABCDEFu);
    Bytes longer = tag;
    longer.insert(longer.end() - 1, 0);
    Bytes high = tag;
    high[5] = 0x80;
    for (const Bytes& other : {longer, high, Bytes(tag.begin(), tag.end() - 1)}) EXPECT_FALSE(read_pair_tag(other));
    const Pattern p = pattern_of("standard");
    EXPECT_EQ(tagged_sends(p).front().size(), p.sends.front().size() + kPairTagBytes);
}

TEST(CliArgs, CommandsOptionsAndDefaults) {
    ParseOutcome o = parse({"test", "--in", "My Port", "--out", "2", "--count", "5", "--pattern", "sysex:4096", "--json"});
    ASSERT_TRUE(o.run) << o.err;
    EXPECT_EQ(o.options.command, Options::Command::Test);
    EXPECT_EQ(o.options.in_port, "My Port");
    EXPECT_EQ(o.options.count, 5u);
    EXPECT_EQ(o.options.timeout_ms, 2000u);
    EXPECT_EQ(o.options.pattern.sysex_bytes, 4096u);
    EXPECT_TRUE(o.options.json);

    o = parse({"test", "--in", "0", "--out", "0", "--duration", "8h"});
    ASSERT_TRUE(o.run) << o.err;
    EXPECT_EQ(o.options.count, 0u);  // until the time is up
    EXPECT_EQ(o.options.duration_s, 8 * 3600.0);
    const std::pair<const char*, double> durations[] = {{"90s", 90}, {"15m", 900}, {"2d", 172800}, {"500ms", 0.5}, {"12", 12}};
    for (const auto& [text, seconds] : durations) EXPECT_EQ(parse_duration(text), seconds) << text;
    for (const char* bad : {"soon", "0s", "-1m", "h", ""}) EXPECT_FALSE(parse_duration(bad)) << bad;

    o = parse({"wiring"});
    ASSERT_TRUE(o.run);
    EXPECT_EQ(o.options.timeout_ms, 1000u);

    o = parse({"compare", "--in", "a", "--out", "b"});
    ASSERT_TRUE(o.run) << o.err;
    EXPECT_EQ(o.options.patterns.size(), 4u);
    EXPECT_EQ(o.options.patterns[1].sysex_bytes, 65536u);
    o = parse({"compare", "--in", "a", "--out", "b", "--pattern", "notes", "--pattern", "sysex:4096"});
    ASSERT_EQ(o.options.patterns.size(), 2u);
    EXPECT_EQ(o.options.patterns[1].text, "sysex:4096");

    o = parse({"--version"});
    EXPECT_FALSE(o.run);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out.rfind("tavrin-cli ", 0), 0u);

    o = parse({"test", "--help"});
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_NE(o.out.find("--pattern"), std::string::npos);
}

TEST(CliArgs, UsageErrorsAreOneLineAnd64) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"nope"}, {"test", "--in", "0"}, {"test", "--in", "0", "--out", "0", "--duration", "soon"},
             {"test", "--in", "0", "--out", "0", "--pattern", "chords"}, {"ports", "--frob"},
             {"test", "--in", "0", "--out", "0", "--json", "--quiet"}, {"wiring", "--timeout", "x"},
             {"test", "--pair", "0"}, {"test", "--pair", "0:0", "--in", "0"}, {"test", "--all-loops", "--plot", "x.svg"},
             {"compare", "--in", "a", "--out", "b", "--pattern", "chords"}}) {
        const ParseOutcome o = parse(args);
        EXPECT_FALSE(o.run);
        EXPECT_EQ(o.exit_status, kExitUsage);
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
}

TEST(CliPorts, ExactNameWinsThenAUniqueCaseInsensitivePrefix) {
    const std::vector<PortEntry> ports = {{0, "Synth", ""}, {1, "Synth 2", ""}, {2, "Über Port", ""},
                                          {3, "", "gone"},  {4, "1234", ""},    {5, "Twin", ""},
                                          {6, "Twin", ""}};
    EXPECT_EQ(match_port(ports, "Synth", "input").index, 0u);
    EXPECT_EQ(match_port(ports, "synth 2", "input").index, 1u);
    EXPECT_EQ(match_port(ports, "über", "input").index, 2u);
    EXPECT_EQ(match_port(ports, "2", "input").index, 2u);
    EXPECT_EQ(match_port(ports, "name:1234", "input").index, 4u);
    EXPECT_EQ(match_port(ports, "syn", "input").exit_status, kExitUnavailable);  // ambiguous
    EXPECT_EQ(match_port(ports, "Organ", "input").exit_status, kExitUnavailable);
    EXPECT_EQ(match_port(ports, "9", "input").exit_status, kExitUnavailable);
    EXPECT_EQ(match_port({}, "0", "input").exit_status, kExitUnavailable);
    const PortMatch twins = match_port(ports, "Twin", "input");
    EXPECT_FALSE(twins.index);
    EXPECT_NE(twins.error.find("(5, 6)"), std::string::npos) << twins.error;
}

TEST(CliPorts, PairsSplitWhereBothSidesNameAPortAndUseEachPortOnce) {
    const std::vector<PortEntry> ins = {{0, "Thru 1:out", ""}, {1, "Thru 2:out", ""}};
    const std::vector<PortEntry> outs = {{0, "Thru 1:in", ""}, {1, "Thru 2:in", ""}};
    const PortList ports{"jack", ins, outs};
    const auto pairs = resolve_pairs({"Thru 1:in:Thru 1:out", "1:thru 2:o"}, ports);
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(std::pair(pairs[1].out, pairs[1].in), std::pair(1u, 1u));
    for (const auto& bad : std::vector<std::vector<std::string>>{{"0:0", "0:1"}, {"Organ:0"}}) {
        try {
            resolve_pairs(bad, ports);
            ADD_FAILURE() << bad.front();
        } catch (const Exit&) {
        }
    }
    // An output that reaches two inputs (a leak or a thru) gives one loop; each input serves one.
    WiringMap map;
    map.outputs = {{0, "a", "", {0, 1}}, {1, "b", "", {0, 1}}, {2, "c", "", {}}};
    const auto loops = loops_of(map);
    ASSERT_EQ(loops.size(), 2u);
    EXPECT_EQ(std::pair(loops[1].out, loops[1].in), std::pair(1u, 1u));
}

// Fairness and the exit status of several pairs: p99s in ms (0: no answer),
// crosstalk, the pair marked slowest and the status.
TEST(CliReport, SeveralPairsNameTheSlowestAndTheWorstStatus) {
    struct Case {
        std::vector<double> p99;
        std::uint64_t crosstalk;
        std::optional<std::size_t> slowest;
        int status;
    };
    const Case cases[] = {{{1.0, 1.1, 1.2}, 0, std::nullopt, kExitOk},
                          {{1.0, 1.1, 5.0}, 0, 2, kExitOk},
                          {{1.0, 1.2, 2.1}, 1, std::nullopt, kExitFailure},  // over twice, but by less than 1 ms
                          {{1.0, 1.1, 0}, 0, std::nullopt, kExitTimeout}};
    for (const Case& c : cases) {
        PairsReport r;
        for (double p99 : c.p99) {
            RunResult run;
            run.index = 1;
            run.verdict.kind = p99 > 0 ? Verdict::Kind::Success : Verdict::Kind::Timeout;
            run.verdict.fault = p99 > 0 ? Fault::None : Fault::Lost;
            if (p99 > 0) run.latency_ms = p99;
            r.pairs.push_back({0, 0, "o", "i", summarize({run}), p99, 1});
        }
        r.matrix.assign(c.p99.size(), std::vector<std::uint64_t>(c.p99.size(), 0));
        r.matrix[0][1] = c.crosstalk;
        EXPECT_EQ(r.slowest(), c.slowest) << c.p99.back();
        EXPECT_EQ(exit_status(r), c.status) << c.p99.back();
        EXPECT_NE(pairs_text(r).find("fairness"), std::string::npos);
    }
}

TEST(CliSummary, CountsLatencyThroughputAndStatus) {
    std::vector<RunResult> runs;
    for (unsigned i = 1; i <= 100; ++i) {
        RunResult r;
        r.index = i;
        r.bytes_sent = 3125;
        r.verdict.kind = Verdict::Kind::Success;
        r.verdict.fault = Fault::None;
        r.verdict.received_bytes = 3125;
        r.latency_ms = static_cast<double>(i) * 10.0;
        r.at_s = i;
        runs.push_back(r);
    }
    Summary s = summarize(runs);
    ASSERT_TRUE(s.latency);
    EXPECT_DOUBLE_EQ(s.latency->median, 505.0);  // between the 50th and 51st value
    EXPECT_DOUBLE_EQ(s.latency->p99, 990.1);
    EXPECT_DOUBLE_EQ(s.latency->mean, 505.0);
    EXPECT_NEAR(s.latency->stddev, 290.1149, 1e-4);  // with n - 1
    EXPECT_NEAR(s.wire_percent, 100.0 * 100 * 3125 / (50500.0 / 1000.0) / 3125.0, 1e-9);
    EXPECT_EQ(exit_status(s), kExitOk);

    auto fault = [&](std::size_t i, Verdict::Kind kind, Fault f) {
        runs[i].verdict.kind = kind;
        runs[i].verdict.fault = f;
        runs[i].time = "t" + std::to_string(i);
        runs[i].latency_ms.reset();
    };
    fault(3, Verdict::Kind::Timeout, Fault::Lost);
    EXPECT_EQ(exit_status(summarize(runs)), kExitTimeout);
    fault(7, Verdict::Kind::Failure, Fault::Corrupted);
    runs[7].verdict.offset = 5;
    s = summarize(runs);
    EXPECT_EQ(exit_status(s), kExitFailure);
    EXPECT_EQ(s.failures_by_byte.at(5), 1u);
    EXPECT_EQ(s.first_fault_time, "t3");
    EXPECT_EQ(s.last_fault_time, "t7");
    EXPECT_EQ(s.longest_clean_runs, 92u);  // runs 9 to 100
    fault(60, Verdict::Kind::Error, Fault::Error);
    EXPECT_EQ(exit_status(summarize(runs)), kExitUnavailable);  // an engine error outranks failures
    EXPECT_EQ(exit_status(summarize(runs, kExitTerminated)), kExitTerminated);
}

// A million latencies spread over five decades: memory stays that of the
// buckets, percentiles within 1 % of the exact ones.
TEST(CliSummary, LongTestsKeepBoundedBucketsWithinOnePercent) {
    LatencyHistogram h;
    std::vector<double> all;
    for (unsigned i = 0; i < 1'000'000; ++i) {
        const double v = 0.05 * std::pow(10.0, 5.0 * ((i * 7919u) % 1'000'000u) / 1e6);
        h.add(v);
        all.push_back(v);
    }
    std::sort(all.begin(), all.end());
    for (double p : {1.0, 50.0, 90.0, 99.0, 99.9})
        EXPECT_NEAR(h.percentile(p) / percentile(all, p), 1.0, 0.01) << "p" << p;
    std::uint64_t binned = 0;
    for (const auto& b : h.log_bins(20)) binned += b.count;
    EXPECT_EQ(binned, all.size());

    Timeline t;
    RunResult r;
    r.latency_ms = 1.0;
    for (std::uint64_t i = 1; i <= 100'000; ++i) {
        r.index = i;
        r.verdict.fault = i == 777 ? Fault::Dropped : Fault::None;
        t.add(r);
    }
    EXPECT_LE(t.slots().size(), Timeline::kSlots);
    std::uint64_t runs = 0, dropped = 0;
    for (const auto& slot : t.slots()) {
        runs += slot.runs;
        dropped += slot.faults[static_cast<std::size_t>(Fault::Dropped)];
    }
    EXPECT_EQ(runs, 100'000u);
    EXPECT_EQ(dropped, 1u);
}

// Each class from the shape of what came back, in the order it came.
TEST(CliVerdict, EveryFaultHasItsClass) {
    const Pattern sysex = pattern_of("sysex:300"), realtime = pattern_of("realtime");
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        bool complete;
        Fault fault;
        std::size_t count;
        const Pattern* pattern = nullptr;
    };
    // The realtime pattern's last real-time byte comes after a full SysEx buffer;
    // USB-MIDI packing brings it ahead of that buffer.
    const auto rt = static_cast<std::ptrdiff_t>(realtime.expected.size() - 3);
    const Case cases[] = {
        {"nothing", [](Bytes& b) { b.clear(); }, false, Fault::Lost, 0},
        {"stopped", [](Bytes& b) { b.resize(120); }, false, Fault::Truncated, 0},
        {"flipped bit", [](Bytes& b) { b[9] ^= 0x10; b[20] ^= 0x10; }, true, Fault::Corrupted, 2},
        {"two missing", [](Bytes& b) { b.erase(b.begin() + 40, b.begin() + 42); }, true, Fault::Dropped, 2},
        {"duplicated", [](Bytes& b) { b.insert(b.begin() + 40, b[40]); }, true, Fault::Extra, 1},
        {"swapped", [](Bytes& b) { std::swap(b[10], b[11]); }, true, Fault::Reordered, 0},
        {"own real-time byte early", [&](Bytes& b) { std::rotate(b.begin() + 31, b.begin() + rt, b.begin() + rt + 1); },
         true, Fault::Reordered, 0, &realtime},
        {"a device's clock and sensing", [&](Bytes& b) { b.insert(b.begin() + 5, {0xF8, 0xFE}); }, true, Fault::None, 0,
         &realtime},
    };
    for (const Case& c : cases) {
        const Pattern& p = c.pattern ? *c.pattern : sysex;
        Bytes came = p.expected;
        c.change(came);
        Capture capture(p, false);
        for (std::uint8_t b : came) capture.take(b);
        capture.close();
        const Verdict v = judge(p, capture.bytes(), c.complete);
        EXPECT_EQ(v.fault, c.fault) << c.name << ": " << fault_name(v.fault);
        EXPECT_EQ(v.count, c.count) << c.name;
    }
    const Pattern& p = sysex;
    Bytes got = p.expected;
    got[9] ^= 0x10;
    EXPECT_EQ(judge(p, got, true).mask, 0x10);
    Bytes part = p.expected;
    part.resize(120);
    EXPECT_EQ(judge(p, part, false).last_offset, 119u);
    Verdict late = judge(p, p.expected, true);
    mark_late(late);
    EXPECT_EQ(late.kind, Verdict::Kind::Timeout);
    EXPECT_EQ(late.fault, Fault::Late);
}

TEST(CliReport, TextThatIsNotUtf8OrHoldsControlBytesNeverBreaksJsonOrXml) {
    PortList ports{"alsa", {{0, std::string("Bad \xff\xfe name"), ""}}, {}};
    const std::string line = json_line(ports_json(ports));
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("Bad "), std::string::npos);
    EXPECT_EQ(xml_text("a <b> & \"c\""), "a &lt;b&gt; &amp; &quot;c&quot;");
    EXPECT_EQ(xml_text(std::string("x\x01y\xC3(z\xED\xA0\x80\xC3\xBC", 11)), "x\uFFFDy\uFFFD(z\uFFFD\u00FC");
    EXPECT_NE(plot_svg(Summary{}, "a <b>").find("a &lt;b&gt;"), std::string::npos);
}

// compare: the port of each engine by name, and the one line it ends with.
TEST(CliCompare, PortsByNameAndTheLayerThatLosesOrDelays) {
    const std::vector<PortEntry> ports = {{0, "Midi Through Port-0", ""},
                                          {1, "a2j:USB MIDI Interface [20] (capture): USB MIDI Interface MIDI 1", ""},
                                          {2, "a2j:USB MIDI Interface [20] (capture): USB MIDI Interface MIDI 2", ""}};
    EXPECT_EQ(find_across(ports, "midi through port-0"), 0u);
    EXPECT_EQ(find_across(ports, "USB MIDI Interface MIDI 2"), 2u);
    EXPECT_EQ(find_across(ports, "USB MIDI Interface"), std::nullopt);  // two contain it
    EXPECT_EQ(find_across(ports, "nothing"), std::nullopt);

    // engine: runs, successes and median of the standard and the long pattern
    struct Engine {
        const char* name;
        int runs, ok_standard, ok_long;
        double median;
    };
    auto rows_of = [](std::vector<Engine> engines) {
        std::vector<EngineRow> rows;
        for (const Engine& e : engines) {
            EngineRow r{e.name, e.runs == 0 ? "not running here" : "", "in", "out", {}};
            for (int ok : {e.ok_standard, e.ok_long}) {
                Summary s;
                s.runs = static_cast<std::uint64_t>(e.runs);
                s.successes = static_cast<std::uint64_t>(ok);
                s.faults[static_cast<std::size_t>(Fault::Truncated)] = s.runs - s.successes;
                s.latency = LatencyStats{e.median, e.median, e.median, e.median, e.median, 0};
                r.cells.push_back({r.cells.empty() ? "standard" : "sysex:65536", s});
            }
            rows.push_back(r);
        }
        return rows;
    };
    const struct {
        std::vector<Engine> engines;
        std::string verdict;
    } cases[] = {
        {{{"rawmidi", 0, 0, 0, 0}, {"alsa", 0, 0, 0, 0}}, "no engine reaches this loop"},
        {{{"rawmidi", 0, 0, 0, 0}, {"alsa", 5, 5, 5, 1.0}}, "only the sequencer reaches this loop"},
        {{{"rawmidi", 5, 5, 5, 1.0}, {"alsa", 5, 5, 2, 1.5}, {"jack", 5, 5, 5, 2.0}},
         "the sequencer loses sysex:65536 (3 of 5 runs: 3 truncated); rawmidi and JACK carry it"},
        {{{"rawmidi", 5, 5, 4, 1.0}, {"alsa", 5, 5, 0, 1.5}},
         "sysex:65536 comes back wrong through every engine (1 of 5 runs: 1 truncated): the layer below them (driver, "
         "interface or cable) does it"},
        {{{"rawmidi", 5, 5, 5, 1.25}, {"jack", 5, 5, 5, 2.5}},
         "every engine carries every pattern; JACK adds 1.250 ms to the standard message over rawmidi"},
    };
    for (const auto& c : cases) EXPECT_EQ(compare_verdict(rows_of(c.engines)), c.verdict);
}
