// The simulated Z40K camera. The camera class library talks to it through this narrow interface only:
// the USB interface it presents, vendor requests, alternate settings, and the isochronous packets it
// sends while capture is on. It knows nothing of SRBs, pins or the driver.
#pragma once

#include "platform/usb_types.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace simcam {

// A picture the sensor looks at: 8-bit RGB, top row first.
struct Scene {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Rgb; // Width * Height * 3, R G B order
};
Scene BuiltInChart(); // a colour chart with grey steps, 2560 x 1920
// Loads a BMP (24-bit) or PNG picture; returns false with *Error set on failure.
bool LoadScene(const std::string& File, Scene* Out, std::string* Error);

// One vendor request as the camera received it.
struct VendorRequestRecord {
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    bool DeviceToHost;
    std::vector<uint8_t> Data; // bytes carried to (out) or from (in) the camera
    NTSTATUS Status;
};

// Logs of requests (the camera's, the library's) keep at most this many records: a test reads a
// session's worth, a trace takes its records as they come, and a run of hours must not grow without bound.
// When a log is full its older half goes.
constexpr size_t REQUEST_LOG_LIMIT = 4096;
template <typename Record> void AppendToLog(std::vector<Record>* Log, Record&& Entry) {
    if (Log->size() >= REQUEST_LOG_LIMIT)
        Log->erase(Log->begin(), Log->begin() + REQUEST_LOG_LIMIT / 2);
    Log->push_back(std::move(Entry));
}

// One isochronous packet: the sync packet's header byte and status, and the data packet.
struct Packet {
    uint8_t Header = 0;
    USBD_STATUS SyncStatus = USBD_STATUS_SUCCESS;
    USBD_STATUS DataStatus = USBD_STATUS_SUCCESS;
    std::vector<uint8_t> Data; // Length is Data.size()
};

// What the firmware answers to a request it does not know (an unknown request code, control or register,
// or a data stage of the wrong size): the control pipe stalls, which reaches the host as this status.
constexpr NTSTATUS STALL_STATUS = STATUS_UNSUCCESSFUL;
// Alternate settings the interface offers: 0 streams, 7 is idle.
constexpr uint8_t ALTERNATE_SETTINGS = 8;
// Reply of the status word once the firmware is up.
constexpr uint16_t STATUS_READY = 3;
// Widths of the sensor's gain (register 0) and exposure (register 1) registers.
constexpr uint16_t GAIN_MASK = 0x3FF;     // 10 bits
constexpr uint16_t EXPOSURE_MASK = 0x7FF; // 11 bits

struct CameraConfig {
    uint16_t DataPacketSize = 512;       // maximum packet size of the isochronous data pipe
    std::vector<uint16_t> StatusReplies; // status words answered before it reads 3 (empty: ready at once)
    bool NeverReady = false;             // answers 0 forever
    int64_t FramePeriod100ns = 10000000 / 15; // one frame every 1/15 s
};

class SimulatedCamera {
  public:
    explicit SimulatedCamera(const CameraConfig& Config = CameraConfig());

    // ---- USB interface ----
    // The interface information the camera presents: four pipes (two 64-byte pipes, the isochronous
    // data pipe, one more), laid out as USBD_INTERFACE_INFORMATION.
    std::vector<uint8_t> InterfaceInformation() const;
    NTSTATUS SelectAlternateSetting(uint8_t Setting); // 0..7; fault "simcam:alt"
    int AlternateSetting() const { return alternateSetting_; }

    // ---- firmware ----
    // A vendor request. For a device-to-host request Data is resized to the reply; for host-to-device
    // it holds the bytes carried. Faults: "vendor" (every request, by order), "vendor:N" (request code N).
    NTSTATUS VendorRequest(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                           std::vector<uint8_t>* Data);
    const std::vector<VendorRequestRecord>& Requests() const { return requests_; }
    void ClearRequests() { requests_.clear(); }

    uint16_t ExposureRegister() const { return exposure_; } // register 1, 11 bits (power-up: 750)
    uint16_t GainRegister() const { return gain_; }         // register 0, 10 bits (power-up: 0)
    unsigned StatusReads() const { return statusReads_; }   // status word reads answered
    bool CaptureOn() const { return captureOn_; }
    bool Started() const { return started_; }                                  // control 13 received
    const std::map<uint16_t, uint16_t>& Controls() const { return controls_; } // last value per control
    unsigned BlocksReceived() const { return blocks_; }

    const CameraConfig& Config() const { return config_; }

  private:
    CameraConfig config_;
    int alternateSetting_ = 0;
    unsigned statusReads_ = 0;
    uint16_t exposure_ = 750;
    uint16_t gain_ = 0;
    bool captureOn_ = false;
    bool started_ = false;
    unsigned blocks_ = 0;
    std::map<uint16_t, uint16_t> controls_;
    std::vector<VendorRequestRecord> requests_;

    NTSTATUS Firmware(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                      std::vector<uint8_t>* Data);
};

} // namespace simcam
