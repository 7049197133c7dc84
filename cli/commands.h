// The three commands of tavrin-cli; each returns the exit status.
#pragma once

#include "cli/args.h"
#include "cli/interrupt.h"

namespace tavrin_cli {

int run_ports(const Options& options);
int run_test(const Options& options, InterruptWatch& interrupt);
int run_wiring(const Options& options, InterruptWatch& interrupt);

}  // namespace tavrin_cli
