// Port names as the MIDI service shows them: at most 31 bytes (room for the
// terminator of szPname), printable, never a split UTF-8 sequence, and unique
// within one list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::midi {

inline constexpr std::size_t kMaxPortName = 31;

// One name made safe and cut: control bytes and bytes that are not valid
// UTF-8 become '?'; the cut falls on a character boundary.
std::string safe_port_name(std::string_view raw, std::size_t limit = kMaxPortName);

// A whole list made safe, cut, and unique: a later duplicate gets " #2", " #3"
// ... within the limit.
std::vector<std::string> unique_port_names(const std::vector<std::string>& raw,
                                           std::size_t limit = kMaxPortName);

}  // namespace platform::midi
