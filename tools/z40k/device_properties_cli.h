// The camera's properties by the names the command line uses (`--set exposure=500`, `z40k props`),
// read and written through device property requests on an open filter, as a capture application would.
#pragma once

#include "platform/streamclass/client.h"

#include <string>
#include <vector>

enum class PropertySetKind { Camera, ProcAmp, Window };

struct NamedProperty {
    const char* Name;
    PropertySetKind Set;
    ULONG Id;
    bool CanGet;
    bool CanSet;
    const char* Description;
    // The values a camera-set property takes, as the description shows them: the driver keeps no range on
    // that set (it cuts the sensor's values to their register widths without a word), so the command line
    // refuses what lies outside. The proc-amp set's ranges the driver enforces itself.
    bool Bounded = false;
    long long Min = 0;
    long long Max = 0;
};

// Every property the command line knows, camera set first.
const std::vector<NamedProperty>& NamedProperties();
const NamedProperty* FindNamedProperty(const std::string& Name);

// A parsed NAME=VALUE. White balance also takes "auto".
struct PropertyAssignment {
    const NamedProperty* Property = nullptr;
    long long Value = 0;
    bool Automatic = false;
};
// Parses one NAME=VALUE; false with *Error set when the name is unknown, get-only, or the value is not a
// number or lies outside the property's range.
bool ParsePropertyAssignment(const std::string& Text, PropertyAssignment* Out, std::string* Error);

// Sends the set request. The camera set goes through the stream class's checks against the advertised
// set; the proc-amp and window sets are not advertised, so their requests go to the driver unchecked.
NTSTATUS ApplyProperty(streamclass::Filter& Filter, const PropertyAssignment& Assignment);

struct PropertyReading {
    NTSTATUS Status;
    long Value;
    ULONG Flags;        // proc-amp only
    ULONG Capabilities; // proc-amp only
};
PropertyReading ReadProperty(streamclass::Filter& Filter, const NamedProperty& Property);

// "STATUS_INVALID_PARAMETER", ... or "0xC0000123" for a status without a name here.
std::string StatusName(NTSTATUS Status);
// A status as 0x and eight upper-case hex digits.
std::string StatusHex(NTSTATUS Status);
