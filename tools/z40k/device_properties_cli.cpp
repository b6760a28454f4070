#include "tools/z40k/device_properties_cli.h"

#include "tools/z40k/messages.h"

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
    return WindowPropertySetGuid;
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

PropertySetKind SetKind(PropertySetId Set) {
    switch (Set) {
    case PropertySetCamera:
        break;
    case PropertySetProcAmp:
        return PropertySetKind::ProcAmp;
    case PropertySetWindow:
        return PropertySetKind::Window;
    }
    return PropertySetKind::Camera;
}

const char* SetName(PropertySetKind Kind) {
    switch (Kind) {
    case PropertySetKind::Camera:
        return "camera";
    case PropertySetKind::ProcAmp:
        return "proc-amp";
    case PropertySetKind::Window:
        return "window";
    }
    return "?";
}

const char* ControlName(PropertyControl Control) {
    switch (Control) {
    case PropertyControlNumber:
        return "number";
    case PropertyControlSwitch:
        return "switch";
    case PropertyControlCommand:
        return "command";
    }
    return "?";
}

} // namespace

const std::vector<NamedProperty>& NamedProperties() {
    static const std::vector<NamedProperty> table = [] {
        std::vector<NamedProperty> all;
        // The published access of a camera-set property is what the advertised item table allows, which
        // is all the stream class lets through.
        for (const PublishedProperty& p : PublishedProperties)
            all.push_back({p.Name, SetKind(p.Set), p.Id, (p.Access & PropertyAccessGet) != 0,
                           (p.Access & PropertyAccessSet) != 0, p.Description, p.Control,
                           (p.Flags & PropertyHasRange) != 0, p.Minimum, p.Maximum, p.MaximumFrom,
                           (p.Flags & PropertyHasDefault) != 0, p.Default, (p.Flags & PropertyTakesAuto) != 0,
                           (p.Flags & PropertyRangeChecked) != 0});
        return all;
    }();
    return table;
}

const NamedProperty* FindNamedProperty(const std::string& Name) {
    for (const NamedProperty& p : NamedProperties()) {
        if (Name == p.Name)
            return &p;
    }
    return nullptr;
}

std::vector<std::string> PropertyNames(bool Settable) {
    std::vector<std::string> names;
    for (const NamedProperty& p : NamedProperties()) {
        if (!Settable || p.CanSet)
            names.push_back(p.Name);
    }
    return names;
}

std::string RangeOf(const NamedProperty& Property, LONG Maximum) {
    std::string range = std::string(Property.Name) + " takes ";
    if (!Property.HasRange)
        range += "any 32-bit value";
    else if (Property.Minimum == Maximum) // a command: the one value that acts
        range += "only " + std::to_string(Maximum);
    else
        range += z40k::RangeText(Property.Minimum, Maximum);
    return Property.TakesAuto ? range + " or auto" : range;
}

std::string ValueProblem(const NamedProperty& Property, LONG Maximum, long long Value) {
    if (Value < -2147483648LL || Value > 4294967295LL)
        return "is not a 32-bit number; " + RangeOf(Property, Maximum);
    // The driver cuts the camera set's values to their register widths without a word (exposure 5000
    // would become 904, and be saved), and the window set's to 16 bits when they are read: such a value
    // is refused here. The ranges the driver checks itself are left to it, so its status reaches the
    // user.
    if (!Property.RangeChecked && !PropertyValueInRange(Property, Maximum, Value))
        return "is out of range; " + RangeOf(Property, Maximum);
    return std::string();
}

bool ParsePropertyAssignment(const std::string& Text, PropertyAssignment* Out, std::string* Error) {
    const size_t eq = Text.find('=');
    if (eq == std::string::npos) {
        *Error = Text + " is not NAME=VALUE";
        return false;
    }
    const std::string name = Text.substr(0, eq);
    const std::string value = Text.substr(eq + 1);
    const NamedProperty* property = FindNamedProperty(name);
    if (property == nullptr) {
        *Error = "unknown property " + name + z40k::Suggestion(name, PropertyNames(true));
        return false;
    }
    if (!property->CanSet) {
        *Error = name + " is read-only";
        return false;
    }
    PropertyAssignment result;
    result.Property = property;
    if (value == "auto") {
        if (!property->TakesAuto) {
            *Error = name + " has no automatic mode; " + RangeOf(*property, property->Maximum);
            return false;
        }
        result.Automatic = true;
        *Out = result;
        return true;
    }
    errno = 0;
    char* end = nullptr;
    result.Value = std::strtoll(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0' || errno == ERANGE) {
        *Error = Text + " is not a whole number; " + RangeOf(*property, property->Maximum);
        return false;
    }
    const std::string problem = ValueProblem(*property, property->Maximum, result.Value);
    if (!problem.empty()) {
        *Error = Text + " " + problem;
        return false;
    }
    *Out = result;
    return true;
}

void ParsePropertyAssignments(const std::vector<std::string>& Texts, std::vector<PropertyAssignment>* Out) {
    for (const std::string& text : Texts) {
        PropertyAssignment assignment;
        std::string error;
        if (!ParsePropertyAssignment(text, &assignment, &error))
            throw z40k::UsageError("--set", error);
        Out->push_back(assignment);
    }
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

LONG PropertyMaximum(streamclass::Filter& Filter, const NamedProperty& Property) {
    if (Property.MaximumFrom != 0) {
        for (const NamedProperty& source : NamedProperties()) {
            if (source.Set != PropertySetKind::Camera || source.Id != Property.MaximumFrom || !source.CanGet)
                continue;
            PropertyReading reading = ReadProperty(Filter, source);
            if (NT_SUCCESS(reading.Status) && reading.Value >= Property.Minimum)
                return reading.Value;
        }
    }
    return Property.Maximum;
}

bool PropertyValueInRange(const NamedProperty& Property, LONG Maximum, long long Value) {
    if (!Property.HasRange)
        return Value >= -2147483648LL && Value <= 4294967295LL;
    return Value >= Property.Minimum && Value <= Maximum;
}

nlohmann::json PropertyJson(streamclass::Filter& Filter, const NamedProperty& Property) {
    nlohmann::json entry = {
        {"name", Property.Name},
        {"set", SetName(Property.Set)},
        {"id", Property.Id},
        {"access", std::string(Property.CanGet ? "r" : "") + (Property.CanSet ? "w" : "")},
        {"settable", Property.CanSet},
        {"control", ControlName(Property.Control)},
        {"description", Property.Description}};
    if (Property.HasRange) {
        entry["minimum"] = Property.Minimum;
        entry["maximum"] = PropertyMaximum(Filter, Property);
        entry["step"] = 1;
    }
    if (Property.HasDefault)
        entry["default"] = Property.Default;
    if (Property.TakesAuto)
        entry["auto"] = true;
    if (!Property.CanGet)
        return entry;
    PropertyReading reading = ReadProperty(Filter, Property);
    if (!NT_SUCCESS(reading.Status)) {
        entry["status"] = StatusName(reading.Status);
        return entry;
    }
    entry["value"] = reading.Value;
    if (Property.Set == PropertySetKind::ProcAmp) {
        entry["flags"] = reading.Flags;
        entry["capabilities"] = reading.Capabilities;
    }
    return entry;
}

nlohmann::json PropertiesDocument(streamclass::Filter& Filter) {
    nlohmann::json all = nlohmann::json::array();
    for (const NamedProperty& property : NamedProperties())
        all.push_back(PropertyJson(Filter, property));
    return all;
}

std::string StatusName(NTSTATUS Status) {
    struct Named {
        NTSTATUS Status;
        const char* Name;
    };
    // Every status the platform headers name, and those the host's file calls answer with.
    static const Named names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_NO_MORE_ENTRIES, "STATUS_NO_MORE_ENTRIES"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_INVALID, "STATUS_OBJECT_NAME_INVALID"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {static_cast<NTSTATUS>(0xC0000035), "STATUS_OBJECT_NAME_COLLISION"},
        {STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {static_cast<NTSTATUS>(0xC000007F), "STATUS_DISK_FULL"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {static_cast<NTSTATUS>(0xC00000BA), "STATUS_FILE_IS_A_DIRECTORY"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
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

std::string PinFailureMessage(const rig::PinOutcome& Outcome) {
    std::string message = rig::PinFailureText(Outcome.Failure);
    if (Outcome.HasStatus())
        message += ": " + StatusName(Outcome.Status);
    return message;
}

bool ApplyStartProperties(streamclass::Filter& Filter, bool Mono, const std::vector<PropertyAssignment>& Assignments,
                          std::string* Error) {
    if (Mono) {
        PropertyAssignment grey;
        grey.Property = FindNamedProperty("color");
        grey.Value = 0;
        const NTSTATUS status = ApplyProperty(Filter, grey);
        if (!NT_SUCCESS(status)) {
            *Error = "--mono: the camera refused grey output: " + StatusName(status);
            return false;
        }
    }
    for (const PropertyAssignment& assignment : Assignments) {
        const NTSTATUS status = ApplyProperty(Filter, assignment);
        if (NT_SUCCESS(status))
            continue;
        const NamedProperty& property = *assignment.Property;
        const std::string value = assignment.Automatic ? "auto" : std::to_string(assignment.Value);
        *Error = "--set " + std::string(property.Name) + "=" + value +
                 ": the camera refused it: " + StatusName(status) + " (" +
                 RangeOf(property, PropertyMaximum(Filter, property)) + ")";
        return false;
    }
    return true;
}
