// The commands of tavrin-cli; each returns the exit status.
#pragma once

#include "cli/args.h"
#include "cli/interrupt.h"
#include "cli/report.h"
#include "cli/stats.h"

#include <string>

namespace tavrin_cli {

int run_ports(const Options& options);
int run_test(const Options& options, InterruptWatch& interrupt);
int run_wiring(const Options& options, InterruptWatch& interrupt);
int run_compare(const Options& options, InterruptWatch& interrupt);

// The test of options.pattern (options.count runs) between two of `ports`,
// printing nothing: its summary.
Summary test_quietly(const PortList& ports, unsigned in_index, unsigned out_index, const Options& options,
                     InterruptWatch& interrupt);

// Shared by the commands: stdout written at once, and the wall clock as
// ISO 8601 in UTC to the millisecond.
void write_out(const std::string& text);
// Which output reaches which input: a tag sent on every output at once,
// heard until none has come for `timeout_ms`.
WiringMap find_wiring(const PortList& ports, unsigned timeout_ms, InterruptWatch& interrupt);
std::string wall_clock();

}  // namespace tavrin_cli
