#include "tools/z40k/device_properties_cli.h"

#include "properties/device_properties.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const GUID& SetGuid(PropertySetKind Kind) {
    switch (Kind) {
    case PropertySetKind::Camera:
        return CameraPropertySetGuid;
    case PropertySetKind::ProcAmp:
        return PROPSETID_VIDCAP_VIDEOPROCAMP;
    case PropertySetKind::Window:
        break;
    }
    static const GUID window = {0x3DC2E820, 0x4713, 0x11D2, {0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05}};
    return window;
}

// One request. As applications do, the whole record (identifier first) is both the property and the
// data buffer, so both meet the set's minimum sizes.
template <typename Record>
NTSTATUS Request(streamclass::Filter& Filter, const NamedProperty& Property, bool Set, Record* Data) {
    Data->Property.Set = SetGuid(Property.Set);
    Data->Property.Id = Property.Id;
    Data->Property.Flags = Set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
    Record property = *Data;
    ULONG returned = 0;
    bool advertised = Property.Set == PropertySetKind::Camera;
    return Filter.DeviceProperty(Set, &property, sizeof(property), Data, sizeof(*Data), &returned,
                                 advertised);
}

} // namespace

const std::vector<NamedProperty>& NamedProperties() {
    static const std::vector<NamedProperty> table = {
        {"device-info-1", PropertySetKind::Camera, 1, true, false, "device information word 1"},
        {"device-info-2", PropertySetKind::Camera, 2, true, false, "device information word 2"},
        {"exposure-max", PropertySetKind::Camera, 3, true, false, "largest exposure the sensor takes"},
        {"gain-max", PropertySetKind::Camera, 4, true, false, "largest gain the sensor takes"},
        {"color", PropertySetKind::Camera, 5, true, true, "colour output (1) or grey (0)", true, 0, 1},
        {"awb", PropertySetKind::Camera, 6, true, true, "automatic white balance per frame, 0 or 1", true, 0,
         1},
        {"exposure", PropertySetKind::Camera, 7, true, true, "sensor exposure time, 0..2047", true, 0, 2047},
        {"gain", PropertySetKind::Camera, 8, true, true, "sensor global gain, 0..1023", true, 0, 1023},
        {"red-gain", PropertySetKind::Camera, 9, true, true, "red channel gain, 128 = 1.0"},
        {"green-gain", PropertySetKind::Camera, 10, true, true, "green channel gain, 128 = 1.0"},
        {"blue-gain", PropertySetKind::Camera, 11, true, true, "blue channel gain, 128 = 1.0"},
        {"camera-command", PropertySetKind::Camera, 14, false, true, "0 sends the camera its block command"},
        {"brightness", PropertySetKind::ProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, true, true, "0..108"},
        {"contrast", PropertySetKind::ProcAmp, KSPROPERTY_VIDEOPROCAMP_CONTRAST, true, true, "0..108"},
        {"saturation", PropertySetKind::ProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION, true, true, "0..108"},
        {"sharpness", PropertySetKind::ProcAmp, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, true, true, "0..108"},
        {"color-enable", PropertySetKind::ProcAmp, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, true, true,
         "proc-amp colour enable, 0 or 1"},
        {"white-balance", PropertySetKind::ProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true, true,
         "manual 0..372, or auto"},
        {"window-param", PropertySetKind::Window, 0, true, true, "window value 0"},
        {"window-flag-1", PropertySetKind::Window, 1, true, true, "window flag 1"},
        {"window-flag-2", PropertySetKind::Window, 2, true, true, "window flag 2"},
        {"window-x", PropertySetKind::Window, 3, true, false, "sensor window left"},
        {"window-y", PropertySetKind::Window, 4, true, false, "sensor window top"},
        {"window-width", PropertySetKind::Window, 5, true, false, "sensor window width"},
        {"window-height", PropertySetKind::Window, 6, true, false, "sensor window height"},
        {"color-phase", PropertySetKind::Window, 8, true, true, "colour filter phase reported to clients"},
    };
    return table;
}

const NamedProperty* FindNamedProperty(const std::string& Name) {
    for (const NamedProperty& p : NamedProperties()) {
        if (Name == p.Name)
            return &p;
    }
    return nullptr;
}

bool ParsePropertyAssignment(const std::string& Text, PropertyAssignment* Out, std::string* Error) {
    size_t eq = Text.find('=');
    if (eq == std::string::npos) {
        *Error = "expected NAME=VALUE, got '" + Text + "'";
        return false;
    }
    std::string name = Text.substr(0, eq);
    std::string value = Text.substr(eq + 1);
    const NamedProperty* property = FindNamedProperty(name);
    if (!property) {
        *Error = "unknown property '" + name + "'";
        return false;
    }
    if (!property->CanSet) {
        *Error = "property '" + name + "' cannot be set";
        return false;
    }
    PropertyAssignment result;
    result.Property = property;
    if (value == "auto" && property->Set == PropertySetKind::ProcAmp &&
        property->Id == KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE) {
        result.Automatic = true;
    } else {
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || errno == ERANGE || v < -2147483648LL || v > 4294967295LL) {
            *Error = "property '" + name + "' needs a 32-bit number, got '" + value + "'";
            return false;
        }
        result.Value = v;
        if (property->Bounded && (v < property->Min || v > property->Max)) {
            *Error = "property '" + name + "' takes " + std::to_string(property->Min) + ".." +
                     std::to_string(property->Max) + ", got " + value;
            return false;
        }
    }
    *Out = result;
    return true;
}

NTSTATUS ApplyProperty(streamclass::Filter& Filter, const PropertyAssignment& Assignment) {
    const NamedProperty& property = *Assignment.Property;
    LONG value = static_cast<LONG>(static_cast<ULONG>(Assignment.Value));
    if (property.Set == PropertySetKind::ProcAmp) {
        KSPROPERTY_VIDEOPROCAMP_S record = {};
        record.Value = value;
        record.Flags =
            Assignment.Automatic ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        return Request(Filter, property, true, &record);
    }
    CameraPropertyRecord record = {};
    record.Value = value;
    return Request(Filter, property, true, &record);
}

PropertyReading ReadProperty(streamclass::Filter& Filter, const NamedProperty& Property) {
    PropertyReading reading = {};
    if (Property.Set == PropertySetKind::ProcAmp) {
        KSPROPERTY_VIDEOPROCAMP_S record = {};
        reading.Status = Request(Filter, Property, false, &record);
        reading.Value = record.Value;
        reading.Flags = record.Flags;
        reading.Capabilities = record.Capabilities;
        return reading;
    }
    CameraPropertyRecord record = {};
    reading.Status = Request(Filter, Property, false, &record);
    reading.Value = record.Value;
    return reading;
}

std::string StatusName(NTSTATUS Status) {
    struct Named {
        NTSTATUS Status;
        const char* Name;
    };
    static const Named names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
        {streamclass::STATUS_PROPERTY_NOT_FOUND, "STATUS_NOT_FOUND"},
    };
    for (const Named& n : names) {
        if (n.Status == Status)
            return n.Name;
    }
    return StatusHex(Status);
}

std::string StatusHex(NTSTATUS Status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(Status));
    return text;
}
