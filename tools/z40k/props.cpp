// z40k props: every property as a freshly initialised camera reports it.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"

#include "driver/driver_entry.h"
#include "platform/host/kernel_host.h"
#include "simcam/simulated_camera.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

struct PropsOptions {
    std::string Registry;
    bool Json = false;
};

const char* SetName(PropertySetKind Kind) {
    switch (Kind) {
    case PropertySetKind::Camera:
        return "camera";
    case PropertySetKind::ProcAmp:
        return "proc-amp";
    case PropertySetKind::Window:
        return "window";
    }
    return "?";
}

int RunProps(const PropsOptions& Options) {
    host::ResetKernel();
    host::ClockSetMode(host::ClockMode::Virtual);
    if (!Options.Registry.empty() && std::ifstream(Options.Registry).good()) {
        std::string error;
        if (!host::RegistryLoadFile(Options.Registry, &error)) {
            std::fprintf(stderr, "z40k props: %s\n", error.c_str());
            return EXIT_RUNTIME_FAILURE;
        }
    }
    simcam::SimulatedCamera camera;
    streamclass::Filter filter;
    NTSTATUS status = filter.Open(DriverEntry, &camera);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "z40k props: the camera did not come up: %s\n", StatusName(status).c_str());
        return EXIT_RUNTIME_FAILURE;
    }
    nlohmann::json all = nlohmann::json::array();
    for (const NamedProperty& property : NamedProperties()) {
        if (!property.CanGet)
            continue;
        PropertyReading reading = ReadProperty(filter, property);
        if (Options.Json) {
            nlohmann::json entry = {{"name", property.Name},
                                    {"set", SetName(property.Set)},
                                    {"id", property.Id},
                                    {"settable", property.CanSet}};
            if (NT_SUCCESS(reading.Status))
                entry["value"] = reading.Value;
            else
                entry["status"] = StatusName(reading.Status);
            if (property.Set == PropertySetKind::ProcAmp && NT_SUCCESS(reading.Status)) {
                entry["flags"] = reading.Flags;
                entry["capabilities"] = reading.Capabilities;
            }
            all.push_back(entry);
        } else if (NT_SUCCESS(reading.Status)) {
            std::printf("%-15s %-8s %-4s %11ld   %s\n", property.Name, SetName(property.Set),
                        property.CanSet ? "rw" : "r", reading.Value, property.Description);
        } else {
            std::printf("%-15s %-8s %-4s %11s   %s\n", property.Name, SetName(property.Set),
                        property.CanSet ? "rw" : "r", StatusName(reading.Status).c_str(),
                        property.Description);
        }
    }
    if (Options.Json)
        std::cout << all.dump() << "\n";
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
