#include "cli/capture.h"

#include <algorithm>

namespace tavrin_cli {

Capture::Capture(const Pattern& pattern, bool strict) : pattern_(pattern), strict_(strict) {
    for (std::size_t i = 0; i < pattern.expected.size(); ++i)
        if (pattern.expected[i] >= 0xF8) realtime_end_[pattern.expected[i] - 0xF8] = i + 1;
}

void Capture::clear() {
    bytes_.clear();
    f7_seen_ = uncounted_ = 0;
    held_.clear();
}

bool Capture::complete() const { return capture_complete(pattern_, bytes_, f7_seen_, uncounted_); }

void Capture::push(std::uint8_t b) {
    bytes_.push_back(b);
    f7_seen_ += b == 0xF7 ? 1 : 0;
}

bool Capture::take(std::uint8_t b) {
    if (b < 0xF8) {
        place_held();
        push(b);
        return true;
    }
    const std::size_t at = this->at();
    if (at < pattern_.expected.size() && pattern_.expected[at] == b) {
        // Its place came with it: what was held for that place was a device's.
        for (std::size_t i = held_.size(); i-- > 0;)
            if (held_[i].byte == b) stray_held(i);
        push(b);
        return true;
    }
    if (at < realtime_end_[b - 0xF8]) {
        held_.push_back({b, bytes_.size()});
        return false;
    }
    if (!strict_) {
        ++stray_.realtime[b - 0xF8];
        return false;
    }
    bytes_.push_back(b);
    ++uncounted_;  // a fault under --strict, but no byte of the pattern
    return true;
}

void Capture::stray(std::uint8_t b) {
    if (b >= 0xF8) ++stray_.realtime[b - 0xF8];
    else ++stray_.others;
}

void Capture::close() {
    place_held();
    for (std::size_t i = held_.size(); i-- > 0;) stray_held(i);
}

// Puts held byte `i` into the capture where it came; those held after it
// came after it.
void Capture::insert(std::size_t i) {
    const Held h = held_[i];
    bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(h.pos), h.byte);
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(i));
    for (std::size_t j = i; j < held_.size(); ++j) ++held_[j].pos;
}

void Capture::stray_held(std::size_t i) {
    if (strict_) {
        insert(i);
        ++uncounted_;
        return;
    }
    ++stray_.realtime[held_[i].byte - 0xF8];
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(i));
}

// The place of a real-time byte passed without it: one held for it was the
// pattern's own, early.
void Capture::place_held() {
    while (at() < pattern_.expected.size() && pattern_.expected[at()] >= 0xF8) {
        const auto due = pattern_.expected[at()];
        const auto it = std::find_if(held_.begin(), held_.end(), [due](const Held& h) { return h.byte == due; });
        if (it == held_.end()) return;
        insert(static_cast<std::size_t>(it - held_.begin()));
    }
}

}  // namespace tavrin_cli
