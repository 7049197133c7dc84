// The contract between the MIDI service (WinMM semantics: handles, headers,
// flags, notifications) and a port backend (an engine that really moves
// bytes: the virtual cable, the ALSA sequencer, a JACK server).
//
// A backend only moves raw MIDI bytes. SysEx assembly, buffer filling, header
// flags and window notification are the service's work, so every engine stays
// small and behaves the same towards the program.
//
// Threads: the service calls a backend from the program's thread, never while
// holding a lock of its own. A backend calls its sinks from its engine thread
// (or, on a virtual clock, from clock events on the program's thread), never
// from inside a call the service made to it, and never while holding a lock
// that its own methods take.
#pragma once

#include <mmsystem.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::midi {

// An engine's own time of an event, on the clock of std::chrono::steady_clock
// (CLOCK_MONOTONIC): when input reached the engine (JACK: the frame it came in
// at; rawmidi: the kernel's time stamp; the sequencer: its queue's time
// stamp), when the engine took output. Engines convert their clocks to it.
using Timestamp = std::chrono::microseconds;

// The outcome of a send, or why a port or the engine died. `code` is a WinMM
// code the service hands to the program (MMSYSERR_NODRIVER for a port that
// went away, say); `text` is the engine's own words, for the log.
struct Status {
    MMRESULT code = MMSYSERR_NOERROR;
    std::string text;
    explicit operator bool() const { return code == MMSYSERR_NOERROR; }
};

struct PortInfo {
    std::string name;
    // Non-zero when the name could not be had; the capability query answers it.
    MMRESULT name_error = MMSYSERR_NOERROR;
};

// Receives what arrives at an open input port.
class InputSink {
public:
    virtual ~InputSink() = default;
    // Raw MIDI bytes in wire order (running status, SysEx chunks and real-time
    // bytes as they came). Chunk boundaries carry no meaning.
    virtual void on_bytes(std::span<const std::uint8_t> bytes, Timestamp at) = 0;
    // The port or its engine died; nothing more will arrive.
    virtual void on_error(const Status& why) = 0;
    // Input was lost before the engine could take it (a queue on the way in
    // was full): `bytes` of it, or 0 when the engine cannot count them.
    virtual void on_overrun(std::uint64_t bytes) { (void)bytes; }
};

// Receives the completions of an open output port.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    // The send `ticket` ended: every byte is out (status ok), or it failed.
    // Not called for a send that was aborted.
    virtual void on_sent(std::uint64_t ticket, const Status& result) = 0;
    // The engine took the first bytes of send `ticket` at `at`, on the clock
    // of the input time stamps (JACK: the frame time of the cycle that
    // carried them out). Comes before on_sent of a send that succeeded.
    virtual void on_taken(std::uint64_t ticket, Timestamp at) {
        (void)ticket;
        (void)at;
    }
    // The port or its engine died while idle; later sends will fail.
    virtual void on_error(const Status& why) = 0;
};

// An open input port: delivers to its sink from open until destruction. The
// destructor returns only once no call into the sink is running or will come.
class InputPort {
public:
    virtual ~InputPort() = default;
};

// An open output port. The destructor aborts a send under way and returns only
// once no call into the sink is running or will come.
class OutputPort {
public:
    virtual ~OutputPort() = default;
    // Starts sending `bytes` and returns at once; the backend copies what it
    // needs before returning. on_sent(ticket, ...) follows when the send ends.
    // One send at a time: the service does not start another before on_sent
    // or abort().
    virtual Status send(std::span<const std::uint8_t> bytes, std::uint64_t ticket) = 0;
    // Ends the send under way at once. After return, on_sent is not called for
    // it (a completion racing with the abort may still be delivered; the
    // service drops it by its ticket).
    virtual void abort() = 0;
};

// One engine with its ports. The port lists are taken once, when the service
// counts the ports; indices stay valid for the backend's lifetime.
class PortBackend {
public:
    virtual ~PortBackend() = default;  // stops the engine's threads
    virtual std::vector<PortInfo> inputs() = 0;
    virtual std::vector<PortInfo> outputs() = 0;
    // Index into the lists above. On failure `out` stays empty and the code is
    // returned (MMSYSERR_ALLOCATED for a port another program holds, ...).
    virtual Status open_input(unsigned index, InputSink& sink, std::unique_ptr<InputPort>& out) = 0;
    virtual Status open_output(unsigned index, OutputSink& sink, std::unique_ptr<OutputPort>& out) = 0;
};

// ---- choosing a backend ----------------------------------------------------

// Makes a backend from the options after the colon of TAVRIN_MIDI ("" when
// there is none). A null result with `error` set means the options are bad:
// the service offers no ports and writes `error` as one line to stderr. A
// null result with `error` empty means the engine is not there (no ports).
using BackendFactory =
    std::function<std::unique_ptr<PortBackend>(std::string_view options, std::string& error)>;

struct BackendEntry {
    std::string_view name;
    BackendFactory make;
};

// The known backends, by name (backends.cpp holds the table).
std::span<const BackendEntry> backend_table();

// The backend that an empty or unset TAVRIN_MIDI chooses.
std::string_view default_backend_name();

// Makes the backend that a TAVRIN_MIDI value names: "name" or "name:options".
// "none" (and a backend whose engine is absent) gives null without error.
// `engine`, when given, receives the name of the engine that was chosen
// ("alsa", "rawmidi", "jack", "cable" or "none"; "auto" resolves to the one it found).
std::unique_ptr<PortBackend> make_backend(std::string_view setting, std::string& error,
                                          std::string* engine = nullptr);

}  // namespace platform::midi
