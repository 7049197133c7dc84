// Test patterns: what a run sends, and what the input must deliver for it
// through WinMM (SysEx in buffers, every other message on its own), byte for
// byte. Pure data; no MIDI calls here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

using Bytes = std::vector<std::uint8_t>;

// The most one midiOutLongMsg carries (Windows takes buffers up to 64 KB),
// and so the largest SysEx a run may send.
inline constexpr std::size_t kMaxSysexBytes = 65536;
inline constexpr std::size_t kMinSysexBytes = 3;
// The bytes of one input buffer; longer captures queue several. Small, so
// that arrivals are seen as they come even on a slow link: at the 31,250-baud
// wire rate a buffer fills in 82 ms.
inline constexpr std::size_t kInputBufferBytes = 256;
// Messages per send of a stream of short messages, well below what an input
// may leave unread before the service drops short messages.
inline constexpr std::size_t kMessagesPerSend = 128;

struct PatternChoice {
    enum class Kind { Standard, Sysex, Notes, Realtime, Mixed };
    Kind kind = Kind::Standard;
    std::size_t sysex_bytes = 0;  // Sysex only
    std::string text;             // as the user gave it, normalised
};

// Parses "standard", "sysex:N", "notes", "realtime" or "mixed". On error:
// nullopt and a one-line reason.
std::optional<PatternChoice> parse_pattern(std::string_view text, std::string& error);

struct Pattern {
    PatternChoice choice;
    std::vector<Bytes> sends;   // one midiOutLongMsg each, in order
    Bytes wire;                 // all sends together: what the output carries
    Bytes expected;             // what the input delivers, in order of delivery
    std::vector<std::size_t> origin;  // for each expected byte, its offset on the wire
    std::size_t sysex_ends = 0;       // F7 bytes among `expected`
    bool ends_with_sysex = false;
    // Buffers to queue at the input, each kInputBufferBytes long.
    std::size_t input_buffers = 1;
    // A check of its own that a capture must pass too (the standard message
    // has the desktop program's). The offset of a failure always comes from
    // the comparison with `expected`: it names the first bad byte exactly.
    std::function<bool(std::span<const std::uint8_t>)> accepts;
};

// `standard` is the desktop program's test message.
Pattern build_pattern(const PatternChoice& choice, std::span<const std::uint8_t> standard);

// What a WinMM input delivers for `wire`, with buffers of `buffer_bytes`:
// each short message whole (status included even under running status),
// each real-time byte at once, SysEx bytes as each buffer comes back.
struct Delivery {
    Bytes bytes;
    std::vector<std::size_t> origin;
};
Delivery expected_delivery(std::span<const std::uint8_t> wire, std::size_t buffer_bytes);

// Length of a short message that starts with `status` (status included).
std::size_t short_message_length(std::uint8_t status);

// What went wrong in a run that is not a success. Lost and late are
// time-outs; error is the engine's; the others are failures of the cable.
enum class Fault { None, Lost, Truncated, Corrupted, Dropped, Extra, Reordered, Late, Error };
inline constexpr std::size_t kFaultClasses = 9;
const char* fault_name(Fault fault);

struct Verdict {
    enum class Kind { Success, Failure, Timeout, Error };
    Kind kind = Kind::Timeout;
    Fault fault = Fault::Lost;
    // Dropped: bytes missing; extra: bytes added; corrupted: bytes that differ.
    std::size_t count = 0;
    // Corrupted: expected XOR received at the first bad byte.
    std::uint8_t mask = 0;
    // Truncated: the wire offset of the last byte that came.
    std::size_t last_offset = 0;
    std::string error;  // Error only: the engine's words
    bool port_lost = true;  // Error only: the ports are of no more use
    std::size_t received_bytes = 0;
    std::size_t expected_bytes = 0;
    // Failure only: the first bad byte, as an offset on the wire.
    std::size_t offset = 0;
    std::optional<std::uint8_t> expected_value;  // none: more came than was sent
    std::optional<std::uint8_t> received_value;  // none: the capture ended there
    // A few bytes either side of the bad one, in hex, the bad one in brackets.
    std::string expected_context;
    std::string received_context;
};

// Judges a run's capture. `complete` is false when the run ended by its
// time-out; with nothing captured that is a time-out, otherwise a failure.
// A failure gets its class from the shape of the difference.
Verdict judge(const Pattern& pattern, std::span<const std::uint8_t> captured, bool complete);
// The verdict on a run the engine refused.
Verdict engine_error(const Pattern& pattern, std::span<const std::uint8_t> captured, std::string what);
// Makes a verdict on a capture that completed after its time-out a late one.
void mark_late(Verdict& verdict);

// Counts of real-time bytes (F8 to FF) by kind, and each kind's name.
using RealtimeCounts = std::array<std::uint64_t, 8>;
const char* realtime_name(std::uint8_t status);

// True once `captured` holds all the pattern can deliver: as many bytes as
// expected, or (for a pattern that ends with SysEx) its last F7. `uncounted`
// bytes of the capture (stray ones kept under --strict) do not count.
bool capture_complete(const Pattern& pattern, std::span<const std::uint8_t> captured, std::size_t f7_seen,
                      std::size_t uncounted = 0);

// Several pairs at once: each run's first send starts with a tag naming its
// pair and the run, a SysEx of its own (non-commercial id 0x7D, "TP", the
// pair in two 7-bit bytes, the run's low 28 bits in four), so that a message
// that reaches another pair's input is told from that pair's own.
inline constexpr std::uint8_t kPairTagHead[] = {0xF0, 0x7D, 0x54, 0x50};
inline constexpr std::size_t kPairTagBytes = sizeof kPairTagHead + 7;
inline constexpr unsigned kMaxPairs = 1u << 14;
Bytes pair_tag(unsigned pair, std::uint64_t run);
struct PairTag {
    unsigned pair = 0;
    std::uint64_t run = 0;
};
// The tag `bytes` are, exactly; nullopt for anything else.
std::optional<PairTag> read_pair_tag(std::span<const std::uint8_t> bytes);
// The pattern's sends with room for the tag ahead of the first.
std::vector<Bytes> tagged_sends(const Pattern& pattern);
// Input buffers for tagged traffic: the tag takes one of its own, and a
// foreign message may arrive at the same moment as the pair's own.
inline std::size_t tagged_input_buffers(const Pattern& pattern) { return 2 * (pattern.input_buffers + 1); }

}  // namespace tavrin_cli
