// The port backend on the kernel's rawmidi devices (TAVRIN_MIDI=rawmidi),
// opened through libasound with no sequencer in the path.
#pragma once

#include "winmm/port_backend.h"

namespace platform::midi {

// Null with `error` empty when no sound card can be read; null with `error`
// set for options it does not know (it takes none).
std::unique_ptr<PortBackend> make_rawmidi_backend(std::string_view options, std::string& error);

}  // namespace platform::midi
