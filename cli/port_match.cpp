#include "cli/port_match.h"

#include "cli/exit_codes.h"

#include <algorithm>
#include <charconv>

namespace tavrin_cli {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_nocase(const std::string& name, const std::string& prefix) {
    if (prefix.size() > name.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(name[i]) != lower(prefix[i])) return false;
    return true;
}

}  // namespace

PortMatch match_port(const std::vector<PortEntry>& ports, const std::string& typed, const char* kind) {
    PortMatch m;
    const std::string what = std::string(kind);
    if (ports.empty()) {
        m.exit_status = kExitUnavailable;
        m.error = "no MIDI " + what + " ports: the MIDI engine offers none";
        return m;
    }
    unsigned long long n = 0;
    const auto [end, ec] = std::from_chars(typed.data(), typed.data() + typed.size(), n);
    if (!typed.empty() && ec == std::errc() && end == typed.data() + typed.size()) {
        if (n < ports.size()) {
            m.index = static_cast<unsigned>(n);
            return m;
        }
        m.exit_status = kExitUnavailable;
        m.error = "no " + what + " " + typed + ": the " + what + "s are numbered 0 to " +
                  std::to_string(ports.size() - 1);
        return m;
    }
    for (const auto& p : ports) {
        if (p.error.empty() && p.name == typed) {
            m.index = p.index;
            return m;
        }
    }
    std::vector<unsigned> found;
    for (const auto& p : ports)
        if (p.error.empty() && starts_with_nocase(p.name, typed)) found.push_back(p.index);
    if (found.size() == 1) {
        m.index = found.front();
        return m;
    }
    m.exit_status = kExitUsage;
    m.error = found.empty() ? "no " + what + " is named \"" + typed + "\""
                            : "\"" + typed + "\" names " + std::to_string(found.size()) + " " + what +
                                  "s; give more of the name or the index";
    return m;
}

}  // namespace tavrin_cli
