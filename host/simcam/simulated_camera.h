// The simulated Z40K camera as a device on the bus. The camera class library talks to it through this
// narrow interface only: the USB interface it presents, vendor requests and alternate settings on the
// control endpoint, the isochronous endpoint that sends the sensor's frames on the camera's own clock
// into whatever transfers the host has submitted, and plugging. It knows nothing of SRBs, pins or the
// driver.
#pragma once

#include "host/kernel/kernel_host.h"
#include "platform/usb_types.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

// What every request to a camera that has been unplugged ends with.
constexpr NTSTATUS DEVICE_GONE_STATUS = STATUS_NO_SUCH_DEVICE;

struct CameraConfig {
    uint16_t DataPacketSize = 512;       // maximum packet size of the isochronous data pipe
    std::vector<uint16_t> StatusReplies; // status words answered before it reads 3 (empty: ready at once)
    bool NeverReady = false;             // answers 0 forever
    double FramesPerSecond = 15;         // the sensor's pace once capture is on
};

// Faults for one frame the camera sends (see PacketFaults in packetizer.h).
struct PacketFaults;

// One packet as the bus would hand it over, without a copy of its data. From the packetizer, Data points
// into the frame being sent (or into the packetizer's own padding and no-data buffers) and stays valid
// until the packetizer begins another frame or is destroyed; in a transfer, into the frame the transfer
// keeps alive or into the transfer's own copies.
struct PacketView {
    uint8_t Header = 0;
    USBD_STATUS SyncStatus = USBD_STATUS_SUCCESS;
    USBD_STATUS DataStatus = USBD_STATUS_SUCCESS;
    const uint8_t* Data = nullptr;
    uint32_t Length = 0;
};

// An isochronous IN transfer the host submits: room for Capacity packets. The camera fills it and hands
// it back through the pipe's completion routine, full or at the end of a frame; the host submits it again.
struct IsoTransfer {
    explicit IsoTransfer(uint32_t Capacity) : Packets(Capacity) {}
    std::vector<PacketView> Packets;
    uint32_t Count = 0;                                // packets filled
    std::deque<std::vector<uint8_t>> Copies;           // packets not sent straight from a frame
    std::shared_ptr<const std::vector<uint8_t>> Frame; // the frame the packets point into
    NTSTATUS Status = STATUS_SUCCESS; // STATUS_CANCELLED: the pipe was aborted; DEVICE_GONE_STATUS: unplugged
    int64_t Completed100ns = 0;       // clock time of the transfer's last packet
};

struct EndpointStatistics {
    uint64_t FramesSent = 0;  // frames the sensor began to send
    uint64_t PacketsSent = 0; // packets that found a submitted transfer
    uint64_t PacketsLost = 0; // packets sent while no transfer was submitted
};

class SimulatedCamera {
  public:
    explicit SimulatedCamera(const CameraConfig& Config = CameraConfig());
    ~SimulatedCamera(); // aborts the isochronous pipe
    SimulatedCamera(const SimulatedCamera&) = delete;
    SimulatedCamera& operator=(const SimulatedCamera&) = delete;

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
    // Called in the requesting thread as each vendor request reaches the camera (Served false) and as it
    // leaves (Served true), with the number of requests the camera has received, this one included. A
    // test pulls the camera out from here, in the middle of a request or between two. Set it while no
    // request is under way.
    using RequestHook = std::function<void(uint8_t Request, unsigned Ordinal, bool Served)>;
    void SetRequestHook(RequestHook Hook) { requestHook_ = std::move(Hook); }
    // Read these while no other thread sends requests.
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

    // ---- the isochronous endpoint (iso_endpoint.cpp) ----
    // Called in the camera's thread with every transfer it hands back.
    using TransferDone = std::function<void(IsoTransfer* Transfer)>;
    // The host opens the data pipe: from now on, while capture is on and the interface streams, the
    // camera sends a frame every 1/FramesPerSecond into the submitted transfers. Packets find no
    // transfer are lost, as on a real bus.
    void OpenPipe(TransferDone Done);
    void Submit(IsoTransfer* Transfer);
    // Every submitted transfer comes back with STATUS_CANCELLED (in the caller's thread) and the camera
    // sends no more into the pipe until it is opened again.
    void AbortPipe();
    void SetFramesPerSecond(double Fps);
    // What the sensor looks at (default: the built-in colour chart).
    void SetScene(Scene Picture);
    // A recorded raw frame the camera plays back, as it is, instead of what its sensor makes of the scene
    // (exposure and gain do not touch it). A frame of another size than the camera's is cut or padded with
    // filler. An empty one goes back to the sensor.
    void SetRawFrame(std::vector<uint8_t> Frame);
    // Faults of the next frame that has none queued yet (one call per frame, in order); Still sends that
    // frame with the still toggle.
    void QueueFrameFaults(const PacketFaults& Faults, bool Still = false);
    // Called in the camera's thread with each frame it begins to send (the raw frame proper, without
    // packet padding).
    using FrameObserver = std::function<void(uint64_t Index, const uint8_t* Data, size_t Length)>;
    void SetFrameObserver(FrameObserver Observer);
    EndpointStatistics Statistics() const;

    // ---- plugging ----
    // Pulled out: the pipe's transfers come back with DEVICE_GONE_STATUS, every request fails with it.
    void Unplug();
    bool Plugged() const { return plugged_; }

  private:
    struct Endpoint;

    CameraConfig config_;
    std::atomic<int> alternateSetting_{0};
    unsigned statusReads_ = 0;
    std::atomic<uint16_t> exposure_{750};
    std::atomic<uint16_t> gain_{0};
    std::atomic<bool> captureOn_{false};
    std::atomic<uint64_t> captureEpoch_{0}; // bumped whenever capture is switched on
    std::atomic<int64_t> captureStart100ns_{0};
    std::atomic<bool> plugged_{true};
    bool started_ = false;
    unsigned blocks_ = 0;
    std::map<uint16_t, uint16_t> controls_;
    std::vector<VendorRequestRecord> requests_;
    RequestHook requestHook_;
    std::atomic<unsigned> requestsReceived_{0};
    std::mutex firmwareMutex_; // requests come from any host thread
    std::unique_ptr<Endpoint> endpoint_;

    NTSTATUS ServeRequest(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                          std::vector<uint8_t>* Data, int64_t Now100ns);
    NTSTATUS Firmware(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                      std::vector<uint8_t>* Data, int64_t Now100ns);
    void SendLoop();
    void TakeBackTransfers(NTSTATUS Status, bool Close);
};

} // namespace simcam
