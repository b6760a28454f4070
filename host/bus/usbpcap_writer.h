// A recording of everything that crosses the host's buses, in the USBPcap format that Wireshark and
// tshark open: a pcap file of link type 249 (LINKTYPE_USBPCAP), one record per request on its way to
// the device and one on its way back, each a USBPCAP_BUFFER_PACKET_HEADER followed by its transfer's own
// header and data, all values little-endian:
//
//   every record        headerLen u16, irpId u64, status (USBD_STATUS) u32, function (URB function)
//                       u16, info u8 (bit 0: on the way back to the client), bus u16, device u16,
//                       endpoint u8 (bit 7: IN), transfer u8 (0 isochronous, 2 control), dataLength u32
//   control (28 bytes)  + stage u8: 0 setup (the 8 setup bytes as data), 1 data, 2 status
//   isochronous         + startFrame u32, numberOfPackets u32, errorCount u32, and per packet offset,
//   (39 + 12 n bytes)     length, status u32: on the way down every packet's offset in the request's
//                         buffer and no data; on the way back the packets' bytes one after the other,
//                         each offset where its bytes begin in the record's data
//
// Control requests are recorded as the platform's stack reports them: the setup stage as the request
// goes down (with a host-to-device data stage), then a device-to-host data stage and the status stage
// as it comes back; a select-configuration or select-interface request as the standard request it
// stands for. Record times are the host clock's: on the virtual clock they start at the epoch, so that a
// run recorded twice gives the same file.
//
// The file replaces its target whole when the recording closes (through a temporary file renamed over
// it; a device or FIFO is written in place, record by record), and it never holds a partial record: a
// record that would take the file past its limit, or that cannot be written, ends the recording there,
// with a reason to show, and the file keeps every record before it.
#pragma once

#include "host/bus/usb_device.h"
#include "host/kernel/kernel_host.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace bus {

constexpr uint32_t LINKTYPE_USBPCAP = 249;
constexpr uint8_t USBPCAP_TRANSFER_ISOCHRONOUS = 0;
constexpr uint8_t USBPCAP_TRANSFER_CONTROL = 2;
constexpr uint8_t USBPCAP_INFO_PDO_TO_FDO = 1; // the request is on its way back
constexpr uint8_t USBPCAP_STAGE_SETUP = 0;
constexpr uint8_t USBPCAP_STAGE_DATA = 1;
constexpr uint8_t USBPCAP_STAGE_STATUS = 2;
constexpr size_t USBPCAP_HEADER_LENGTH = 27;
constexpr size_t USBPCAP_CONTROL_HEADER_LENGTH = 28;
constexpr size_t USBPCAP_ISO_HEADER_LENGTH = 39; // before the per-packet entries
constexpr size_t USBPCAP_ISO_PACKET_LENGTH = 12;
// URB functions the records name.
constexpr uint16_t URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr uint16_t URB_FUNCTION_SELECT_INTERFACE = 0x0001;
constexpr uint16_t URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
constexpr uint16_t URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr uint16_t URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr uint16_t URB_FUNCTION_VENDOR_DEVICE = 0x0017;
constexpr uint16_t URB_FUNCTION_CLASS_DEVICE = 0x001A;
// A file of pcap records this large at most unless told otherwise.
constexpr uint64_t DEFAULT_RECORDING_LIMIT = uint64_t{4} << 30;

// Where a request was on the host: the bus and the device's address on it.
struct RecordPlace {
    uint16_t Bus = 1;
    uint16_t Device = 1;
};

class UsbPcapWriter {
  public:
    UsbPcapWriter() = default;
    ~UsbPcapWriter(); // an open recording is closed, keeping what it holds
    UsbPcapWriter(const UsbPcapWriter&) = delete;
    UsbPcapWriter& operator=(const UsbPcapWriter&) = delete;

    // Starts a recording into Path holding at most LimitBytes (the pcap header included); false with
    // *Error set (one line) when the file cannot be written there.
    bool Open(const std::string& Path, uint64_t LimitBytes, std::string* Error);
    // Ends the recording and puts the file in its place; false with *Error set when that failed.
    bool Close(std::string* Error);
    bool IsOpen() const;
    // Why the recording stopped before it was closed (its limit, a failed write); empty while it runs.
    std::string Stopped() const;
    uint64_t Bytes() const; // written so far

    // ---- records (from any thread) ----
    // A control request on its way down: the setup stage, and a host-to-device data stage when Data
    // holds one.
    void ControlSubmitted(RecordPlace Where, uint64_t Request, uint16_t Function, const SetupPacket& Setup,
                          const std::vector<uint8_t>* Data, int64_t Time100ns);
    // The same request back with its status: a device-to-host data stage when Data holds one, then the
    // status stage.
    void ControlCompleted(RecordPlace Where, uint64_t Request, uint16_t Function, const SetupPacket& Setup,
                          USBD_STATUS Status, const std::vector<uint8_t>* Data, int64_t Time100ns);
    void IsoSubmitted(RecordPlace Where, const IsoTransfer& Transfer, int64_t Time100ns);
    void IsoCompleted(RecordPlace Where, const IsoTransfer& Transfer, int64_t Time100ns);

  private:
    struct Span {
        const uint8_t* Data;
        size_t Length;
    };
    void Write(int64_t Time100ns, const std::vector<uint8_t>& Header, const std::vector<Span>& Data);
    bool WriteAll(const void* Data, size_t Length);
    void StopLocked(const std::string& Why);
    bool CloseLocked(std::string* Error);

    mutable host::Mutex mutex_;
    bool open_ = false;         // from Open to Close
    std::FILE* file_ = nullptr; // null once a write failed
    std::string path_;          // as given
    std::string target_;        // the file it replaces (a symbolic link followed)
    std::string temp_;          // written until the recording closes; target_ itself when written in place
    bool inPlace_ = false;
    uint64_t limit_ = 0;
    uint64_t bytes_ = 0;
    int64_t epochOffsetUs_ = 0; // what turns clock time into time since the epoch
    int64_t lastUs_ = 0;        // records stay in time order
    std::string stopped_;
    std::vector<uint8_t> header_; // reused for every record's header
};

} // namespace bus
