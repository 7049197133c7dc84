// Reads a fuzzer's input as a stream of small values; past the end it yields
// zeros, so every input is a valid one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace fuzz {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : rest_(data, size) {}
    bool empty() const { return rest_.empty(); }
    std::uint8_t byte() {
        if (rest_.empty()) return 0;
        const std::uint8_t b = rest_.front();
        rest_ = rest_.subspan(1);
        return b;
    }
    std::uint16_t u16() {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        const auto taken = rest_.first(n < rest_.size() ? n : rest_.size());
        rest_ = rest_.subspan(taken.size());
        return taken;
    }
    std::string_view text(std::size_t n) {
        const auto b = bytes(n);
        return {reinterpret_cast<const char*>(b.data()), b.size()};
    }
    std::string_view rest() { return text(rest_.size()); }

private:
    std::span<const std::uint8_t> rest_;
};

}  // namespace fuzz
