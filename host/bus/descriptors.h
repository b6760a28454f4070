// A USB device's descriptors as the host reads them at enumeration: the device descriptor, and the
// configuration descriptor with its interfaces' alternate settings and their endpoints. The bus parses
// what a device answers (a simulated camera, or a recording played back: outside input either way) and
// builds from it the USBD_INTERFACE_INFORMATION the platform's stack hands a client driver, with the
// pipes of the selected alternate setting.
#pragma once

#include "platform/usb_types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bus {

// Standard requests and descriptor types, by the numbers USB 2.0 gives them.
constexpr uint8_t REQUEST_GET_DESCRIPTOR = 6;
constexpr uint8_t REQUEST_SET_CONFIGURATION = 9;
constexpr uint8_t REQUEST_SET_INTERFACE = 11;
constexpr uint8_t REQUEST_TO_INTERFACE = 0x01; // recipient bits of bmRequestType
constexpr uint8_t REQUEST_TYPE_MASK = 0x60;    // standard 0x00, class 0x20, vendor 0x40
constexpr uint8_t DESCRIPTOR_DEVICE = 1;
constexpr uint8_t DESCRIPTOR_CONFIGURATION = 2;
constexpr uint8_t DESCRIPTOR_INTERFACE = 4;
constexpr uint8_t DESCRIPTOR_ENDPOINT = 5;
constexpr size_t DEVICE_DESCRIPTOR_LENGTH = 18;
constexpr size_t CONFIGURATION_DESCRIPTOR_LENGTH = 9;
constexpr size_t INTERFACE_DESCRIPTOR_LENGTH = 9;
constexpr size_t ENDPOINT_DESCRIPTOR_LENGTH = 7;
constexpr uint8_t ENDPOINT_DIRECTION_IN = 0x80;

// bmAttributes bits 0 and 1: the endpoint's transfer type.
enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointDescriptor {
    uint8_t Address = 0;        // bEndpointAddress, direction bit included
    uint8_t Attributes = 0;     // bmAttributes
    uint16_t MaxPacketSize = 0; // wMaxPacketSize: bits 0-10 the size, bits 11-12 the additional transactions
    uint8_t Interval = 0;       // bInterval
    EndpointType Type() const { return static_cast<EndpointType>(Attributes & 3); }
    bool In() const { return (Address & ENDPOINT_DIRECTION_IN) != 0; }
};

struct AlternateSetting {
    uint8_t Interface = 0; // bInterfaceNumber
    uint8_t Setting = 0;   // bAlternateSetting
    uint8_t Class = 0;
    uint8_t SubClass = 0;
    uint8_t Protocol = 0;
    std::vector<EndpointDescriptor> Endpoints;
    const EndpointDescriptor* Endpoint(uint8_t Address) const;
};

struct Configuration {
    uint8_t Value = 0;                      // bConfigurationValue, what SET_CONFIGURATION names
    std::vector<AlternateSetting> Settings; // of every interface, in descriptor order
    const AlternateSetting* Find(uint8_t Interface, uint8_t Setting) const;
};

// The vendor and product a device descriptor names; false when Bytes is no device descriptor.
bool ReadDeviceIds(const std::vector<uint8_t>& Bytes, uint16_t* Vendor, uint16_t* Product);

// Parses a configuration descriptor and everything it carries (wTotalLength bytes of Bytes). Descriptors
// of other types (class-specific ones) are passed over; an interface or endpoint descriptor that is cut
// short, a length field that leaves the bytes, or an endpoint outside any interface refuses the whole
// configuration with *Why set, as a host refuses a device it cannot configure.
bool ParseConfiguration(const std::vector<uint8_t>& Bytes, Configuration* Out, std::string* Why);

// The interface information of Setting as the stack hands it over after a select: one pipe per endpoint,
// each with its bytes per microframe as MaximumPacketSize (additional transactions included, as the
// platform reports a high-bandwidth endpoint), its interval and type, a handle made from HandleBase and
// the endpoint's position, and the stack's default transfer size.
std::vector<uint8_t> InterfaceInformation(const AlternateSetting& Setting, uintptr_t HandleBase);
// The same into a caller's record, as a select-interface request fills it: the setting's number and the
// pipes that Interface's Length has room for; each pipe's MaximumTransferSize and PipeFlags stay as the
// caller set them.
void FillInterfaceInformation(const AlternateSetting& Setting, uintptr_t HandleBase,
                              USBD_INTERFACE_INFORMATION* Interface);

} // namespace bus
