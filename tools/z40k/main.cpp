#include "tools/z40k/command_line.h"
#include "tools/z40k/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"z40k: the Z40K camera driver on a simulated camera"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "z40k " Z40K_VERSION);
    int exitCode = 0;
    AddInfoCommand(app, &exitCode);
    AddConvertCommand(app, &exitCode);
    AddCaptureCommand(app, &exitCode);
    AddPropsCommand(app, &exitCode);
#ifdef Z40K_HAVE_SERVE
    AddServeCommand(app, &exitCode);
#endif
    return z40k::RunCommandLine(app, argc, argv, &exitCode);
}
