// The host's camera class library: what it keeps per camera. The driver sees none of this; it gets its
// DeviceContext (the stream class's device extension) and the library calls it through the callback
// records.
#pragma once

#include "platform/camera_class.h"
#include "simcam/simulated_camera.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cameralib {

// One event of the traffic between the driver and everything below it.
struct TraceEvent {
    int64_t TimeUs;
    std::string Json; // one JSON object without the time, e.g. {"event":"alt_setting",...}
};

struct VendorTraceRecord {
    int64_t TimeUs;
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    bool DeviceToHost;
    bool HasLength;        // a BufferLength pointer was passed
    uint32_t Length;       // the BufferLength as passed
    bool HasBuffer;
    std::vector<uint8_t> Data; // bytes carried to or from the camera
    NTSTATUS Status;
};

struct AltSettingTraceRecord {
    int64_t TimeUs;
    uint8_t Setting;
    NTSTATUS Status;
};

struct LibraryDevice {
    PVOID DeviceContext = nullptr;            // the stream class's device extension
    PDEVICE_OBJECT BusDeviceObject = nullptr; // handed to every callback
    PDEVICE_OBJECT PhysicalDeviceObject = nullptr;
    simcam::SimulatedCamera* Camera = nullptr;
    const USBCAMD_DEVICE_DATA2* DeviceData2 = nullptr; // registered by InitializeNewInterface
    ULONG InterfaceVersion = 0;
    ULONG ControlFlags = 0;
    std::vector<uint8_t> InterfaceInfo;       // the library's own interface record
    std::vector<VendorTraceRecord> VendorTrace;
    std::vector<AltSettingTraceRecord> AltSettingTrace;
    struct StreamingState* Streaming = nullptr; // packet pump and frame assembly, while a stream exists
};

// The library's record of the camera whose DeviceContext this is; null when none.
LibraryDevice* DeviceFromContext(PVOID DeviceContext);
// Make a device known to (or forgotten by) the library's calls. Tests that drive one callback directly
// attach a device of their own.
void AttachDevice(LibraryDevice* Device);
void DetachDevice(LibraryDevice* Device);

} // namespace cameralib
