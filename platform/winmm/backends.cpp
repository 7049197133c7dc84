// The port backends TAVRIN_MIDI can name.
#include "winmm/port_backend.h"

#include "winmm/alsa/alsa_backend.h"
#include "winmm/cable/cable.h"
#include "winmm/jack/jack_backend.h"
#include "winmm/rawmidi/rawmidi_backend.h"

namespace platform::midi {

namespace {

// The ALSA sequencer when it can be opened, else a JACK server that already
// runs (none is ever started here), else no ports.
std::unique_ptr<PortBackend> make_auto_backend(std::string_view options, std::string& error,
                                               std::string* engine) {
    if (!options.empty()) {
        error = "TAVRIN_MIDI: auto takes no options (\"" + std::string(options) + "\"); no MIDI ports";
        return nullptr;
    }
    if (auto alsa = make_alsa_backend({}, error)) {
        if (engine != nullptr) *engine = "alsa";
        return alsa;
    }
    auto jack = make_jack_backend({}, error);
    if (engine != nullptr) *engine = jack ? "jack" : "none";
    return jack;
}

}  // namespace

std::span<const BackendEntry> backend_table() {
    static const BackendEntry table[] = {
        {"none", [](std::string_view, std::string&) { return std::unique_ptr<PortBackend>(); }},
        {"cable", make_cable_backend},
        {"alsa", make_alsa_backend},
        {"jack", make_jack_backend},
        {"rawmidi", make_rawmidi_backend},
        {"auto", [](std::string_view options, std::string& error) { return make_auto_backend(options, error, nullptr); }},
    };
    return table;
}

std::string_view default_backend_name() { return "auto"; }

std::unique_ptr<PortBackend> make_backend(std::string_view setting, std::string& error, std::string* engine) {
    error.clear();
    const auto colon = setting.find(':');
    std::string_view name = setting.substr(0, colon);
    const std::string_view options = colon == std::string_view::npos ? std::string_view() : setting.substr(colon + 1);
    if (name.empty()) name = default_backend_name();
    if (engine != nullptr) *engine = "none";
    if (name == "auto") return make_auto_backend(options, error, engine);
    for (const auto& entry : backend_table()) {
        if (entry.name != name) continue;
        auto backend = entry.make(options, error);
        if (engine != nullptr && backend) *engine = std::string(name);
        return backend;
    }
    error = "TAVRIN_MIDI: unknown MIDI backend \"" + std::string(name) + "\"; no MIDI ports";
    return nullptr;
}

}  // namespace platform::midi
