#include "tools/z40k/commands.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// CLI11 reports a word it does not know as an unexpected argument; a user who mistyped a subcommand
// should read which word was taken for one.
bool UnknownSubcommand(CLI::App& App, int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-')
        return false;
    std::string known;
    for (const CLI::App* sub : App.get_subcommands([](CLI::App*) { return true; })) {
        if (sub->get_name() == argv[1])
            return false;
        known += (known.empty() ? "" : ", ") + sub->get_name();
    }
    std::fprintf(stderr, "z40k: unknown subcommand '%s' (one of: %s)\n", argv[1], known.c_str());
    return true;
}

} // namespace

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
    if (UnknownSubcommand(app, argc, argv))
        return EXIT_USAGE;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : EXIT_USAGE;
    }
    return exitCode;
}
