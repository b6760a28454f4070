// The subcommands of z40k; each lives in its own file and registers itself on the application.
#pragma once

#include <CLI/CLI.hpp>

// Exit codes: 0 success, 1 a runtime or device failure, 2 a usage error.
constexpr int EXIT_RUNTIME_FAILURE = 1;
constexpr int EXIT_USAGE = 2;

// Each returns the subcommand it added; the callback sets *ExitCode.
CLI::App* AddInfoCommand(CLI::App& App, int* ExitCode);
CLI::App* AddConvertCommand(CLI::App& App, int* ExitCode);
CLI::App* AddCaptureCommand(CLI::App& App, int* ExitCode);
CLI::App* AddPropsCommand(CLI::App& App, int* ExitCode);
#ifdef Z40K_HAVE_SERVE
CLI::App* AddServeCommand(CLI::App& App, int* ExitCode);
#endif
