// The simulated Z40K camera as a USB device on the host's bus: the interface it presents, vendor
// requests and alternate settings on the control endpoint, the two isochronous IN endpoints (packet
// headers and image data) that send the sensor's frames on the camera's own clock into whatever
// transfers the host has submitted, and plugging. It knows nothing of SRBs, pins or the driver; the
// camera class library reaches it only through the bus. What the host rig and tests control besides
// (the scene, frame faults, statistics, request hooks) is here too.
#pragma once

#include "host/bus/usb_device.h"
#include "host/kernel/kernel_host.h"
#include "host/simcam/camera_descriptors.h"
#include "host/simcam/image_controls.h"
#include "host/simcam/scene.h"

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

// One vendor request as the camera received it.
struct VendorRequestRecord {
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    bool DeviceToHost;
    std::vector<uint8_t> Data; // bytes carried to (out) or from (in) the camera
    NTSTATUS Status;
};

// What the firmware answers to a request it does not know (an unknown request code, control or register,
// or a data stage of the wrong size): the control pipe stalls, which reaches the host as this status.
constexpr NTSTATUS STALL_STATUS = STATUS_UNSUCCESSFUL;
// Alternate settings the interface offers (camera_descriptors.h): 0 streams with the most bandwidth, 7 is
// idle.
constexpr uint8_t ALTERNATE_SETTINGS = 8;
// Reply of the status word once the firmware is up.
constexpr uint16_t STATUS_READY = 3;
// Widths of the sensor's gain (register 0) and exposure (register 1) registers.
constexpr uint16_t GAIN_MASK = 0x3FF;     // 10 bits
constexpr uint16_t EXPOSURE_MASK = 0x7FF; // 11 bits

// What every request to a camera that has been unplugged ends with.
using bus::DEVICE_GONE_STATUS;

// Endpoint addresses of the isochronous IN pipes: the header of each packet on the sync pipe, its image
// data on the data pipe, sent in step.
constexpr uint8_t SYNC_ENDPOINT = 0x81;
constexpr uint8_t DATA_ENDPOINT = 0x83;

struct CameraConfig {
    // The data pipe's bytes per microframe in alternate setting 0: what the library reports as its
    // maximum packet size, and what each of the camera's data packets carries. A number a high-speed
    // endpoint can declare (bus::EncodeMaxPacketSize); the real camera's is 3 x 1,024.
    uint16_t DataPacketSize = SETTING_0_DATA_BYTES;
    std::vector<uint16_t> StatusReplies; // status words answered before it reads 3 (empty: ready at once)
    bool NeverReady = false;             // answers 0 forever
    double FramesPerSecond = 15;         // the sensor's pace once capture is on
};

// Faults for one frame the camera sends (see PacketFaults in packetizer.h).
struct PacketFaults;

struct EndpointStatistics {
    uint64_t FramesSent = 0;  // frames the sensor began to send
    uint64_t PacketsSent = 0; // packets that found a submitted transfer
    uint64_t PacketsLost = 0; // packets sent while no transfer was submitted
};

class SimulatedCamera : public bus::UsbDevice {
  public:
    explicit SimulatedCamera(const CameraConfig& Config = CameraConfig());
    ~SimulatedCamera() override; // pulled out, its endpoints aborted
    SimulatedCamera(const SimulatedCamera&) = delete;
    SimulatedCamera& operator=(const SimulatedCamera&) = delete;

    // ---- USB interface ----
    // Its descriptors (camera_descriptors.h), as GET_DESCRIPTOR answers them.
    const std::vector<uint8_t>& ConfigurationDescriptor() const { return configuration_; }
    NTSTATUS SelectAlternateSetting(uint8_t Setting) override; // 0..7; fault "simcam:alt"
    int AlternateSetting() const { return alternateSetting_; }
    // The data pipe's bytes per microframe in the setting the camera is in.
    uint32_t DataBytesPerMicroframe() const;

    // ---- firmware ----
    // A vendor request. For a device-to-host request Data is resized to the reply; for host-to-device
    // it holds the bytes carried. Faults: "vendor" (every request, by order), "vendor:N" (request code N).
    NTSTATUS VendorRequest(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                           std::vector<uint8_t>* Data);
    // A control transfer from the bus: a standard request (descriptors, configuration, interface), or the
    // vendor request its setup stage names. Standard requests are answered by the camera's USB core, not
    // its firmware: they are not logged with the vendor requests and no vendor fault touches them.
    NTSTATUS ControlTransfer(const bus::SetupPacket& Setup, std::vector<uint8_t>* Data) override;
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
    ImageControls Image() const; // the image controls as the firmware applies them
    unsigned BlocksReceived() const { return blocks_; }

    const CameraConfig& Config() const { return config_; }

    // ---- the isochronous endpoints (iso_endpoint.cpp) ----
    // Once the data endpoint is open, while capture is on, the camera sends a frame every
    // 1/FramesPerSecond into the transfers submitted to its two endpoints, taking one transfer of each in
    // step: packet i of a data transfer has its header byte in packet i of the sync transfer taken with
    // it. Packets that find no transfers are lost, as on a real bus.
    void OpenIsoEndpoint(uint8_t Endpoint, bus::IsoTransferDone Done) override;
    void SubmitIso(bus::IsoTransfer* Transfer) override;
    void AbortIsoEndpoint(uint8_t Endpoint) override;
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
    void Attached(bus::Port* Where) override { port_ = Where; }
    // Pulled out (from its port when it has one, so that the bus knows): the endpoints' transfers come
    // back with DEVICE_GONE_STATUS, every request fails with it.
    void Unplug();
    void Detached() override;
    bool Plugged() const { return plugged_; }

  private:
    struct Endpoint;

    CameraConfig config_;
    std::vector<uint8_t> configuration_;
    std::atomic<int> alternateSetting_{0};
    std::atomic<uint64_t> imageSteps_{0}; // ImageControls, a byte each, for the camera's thread to read
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
    host::Mutex firmwareMutex_; // requests come from any host thread
    std::unique_ptr<Endpoint> endpoint_;
    bus::Port* port_ = nullptr;

    NTSTATUS StandardRequest(const bus::SetupPacket& Setup, std::vector<uint8_t>* Data);
    NTSTATUS ServeRequest(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                          std::vector<uint8_t>* Data, int64_t Now100ns);
    NTSTATUS Firmware(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                      std::vector<uint8_t>* Data, int64_t Now100ns);
    // The firmware's answer to each request it knows, under firmwareMutex_.
    NTSTATUS ReplyStatusWord(std::vector<uint8_t>* Data);
    NTSTATUS SetControl(uint16_t Control, uint16_t Value, const std::vector<uint8_t>& Data, int64_t Now100ns);
    NTSTATUS WriteRegister(uint16_t Register, uint16_t Value, const std::vector<uint8_t>& Data);
    NTSTATUS ReceiveBlock(const std::vector<uint8_t>& Data);
    class Sender;
    void TakeBackTransfers(NTSTATUS Status, bool CloseData, bool CloseSync);
};

} // namespace simcam
