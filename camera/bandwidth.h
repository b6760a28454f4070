// Bandwidth allocation: frame-interval check, window and geometry, alternate setting, raw frame length.
#pragma once

#include "driver/device_context.h"

NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PULONG RawFrameLength,
                                    PVOID Format);
NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

constexpr UCHAR CAM_IDLE_ALTERNATE_SETTING = 7;
