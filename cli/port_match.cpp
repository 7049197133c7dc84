#include "cli/port_match.h"

#include "cli/exit_codes.h"

#include <algorithm>
#include <charconv>

namespace tavrin_cli {

namespace {

// Lower case of a code point: ASCII, Latin-1, Latin Extended-A, Greek and
// Cyrillic, the letters port names are made of in practice.
char32_t fold(char32_t c) {
    if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x138 && c != 0x149 && c != 0x17F) {
        const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (odd_upper ? (c % 2 == 1) : (c % 2 == 0)) return c + 1;
    }
    return c;
}

// The code points of UTF-8 text, folded; a byte that is not UTF-8 stands for itself.
std::u32string folded(const std::string& text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        char32_t c = b;
        bool ok = n > 0 && i + n <= text.size();
        if (ok && n > 1) {
            c = b & (0x7F >> n);
            for (std::size_t k = 1; k < n && ok; ++k) {
                const auto cont = static_cast<unsigned char>(text[i + k]);
                ok = (cont & 0xC0) == 0x80;
                c = (c << 6) | (cont & 0x3F);
            }
        }
        if (!ok) {
            out.push_back(b);
            ++i;
            continue;
        }
        out.push_back(fold(c));
        i += n;
    }
    return out;
}

bool starts_with_nocase(const std::string& name, const std::string& prefix) {
    return folded(name).starts_with(folded(prefix));
}

}  // namespace

PortMatch match_port(const std::vector<PortEntry>& ports, const std::string& typed, const char* kind) {
    PortMatch m;
    m.exit_status = kExitUnavailable;
    const std::string what = std::string(kind);
    if (ports.empty()) {
        m.error = "no MIDI " + what + " ports: the MIDI engine offers none";
        return m;
    }
    // "name:" picks by name alone, for a name that is all digits.
    const bool by_name = typed.starts_with(kByName);
    const std::string name = by_name ? typed.substr(kByName.size()) : typed;
    unsigned long long n = 0;
    const auto [end, ec] = std::from_chars(typed.data(), typed.data() + typed.size(), n);
    if (!by_name && !typed.empty() && ec == std::errc() && end == typed.data() + typed.size()) {
        if (n < ports.size()) {
            m.index = static_cast<unsigned>(n);
            return m;
        }
        m.error = "no " + what + " " + typed + ": the " + what + "s are numbered 0 to " + std::to_string(ports.size() - 1);
        return m;
    }
    std::vector<unsigned> found;
    for (const auto& p : ports)
        if (p.error.empty() && p.name == name) found.push_back(p.index);
    if (found.empty())
        for (const auto& p : ports)
            if (p.error.empty() && starts_with_nocase(p.name, name)) found.push_back(p.index);
    if (found.size() == 1) {
        m.index = found.front();
        return m;
    }
    if (found.empty()) {
        m.error = "no " + what + " is named \"" + name + "\"";
        return m;
    }
    m.error = "\"" + name + "\" names " + std::to_string(found.size()) + " " + what + "s (";
    for (std::size_t i = 0; i < found.size(); ++i) m.error += (i ? ", " : "") + std::to_string(found[i]);
    m.error += "); choose one by its index";
    return m;
}

}  // namespace tavrin_cli
