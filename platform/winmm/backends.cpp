// The port backends TAVRIN_MIDI can name.
#include "winmm/port_backend.h"

#include "winmm/cable/cable.h"

namespace platform::midi {

std::span<const BackendEntry> backend_table() {
    static const BackendEntry table[] = {
        {"none", [](std::string_view, std::string&) { return std::unique_ptr<PortBackend>(); }},
        {"cable", make_cable_backend},
        // The engine backends go here: "alsa", "jack", and "auto" (the first of
        // them whose engine can be opened).
    };
    return table;
}

// No ports until a real engine backend can be chosen by default.
std::string_view default_backend_name() { return "none"; }

std::unique_ptr<PortBackend> make_backend(std::string_view spec, std::string& error) {
    error.clear();
    const auto colon = spec.find(':');
    std::string_view name = spec.substr(0, colon);
    const std::string_view options = colon == std::string_view::npos ? std::string_view() : spec.substr(colon + 1);
    if (name.empty()) name = default_backend_name();
    for (const auto& entry : backend_table()) {
        if (entry.name == name) return entry.make(options, error);
    }
    error = "TAVRIN_MIDI: unknown MIDI backend \"" + std::string(name) + "\"; no MIDI ports";
    return nullptr;
}

}  // namespace platform::midi
