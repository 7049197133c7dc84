// The TAVRIN_MIDI setting and the cable's options: any text gives a backend
// or one error line, and a cable has exactly the ports its options name.
// Settings that would open a real engine (alsa, rawmidi, jack, auto without
// options)
// are left out: they would talk to the machine's servers and devices.
#include "winmm/cable/cable.h"
#include "winmm/port_backend.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view setting(reinterpret_cast<const char*>(data), size);
    const auto colon = setting.find(':');
    const std::string_view name = setting.substr(0, colon);
    if (colon == std::string_view::npos && (name.empty() || name == "alsa" || name == "rawmidi" || name == "jack" || name == "auto"))
        return 0;

    std::string error;
    auto backend = platform::midi::make_backend(setting, error);
    if (backend && !error.empty()) std::abort();
    if (name == "cable") {
        std::string cable_error;
        const auto options = platform::midi::parse_cable_options(
            colon == std::string_view::npos ? std::string_view() : setting.substr(colon + 1), cable_error);
        if (options.has_value() != (backend != nullptr) || cable_error != error) {
            std::fprintf(stderr, "cable options and setting disagree\n");
            std::abort();
        }
        if (backend && (backend->inputs().size() != options->ports || backend->outputs().size() != options->ports))
            std::abort();
    } else if (backend) {
        std::abort();  // no other name makes a backend without an engine
    }
    return 0;
}
