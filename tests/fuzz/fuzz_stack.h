// The whole stack for a fuzz target: a fresh host on the virtual clock, the driver on a simulated camera
// brought up through the stream class, and the checks every session must pass when it ends.
#pragma once

#include "host/bus/bus.h"
#include "host/cameralib/library_device.h"
#include "driver/driver_entry.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/streamclass/client.h"
#include "host/simcam/simulated_camera.h"
#include "tests/component/fresh_host.h"
#include "tests/fuzz/fuzz_support.h"

#include <string>

namespace fuzz {

// The host as a freshly booted machine for one input. Each input finds the machine exactly as every other
// input found it, so that any input replays on its own. The host is made fresh when an input ends (and
// before the first): what the input allocated in it (registry keys, device objects, handles) is then
// freed before libFuzzer compares the input's allocations with its frees, and an input that seems to keep
// memory is run again under the leak checker, at many times its own cost.
struct FreshHost {
    FreshHost() {
        static const bool first = (Reset(), true);
        (void)first;
        PoolBefore = host::PoolOutstanding().size();
    }
    ~FreshHost() { Reset(); }
    static void Reset() { ResetHostForStack("z40k-fuzz-c"); }
    size_t PoolBefore = 0;
};

// The driver, loaded once for the process as the system loads it once for all the cameras it serves. The
// library keeps a record per loaded driver object for as long as the process runs; a load per input
// would leave one behind each time.
inline streamclass::Filter& LoadedDriver() {
    static streamclass::Filter* const loaded = [] {
        streamclass::Filter* filter = new streamclass::Filter;
        FUZZ_CHECK(NT_SUCCESS(filter->Load(DriverEntry)));
        return filter;
    }();
    return *loaded;
}

struct Stack {
    // Every step of bring-up after the load, in order, as Filter::Open takes them.
    explicit Stack(const simcam::CameraConfig& Config = simcam::CameraConfig()) : Camera(Config) {
        NTSTATUS status = Filter.ShareDriver(LoadedDriver());
        if (NT_SUCCESS(status))
            status = Filter.AddDevice(Bus.Plug(&Camera)->Pdo());
        if (NT_SUCCESS(status))
            status = Filter.Initialize();
        if (NT_SUCCESS(status))
            status = Filter.CompleteInitialization();
        if (NT_SUCCESS(status))
            status = Filter.ReadStreamInfo();
        Opened = NT_SUCCESS(status);
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
        FUZZ_CHECK(host::PoolOutstanding().size() == Host.PoolBefore);
        FUZZ_CHECK(host::PoolTakeErrors().empty());
        host::ClearAllFaults();
    }
    cameralib::LibraryDevice* Library() { return cameralib::DeviceFromContext(Filter.DeviceExtension()); }

    FreshHost Host; // first in, last out: the camera and the filter are gone before the host is reset
    bus::Bus Bus;
    simcam::SimulatedCamera Camera;
    streamclass::Filter Filter;
    bool Opened = false;
};

} // namespace fuzz
