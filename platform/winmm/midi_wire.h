// The MIDI DIN wire: 31,250 baud, ten bits a byte (start, eight data, stop).
// Plain constants, for the engines and for tavrin-cli on every host.
#pragma once

#include <chrono>

namespace midi_wire {

inline constexpr unsigned kBaud = 31'250;
inline constexpr unsigned kBitsPerByte = 10;
inline constexpr double kBytesPerSecond = static_cast<double>(kBaud) / kBitsPerByte;
inline constexpr std::chrono::microseconds kByteTime{1'000'000 * kBitsPerByte / kBaud};

}  // namespace midi_wire
