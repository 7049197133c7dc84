// Finding a port by what the user typed: an index, an exact name, or a unique
// case-insensitive prefix of a name. A name that several ports share (twin
// interfaces, names cut short by the engine) is ambiguous: the error names
// each port's index.
#pragma once

#include "cli/report.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

// What picks a port by name even when the name is all digits: "name:12".
inline constexpr std::string_view kByName = "name:";

struct PortMatch {
    std::optional<unsigned> index;
    int exit_status = 0;  // on no match: unavailable (no such port, or a name that fits several)
    std::string error;    // one line
};

// `kind` is "input" or "output", for the message.
PortMatch match_port(const std::vector<PortEntry>& ports, const std::string& typed, const char* kind);

}  // namespace tavrin_cli
