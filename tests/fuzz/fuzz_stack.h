// The whole stack for a fuzz target: a fresh host on the virtual clock, the driver loaded on a simulated
// camera and brought up through the stream class, and the checks every session must pass when it ends.
#pragma once

#include "cameralib/library_device.h"
#include "driver/driver_entry.h"
#include "platform/host/faults.h"
#include "platform/host/kernel_host.h"
#include "platform/streamclass/client.h"
#include "simcam/simulated_camera.h"
#include "tests/component/fresh_host.h"
#include "tests/fuzz/fuzz_support.h"

#include <string>

namespace fuzz {

struct Stack {
    explicit Stack(const simcam::CameraConfig& Config = simcam::CameraConfig()) : Camera(Config) {
        static const std::filesystem::path driveC = ResetHostForStack("z40k-fuzz-c");
        host::FilesSetDriveC(driveC.string());
        PoolBefore = host::PoolOutstanding().size();
        Opened = NT_SUCCESS(Filter.Open(DriverEntry, &Camera));
    }
    // Closes what is open, then checks what a session must leave: every SRB completed exactly once, no
    // registry handle open, no pool block leaked or guard damaged.
    void Finish() {
        Filter.RemoveCamera();
        Filter.Unload();
        for (const std::string& violation : streamclass::Violations())
            std::fprintf(stderr, "%s\n", violation.c_str());
        FUZZ_CHECK(streamclass::Violations().empty());
        FUZZ_CHECK(host::RegistryOpenHandles() == 0);
        FUZZ_CHECK(host::PoolOutstanding().size() == PoolBefore);
        FUZZ_CHECK(host::PoolTakeErrors().empty());
        host::ClearAllFaults();
    }
    cameralib::LibraryDevice* Library() { return cameralib::DeviceFromContext(Filter.DeviceExtension()); }

    simcam::SimulatedCamera Camera;
    streamclass::Filter Filter;
    size_t PoolBefore = 0;
    bool Opened = false;
};

} // namespace fuzz
