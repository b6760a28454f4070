// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "tools/z40k/commands.h"
CLI::App* AddCaptureCommand(CLI::App& App, int*) { return App.add_subcommand("capture", "not yet built"); }
