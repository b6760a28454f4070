// USB configuration and bring-up: pipe roles and transfer sizes, the interface copy, the ready poll.
#pragma once

#include "driver/device_context.h"

NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                            PUSBD_INTERFACE_INFORMATION Interface,
                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PLONG DataPipeIndex,
                            PLONG SyncPipeIndex);
NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                              PUSBD_INTERFACE_INFORMATION Interface,
                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeConfigListSize,
                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

constexpr ULONG CAM_DATA_PIPE = 2;
constexpr ULONG CAM_SYNC_PIPE = 0;
