// The host's camera class library: what it keeps per camera. The driver sees none of this; it gets its
// DeviceContext (the stream class's device extension) and the library calls it through the callback
// records.
#pragma once

#include "host/bus/bus.h"
#include "host/kernel/kernel_host.h"
#include "platform/camera_class.h"

#include <cstdint>
#include <functional>
#include <mutex>
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
    bool HasLength;  // a BufferLength pointer was passed
    uint32_t Length; // the BufferLength as passed
    bool HasBuffer;
    std::vector<uint8_t> Data; // bytes carried to or from the camera
    NTSTATUS Status;
};

struct AltSettingTraceRecord {
    int64_t TimeUs;
    uint8_t Setting;
    NTSTATUS Status;
};

// How the library answers the driver's query for its direct-call interface; tests choose.
enum class InterfaceQueryAnswer {
    Answer,          // the full interface, synchronously
    Refuse,          // the request left as it came (not supported)
    Fail,            // completed with STATUS_UNSUCCESSFUL, nothing filled in
    NoBulkReadWrite, // success, but the BulkReadWrite entry point missing
    Pend,            // the full interface, completed later (STATUS_PENDING first)
};

struct SetVideoFormatCall {
    ULONG StreamNumber;
    std::vector<uint8_t> Format; // FormatSize bytes of the format the SRB carried
};

struct LibraryDevice {
    PVOID DeviceContext = nullptr;            // the stream class's device extension
    PDEVICE_OBJECT BusDeviceObject = nullptr; // handed to every callback
    PDEVICE_OBJECT PhysicalDeviceObject = nullptr;
    bus::Port* Port = nullptr;                         // where the camera is on the bus, found from its PDO
    const USBCAMD_DEVICE_DATA2* DeviceData2 = nullptr; // registered by InitializeNewInterface
    ULONG InterfaceVersion = 0;
    ULONG ControlFlags = 0;
    std::vector<uint8_t> InterfaceInfo; // the library's own interface record
    mutable host::Mutex
        TraceMutex; // requests come from any thread; hold it to read the traces while streaming
    std::vector<VendorTraceRecord> VendorTrace;
    std::vector<AltSettingTraceRecord> AltSettingTrace;
    struct StreamingState* Streaming = nullptr; // packet pump and frame assembly, while a stream exists

    // ---- the SRB side (adapter.cpp, library_streams.cpp, direct_interface.cpp) ----
    bool CreatedByLibrary = false;         // made at initialise-device; deleted when the camera goes
    ULONG FrameContextSize = 0;            // as the minidriver registered it
    std::vector<ULONG> HandedOverCommands; // every adapter SRB the driver handed over, in order
    std::vector<USBCAMD_Pipe_Config_Descriptor> PipeConfig; // pipe roles the driver chose at configure
    InterfaceQueryAnswer QueryAnswer = InterfaceQueryAnswer::Answer;
    unsigned InterfaceQueries = 0; // query-interface requests received
    int InterfaceReferences = 0;   // references taken on the handed-out interface
    std::vector<SetVideoFormatCall> SetVideoFormatCalls;
    std::vector<ULONG> IsoPipeStateCalls; // flags of every SetIsoPipeState call
};

// The library's record of the camera whose DeviceContext this is; null when none.
LibraryDevice* DeviceFromContext(PVOID DeviceContext);
// Make a device known to (or forgotten by) the library's calls. Tests that drive one callback directly
// attach a device of their own.
void AttachDevice(LibraryDevice* Device);
void DetachDevice(LibraryDevice* Device);

} // namespace cameralib
