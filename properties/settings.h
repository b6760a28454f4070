// The six settings kept in the registry, below the device's driver key.
#pragma once

#include "driver/device_context.h"
#include "platform/camera_properties.h"

// What every initialise-device starts from, before the stored settings are loaded: the published
// initial values, and the colour phase, which the driver does not publish (it follows colour enable).
constexpr ULONG SETTING_INITIAL_COLOR_PHASE = 3;

NTSTATUS InitializeSettings(PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context);
BOOLEAN LoadSettings(PDeviceContext Context);
NTSTATUS SaveSettings(PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context);

// Creates or opens each level of Path (levels separated by backslashes) below RootKey; on success
// *KeyHandle is the deepest key, which the caller closes.
NTSTATUS CreateKeyPath(HANDLE RootKey, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE KeyHandle);
// Reads a value of up to four bytes into the low bytes of *Data, whatever its registry type. ValueNameSize
// counts the name's bytes with its terminating zero; *DataLength is the data length expected on entry
// (it sizes the query buffer) and the length read on success.
NTSTATUS ReadSettingValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PULONG Data, PULONG DataLength);
NTSTATUS WriteSettingValue(HANDLE Key, PCWSTR ValueName, ULONG Value);
