// The host as a freshly booted machine with the driver not yet loaded, for tests that run the whole
// stack: no faults, the virtual clock, no recorded SRB violations, drive C in a folder of the test's own.
#pragma once

#include "camera/frame_geometry.h"
#include "tests/component/driver_under_test.h"
#include "imaging/raw_frame.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/rig/inf_install.h"
#include "host/rig/session.h"
#include "host/simcam/scene.h"
#include "host/simcam/usb_ids.h"
#include "platform/ks_types.h"
#include "host/streamclass/stream_class_host.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

// The camera's own property set, and the record a request on it carries: the property, then its value
// and flags.
inline const GUID kCameraSet = {0x76BF9E14, 0x22F4, 0x4A02, {0xA0, 0xEB, 0x66, 0x5D, 0xE9, 0x62, 0xB5, 0x31}};
struct CameraPropertyData {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
};

// A small scene of one colour, which the sensor scales to its size: cheaper than the chart to make.
inline simcam::Scene Solid(uint8_t R, uint8_t G, uint8_t B) {
    simcam::Scene s;
    s.Width = 64;
    s.Height = 48;
    for (int i = 0; i < s.Width * s.Height; ++i)
        s.Rgb.insert(s.Rgb.end(), {R, G, B});
    return s;
}

// Returns the folder that stands in for C:.
inline std::filesystem::path ResetHostForStack(const std::string& DriveCPrefix) {
    const std::filesystem::path driveC =
        std::filesystem::temp_directory_path() / (DriveCPrefix + "-" + std::to_string(::getpid()));
    rig::SessionOptions options;
    options.VirtualClock = true;
    options.DriveC = driveC.string();
    options.Lookaside = false;
    options.Target = TargetUnderTest();
    std::string error;
    rig::BootHost(options, &error);
    // Installed from the project's INF as a session installs it: an INF that does not install fails
    // every whole-stack test.
    rig::InstalledDriver installed;
    if (!rig::InstallFromInf(rig::BuiltInInf(), simcam::UsbHardwareId(), host::DriverKeyPath(), &installed,
                             &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
    }
    host::ClearAllFaults();
    streamclass::ClearViolations();
    // Each test loads the driver afresh; its globals start as at load.
    RawDumpDone = 0;
    FrameGeometry = FrameGeometryRecord();
    return driveC;
}
