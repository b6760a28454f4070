// Persistent settings: six values in the subkey "Z40K_Settings" of the device's driver key, given their
// initial values and read back at initialise-device, written back when capture stops. Nothing else is
// read from the registry.
#include "properties/settings.h"

#include "platform/kernel.h"
#include "driver/relaxed.h"

namespace {

// The driver key is opened for read-control only; the settings subkey below it gets full access.
constexpr ACCESS_MASK DRIVER_KEY_ACCESS = READ_CONTROL;
constexpr ULONG SETTINGS_POOL_TAG = DRIVER_POOL_TAG;
constexpr ULONG SAVE_DONE = 1; // the save's success result, a success status but not STATUS_SUCCESS

// Room for KEY_VALUE_FULL_INFORMATION's fixed part (20 bytes) and the alignment of the data after the
// name, added to the name and the expected data length.
constexpr ULONG QUERY_BUFFER_OVERHEAD = 24;

const WCHAR SETTINGS_KEY_NAME[] = u"Z40K_Settings";

enum SettingField : UCHAR {
    FieldColorEnable,
    FieldAutoWhiteBalance,
    FieldExposureTime,
    FieldGlobalGain,
    FieldHorizonMirror,
    FieldVerticalFlip,
};

struct SettingValue {
    PCWSTR Name;
    ULONG NameSize; // bytes, with the terminating zero
    SettingField Field;
};

#define SETTING(name, field)                                                                                 \
    { name, sizeof(name), field }

// In the order they are read and written.
constexpr SettingValue SETTING_VALUES[] = {
    SETTING(u"Color Enable", FieldColorEnable),     SETTING(u"Auto White Balance", FieldAutoWhiteBalance),
    SETTING(u"Exposure Time", FieldExposureTime),   SETTING(u"Global Gain", FieldGlobalGain),
    SETTING(u"Horizon Mirror", FieldHorizonMirror), SETTING(u"Vertical Flip", FieldVerticalFlip),
};

#undef SETTING

// Booleans take any non-zero value as true; the 16-bit fields keep the low 16 bits.
void SetField(PDeviceContext Context, SettingField Field, ULONG Value) {
    BOOLEAN flag = Value != 0 ? TRUE : FALSE;
    switch (Field) {
    case FieldColorEnable:
        WriteRelaxed(Context->ColorEnable, flag);
        break;
    case FieldAutoWhiteBalance:
        WriteRelaxed(Context->AutoWhiteBalance, flag);
        break;
    case FieldExposureTime:
        WriteRelaxed(Context->ExposureTime, static_cast<USHORT>(Value & 0xFFFF));
        break;
    case FieldGlobalGain:
        WriteRelaxed(Context->GlobalGain, static_cast<USHORT>(Value & 0xFFFF));
        break;
    case FieldHorizonMirror:
        WriteRelaxed(Context->HorizonMirror, flag);
        break;
    case FieldVerticalFlip:
        WriteRelaxed(Context->VerticalFlip, flag);
        break;
    }
}

// Booleans are stored as 0 or 1 whatever byte the field holds; 16-bit fields zero-extended.
ULONG FieldValue(PDeviceContext Context, SettingField Field) {
    switch (Field) {
    case FieldColorEnable:
        return ReadRelaxed(Context->ColorEnable) != 0 ? 1 : 0;
    case FieldAutoWhiteBalance:
        return ReadRelaxed(Context->AutoWhiteBalance) != 0 ? 1 : 0;
    case FieldExposureTime:
        return ReadRelaxed(Context->ExposureTime);
    case FieldGlobalGain:
        return ReadRelaxed(Context->GlobalGain);
    case FieldHorizonMirror:
        return ReadRelaxed(Context->HorizonMirror) != 0 ? 1 : 0;
    case FieldVerticalFlip:
        return ReadRelaxed(Context->VerticalFlip) != 0 ? 1 : 0;
    }
    return 0;
}

// Opens the device's driver key and creates or opens the settings key below it. On failure nothing is
// left open; on success the caller closes both with CloseSettingsKey.
NTSTATUS OpenSettingsKey(PDeviceContext Context, PHANDLE DriverKey, PHANDLE SettingsKey) {
    NTSTATUS status = IoOpenDeviceRegistryKey(Context->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                              DRIVER_KEY_ACCESS, DriverKey);
    if (!NT_SUCCESS(status))
        return status;
    status = CreateKeyPath(*DriverKey, KEY_ALL_ACCESS, SETTINGS_KEY_NAME, SettingsKey);
    if (!NT_SUCCESS(status))
        ZwClose(*DriverKey);
    return status;
}

// The settings key first, then the driver key it hangs off.
VOID CloseSettingsKey(HANDLE DriverKey, HANDLE SettingsKey) {
    ZwClose(SettingsKey);
    ZwClose(DriverKey);
}

NTSTATUS CreateOneKey(HANDLE RootKey, ACCESS_MASK DesiredAccess, PCWSTR Name, ULONG NameChars,
                      PHANDLE KeyHandle) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(Name);
    name.Length = static_cast<USHORT>(NameChars * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, RootKey, nullptr);
    return ZwCreateKey(KeyHandle, DesiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

} // namespace

NTSTATUS CreateKeyPath(HANDLE RootKey, ACCESS_MASK DesiredAccess, PCWSTR Path, PHANDLE KeyHandle) {
    ULONG length = 0;
    while (Path[length] != 0)
        ++length;
    // Every level is named from RootKey, so each partial path is opened relative to it; the first character
    // is never a separator.
    for (ULONG i = 1; i < length; ++i) {
        if (Path[i] != u'\\')
            continue;
        HANDLE level;
        NTSTATUS status = CreateOneKey(RootKey, DesiredAccess, Path, i, &level);
        if (!NT_SUCCESS(status))
            return status;
        ZwClose(level);
    }
    return CreateOneKey(RootKey, DesiredAccess, Path, length, KeyHandle);
}

NTSTATUS ReadSettingValue(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PULONG Data, PULONG DataLength) {
    if (ValueNameSize < sizeof(WCHAR) || ValueNameSize > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    ULONG bufferSize = QUERY_BUFFER_OVERHEAD + ValueNameSize + *DataLength;
    PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bufferSize, SETTINGS_POOL_TAG));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(ValueName);
    name.Length = static_cast<USHORT>(ValueNameSize - sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>(ValueNameSize);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, buffer, bufferSize, &resultLength);
    if (NT_SUCCESS(status)) {
        const KEY_VALUE_FULL_INFORMATION* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
        ULONG offset = info->DataOffset;
        ULONG length = info->DataLength;
        if (length > sizeof(*Data)) {
            // More than the 4-byte variable holds: such a value is not one of ours, so it is treated as
            // unreadable rather than cut, and its field keeps its value.
            status = STATUS_BUFFER_OVERFLOW;
        } else if (offset > bufferSize || length > bufferSize - offset) {
            status = STATUS_UNSUCCESSFUL; // an answer that points outside our buffer is not trusted
        } else {
            PUCHAR target = reinterpret_cast<PUCHAR>(Data);
            for (ULONG i = 0; i < length; ++i)
                target[i] = buffer[offset + i];
            *DataLength = length;
        }
    }
    ExFreePool(buffer);
    return status;
}

NTSTATUS WriteSettingValue(HANDLE Key, PCWSTR ValueName, ULONG Value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    return ZwSetValueKey(Key, &name, 0, REG_DWORD, &Value, sizeof(Value));
}

BOOLEAN LoadSettings(PDeviceContext Context) {
    HANDLE driverKey;
    HANDLE settingsKey;
    if (!NT_SUCCESS(OpenSettingsKey(Context, &driverKey, &settingsKey)))
        return FALSE;
    for (const SettingValue& setting : SETTING_VALUES) {
        // Fresh for every value: a short value must not inherit the upper bytes of the previous one, and
        // its length must not shrink the buffer of the next read.
        ULONG value = 0;
        ULONG length = sizeof(value);
        if (NT_SUCCESS(ReadSettingValue(settingsKey, setting.Name, setting.NameSize, &value, &length)))
            SetField(Context, setting.Field, value);
    }
    CloseSettingsKey(driverKey, settingsKey);
    return TRUE;
}

NTSTATUS InitializeSettings(PDEVICE_OBJECT, PDeviceContext Context) {
    WriteRelaxed(Context->ColorEnable, SETTING_INITIAL_COLOR_ENABLE);
    WriteRelaxed(Context->AutoWhiteBalance, SETTING_INITIAL_AUTO_WHITE_BALANCE);
    WriteRelaxed(Context->RedGain, SETTING_INITIAL_CHANNEL_GAIN);
    WriteRelaxed(Context->GreenGain, SETTING_INITIAL_CHANNEL_GAIN);
    WriteRelaxed(Context->BlueGain, SETTING_INITIAL_CHANNEL_GAIN);
    WriteRelaxed(Context->ExposureTime, SETTING_INITIAL_EXPOSURE_TIME);
    WriteRelaxed(Context->GlobalGain, SETTING_INITIAL_GLOBAL_GAIN);
    WriteRelaxed(Context->HorizonMirror, FALSE);
    WriteRelaxed(Context->VerticalFlip, FALSE);
    WriteRelaxed(Context->ColorPhase, SETTING_INITIAL_COLOR_PHASE);
    LoadSettings(Context);
    return STATUS_SUCCESS;
}

NTSTATUS SaveSettings(PDEVICE_OBJECT, PDeviceContext Context) {
    HANDLE driverKey;
    HANDLE settingsKey;
    NTSTATUS status = OpenSettingsKey(Context, &driverKey, &settingsKey);
    if (!NT_SUCCESS(status))
        return status;
    // Write results are not reported: a value that could not be written keeps its old content and the
    // others are still written.
    for (const SettingValue& setting : SETTING_VALUES)
        WriteSettingValue(settingsKey, setting.Name, FieldValue(Context, setting.Field));
    CloseSettingsKey(driverKey, settingsKey);
    return SAVE_DONE;
}
