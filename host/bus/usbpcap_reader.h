// Reading a USBPcap recording (usbpcap_writer.h has the format) for a device to play back: the ones
// this host writes and ones USBPcap writes on Windows. Of the devices a recording holds, the one with
// the most isochronous IN data is taken; from its records come its descriptors (the answers to
// GET_DESCRIPTOR), its answers to every vendor and class request, and the isochronous IN transfers it
// completed, each packet with its length, status and where its bytes lie in the file.
//
// A recording is outside input. Whatever a record's fields say, nothing is read outside the record: a
// record whose own lengths, packet count or packet offsets do not fit inside it is skipped and counted.
// A file that is not a pcap of link type 249, that ends inside a record or has a record longer than any
// USB transfer, or that holds no isochronous IN traffic, is refused as a whole, with a one-line reason.
#pragma once

#include "host/bus/usb_device.h"
#include "host/bus/usbpcap_writer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bus {

// A record longer than this is no USB transfer (USBPcap's own limit for one record is 128 MiB).
constexpr uint32_t RECORD_LENGTH_MAX = 128u << 20;

struct RecordedControl {
    SetupPacket Setup;
    std::vector<uint8_t> Data; // the data stage: what went to the device, or its reply
    USBD_STATUS Status = USBD_STATUS_SUCCESS;
    int64_t Time100ns = 0; // of the setup stage, since the recording's first record
};

struct RecordedPacket {
    uint64_t At = 0; // where its bytes begin in the recording
    uint32_t Length = 0;
    USBD_STATUS Status = USBD_STATUS_SUCCESS;
};

struct RecordedTransfer {
    uint8_t Endpoint = 0;
    int64_t Time100ns = 0; // when it came back, since the recording's first record
    size_t First = 0;      // its packets in UsbRecording::Packets
    uint32_t Count = 0;
};

struct UsbRecording {
    std::shared_ptr<const uint8_t> Storage; // the recording's bytes, kept while anything lends them
    size_t Size = 0;
    RecordPlace Device;
    std::vector<uint8_t> DeviceDescriptor;
    std::vector<uint8_t> ConfigurationDescriptor; // empty when the recording holds none
    std::vector<RecordedControl> Controls;        // vendor and class requests, in order
    std::vector<RecordedTransfer> Transfers;      // isochronous IN completions, in order
    std::vector<RecordedPacket> Packets;
    uint64_t Records = 0; // records in the file
    uint64_t Skipped = 0; // of those, malformed ones passed over
    const uint8_t* Bytes() const { return Storage.get(); }
};

// Reads a recording held in memory (Storage, Size bytes); false with *Why set when it is refused.
bool ReadUsbPcap(std::shared_ptr<const uint8_t> Storage, size_t Size, UsbRecording* Out, std::string* Why);
// Reads the recording at Path; false with *Error set: "PATH: cannot play it back: why".
bool LoadUsbPcap(const std::string& Path, std::shared_ptr<const UsbRecording>* Out, std::string* Error);

} // namespace bus
