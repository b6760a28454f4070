// z40k props: every property as a freshly initialised camera reports it.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"

#include "tools/z40k/one_camera.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

namespace {

struct PropsOptions {
    std::string Registry;
    bool Json = false;
};

int RunProps(const PropsOptions& Options) {
    rig::Session session;
    rig::SessionOptions sessionOptions;
    sessionOptions.Registry = Options.Registry; // only read
    streamclass::Filter* camera = z40k::BringUpOneCamera(session, sessionOptions, "props");
    if (camera == nullptr)
        return EXIT_RUNTIME_FAILURE;
    streamclass::Filter& filter = *camera;
    if (Options.Json) {
        std::cout << PropertiesDocument(filter).dump() << "\n";
        return 0;
    }
    for (const nlohmann::json& entry : PropertiesDocument(filter)) {
        if (!entry.contains("value") && !entry.contains("status"))
            continue; // set-only: nothing to report
        const std::string value = entry.contains("value") ? std::to_string(entry["value"].get<long>())
                                                          : entry["status"].get<std::string>();
        std::printf("%-15s %-8s %-4s %11s   %s\n", entry["name"].get<std::string>().c_str(),
                    entry["set"].get<std::string>().c_str(), entry["access"].get<std::string>().c_str(),
                    value.c_str(), entry["description"].get<std::string>().c_str());
    }
    return 0;
}

} // namespace

CLI::App* AddPropsCommand(CLI::App& App, int* ExitCode) {
    auto options = std::make_shared<PropsOptions>();
    CLI::App* command =
        App.add_subcommand("props", "Every property as a freshly initialised camera reports it");
    command->add_option("--registry", options->Registry, "Registry file (.reg) the settings are loaded from");
    command->add_flag("--json", options->Json, "Print one JSON array");
    command->callback([options, ExitCode]() { *ExitCode = RunProps(*options); });
    return command;
}
