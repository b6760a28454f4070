// The host rig: what the machine does around the driver. It loads the driver once (from the linked
// driver or from whatever DriverEntryRoutine it is given), plugs simulated cameras into the bus and
// brings each up through the stream class, and hands out each camera's filter. Pulling a camera out
// sends what the stream class sends on a surprise removal. The z40k program and the component tests use
// it; nothing below it knows it exists.
#pragma once

#include "host/streamclass/client.h"
#include "host/simcam/simulated_camera.h"

#include <functional>
#include <memory>
#include <vector>

// The entry point of the driver linked into this program; a z40k.sys brings its own through the loader.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace cameralib {
struct LibraryDevice;
}

namespace rig {

class Rig {
  public:
    explicit Rig(streamclass::DriverEntryRoutine Entry);
    ~Rig(); // removes every camera still plugged in, then unloads the driver
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Plugs a camera in and brings it up: initialise, initialisation complete, stream information. The
    // driver is loaded with the first camera. On failure the camera stays plugged in as far as it came
    // (its filter shows how far); *Index gets its number either way.
    // Added, when given, is called once the camera has its filter and device extension, before any
    // request reaches the driver (a trace starts following the camera there, a test sets the camera's
    // hooks).
    using AddedCall = std::function<void(streamclass::Filter&, simcam::SimulatedCamera&)>;
    NTSTATUS Plug(const simcam::CameraConfig& Config, size_t* Index, const AddedCall& Added = nullptr);
    size_t Cameras() const { return slots_.size(); }
    streamclass::Filter& FilterOf(size_t Index) { return *slots_[Index].Filter; }
    simcam::SimulatedCamera& CameraOf(size_t Index) { return *slots_[Index].Camera; }
    // The library's record of the camera (null before initialise or after removal).
    cameralib::LibraryDevice* LibraryOf(size_t Index);

    // Pulls the camera out: it leaves the bus, then the stream class sends SRB_SURPRISE_REMOVAL and the
    // removal requests. Pins of the camera's filter are closed by it.
    NTSTATUS Unplug(size_t Index);
    // An orderly removal (pins closed, SRB_UNINITIALIZE_DEVICE).
    NTSTATUS Remove(size_t Index);

  private:
    struct Slot {
        std::unique_ptr<simcam::SimulatedCamera> Camera;
        std::unique_ptr<streamclass::Filter> Filter;
    };
    streamclass::DriverEntryRoutine entry_;
    std::vector<Slot> slots_;
};

} // namespace rig
