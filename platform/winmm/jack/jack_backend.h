// The port backend on a running JACK server (TAVRIN_MIDI=jack).
#pragma once

#include "winmm/port_backend.h"

namespace platform::midi {

// Null with `error` empty when no JACK server runs (none is started);
// null with `error` set for options it does not know (it takes none).
std::unique_ptr<PortBackend> make_jack_backend(std::string_view options, std::string& error);

}  // namespace platform::midi
