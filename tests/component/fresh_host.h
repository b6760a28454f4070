// The host as a freshly booted machine with the driver not yet loaded, for tests that run the whole
// stack: no faults, the virtual clock, no recorded SRB violations, drive C in a folder of the test's own.
#pragma once

#include "camera/frame_geometry.h"
#include "imaging/raw_frame.h"
#include "platform/host/faults.h"
#include "platform/host/kernel_host.h"
#include "platform/streamclass/stream_class_host.h"

#include <filesystem>
#include <string>
#include <unistd.h>

// Returns the folder that stands in for C:.
inline std::filesystem::path ResetHostForStack(const std::string& DriveCPrefix) {
    host::ResetKernel();
    host::ClearAllFaults();
    host::ClockSetMode(host::ClockMode::Virtual);
    streamclass::ClearViolations();
    const std::filesystem::path driveC =
        std::filesystem::temp_directory_path() / (DriveCPrefix + "-" + std::to_string(::getpid()));
    host::FilesSetDriveC(driveC.string());
    // Each test loads the driver afresh; its globals start as at load.
    RawDumpDone = 0;
    FrameGeometry = FrameGeometryRecord();
    return driveC;
}
