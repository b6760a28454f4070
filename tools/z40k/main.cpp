#include "tools/z40k/commands.h"

#include <cstdio>

int main(int argc, char** argv) {
    CLI::App app{"z40k: the Z40K camera driver on a simulated camera"};
    app.require_subcommand(1);
    int exitCode = 0;
    AddInfoCommand(app, &exitCode);
    AddConvertCommand(app, &exitCode);
    AddCaptureCommand(app, &exitCode);
    AddPropsCommand(app, &exitCode);
#ifdef Z40K_HAVE_SERVE
    AddServeCommand(app, &exitCode);
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : EXIT_USAGE;
    }
    return exitCode;
}
