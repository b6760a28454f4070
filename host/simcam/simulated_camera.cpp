// The simulated camera's USB face and firmware: the interface it presents, its alternate settings, and
// the vendor requests it answers (status word, controls, sensor registers, the block command).
#include "host/simcam/simulated_camera.h"

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

struct PipeLayout {
    uint16_t MaximumPacketSize; // 0: the configured data packet size
    uint8_t EndpointAddress;
    uint8_t Interval;
    USBD_PIPE_TYPE Type;
};

// The four pipes of the camera's interface, in the order the host sees them.
constexpr PipeLayout Pipes[] = {
    {64, 0x81, 1, UsbdPipeTypeIsochronous}, // packet headers
    {64, 0x82, 1, UsbdPipeTypeIsochronous}, // second header pipe
    {0, 0x83, 1, UsbdPipeTypeIsochronous},  // image data
    {64, 0x84, 8, UsbdPipeTypeInterrupt},   // button and events
};
constexpr uint32_t PIPE_COUNT = sizeof(Pipes) / sizeof(Pipes[0]);
// What a USB stack leaves in MaximumTransferSize until a driver asks for more.
constexpr uint32_t DEFAULT_TRANSFER_SIZE = 4096;

} // namespace

// SimulatedCamera's constructor and destructor live with the endpoint (iso_endpoint.cpp), which they
// make and tear down.

std::vector<uint8_t> SimulatedCamera::InterfaceInformation() const {
    std::vector<uint8_t> bytes(UsbInterfaceInformationSize(PIPE_COUNT), 0);
    USBD_INTERFACE_INFORMATION info{};
    info.Length = static_cast<USHORT>(bytes.size());
    info.InterfaceNumber = 0;
    info.AlternateSetting = static_cast<UCHAR>(alternateSetting_);
    info.Class = 0xFF; // vendor specific
    info.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(uintptr_t{0x1F00});
    info.NumberOfPipes = PIPE_COUNT;
    std::memcpy(bytes.data(), &info, offsetof(USBD_INTERFACE_INFORMATION, Pipes));
    for (uint32_t i = 0; i < PIPE_COUNT; ++i) {
        USBD_PIPE_INFORMATION pipe{};
        pipe.MaximumPacketSize =
            Pipes[i].MaximumPacketSize ? Pipes[i].MaximumPacketSize : config_.DataPacketSize;
        pipe.EndpointAddress = Pipes[i].EndpointAddress;
        pipe.Interval = Pipes[i].Interval;
        pipe.PipeType = Pipes[i].Type;
        pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{0x1F10} + i);
        pipe.MaximumTransferSize = DEFAULT_TRANSFER_SIZE;
        std::memcpy(bytes.data() + UsbInterfaceInformationSize(i), &pipe, sizeof(pipe));
    }
    return bytes;
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
    return VendorRequest(Setup.Request, Setup.Value, Setup.Index, Setup.DeviceToHost(), Data);
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
