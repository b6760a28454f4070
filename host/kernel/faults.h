// Fault injection for the host stand-ins: any named call can be told to fail on its Nth use, on every
// use from the Nth on, or for a number of uses, with a chosen status.
#pragma once

#include "platform/nt_types.h"

#include <string>

namespace host {

struct FaultRule {
    unsigned long long FirstCall = 1; // 1-based count of calls of that name, from when the rule was set
    unsigned long long Count = 1;     // how many calls fail from FirstCall on; 0 = all later calls
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
};

// Arm a rule for the call named Name ("ExAllocatePoolWithTag", "ZwCreateKey", "vendor:3", ...).
void InjectFault(const std::string& Name, const FaultRule& Rule);
void ClearFault(const std::string& Name);
void ClearAllFaults();

// Called by a stand-in at every use of Name: counts the call and returns true with *Status set when the
// call is to fail.
bool ShouldFail(const std::string& Name, NTSTATUS* Status);

// Calls of Name counted since its rule was set (or since the last ClearAllFaults).
unsigned long long CallCount(const std::string& Name);

} // namespace host
