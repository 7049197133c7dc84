#include "winmm/port_names.h"

#include <algorithm>
#include <set>

namespace platform::midi {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned min = 0;
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) { n = 2; min = 0x80; }
    else if (b >= 0xE0 && b <= 0xEF) { n = 3; min = 0x800; }
    else if (b >= 0xF0 && b <= 0xF4) { n = 4; min = 0x10000; }
    else return 0;
    if (i + n > s.size()) return 0;
    unsigned cp = b & (0xFF >> (n + 1));
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string safe_port_name(std::string_view raw, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t n = utf8_length(raw, i);
        const bool control = n == 1 && (static_cast<unsigned char>(raw[i]) < 0x20 || raw[i] == 0x7F);
        const std::size_t take = (n == 0 || control) ? 1 : n;
        if (out.size() + take > limit) break;
        if (n == 0 || control) out += '?';
        else out.append(raw.substr(i, n));
        i += take;
    }
    return out;
}

std::vector<std::string> unique_port_names(const std::vector<std::string>& raw, std::size_t limit) {
    std::vector<std::string> out;
    std::set<std::string> taken;
    for (const auto& name : raw) {
        std::string base = safe_port_name(name, limit);
        std::string candidate = base;
        for (int k = 2; taken.count(candidate) != 0; ++k) {
            const std::string suffix = " #" + std::to_string(k);
            candidate = safe_port_name(base, limit - std::min(limit, suffix.size())) + suffix;
        }
        taken.insert(candidate);
        out.push_back(candidate);
    }
    return out;
}

}  // namespace platform::midi
