// What the benchmarks share: the bytes they loop and how they summarise times.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

// The loopback test's 258-byte SysEx message.
inline std::vector<char> test_message() {
    std::vector<char> m{static_cast<char>(0xF0)};
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 0x80; ++i) m.push_back(static_cast<char>(i));
    m.push_back(static_cast<char>(0xF7));
    return m;
}

struct Figures {
    double median_us;
    double p99_us;
};

inline Figures figures(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

}  // namespace bench
