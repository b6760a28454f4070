#include "host/simcam/camera_descriptors.h"

#include "host/bus/little_endian.h"
#include "host/bus/periodic_schedule.h"

#include <algorithm>

namespace simcam {
namespace {

constexpr uint8_t ALTERNATE_SETTING_COUNT = 8;
constexpr uint8_t ENDPOINTS_PER_SETTING = 4;
constexpr uint8_t ISOCHRONOUS_ASYNCHRONOUS = 0x05; // bmAttributes: isochronous, asynchronous
constexpr uint8_t INTERRUPT = 0x03;
constexpr uint16_t HEADER_PACKET_BYTES = 64;
constexpr uint8_t EVENT_INTERVAL = 8; // 2^(8 - 1) microframes: 16 ms

// The data pipe's step-down in settings 1 to 6, bytes per microframe.
constexpr uint32_t DataLadder[] = {3 * 896, 2 * 1024, 2 * 768, 1024, 768, 512};

void PutEndpoint(std::vector<uint8_t>* Out, uint8_t Address, uint8_t Attributes, uint16_t MaxPacketSize,
                 uint8_t Interval) {
    Out->insert(Out->end(), {7, bus::DESCRIPTOR_ENDPOINT, Address, Attributes});
    bus::PutLe16(Out, MaxPacketSize);
    Out->push_back(Interval);
}

void PutSetting(std::vector<uint8_t>* Out, uint8_t Setting, uint32_t DataBytes) {
    Out->insert(Out->end(), {9, bus::DESCRIPTOR_INTERFACE, 0, Setting, ENDPOINTS_PER_SETTING, 0xFF, 0, 0, 0});
    const bool idle = DataBytes == 0;
    uint16_t data = 0;
    if (!idle)
        bus::EncodeMaxPacketSize(DataBytes, &data);
    PutEndpoint(Out, 0x81, ISOCHRONOUS_ASYNCHRONOUS, idle ? 0 : HEADER_PACKET_BYTES, 1);
    PutEndpoint(Out, 0x82, ISOCHRONOUS_ASYNCHRONOUS, idle ? 0 : HEADER_PACKET_BYTES, 1);
    PutEndpoint(Out, 0x83, ISOCHRONOUS_ASYNCHRONOUS, data, 1);
    PutEndpoint(Out, 0x84, INTERRUPT, idle ? 0 : HEADER_PACKET_BYTES, EVENT_INTERVAL);
}

} // namespace

std::vector<uint8_t> CameraDeviceDescriptor() {
    std::vector<uint8_t> bytes{18, bus::DESCRIPTOR_DEVICE};
    bus::PutLe16(&bytes, 0x0200);                      // bcdUSB: USB 2.0
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 64}); // vendor-specific class, control packets of 64
    bus::PutLe16(&bytes, USB_VENDOR_ID);
    bus::PutLe16(&bytes, USB_PRODUCT_ID);
    bus::PutLe16(&bytes, 0x0100);            // bcdDevice
    bytes.insert(bytes.end(), {0, 0, 0, 1}); // no strings, one configuration
    return bytes;
}

uint32_t DataBytesInSetting(uint8_t Setting, uint32_t Setting0DataBytes) {
    if (Setting == 0)
        return Setting0DataBytes;
    if (Setting >= IDLE_ALTERNATE_SETTING)
        return 0;
    return std::min(DataLadder[Setting - 1], Setting0DataBytes);
}

std::vector<uint8_t> CameraConfigurationDescriptor(uint32_t Setting0DataBytes) {
    std::vector<uint8_t> bytes{9, bus::DESCRIPTOR_CONFIGURATION, 0, 0, 1, CONFIGURATION_VALUE, 0, 0x80, 250};
    for (uint8_t setting = 0; setting < ALTERNATE_SETTING_COUNT; ++setting)
        PutSetting(&bytes, setting, DataBytesInSetting(setting, Setting0DataBytes));
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

} // namespace simcam
