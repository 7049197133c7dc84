// The one place tavrin-cli waits: for the next event of its ports (bytes
// that arrived, a send that ended), a deadline, or an interrupt. Ports are
// registered by number, so one waiter serves one port pair or many.
//
// Every buffer an input gives back is taken back here and, while the input
// records, queued again at once: however late a notification comes, and in
// whatever phase of a command, no buffer is lost.
#pragma once

#include "cli/interrupt.h"
#include "cli/midi_io.h"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace tavrin_cli {

struct Event {
    enum class Kind { Arrival, Sent, Deadline, Interrupt, Quit };
    Kind kind = Kind::Quit;
    std::size_t port = 0;                 // Arrival: the input's number; Sent: the output's
    std::span<const std::uint8_t> bytes;  // Arrival: valid until the next wait; empty for a buffer given back empty
};

class EventWait {
public:
    EventWait(HWND window, const InterruptWatch& interrupt);
    ~EventWait();
    EventWait(const EventWait&) = delete;
    EventWait& operator=(const EventWait&) = delete;

    std::size_t add_input(MidiInput& in);
    std::size_t add_output(MidiOutput& out);
    MidiInput& input(std::size_t port) { return *inputs_[port]; }
    MidiOutput& output(std::size_t port) { return *outputs_[port]; }

    // The next event; Deadline once now_seconds() reaches `deadline`. An
    // interrupt, once asked for, is the answer to every later call unless
    // `after_interrupt` (to take the ports' last notifications).
    Event next(std::optional<double> deadline, bool after_interrupt = false);

private:
    std::optional<Event> translate(const MSG& msg);
    void arm(std::optional<double> deadline);

    HWND window_;
    const InterruptWatch& interrupt_;
    std::vector<MidiInput*> inputs_;
    std::vector<MidiOutput*> outputs_;
    std::optional<double> armed_;
    bool after_interrupt_ = false;
    Bytes bytes_;
};

}  // namespace tavrin_cli
