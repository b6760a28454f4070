// The host rig: what the machine does around the driver. It loads the driver once (from the linked
// driver or from whatever DriverEntryRoutine it is given), plugs simulated cameras into the USB bus and
// brings each up through the stream class, as the PnP manager does for a device the bus reports, and
// hands out each camera's filter. Pulling a camera out takes it off the bus and sends what the stream
// class sends on a surprise removal. The rig owns what is controlled and observed of a camera besides
// its filter: the scene, the camera's and the library's statistics, the library's records of its
// requests and frames. The host session (session.h), the component tests and the benchmarks use it;
// nothing below it knows it exists.
#pragma once

#include "host/bus/bus.h"
#include "host/cameralib/streaming.h"
#include "host/simcam/simulated_camera.h"
#include "host/streamclass/client.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The entry point of the driver linked into this program; a z40k.sys brings its own through the loader.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace cameralib {
struct LibraryDevice;
}

namespace rig {

// The buses the rig plugs its devices into: ideal ones (today's host, without USB 2.0's limits) or
// high-speed ones, a bus per device or all on one, and the recording every bus feeds, if any.
struct BusOptions {
    bus::BusModel Model = bus::BusModel::Ideal;
    bool Shared = false;                    // every device on one bus; otherwise each on a bus of its own
    bus::UsbPcapWriter* Recorder = nullptr; // outlives the rig
};

// A camera's counters: the library's of its stream, the camera's of what it sent.
struct CameraStatistics {
    cameralib::StreamStatistics Stream;
    simcam::EndpointStatistics Camera;
};

// Hands over the vendor requests and alternate-setting selections the library recorded for the camera
// whose device extension this is, since the last call, merged in time order, each as (clock time in
// microseconds, JSON object), and forgets them, so the records stay as short as the gap between two
// calls. The record is looked up at every call (any thread may call), so it may appear (initialise) and
// go (removal) between calls; nothing is handed over while there is none.
using RecordLine = std::function<void(int64_t TimeUs, const std::string& Json)>;
void TakeRequestRecords(PVOID DeviceExtension, const RecordLine& Line);

class Rig {
  public:
    explicit Rig(streamclass::DriverEntryRoutine Entry, const BusOptions& Buses = BusOptions());
    ~Rig(); // removes every camera still plugged in, then unloads the driver
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Plugs a camera into the bus and brings it up: initialise, initialisation complete, stream
    // information. The driver is loaded with the first camera. On failure the camera stays plugged in
    // as far as it came (its filter shows how far); *Index gets its number either way.
    // Added, when given, is called once the camera has its filter and device extension, before any
    // request reaches the driver (a trace starts following the camera there, a test sets the camera's
    // hooks).
    using AddedCall = std::function<void(streamclass::Filter&, simcam::SimulatedCamera&)>;
    NTSTATUS Plug(const simcam::CameraConfig& Config, size_t* Index, const AddedCall& Added = nullptr);
    // The same for another USB device (a recording played back), which the rig then owns.
    using DeviceAddedCall = std::function<void(streamclass::Filter&)>;
    NTSTATUS PlugDevice(std::unique_ptr<bus::UsbDevice> Device, size_t* Index,
                        const DeviceAddedCall& Added = nullptr);
    size_t Cameras() const { return slots_.size(); }
    streamclass::Filter& FilterOf(size_t Index) { return *slots_[Index].Filter; }
    // The simulated camera in slot Index (null for another device).
    simcam::SimulatedCamera* CameraOf(size_t Index) { return slots_[Index].Camera; }
    bus::Port* PortOf(size_t Index) { return slots_[Index].Port; }
    // The library's record of the camera (null before initialise or after removal).
    cameralib::LibraryDevice* LibraryOf(size_t Index);

    // Pulls the camera out: it leaves the bus, then the stream class sends SRB_SURPRISE_REMOVAL and the
    // removal requests. Pins of the camera's filter are closed by it.
    NTSTATUS Unplug(size_t Index);
    // An orderly removal (pins closed, SRB_UNINITIALIZE_DEVICE).
    NTSTATUS Remove(size_t Index);

    // ---- what is controlled and observed of a camera ----
    void SetScene(size_t Index, simcam::Scene Picture);
    // Zeros for the stream once the library has no record of the camera (before initialise, after
    // removal); the camera's own counters stay.
    CameraStatistics Statistics(size_t Index);
    // Each does nothing when the library has no record of the camera.
    void SetFrameObserver(size_t Index, cameralib::FrameObserver Observer);
    // The raw frame proper, as the camera made it: the padding of its last packet is left out.
    void SetRawFrameObserver(size_t Index, cameralib::RawFrameObserver Observer);
    void SetBandwidthCallObserver(size_t Index, cameralib::BandwidthCallObserver Observer);

  private:
    struct Slot {
        std::unique_ptr<bus::UsbDevice> Device;
        simcam::SimulatedCamera* Camera = nullptr; // Device, when it is one
        std::unique_ptr<streamclass::Filter> Filter;
        bus::Port* Port = nullptr;
    };
    NTSTATUS BringUp(Slot* Slot, const std::function<void()>& Added);

    streamclass::DriverEntryRoutine entry_;
    BusOptions busOptions_;
    // Declared before the cameras, so that they go after them: each camera leaves its port as it goes.
    std::vector<std::unique_ptr<bus::Bus>> buses_;
    std::vector<Slot> slots_;
};

} // namespace rig
