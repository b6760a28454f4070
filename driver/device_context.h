// The per-camera record. The camera class library allocates it (zero-filled) with the size DriverEntry
// registers and hands it to every callback; all camera state lives here.
#pragma once

#include "platform/camera_class.h"

// The size registered with the library. The record itself is smaller (132 bytes on i386); the rest of
// the extension stays zero and unused.
constexpr ULONG DEVICE_CONTEXT_EXTENSION_SIZE = 212;
// The per-frame context registered with the library.
constexpr ULONG FRAME_CONTEXT_SIZE = 4;

// Pool tag of every allocation the driver makes: "Wdm ".
constexpr ULONG DRIVER_POOL_TAG = 0x206D6457;

struct DeviceContext {
    LONG FormatWidth;                       // biWidth of the last bandwidth allocation's format
    LONG FormatHeight;                      // biHeight of that format
    USHORT StartCaptureValue;               // Value of control 8 at capture start; never assigned
    PUSBD_INTERFACE_INFORMATION InterfaceInfo; // our copy of the interface, null when none is held
    LONG Brightness;                        // proc-amp values, sent to the camera, never persisted
    LONG Contrast;
    LONG Saturation;
    LONG Sharpness;
    LONG WhiteBalance;
    LONG ProcAmpColorEnable;
    ULONG WindowParam0;                     // window-set values
    ULONG WindowFlag1;
    ULONG WindowFlag2;
    BOOLEAN ColorEnable;                    // demosaicked colour output instead of grey
    BOOLEAN AutoWhiteBalance;               // per-frame grey-world white balance
    ULONG BlueGain;                         // channel gains, 128 = 1.0
    ULONG GreenGain;
    ULONG RedGain;
    USHORT ExposureTime;                    // 11 bits reach the sensor
    USHORT GlobalGain;                      // 10 bits reach the sensor
    BOOLEAN HorizonMirror;
    BOOLEAN VerticalFlip;
    ULONG ColorPhase;                       // colour filter phase as reported to clients, 0 to 3
    ULONG NumberOfStreams;                  // streams reported in stream information
    UCHAR LastFrameToggle;                  // bit 6 of the last data-packet header
    USBCAMD_INTERFACE CamInterface;         // the library's direct-call interface; Version 0 when absent
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;    // the real PDO, or the PDO when there is none
};
typedef DeviceContext* PDeviceContext;

static_assert(sizeof(DeviceContext) <= DEVICE_CONTEXT_EXTENSION_SIZE, "DeviceContext must fit the extension");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(DeviceContext) == 132, "DeviceContext has its i386 layout");
#else
static_assert(sizeof(DeviceContext) == 184, "DeviceContext has its x86-64 layout");
#endif
