// The driver's front door: registration with the camera class library and the adapter request routine.
#pragma once

#include "driver/device_context.h"

// The image's entry point, called by name and __stdcall by the system that loads the driver.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Every adapter-level SRB for the camera arrives here.
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb);
