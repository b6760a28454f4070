// The camera's properties as the command line and the live view know them (`--set exposure=500`,
// `z40k props`, the controls of `z40k serve`), read and written through device property requests on an
// open filter, as a capture application would. Which properties there are, their names, access, ranges
// and initial values come from the driver: the property interface it publishes (platform/
// camera_properties.h) and the answers of its maximum properties. Nothing here lists property IDs of
// its own.
#pragma once

#include "host/rig/capture_pin.h"
#include "host/streamclass/client.h"
#include "platform/camera_properties.h"

#include <nlohmann/json.hpp>

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
    PropertyControl Control;
    bool HasRange;
    LONG Minimum;
    LONG Maximum;      // before the device is asked (see MaximumFrom)
    ULONG MaximumFrom; // a camera-set property whose get answers the maximum in force, or 0
    bool HasDefault;
    LONG Default;
    bool TakesAuto;    // the proc-amp automatic flag ("auto")
    bool RangeChecked; // the driver refuses values outside the range itself
};

// Every property the driver publishes, camera set first. The camera set's access is the advertised
// item table's; a published camera property the table does not advertise is left out.
const std::vector<NamedProperty>& NamedProperties();
const NamedProperty* FindNamedProperty(const std::string& Name);

// A parsed NAME=VALUE. White balance also takes "auto".
struct PropertyAssignment {
    const NamedProperty* Property = nullptr;
    long long Value = 0;
    bool Automatic = false;
};
// Parses one NAME=VALUE; false with *Error set (what is wrong, with the property's range, or the name
// nearest to an unknown one) when the name is unknown or get-only or the value is not one the property
// takes.
bool ParsePropertyAssignment(const std::string& Text, PropertyAssignment* Out, std::string* Error);
// Parses every NAME=VALUE of a command's --set options in order, appending to *Out; throws the usage
// error of the first bad one.
void ParsePropertyAssignments(const std::vector<std::string>& Texts, std::vector<PropertyAssignment>* Out);
// The names of every property, or of those that can be set.
std::vector<std::string> PropertyNames(bool Settable);
// "exposure takes 0..2047", with the largest value Maximum ("or auto" where it applies).
std::string RangeOf(const NamedProperty& Property, LONG Maximum);
// Why Value cannot be sent for the property ("is out of range; exposure takes 0..2047"), or empty when
// it can. A value outside a range the driver checks itself is sent, so that its refusal is the answer.
std::string ValueProblem(const NamedProperty& Property, LONG Maximum, long long Value);

// Sends the set request. The camera set goes through the stream class's checks against the advertised
// set; the proc-amp and window sets are not advertised, so their requests go to the driver unchecked.
NTSTATUS ApplyProperty(streamclass::Filter& Filter, const PropertyAssignment& Assignment);

// What an application sets before its pin runs: grey output when Mono, then every assignment in order.
// False at the first request the driver refuses, with *Error ("WHAT: WHY") naming it, the status and the
// property's range.
bool ApplyStartProperties(streamclass::Filter& Filter, bool Mono, const std::vector<PropertyAssignment>& Assignments,
                          std::string* Error);

struct PropertyReading {
    NTSTATUS Status;
    long Value;
    ULONG Flags;        // proc-amp only
    ULONG Capabilities; // proc-amp only
};
PropertyReading ReadProperty(streamclass::Filter& Filter, const NamedProperty& Property);

// The largest value a control offers: the answer of its maximum property when it has one and the device
// answers, else the published maximum.
LONG PropertyMaximum(streamclass::Filter& Filter, const NamedProperty& Property);
// Whether Value lies in the property's range (any 32-bit value for a property without one).
bool PropertyValueInRange(const NamedProperty& Property, LONG Maximum, long long Value);

// One property as `z40k props --json` prints it: name, set, id, access, control, range, default,
// description, and the current value (or the status of a failed get).
nlohmann::json PropertyJson(streamclass::Filter& Filter, const NamedProperty& Property);
// All of them, in NamedProperties order.
nlohmann::json PropertiesDocument(streamclass::Filter& Filter);

// "STATUS_INVALID_PARAMETER", ... or "0xC0000123" for a status without a name here.
std::string StatusName(NTSTATUS Status);
// A status as 0x and eight upper-case hex digits.
std::string StatusHex(NTSTATUS Status);
// Why the capture pin could not be opened, with the status by name where there is one.
std::string PinFailureMessage(const rig::PinOutcome& Outcome);
