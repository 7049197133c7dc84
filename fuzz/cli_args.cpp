// tavrin-cli's command line: any arguments give options to run with, or an
// exit with its text (help and version on stdout, a usage error as one line
// on stderr). Options to run with make a pattern that judges any capture.
#include "cli/args.h"
#include "cli/pattern.h"
#include "fuzz/reader.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "tavrin-cli arguments: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Arguments are separated by NUL bytes, as in a process's argument block.
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    if (size == 0) args.clear();
    const tavrin_cli::ParseOutcome outcome = tavrin_cli::parse_args(args);
    if (!outcome.run) {
        if (outcome.exit_status == 0 && outcome.out.empty()) fail("an exit without a word");
        if (outcome.exit_status != 0) {
            const auto nl = outcome.err.find('\n');
            if (outcome.err.empty() || (nl != std::string::npos && nl + 1 != outcome.err.size()))
                fail("a usage error is not one line");
        }
        return 0;
    }
    if (outcome.exit_status != 0 || !outcome.err.empty()) fail("a run with an error");
    const tavrin_cli::Options& o = outcome.options;
    if (o.command != tavrin_cli::Options::Command::Test) return 0;
    if (o.count == 0) fail("a test of no runs");
    std::vector<std::uint8_t> standard(258);
    standard[0] = 0xF0;
    for (std::size_t i = 0; i < 256; ++i) standard[1 + i] = static_cast<std::uint8_t>(i & 0x7F);
    standard[257] = 0xF7;
    const tavrin_cli::Pattern pattern = tavrin_cli::build_pattern(o.pattern, standard);
    if (pattern.sends.empty() || pattern.expected.empty()) fail("a pattern that sends nothing");
    // The expected bytes judge as a success, anything else never does.
    const auto good = tavrin_cli::judge(pattern, pattern.expected, true);
    if (good.kind != tavrin_cli::Verdict::Kind::Success) fail("the expected capture is not a success");
    std::vector<std::uint8_t> bad = pattern.expected;
    bad[bad.size() / 2] ^= 0x01;
    if (tavrin_cli::judge(pattern, bad, true).kind == tavrin_cli::Verdict::Kind::Success)
        fail("a changed capture is a success");
    return 0;
}
