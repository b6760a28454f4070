// The simulated camera's USB face and firmware: the interface it presents, its alternate settings, and
// the vendor requests it answers (status word, controls, sensor registers, the block command).
#include "host/simcam/simulated_camera.h"

#include "host/bus/descriptors.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"

#include <cstring>

namespace simcam {
namespace {

constexpr uint8_t REQUEST_SET_CONTROL = 2;
constexpr uint8_t REQUEST_GET_STATUS = 3;
constexpr uint8_t REQUEST_WRITE_REGISTER = 5;
constexpr uint8_t REQUEST_SEND_BLOCK = 7;

constexpr uint16_t STATUS_WORD_INDEX = 16;
constexpr uint16_t CONTROL_CAPTURE = 11;
constexpr uint16_t CONTROL_STARTUP = 13;
constexpr uint16_t REGISTER_GAIN = 0;
constexpr uint16_t REGISTER_EXPOSURE = 1;

constexpr uint8_t BLOCK_COMMAND[3] = {0x20, 0x03, 0x20};

bool KnownControl(uint16_t Control) {
    switch (Control) {
    case 1: // white balance
    case 2: // brightness
    case 3: // sharpness
    case 4: // contrast
    case 5: // saturation
    case 8: // capture set-up
    case CONTROL_CAPTURE:
    case CONTROL_STARTUP:
        return true;
    default:
        return false;
    }
}

// The firmware keeps the image controls as a byte each in one word, so that the camera's thread reads them
// at once: white balance, brightness, sharpness, contrast, saturation from the low byte up.
uint64_t PackImageControls(const ImageControls& Controls) {
    return uint64_t{Controls.WhiteBalance} | uint64_t{Controls.Brightness} << 8 |
           uint64_t{Controls.Sharpness} << 16 | uint64_t{Controls.Contrast} << 24 |
           uint64_t{Controls.Saturation} << 32;
}

ImageControls UnpackImageControls(uint64_t Packed) {
    ImageControls controls;
    controls.WhiteBalance = static_cast<uint8_t>(Packed);
    controls.Brightness = static_cast<uint8_t>(Packed >> 8);
    controls.Sharpness = static_cast<uint8_t>(Packed >> 16);
    controls.Contrast = static_cast<uint8_t>(Packed >> 24);
    controls.Saturation = static_cast<uint8_t>(Packed >> 32);
    return controls;
}

} // namespace

// SimulatedCamera's constructor and destructor live with the endpoint (iso_endpoint.cpp), which they
// make and tear down.

uint32_t SimulatedCamera::DataBytesPerMicroframe() const {
    return DataBytesInSetting(static_cast<uint8_t>(alternateSetting_), config_.DataPacketSize);
}

ImageControls SimulatedCamera::Image() const {
    return UnpackImageControls(imageSteps_);
}

NTSTATUS SimulatedCamera::SelectAlternateSetting(uint8_t Setting) {
    NTSTATUS status = STATUS_SUCCESS;
    if (host::ShouldFail("simcam:alt", &status))
        return status;
    if (!plugged_)
        return DEVICE_GONE_STATUS;
    if (Setting >= ALTERNATE_SETTINGS)
        return STALL_STATUS;
    alternateSetting_ = Setting;
    return STATUS_SUCCESS;
}

NTSTATUS SimulatedCamera::VendorRequest(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                                        std::vector<uint8_t>* Data) {
    std::vector<uint8_t> none;
    if (!Data)
        Data = &none;
    const unsigned ordinal = ++requestsReceived_;
    if (requestHook_)
        requestHook_(Request, ordinal, false);
    // Taken before the firmware's lock: the clock's waiters look at the camera under the clock's lock.
    const int64_t now = host::ClockNow100ns();
    const bool wasOn = captureOn_;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<host::Mutex> lock(firmwareMutex_);
        status = ServeRequest(Request, Value, Index, DeviceToHost, Data, now);
    }
    // The camera's sender waits for capture to be switched on or off.
    if (wasOn != captureOn_)
        host::ClockNotify();
    if (requestHook_)
        requestHook_(Request, ordinal, true);
    return status;
}

NTSTATUS SimulatedCamera::ControlTransfer(const bus::SetupPacket& Setup, std::vector<uint8_t>* Data) {
    if ((Setup.RequestType & bus::REQUEST_TYPE_MASK) == 0)
        return StandardRequest(Setup, Data);
    return VendorRequest(Setup.Request, Setup.Value, Setup.Index, Setup.DeviceToHost(), Data);
}

// GET_DESCRIPTOR of the device and the configuration, SET_CONFIGURATION (which puts the interface in
// setting 0, as every device does) and SET_INTERFACE; the USB core stalls anything else.
NTSTATUS SimulatedCamera::StandardRequest(const bus::SetupPacket& Setup, std::vector<uint8_t>* Data) {
    if (Setup.DeviceToHost())
        Data->clear();
    if (!plugged_)
        return DEVICE_GONE_STATUS;
    const uint8_t recipient = Setup.RequestType & 0x1F;
    if (Setup.DeviceToHost() && Setup.Request == bus::REQUEST_GET_DESCRIPTOR && recipient == 0) {
        const uint8_t type = static_cast<uint8_t>(Setup.Value >> 8);
        if ((Setup.Value & 0xFF) != 0)
            return STALL_STATUS;
        if (type == bus::DESCRIPTOR_DEVICE)
            *Data = CameraDeviceDescriptor();
        else if (type == bus::DESCRIPTOR_CONFIGURATION)
            *Data = configuration_;
        else
            return STALL_STATUS;
        return STATUS_SUCCESS;
    }
    if (!Setup.DeviceToHost() && Setup.Request == bus::REQUEST_SET_CONFIGURATION && recipient == 0 &&
        (Setup.Value == 0 || Setup.Value == CONFIGURATION_VALUE)) {
        alternateSetting_ = 0;
        return STATUS_SUCCESS;
    }
    if (!Setup.DeviceToHost() && Setup.Request == bus::REQUEST_SET_INTERFACE &&
        recipient == bus::REQUEST_TO_INTERFACE && Setup.Index == 0 && Setup.Value <= 0xFF)
        return SelectAlternateSetting(static_cast<uint8_t>(Setup.Value));
    return STALL_STATUS;
}

NTSTATUS SimulatedCamera::ServeRequest(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                                       std::vector<uint8_t>* Data, int64_t Now100ns) {
    if (!plugged_) {
        if (DeviceToHost)
            Data->clear();
        return DEVICE_GONE_STATUS;
    }

    // Both rules are counted at every request, so "vendor" numbers requests in the order they arrive
    // whatever "vendor:N" does.
    NTSTATUS injected = STATUS_SUCCESS;
    NTSTATUS byCode = STATUS_SUCCESS;
    bool failAny = host::ShouldFail("vendor", &injected);
    bool failCode = host::ShouldFail("vendor:" + std::to_string(Request), &byCode);

    NTSTATUS status;
    if (failAny || failCode) {
        status = failCode ? byCode : injected;
        if (DeviceToHost)
            Data->clear();
    } else {
        status = Firmware(Request, Value, Index, DeviceToHost, Data, Now100ns);
    }
    bus::AppendToLog(&requests_, VendorRequestRecord{Request, Value, Index, DeviceToHost, *Data, status});
    return status;
}

NTSTATUS SimulatedCamera::Firmware(uint8_t Request, uint16_t Value, uint16_t Index, bool DeviceToHost,
                                   std::vector<uint8_t>* Data, int64_t Now100ns) {
    if (DeviceToHost) {
        Data->clear();
        if (Request != REQUEST_GET_STATUS || Index != STATUS_WORD_INDEX || Value != 0)
            return STALL_STATUS;
        return ReplyStatusWord(Data);
    }
    switch (Request) {
    case REQUEST_SET_CONTROL:
        return SetControl(Index, Value, *Data, Now100ns);
    case REQUEST_WRITE_REGISTER:
        return WriteRegister(Index, Value, *Data);
    case REQUEST_SEND_BLOCK:
        return ReceiveBlock(*Data);
    default:
        return STALL_STATUS;
    }
}

// Request 3: the status word, ready unless the configuration scripts the replies or never gets ready.
NTSTATUS SimulatedCamera::ReplyStatusWord(std::vector<uint8_t>* Data) {
    uint16_t word;
    if (config_.NeverReady)
        word = 0;
    else if (statusReads_ < config_.StatusReplies.size())
        word = config_.StatusReplies[statusReads_];
    else
        word = STATUS_READY;
    ++statusReads_;
    Data->push_back(static_cast<uint8_t>(word & 0xFF));
    Data->push_back(static_cast<uint8_t>(word >> 8));
    return STATUS_SUCCESS;
}

// Request 2: a known control takes the value, without a data stage; capture on/off and start-up act.
NTSTATUS SimulatedCamera::SetControl(uint16_t Control, uint16_t Value, const std::vector<uint8_t>& Data,
                                     int64_t Now100ns) {
    if (!KnownControl(Control) || !Data.empty())
        return STALL_STATUS;
    controls_[Control] = Value;
    ImageControls image = UnpackImageControls(imageSteps_);
    SetImageControl(&image, Control, Value);
    imageSteps_ = PackImageControls(image);
    if (Control == CONTROL_CAPTURE) {
        // The sensor's frame clock starts when capture is switched on.
        if (Value != 0 && !captureOn_) {
            captureStart100ns_ = Now100ns;
            ++captureEpoch_;
        }
        captureOn_ = Value != 0;
    }
    if (Control == CONTROL_STARTUP)
        started_ = true;
    return STATUS_SUCCESS;
}

// Request 5: a 32-bit little-endian word into the gain or the exposure register.
NTSTATUS SimulatedCamera::WriteRegister(uint16_t Register, uint16_t Value, const std::vector<uint8_t>& Data) {
    if (Data.size() != 4 || Value != 0)
        return STALL_STATUS;
    uint32_t word = static_cast<uint32_t>(Data[0]) | static_cast<uint32_t>(Data[1]) << 8 |
                    static_cast<uint32_t>(Data[2]) << 16 | static_cast<uint32_t>(Data[3]) << 24;
    // The registers are narrower than the word; the upper bits are lost on the way in.
    if (Register == REGISTER_GAIN)
        gain_ = static_cast<uint16_t>(word & GAIN_MASK);
    else if (Register == REGISTER_EXPOSURE)
        exposure_ = static_cast<uint16_t>(word & EXPOSURE_MASK);
    else
        return STALL_STATUS;
    return STATUS_SUCCESS;
}

// Request 7: the three-byte block command, counted.
NTSTATUS SimulatedCamera::ReceiveBlock(const std::vector<uint8_t>& Data) {
    if (Data.size() != sizeof(BLOCK_COMMAND) ||
        std::memcmp(Data.data(), BLOCK_COMMAND, sizeof(BLOCK_COMMAND)) != 0)
        return STALL_STATUS;
    ++blocks_;
    return STATUS_SUCCESS;
}

} // namespace simcam
