// Powers over the MIDI service for tests and tools: choose the backend, make
// calls fail, see which calls were made. The program itself uses only the
// WinMM functions of <mmsystem.h>.
//
// All of these run on the program's thread.
#pragma once

#include "winmm/port_backend.h"

#include <mmsystem.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::midi {

// Resets the whole service (closes every handle, forgets every header and
// pending notification action) and chooses the backend as a TAVRIN_MIDI value
// would: "", "none", "cable", "cable:ports=2,corrupt=5:0x44", ... Without any
// configure() call the service reads TAVRIN_MIDI once, on first use.
void configure(std::string_view setting);
// The same with a backend made by the caller (a test's own engine, say).
void use_backend(std::unique_ptr<PortBackend> backend);

// The next `times` calls of the named WinMM function ("midiInReset",
// "midiOutLongMsg", "midiInGetDevCapsA", "midiInGetErrorTextA", ...) answer
// `code` and do nothing else. The counts (midiInGetNumDevs,
// midiOutGetNumDevs) answer 0 while failing.
void fail_next(std::string_view call, MMRESULT code, int times = 1);
// The call that the call log will hold at `index` (0: the first call after the
// last clear_call_log) answers `code` and does nothing else, whichever
// function it is.
void fail_call(std::size_t index, MMRESULT code);
void clear_faults();

// Names of the WinMM functions called since the last clear, in order: the
// last kCallLogMax of them, so that a process that runs for days keeps no
// growing record.
inline constexpr std::size_t kCallLogMax = 4096;
std::vector<std::string> call_log();
void clear_call_log();

// What the service holds for the program: open handles, buffers queued on
// input handles, sends under way.
struct Holdings {
    std::size_t inputs = 0;
    std::size_t outputs = 0;
    std::size_t queued = 0;
    std::size_t sending = 0;
};
Holdings holdings();

// Stops every engine thread and closes everything; the next use reads
// TAVRIN_MIDI again. Tests call it before platform::install_backend.
void shutdown();

// The engine whose ports the service offers: "alsa", "rawmidi", "jack",
// "cable", "none" or "custom" (a backend given by use_backend). Chooses it
// first if needed.
std::string engine_name();

enum class PortKind { Input, Output };

// Overrides a port's name as the capability queries report it; nullopt makes
// the name unavailable (the query answers MMSYSERR_NODRIVER). False for a port
// that does not exist.
bool set_port_name(PortKind kind, unsigned index, std::optional<std::string> name);

// MM_MIM_DATA notifications posted and not yet retrieved may number this
// many per input handle; short messages beyond it are dropped, as a driver
// drops input when its queue is full.
inline constexpr unsigned kMaxPendingShortMessages = 1024;

// What an input handle has seen: short messages dropped at the cap, bytes
// that arrived while recording with no buffer to hold them, and the times its
// engine lost input before taking it (an overrun), with the bytes it could count.
struct InputCounters {
    unsigned long long short_dropped = 0;
    unsigned long long bytes_dropped = 0;
    unsigned pending_short = 0;
    unsigned long long overruns = 0;
    unsigned long long overrun_bytes = 0;
};
std::optional<InputCounters> input_counters(HMIDIIN handle);

// The engine's own times of a loop, on the clock of std::chrono::steady_clock
// (see Timestamp): when the first byte of the last SysEx message an input
// handle gave back (in one buffer or the first of several) reached the
// engine, and when the engine took the first bytes of the last send an
// output handle completed. Their difference is the engine's
// own round trip; nullopt for no such handle or nothing yet.
std::optional<Timestamp> last_arrival(HMIDIIN handle);
std::optional<Timestamp> last_taken(HMIDIOUT handle);

}  // namespace platform::midi
