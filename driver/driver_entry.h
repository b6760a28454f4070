// The driver's front door: registration with the camera class library and the adapter request routine.
#pragma once

#include "driver/device_context.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Every adapter-level SRB for the camera arrives here.
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb);
