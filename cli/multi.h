// tavrin-cli test with several port pairs at once (--pair, --all-loops):
// every pair runs its own runs concurrently on one EventWait, its traffic
// tagged, so that crosstalk between the pairs is named and a pair that
// starves beside the others shows.
#pragma once

#include "cli/args.h"
#include "cli/interrupt.h"
#include "cli/port_match.h"
#include "cli/report.h"

#include <vector>

namespace tavrin_cli {

int run_pairs(const Options& options, const PortList& ports, const std::vector<PortPair>& pairs, const Pattern& pattern,
              InterruptWatch& interrupt);

}  // namespace tavrin_cli
