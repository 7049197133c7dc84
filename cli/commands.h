// The commands of tavrin-cli; each returns the exit status.
#pragma once

#include "cli/args.h"
#include "cli/interrupt.h"
#include "cli/report.h"
#include "cli/stats.h"

namespace tavrin_cli {

int run_ports(const Options& options);
int run_test(const Options& options, InterruptWatch& interrupt);
int run_wiring(const Options& options, InterruptWatch& interrupt);
int run_compare(const Options& options, InterruptWatch& interrupt);

// The test of options.pattern (options.count runs) between two of `ports`,
// printing nothing: its summary.
Summary test_quietly(const PortList& ports, unsigned in_index, unsigned out_index, const Options& options,
                     InterruptWatch& interrupt);

}  // namespace tavrin_cli
