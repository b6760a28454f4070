// PLACEHOLDER so the tree links while the subcommands are written; each is replaced by its own file.
#include "tools/z40k/commands.h"
CLI::App* AddInfoCommand(CLI::App& App, int*) { return App.add_subcommand("info", "not yet built"); }
CLI::App* AddConvertCommand(CLI::App& App, int*) { return App.add_subcommand("convert", "not yet built"); }
CLI::App* AddCaptureCommand(CLI::App& App, int*) { return App.add_subcommand("capture", "not yet built"); }
CLI::App* AddPropsCommand(CLI::App& App, int*) { return App.add_subcommand("props", "not yet built"); }
