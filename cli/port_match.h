// Finding a port by what the user typed: an index, an exact name, or a unique
// case-insensitive prefix of a name.
#pragma once

#include "cli/report.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

struct PortMatch {
    std::optional<unsigned> index;
    int exit_status = 0;  // on no match: usage (bad or ambiguous name) or unavailable (no such port)
    std::string error;    // one line
};

// `kind` is "input" or "output", for the message.
PortMatch match_port(const std::vector<PortEntry>& ports, const std::string& typed, const char* kind);

}  // namespace tavrin_cli
