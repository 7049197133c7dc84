// The port backend on the ALSA sequencer (TAVRIN_MIDI=alsa).
#pragma once

#include "winmm/port_backend.h"

namespace platform::midi {

// Null with `error` empty when the sequencer cannot be opened; null with
// `error` set for options it does not know (it takes none).
std::unique_ptr<PortBackend> make_alsa_backend(std::string_view options, std::string& error);

}  // namespace platform::midi
