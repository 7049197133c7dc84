#include "cli/pattern.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace tavrin_cli {

namespace {

constexpr std::uint8_t kSysexStart = 0xF0;
constexpr std::uint8_t kSysexEnd = 0xF7;

std::string hex_context(std::span<const std::uint8_t> bytes, std::size_t at) {
    constexpr std::size_t kSide = 4;
    std::string out;
    const std::size_t from = at > kSide ? at - kSide : 0;
    const std::size_t to = std::min(bytes.size(), at + kSide + 1);
    char cell[8];
    for (std::size_t i = from; i < to; ++i) {
        std::snprintf(cell, sizeof cell, i == at ? "[%02X]" : "%02X", bytes[i]);
        if (!out.empty()) out += ' ';
        out += cell;
    }
    if (at >= bytes.size()) out += out.empty() ? "[--]" : " [--]";
    return out;
}

Bytes sysex_of(std::size_t total) {
    Bytes m(total);
    m.front() = kSysexStart;
    for (std::size_t i = 1; i + 1 < total; ++i) m[i] = static_cast<std::uint8_t>((i - 1) & 0x7F);
    m.back() = kSysexEnd;
    return m;
}

// Note-on and note-off for every key of every channel, each group under one
// running status; each group is one send, so every send opens with a status.
std::vector<Bytes> notes_sends() {
    std::vector<Bytes> sends;
    for (unsigned ch = 0; ch < 16; ++ch) {
        for (std::uint8_t status : {static_cast<std::uint8_t>(0x90 | ch), static_cast<std::uint8_t>(0x80 | ch)}) {
            Bytes group{status};
            for (unsigned key = 0; key < 128; ++key) {
                group.push_back(static_cast<std::uint8_t>(key));
                group.push_back(static_cast<std::uint8_t>(1 + (key * 5 + ch * 11 + (status >> 4)) % 127));
            }
            sends.push_back(std::move(group));
        }
    }
    return sends;
}

// A SysEx with clock, start, continue and stop bytes inside it.
Bytes realtime_wire() {
    static constexpr std::uint8_t kRealtime[] = {0xF8, 0xFA, 0xF8, 0xFB, 0xF8, 0xFC};
    Bytes wire{kSysexStart};
    std::size_t r = 0;
    for (unsigned i = 0; i < 256; ++i) {
        wire.push_back(static_cast<std::uint8_t>(i & 0x7F));
        if (i % 8 == 7) wire.push_back(kRealtime[r++ % std::size(kRealtime)]);
    }
    wire.push_back(kSysexEnd);
    return wire;
}

// Channel messages of every kind and SysEx, one stream.
Bytes mixed_wire() {
    Bytes wire;
    for (unsigned ch = 0; ch < 16; ++ch) {
        const auto c = static_cast<std::uint8_t>(ch);
        const auto v = static_cast<std::uint8_t>((ch * 9) & 0x7F);
        const Bytes part{static_cast<std::uint8_t>(0xC0 | c), v,                                  // program
                         static_cast<std::uint8_t>(0xB0 | c), 7, static_cast<std::uint8_t>(127 - ch),  // volume
                         static_cast<std::uint8_t>(0x90 | c), 60, 100, 64, 90,                    // two notes, running status
                         static_cast<std::uint8_t>(0xE0 | c), v, 64,                              // pitch bend
                         static_cast<std::uint8_t>(0xD0 | c), v,                                  // pressure
                         static_cast<std::uint8_t>(0xA0 | c), 60, v,                              // poly pressure
                         static_cast<std::uint8_t>(0x80 | c), 60, 0, 64, 0};                      // both notes off
        wire.insert(wire.end(), part.begin(), part.end());
        Bytes sysex = sysex_of(8 + ch * 4);
        sysex[1] = 0x7D;  // non-commercial
        wire.insert(wire.end(), sysex.begin(), sysex.end());
    }
    return wire;
}

// Splits a stream of short messages and SysEx into sends at message starts.
std::vector<Bytes> split_sends(const Bytes& wire) {
    std::vector<Bytes> sends;
    std::size_t messages = 0;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const std::uint8_t b = wire[i];
        const bool starts = b >= 0x80 && b != kSysexEnd && b < 0xF8;
        if (starts && (sends.empty() || messages >= kMessagesPerSend)) {
            sends.emplace_back();
            messages = 0;
        }
        if (starts) ++messages;
        sends.back().push_back(b);
    }
    return sends;
}

}  // namespace

std::size_t short_message_length(std::uint8_t status) {
    if (status >= 0xF8 || status == 0xF6) return 1;
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0: return 2;
    case 0xF0: return status == 0xF2 ? 3 : (status == 0xF1 || status == 0xF3) ? 2 : 1;
    default: return 3;
    }
}

std::optional<PatternChoice> parse_pattern(std::string_view text, std::string& error) {
    PatternChoice choice;
    choice.text = std::string(text);
    if (text == "standard") return choice;
    if (text == "notes") {
        choice.kind = PatternChoice::Kind::Notes;
        return choice;
    }
    if (text == "realtime") {
        choice.kind = PatternChoice::Kind::Realtime;
        return choice;
    }
    if (text == "mixed") {
        choice.kind = PatternChoice::Kind::Mixed;
        return choice;
    }
    constexpr std::string_view kSysex = "sysex:";
    if (text.substr(0, kSysex.size()) == kSysex) {
        const std::string_view digits = text.substr(kSysex.size());
        unsigned long long n = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
            error = "--pattern " + std::string(text) + ": N of sysex:N must be a number of bytes";
            return std::nullopt;
        }
        if (n < kMinSysexBytes || n > kMaxSysexBytes) {
            error = "--pattern " + std::string(text) + ": a SysEx must be from " + std::to_string(kMinSysexBytes) +
                    " to " + std::to_string(kMaxSysexBytes) + " bytes (F0 to F7); " +
                    std::to_string(kMaxSysexBytes) + " is the most one send carries";
            return std::nullopt;
        }
        choice.kind = PatternChoice::Kind::Sysex;
        choice.sysex_bytes = static_cast<std::size_t>(n);
        choice.text = "sysex:" + std::to_string(n);
        return choice;
    }
    error = "--pattern " + std::string(text) + ": expected standard, sysex:N, notes, realtime or mixed";
    return std::nullopt;
}

Delivery expected_delivery(std::span<const std::uint8_t> wire, std::size_t buffer_bytes) {
    Delivery out;
    Delivery buffer;
    auto flush = [&] {
        out.bytes.insert(out.bytes.end(), buffer.bytes.begin(), buffer.bytes.end());
        out.origin.insert(out.origin.end(), buffer.origin.begin(), buffer.origin.end());
        buffer = {};
    };
    auto store = [&](std::uint8_t b, std::size_t at) {
        buffer.bytes.push_back(b);
        buffer.origin.push_back(at);
        if (buffer.bytes.size() == buffer_bytes) flush();
    };
    bool in_sysex = false;
    std::uint8_t status = 0;
    std::size_t status_at = 0;
    Bytes message;
    std::vector<std::size_t> message_at;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        const std::uint8_t b = wire[i];
        if (b >= 0xF8) {
            out.bytes.push_back(b);
            out.origin.push_back(i);
            continue;
        }
        if (in_sysex) {
            if (b < 0x80 || b == kSysexEnd) {
                store(b, i);
                if (b == kSysexEnd) {
                    in_sysex = false;
                    flush();
                }
                continue;
            }
            in_sysex = false;
            flush();
        }
        if (b == kSysexStart) {
            in_sysex = true;
            status = 0;
            store(b, i);
            continue;
        }
        if (b >= 0x80) {
            status = b == kSysexEnd ? 0 : b;
            status_at = i;
            message.clear();
            message_at.clear();
            if (status != 0 && short_message_length(status) == 1) {
                if (status == 0xF6) {
                    out.bytes.push_back(b);
                    out.origin.push_back(i);
                }
                status = 0;
            }
            continue;
        }
        if (status == 0) continue;
        if (message.empty()) {
            message.push_back(status);
            message_at.push_back(status_at);
        }
        message.push_back(b);
        message_at.push_back(i);
        if (message.size() < short_message_length(status)) continue;
        out.bytes.insert(out.bytes.end(), message.begin(), message.end());
        out.origin.insert(out.origin.end(), message_at.begin(), message_at.end());
        message.clear();
        message_at.clear();
        if (status >= 0xF0) status = 0;
    }
    flush();
    return out;
}

Pattern build_pattern(const PatternChoice& choice, std::span<const std::uint8_t> standard) {
    Pattern p;
    p.choice = choice;
    switch (choice.kind) {
    case PatternChoice::Kind::Standard: p.sends.emplace_back(standard.begin(), standard.end()); break;
    case PatternChoice::Kind::Sysex: p.sends.push_back(sysex_of(choice.sysex_bytes)); break;
    case PatternChoice::Kind::Notes: p.sends = notes_sends(); break;
    case PatternChoice::Kind::Realtime: p.sends.push_back(realtime_wire()); break;
    case PatternChoice::Kind::Mixed: p.sends = split_sends(mixed_wire()); break;
    }
    for (const Bytes& s : p.sends) p.wire.insert(p.wire.end(), s.begin(), s.end());
    Delivery d = expected_delivery(p.wire, kInputBufferBytes);
    p.expected = std::move(d.bytes);
    p.origin = std::move(d.origin);
    p.sysex_ends = static_cast<std::size_t>(std::count(p.expected.begin(), p.expected.end(), kSysexEnd));
    p.ends_with_sysex = !p.wire.empty() && p.wire.back() == kSysexEnd;
    // Each SysEx comes back in a buffer of its own and may all arrive at once:
    // room for every byte of each, and a spare for what a cable may add.
    const auto sysex_starts = static_cast<std::size_t>(std::count(p.wire.begin(), p.wire.end(), kSysexStart));
    p.input_buffers = sysex_starts + p.wire.size() / kInputBufferBytes + 1;
    return p;
}

bool capture_complete(const Pattern& pattern, std::span<const std::uint8_t> captured, std::size_t f7_seen,
                      std::size_t uncounted) {
    if (captured.size() >= pattern.expected.size() + uncounted) return true;
    return pattern.ends_with_sysex && pattern.sysex_ends > 0 && f7_seen >= pattern.sysex_ends;
}

namespace {

bool is_subsequence(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < whole.size() && j < part.size(); ++i)
        if (whole[i] == part[j]) ++j;
    return j == part.size();
}

bool same_bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    std::array<std::ptrdiff_t, 256> n{};
    for (std::uint8_t x : a) ++n[x];
    for (std::uint8_t x : b) --n[x];
    return std::all_of(n.begin(), n.end(), [](std::ptrdiff_t k) { return k == 0; });
}

// The class of a capture that differs from `expected` first at `at`.
void classify(Verdict& v, std::span<const std::uint8_t> expected, std::span<const std::uint8_t> captured,
              std::size_t at, const Pattern& pattern) {
    const std::size_t n = captured.size(), m = expected.size();
    if (n < m && at == n) {
        v.fault = Fault::Truncated;
        v.last_offset = n == 0 ? 0 : pattern.origin[n - 1];
    } else if (n < m && is_subsequence(captured, expected)) {
        v.fault = Fault::Dropped;
        v.count = m - n;
    } else if (n > m && is_subsequence(expected, captured)) {
        v.fault = Fault::Extra;
        v.count = n - m;
    } else if (n == m && same_bytes(expected, captured)) {
        v.fault = Fault::Reordered;
    } else {
        v.fault = Fault::Corrupted;
        if (at < n && at < m) v.mask = static_cast<std::uint8_t>(expected[at] ^ captured[at]);
        for (std::size_t i = 0; i < std::min(n, m); ++i) v.count += expected[i] != captured[i] ? 1 : 0;
    }
}

}  // namespace

const char* fault_name(Fault fault) {
    switch (fault) {
    case Fault::None: return "none";
    case Fault::Lost: return "lost";
    case Fault::Truncated: return "truncated";
    case Fault::Corrupted: return "corrupted";
    case Fault::Dropped: return "dropped";
    case Fault::Extra: return "extra";
    case Fault::Reordered: return "reordered";
    case Fault::Late: return "late";
    case Fault::Error: return "error";
    }
    return "";
}

Verdict judge(const Pattern& pattern, std::span<const std::uint8_t> captured, bool complete) {
    Verdict v;
    v.received_bytes = captured.size();
    v.expected_bytes = pattern.expected.size();
    if (captured.empty() && !complete) return v;  // nothing came back

    const std::size_t common = std::min(captured.size(), pattern.expected.size());
    const std::size_t at = static_cast<std::size_t>(
        std::mismatch(pattern.expected.begin(), pattern.expected.begin() + static_cast<std::ptrdiff_t>(common),
                      captured.begin())
            .first -
        pattern.expected.begin());
    const bool exact = at == common && captured.size() == pattern.expected.size();
    if (exact && (!pattern.accepts || pattern.accepts(captured))) {
        v.kind = Verdict::Kind::Success;
        v.fault = Fault::None;
        return v;
    }
    v.kind = Verdict::Kind::Failure;
    v.offset = at < pattern.origin.size() ? pattern.origin[at] : pattern.wire.size();
    if (at < pattern.expected.size()) v.expected_value = pattern.expected[at];
    if (at < captured.size()) v.received_value = captured[at];
    v.expected_context = hex_context(pattern.expected, at);
    v.received_context = hex_context(captured, at);
    if (exact) v.fault = Fault::Corrupted;  // the pattern's own check refused it
    else classify(v, pattern.expected, captured, at, pattern);
    return v;
}

Verdict engine_error(const Pattern& pattern, std::span<const std::uint8_t> captured, std::string what) {
    Verdict v;
    v.kind = Verdict::Kind::Error;
    v.fault = Fault::Error;
    v.received_bytes = captured.size();
    v.expected_bytes = pattern.expected.size();
    v.error = std::move(what);
    return v;
}

void mark_late(Verdict& v) {
    if (v.kind != Verdict::Kind::Success) return;  // a late capture that is also wrong keeps its class
    v.kind = Verdict::Kind::Timeout;
    v.fault = Fault::Late;
}

RealtimeCounts realtime_budget(const Pattern& pattern) {
    RealtimeCounts n{};
    for (std::uint8_t b : pattern.expected)
        if (b >= 0xF8) ++n[b - 0xF8];
    return n;
}

const char* realtime_name(std::uint8_t status) {
    static constexpr const char* kNames[] = {"Clock", "Tick (F9)", "Start", "Continue",
                                             "Stop",  "FD",        "Active Sensing", "System Reset"};
    return status >= 0xF8 ? kNames[status - 0xF8] : "";
}

}  // namespace tavrin_cli
