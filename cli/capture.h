// What one run's input brought while the run listened, byte by byte: the
// pattern's bytes as they came, and the bytes no run sent (stray). Pure data,
// so that the rules for real-time bytes are the same wherever a run is judged.
#pragma once

#include "cli/pattern.h"
#include "cli/stats.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tavrin_cli {

// Real-time bytes are the pattern's own when they are the byte due next (a
// device's clock byte that comes just then is as good as the pattern's). One
// that comes before its place while its kind is still to come in this run is
// held: it is the pattern's own, early, if its place then passes without it
// (links that pack SysEx bytes into packets send a real-time byte at once,
// ahead of bytes still waiting for their packet), and the run is judged with
// it where it came. Any other is stray: counted by kind, or under `strict` a
// fault of the run that is no byte of the pattern.
class Capture {
public:
    Capture(const Pattern& pattern, bool strict);

    // A new run.
    void clear();
    // A byte that came while the run listens; true when it joined the run.
    bool take(std::uint8_t b);
    // A byte that came while no run listens.
    void stray(std::uint8_t b);
    // The run is over: held bytes that are still early are stray.
    void close();

    const Bytes& bytes() const { return bytes_; }
    bool complete() const;
    StrayCounts take_stray() { return std::exchange(stray_, {}); }

private:
    struct Held {
        std::uint8_t byte;
        std::size_t pos;  // in bytes_, where it came
    };
    std::size_t at() const { return bytes_.size() - uncounted_; }
    void push(std::uint8_t b);
    void insert(std::size_t held);
    void place_held();
    void stray_held(std::size_t i);

    const Pattern& pattern_;
    bool strict_;
    std::array<std::size_t, 8> realtime_end_{};  // of each kind: one past its last place in the pattern
    Bytes bytes_;
    std::size_t f7_seen_ = 0;
    std::size_t uncounted_ = 0;
    std::vector<Held> held_;
    StrayCounts stray_;
};

}  // namespace tavrin_cli
