// The six settings kept in the registry, below the device's driver key.
#pragma once

#include "driver/device_context.h"

NTSTATUS InitializeSettings(PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context);
BOOLEAN LoadSettings(PDeviceContext Context);
NTSTATUS SaveSettings(PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context);
