// The command line in the program's one voice. CLI11 parses; the checks here give every value its
// range in the refusal, and RunCommandLine turns whatever CLI11 refuses (an unknown word, an option given
// twice or without its value) into one line with a suggestion where one is near, exit status 2.
//
// A command's option is added as CLI11 has it, with one of these checks:
//     cmd->add_option("--buffers", Options->Buffers, "reads kept queued")->check(z40k::WholeNumber(1, 64));
// and a command's callback reports by throwing a z40k::ProgramError (messages.h).
#pragma once

#include "tools/z40k/messages.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace z40k {

// Text as a whole number written in decimal (a sign allowed); false when it is none or beyond 64 bits.
bool ParseWholeNumber(const std::string& Text, long long* Value);

// A whole number, written in decimal, in [Minimum, Maximum].
CLI::Validator WholeNumber(long long Minimum, long long Maximum);
// A decimal number in [Minimum, Maximum].
CLI::Validator Decimal(double Minimum, double Maximum);
// One of Choices, exactly.
CLI::Validator OneOf(const std::vector<std::string>& Choices);

// Parses argv into App and runs the chosen subcommand's callback, which sets *ExitCode. Returns the
// program's exit status: *ExitCode after a run; 0 for --help and --version; the status of a
// ProgramError a callback throws, after its line; 2 after the line of a usage error.
int RunCommandLine(CLI::App& App, int argc, char** argv, const int* ExitCode);

} // namespace z40k
