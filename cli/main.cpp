// tavrin-cli: the loop test for scripts, test benches and production lines.
#include "cli/args.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/interrupt.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

int run(const tavrin_cli::Options& options) {
    tavrin_cli::InterruptWatch interrupt;
    try {
        switch (options.command) {
        case tavrin_cli::Options::Command::Ports: return tavrin_cli::run_ports(options);
        case tavrin_cli::Options::Command::Test: return tavrin_cli::run_test(options, interrupt);
        case tavrin_cli::Options::Command::Wiring: return tavrin_cli::run_wiring(options, interrupt);
        case tavrin_cli::Options::Command::Compare: return tavrin_cli::run_compare(options, interrupt);
        }
    } catch (const tavrin_cli::Exit& e) {
        std::fputs(tavrin_cli::complaint(e.what()).c_str(), stderr);
        std::fputs(e.details.c_str(), stderr);
        return e.status;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    tavrin_cli::prepare_interrupt();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const tavrin_cli::ParseOutcome parsed = tavrin_cli::parse_args(args);
    if (!parsed.run) {
        std::fputs(parsed.out.c_str(), stdout);
        std::fputs(parsed.err.c_str(), stderr);
        return parsed.exit_status;
    }
    return run(parsed.options);
}
