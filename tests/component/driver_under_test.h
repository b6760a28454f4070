// The DriverEntry the whole-stack suites load: the driver linked into this program, or, when the
// environment variable Z40K_DRIVER_IMAGE names a z40k.sys, that very binary loaded into the host. The
// image is loaded afresh for every load, so that its globals start as at load, as a real reload does.
// Z40K_DRIVER_TARGET (xp, vista, 7, 10) names the Windows the host acts as, loader and kernel alike.
#pragma once

#include "driver/driver_entry.h"
#include "host/rig/pe_loader.h"

#include <cstdio>
#include <cstdlib>
#include <string>

inline host::WindowsTarget TargetUnderTest() {
    const char* name = std::getenv("Z40K_DRIVER_TARGET");
    host::WindowsTarget target = host::WindowsTarget::Ten;
    if (name != nullptr && *name != '\0' && !host::ParseWindowsTarget(name, &target)) {
        std::fprintf(stderr, "Z40K_DRIVER_TARGET=%s: not xp, vista, 7 or 10\n", name);
        std::abort();
    }
    return target;
}

inline PDRIVER_INITIALIZE DriverUnderTest() {
    const char* path = std::getenv("Z40K_DRIVER_IMAGE");
    if (path == nullptr || *path == '\0')
        return DriverEntry;
    pe::LoadedDriver driver;
    std::string error;
    if (!pe::LoadDriver(path, TargetUnderTest(), &driver, &error)) {
        std::fprintf(stderr, "%s: %s\n", path, error.c_str());
        std::abort();
    }
    // Never unloaded: a test's filter may still hold the image's routines until the program ends.
    return driver.DriverEntry;
}
