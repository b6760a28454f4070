// The subcommands of z40k; each lives in its own file and registers itself on the application.
#pragma once

#include "tools/z40k/command_line.h"
#include "tools/z40k/messages.h"

#include <CLI/CLI.hpp>

using z40k::EXIT_RUNTIME_FAILURE;
using z40k::EXIT_USAGE;

// Each returns the subcommand it added; the callback sets *ExitCode, or throws a z40k::ProgramError.
CLI::App* AddInfoCommand(CLI::App& App, int* ExitCode);
CLI::App* AddConvertCommand(CLI::App& App, int* ExitCode);
CLI::App* AddCaptureCommand(CLI::App& App, int* ExitCode);
CLI::App* AddPropsCommand(CLI::App& App, int* ExitCode);
#ifdef Z40K_HAVE_SERVE
CLI::App* AddServeCommand(CLI::App& App, int* ExitCode);
#endif
