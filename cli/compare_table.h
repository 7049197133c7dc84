// What tavrin-cli compare concludes, apart from any port: which port of an
// engine is the loop's, and which layer loses bytes or adds delay.
//
// A port is found in each engine by its name: the sequencer names a sound
// card's port after its rawmidi substream ("USB MIDI Interface MIDI 1" in
// both), and JACK's bridges of the sequencer keep that name inside theirs.
// So each engine takes the port whose name is the one given (case aside), else
// the one port whose name contains it.
#pragma once

#include "cli/report.h"
#include "cli/stats.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

struct Cell {
    std::string pattern;
    Summary summary;
    bool lossless() const { return summary.successes == summary.runs && summary.runs > 0; }
};

struct EngineRow {
    std::string engine;  // "rawmidi", "alsa", "jack"
    std::string absent;  // why the engine does not reach the loop, or empty
    std::string input, output;
    std::vector<Cell> cells;  // one per pattern, in the same order for every engine
};

std::optional<unsigned> find_across(const std::vector<PortEntry>& ports, const std::string& name);

// One line naming the layer that loses bytes (an engine, or what lies below
// them all), else the one that adds delay.
std::string compare_verdict(const std::vector<EngineRow>& rows);

}  // namespace tavrin_cli
