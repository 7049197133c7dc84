// tavrin-cli test with several port pairs at once (--pair, --all-loops):
// every pair runs its own runs concurrently on one EventWait, its traffic
// tagged, so that crosstalk between the pairs is named and a pair that
// starves beside the others shows.
#pragma once

#include "cli/args.h"
#include "cli/interrupt.h"
#include "cli/report.h"

#include <vector>

namespace tavrin_cli {

struct PortPair {
    unsigned out = 0, in = 0;
};

// Each "OUT:IN" as one output and one input. A name may hold colons: the one
// split whose both sides name a port wins. No port may serve two pairs.
std::vector<PortPair> resolve_pairs(const std::vector<std::string>& texts, const PortList& ports);
// The loops of a wiring map, each port in one loop at most.
std::vector<PortPair> loops_of(const WiringMap& map);

int run_pairs(const Options& options, const PortList& ports, const std::vector<PortPair>& pairs, const Pattern& pattern,
              InterruptWatch& interrupt);

}  // namespace tavrin_cli
