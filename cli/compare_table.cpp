#include "cli/compare_table.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tavrin_cli {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string layer_name(const std::string& engine) {
    if (engine == "alsa") return "the sequencer";
    if (engine == "jack") return "JACK";
    return engine;
}

}  // namespace

std::optional<unsigned> find_across(const std::vector<PortEntry>& ports, const std::string& name) {
    const std::string want = lower(name);
    std::optional<unsigned> part;
    int parts = 0;
    for (const PortEntry& p : ports) {
        const std::string have = lower(p.name);
        if (have == want) return p.index;
        if (have.find(want) != std::string::npos && ++parts == 1) part = p.index;
    }
    return parts == 1 ? part : std::nullopt;
}

std::string compare_verdict(const std::vector<EngineRow>& rows) {
    std::vector<const EngineRow*> here;
    for (const auto& r : rows)
        if (r.absent.empty()) here.push_back(&r);
    if (here.empty()) return "no engine reaches this loop";
    if (here.size() == 1) return "only " + layer_name(here.front()->engine) + " reaches this loop";
    std::string below;  // a pattern that fails on every engine
    for (std::size_t k = 0; k < here.front()->cells.size(); ++k) {
        std::string losers, carriers, how;
        int lose = 0, carry = 0;
        for (const EngineRow* r : here) {
            if (k >= r->cells.size()) continue;
            const Cell& c = r->cells[k];
            std::string& list = c.lossless() ? carriers : losers;
            ++(c.lossless() ? carry : lose);
            list += (list.empty() ? "" : " and ") + layer_name(r->engine);
            if (!c.lossless() && how.empty())
                how = std::to_string(c.summary.runs - c.summary.successes) + " of " + std::to_string(c.summary.runs) +
                      " runs: " + faults_list(c.summary.faults);
        }
        if (!losers.empty() && !carriers.empty())
            return losers + (lose > 1 ? " lose " : " loses ") + here.front()->cells[k].pattern + " (" + how + "); " +
                   carriers + (carry > 1 ? " carry it" : " carries it");
        if (carriers.empty() && below.empty())
            below = here.front()->cells[k].pattern + " comes back wrong through every engine (" + how +
                    "): the layer below them (driver, interface or cable) does it";
    }
    if (!below.empty()) return below;
    const EngineRow* fast = nullptr;
    const EngineRow* slow = nullptr;
    auto median = [](const EngineRow* r) { return r->cells.front().summary.latency->median; };
    for (const EngineRow* r : here) {
        if (r->cells.empty() || !r->cells.front().summary.latency) continue;
        if (fast == nullptr || median(r) < median(fast)) fast = r;
        if (slow == nullptr || median(r) > median(slow)) slow = r;
    }
    if (fast == nullptr || fast == slow) return "every engine carries every pattern";
    char text[200];
    std::snprintf(text, sizeof text, "every engine carries every pattern; %s adds %.3f ms to the %s message over %s",
                  layer_name(slow->engine).c_str(), median(slow) - median(fast), fast->cells.front().pattern.c_str(),
                  layer_name(fast->engine).c_str());
    return text;
}

}  // namespace tavrin_cli
