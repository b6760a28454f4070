// The two constant records through which the camera class library reaches this driver.
#pragma once

#include "driver/device_context.h"

extern const USBCAMD_DEVICE_DATA CamDeviceData;   // version 1: handed over with every passed-on SRB
extern const USBCAMD_DEVICE_DATA2 CamDeviceData2; // version 2: registered once per device

constexpr ULONG CAM_INTERFACE_VERSION = 0x200;
constexpr ULONG CAM_CONTROL_FLAGS = 12;

// Slots that do nothing for this camera.
VOID NTAPI CamNewVideoFrame(PVOID DeviceContext, PVOID FrameContext);
VOID NTAPI CamNewVideoFrameEx(PVOID DeviceContext, PVOID FrameContext, ULONG StreamNumber, PULONG FrameLength);
NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamRestoreState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// The version-2 entry points that carry a stream number: stream 0 runs the version-1 routine, the
// still stream gets a fixed answer.
NTSTATUS NTAPI CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);
NTSTATUS NTAPI CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);
NTSTATUS NTAPI CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PULONG RawFrameLength,
                                      PVOID Format, ULONG StreamNumber);
NTSTATUS NTAPI CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);

// Raw frame length the still stream asks for.
constexpr ULONG STILL_RAW_FRAME_LENGTH = 0x900000;
