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

// A number of the entry, or "-" where the property has none.
std::string Column(const nlohmann::json& Entry, const char* Key) {
    if (Entry.contains(Key))
        return Entry[Key].is_string() ? Entry[Key].get<std::string>()
                                      : std::to_string(Entry[Key].get<long>());
    return "-";
}

// One line per property as `v4l2-ctl -L` lists controls: its current value (or the status of a failed
// get; "-" for a set-only one), then its range, step and default where it has them.
void PrintTable(const nlohmann::json& Properties) {
    std::printf("%-15s %-8s %-6s %8s %8s %8s %4s %8s  %s\n", "NAME", "SET", "ACCESS", "VALUE", "MIN", "MAX",
                "STEP", "DEFAULT", "DESCRIPTION");
    for (const nlohmann::json& entry : Properties) {
        const std::string value = entry.contains("value") ? Column(entry, "value") : Column(entry, "status");
        std::printf("%-15s %-8s %-6s %8s %8s %8s %4s %8s  %s\n", entry["name"].get<std::string>().c_str(),
                    entry["set"].get<std::string>().c_str(), entry["access"].get<std::string>().c_str(),
                    value.c_str(), Column(entry, "minimum").c_str(), Column(entry, "maximum").c_str(),
                    Column(entry, "step").c_str(), Column(entry, "default").c_str(),
                    entry["description"].get<std::string>().c_str());
    }
}

int RunProps(const PropsOptions& Options) {
    rig::Session session;
    rig::SessionOptions sessionOptions;
    sessionOptions.Registry = Options.Registry; // only read
    streamclass::Filter* camera = z40k::BringUpOneCamera(session, sessionOptions);
    if (camera == nullptr)
        return EXIT_RUNTIME_FAILURE;
    const nlohmann::json properties = PropertiesDocument(*camera);
    if (Options.Json)
        std::cout << properties.dump() << "\n";
    else
        PrintTable(properties);
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
