// What a USB device is to the host's bus, and the transfers that cross it. A device answers control
// transfers on its default pipe (its descriptors among them: the bus reads them when the device is
// plugged in and describes the device's interface from them), switches alternate settings, fills the
// isochronous IN transfers the host submits on its own clock, and learns when it is plugged in and
// pulled out. It knows nothing of the camera class library, the stream class or the driver; the library
// knows a device only through the bus (bus.h).
#pragma once

#include "platform/usb_types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace bus {

// What every request to a device that has been pulled out ends with.
constexpr NTSTATUS DEVICE_GONE_STATUS = STATUS_NO_SUCH_DEVICE;

// bmRequestType of a control transfer's setup stage.
constexpr uint8_t REQUEST_DEVICE_TO_HOST = 0x80; // direction bit: the data stage goes to the host
constexpr uint8_t REQUEST_TYPE_VENDOR = 0x40;    // type bits 5 and 6: vendor-defined
constexpr uint8_t REQUEST_TO_DEVICE = 0x00;      // recipient bits 0 to 4: the device

// The eight bytes of a control transfer's setup stage.
struct SetupPacket {
    uint8_t RequestType = 0; // bmRequestType
    uint8_t Request = 0;     // bRequest
    uint16_t Value = 0;      // wValue
    uint16_t Index = 0;      // wIndex
    uint16_t Length = 0;     // wLength: most bytes the data stage may carry
    bool DeviceToHost() const { return (RequestType & REQUEST_DEVICE_TO_HOST) != 0; }
};

// One isochronous IN transfer on one endpoint, as a host controller's request carries it: room for a
// number of packets of the endpoint's size, laid out one after the other in Buffer, and for each packet
// where its bytes begin, how many came and its status. The submitter owns it; the device fills it and
// hands it back through the endpoint's completion routine, full or when its time is up.
//
// A device may lend a packet's bytes instead of copying them into Buffer, as a controller that lands
// packets in memory the host then reads where they are: the packet's Lent entry points at them, and
// Keep holds that memory unchanged until the transfer is submitted again. Readers take a packet's bytes
// from PacketData, wherever they are.
struct IsoTransfer {
    IsoTransfer(uint8_t Endpoint, uint32_t PacketCount, uint32_t PacketSize);
    uint8_t Endpoint;    // endpoint address, direction bit included
    uint32_t PacketSize; // room of each packet
    std::vector<uint8_t> Buffer;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> Packets; // Offset fixed; Length and Status as received
    std::vector<const uint8_t*> Lent;                // per packet: its lent bytes, or null (in Buffer)
    std::shared_ptr<const void> Keep;                // what lent bytes belong to
    uint32_t Count = 0;                              // packets filled
    NTSTATUS Status =
        STATUS_SUCCESS;         // STATUS_CANCELLED: the endpoint was aborted; DEVICE_GONE_STATUS: pulled out
    int64_t Completed100ns = 0; // clock time of the transfer's last packet
    uint64_t StartMicroframe = 0; // the bus's: the microframe of the first packet
    uint64_t RequestId = 0;       // the bus's: names the request from its submission to its return
    void* Context = nullptr;      // the submitter's
    uint32_t Capacity() const { return static_cast<uint32_t>(Packets.size()); }
    // Where the device writes a packet it does not lend.
    uint8_t* PacketRoom(uint32_t Packet) { return Buffer.data() + Packets[Packet].Offset; }
    const uint8_t* PacketData(uint32_t Packet) const {
        return Lent[Packet] != nullptr ? Lent[Packet] : Buffer.data() + Packets[Packet].Offset;
    }
    // Ready for the device again: no packet filled, success.
    void Reset();
};
using IsoTransferDone = std::function<void(IsoTransfer* Transfer)>;
// Hands a transfer that cannot be taken back at once, empty, through Done (when there is one): with
// STATUS_CANCELLED from a device that has the endpoint closed, with DEVICE_GONE_STATUS from one that is gone.
void RefuseTransfer(IsoTransfer* Transfer, bool Plugged, const IsoTransferDone& Done);

class Port;

class UsbDevice {
  public:
    virtual ~UsbDevice() = default;

    // A control transfer on the default pipe. Data holds the bytes of a host-to-device data stage; for a
    // device-to-host one it is resized to the reply (the bus keeps at most Setup.Length of it).
    virtual NTSTATUS ControlTransfer(const SetupPacket& Setup, std::vector<uint8_t>* Data) = 0;
    virtual NTSTATUS SelectAlternateSetting(uint8_t Setting) = 0;

    // Isochronous IN endpoints. Once opened, the device fills the transfers submitted to it, in order,
    // and hands each back through Done in the device's own thread; a transfer submitted to an endpoint
    // that is not open comes back at once with STATUS_CANCELLED. Aborting hands every submitted
    // transfer back with STATUS_CANCELLED (in the caller's thread) and closes the endpoint.
    virtual void OpenIsoEndpoint(uint8_t Endpoint, IsoTransferDone Done) = 0;
    virtual void SubmitIso(IsoTransfer* Transfer) = 0;
    virtual void AbortIsoEndpoint(uint8_t Endpoint) = 0;

    // Plug events. Attached: the device is on the bus at Where. Detached: it has been pulled out; every
    // transfer it holds comes back with DEVICE_GONE_STATUS and it sends nothing more.
    virtual void Attached(Port* Where) { (void)Where; }
    virtual void Detached() = 0;
};

// The USB status a request that ended with Status reports on the bus (a recording keeps these), and the
// status a client is told for a recorded USB status: success, a stall (what this host's devices answer a
// request they refuse with, STATUS_UNSUCCESSFUL), a device that is gone, a cancelled request, no
// bandwidth; any other failure is a host controller error.
USBD_STATUS UsbdStatusOf(NTSTATUS Status);
NTSTATUS NtStatusOf(USBD_STATUS Status);

// Logs of requests on the bus (the device's, the library's) keep at most this many records: a test
// reads a session's worth, a trace takes its records as they come, and a run of hours must not grow
// without bound. When a log is full its older half goes.
constexpr size_t REQUEST_LOG_LIMIT = 4096;
template <typename Record> void AppendToLog(std::vector<Record>* Log, Record&& Entry) {
    if (Log->size() >= REQUEST_LOG_LIMIT)
        Log->erase(Log->begin(), Log->begin() + REQUEST_LOG_LIMIT / 2);
    Log->push_back(std::move(Entry));
}

} // namespace bus
