// USB driver interface records (usbdi.h), as published.
#pragma once

#include "platform/nt_types.h"

typedef LONG USBD_STATUS;
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

enum USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3
};

// The most a high-speed isochronous endpoint's packet holds: wMaxPacketSize gives at most 1,024 bytes
// (the up to two further transactions of a microframe come on top, 3,072 bytes in all).
constexpr USHORT USB_HIGH_SPEED_ISOCH_MAX_PACKET = 1024;

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};
typedef USBD_PIPE_INFORMATION* PUSBD_PIPE_INFORMATION;

struct USBD_INTERFACE_INFORMATION {
    USHORT Length; // bytes of the whole record, pipes included
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
typedef USBD_INTERFACE_INFORMATION* PUSBD_INTERFACE_INFORMATION;

// Size of an interface record that carries n pipes.
constexpr ULONG UsbInterfaceInformationSize(ULONG n) {
    return static_cast<ULONG>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                              n * sizeof(USBD_PIPE_INFORMATION));
}

struct USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
};
typedef USBD_ISO_PACKET_DESCRIPTOR* PUSBD_ISO_PACKET_DESCRIPTOR;

struct USB_CONFIGURATION_DESCRIPTOR;
typedef USB_CONFIGURATION_DESCRIPTOR* PUSB_CONFIGURATION_DESCRIPTOR;
struct USB_DEVICE_DESCRIPTOR;
typedef USB_DEVICE_DESCRIPTOR* PUSB_DEVICE_DESCRIPTOR;

constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
constexpr USBD_STATUS USBD_STATUS_CRC = static_cast<USBD_STATUS>(0xC0000001);
constexpr USBD_STATUS USBD_STATUS_BABBLE_DETECTED = static_cast<USBD_STATUS>(0xC0000012);
constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_BY_HW = static_cast<USBD_STATUS>(0xC0020000);
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);
constexpr USBD_STATUS USBD_STATUS_NO_BANDWIDTH = static_cast<USBD_STATUS>(0x80000700);
constexpr USBD_STATUS USBD_STATUS_INTERNAL_HC_ERROR = static_cast<USBD_STATUS>(0x80000800);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000);
