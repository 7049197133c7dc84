// A built-in virtual loop cable: output k is wired to input k (or where
// `wire` options say), with faults
// that can be switched on (TAVRIN_MIDI=cable:OPTIONS).
//
// On a virtual clock (the tests' headless backend) every delivery is an event
// on that clock, run on the program's thread, so a reply and a time-out come
// in the order of their times. On a real clock a thread of the cable delivers.
#pragma once

#include "winmm/port_backend.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::midi {

// A fault at one byte of a message (`value` for corrupt=), on every `every`th
// message of an output (0: as every= says). "corrupt=5:0x44/10" sets it.
struct ByteFault {
    std::size_t index = 0;
    std::uint8_t value = 0;
    unsigned every = 0;
};

struct CableOptions {
    unsigned ports = 1;
    bool unplugged = false;
    std::vector<ByteFault> corrupt;
    std::vector<ByteFault> drop;
    std::optional<std::size_t> cut;
    std::chrono::milliseconds delay{0};
    unsigned baud = 0;  // 0: no pacing
    unsigned repeat = 1;
    std::vector<ByteFault> duplicate;  // dup=INDEX: that byte comes twice
    std::vector<ByteFault> swap;       // swap=INDEX: that byte and the next change places
    // overrun=INDEX: that byte is lost on the way into the input, and the
    // input is told, as an engine tells of its own queue's overrun.
    std::vector<ByteFault> overrun;
    // every=N: the faults above, and the delay, touch every Nth message of an
    // output only; a fault's own /N overrides it for that fault.
    unsigned every = 1;
    // stray=BYTE:MS: every input receives BYTE every MS milliseconds, as a
    // device that sends Active Sensing or clock of its own (real clock only).
    std::optional<std::pair<std::uint8_t, std::chrono::milliseconds>> stray;
    // unplug=N: the Nth message of an output never arrives; the cable is
    // pulled out then, and its ports fail as a device's do when unplugged.
    unsigned unplug = 0;
    // wire=K:J wires output K to input J (several for one K: a thru); an
    // output named in none of them stays wired to its own input.
    std::vector<std::pair<unsigned, unsigned>> wires;
    // wire=K:none: output K reaches no input.
    std::vector<unsigned> unwired;
    // leak=K:J/N: every Nth message of output K reaches input J as well, as
    // crosstalk between the ports of one interface does.
    struct Leak {
        unsigned from = 0, to = 0;
        unsigned every = 1;
    };
    std::vector<Leak> leaks;
};

// The inputs that the `number`th message (from 1) of output `k` reaches:
// its wires, and the leaks due on that message.
std::vector<unsigned> cable_targets(const CableOptions& options, unsigned k, std::uint64_t number = 1);

// Parses "ports=2,corrupt=5:0x44,...". On a bad option: nullopt, and `error`
// is one line naming it.
std::optional<CableOptions> parse_cable_options(std::string_view text, std::string& error);

// The bytes that arrive at the input for the `number`th message (from 1)
// sent at the output; `overrun`, when given, counts those lost by overrun=.
std::vector<std::uint8_t> cable_arrival(const CableOptions& options, std::span<const std::uint8_t> sent,
                                        std::uint64_t number = 1, std::size_t* overrun = nullptr);

// The factory TAVRIN_MIDI's "cable" names.
std::unique_ptr<PortBackend> make_cable_backend(std::string_view options, std::string& error);

}  // namespace platform::midi
