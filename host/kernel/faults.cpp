#include "host/kernel/faults.h"

#include "host/kernel/kernel_host.h"

#include <cstring>

#include <map>
#include <mutex>

namespace host {
namespace {

struct FaultState {
    FaultRule Rule;
    bool Armed = false;
    unsigned long long Calls = 0;
};

std::mutex& FaultMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, FaultState>& Faults() {
    static std::map<std::string, FaultState> faults;
    return faults;
}

} // namespace

void InjectFault(const std::string& Name, const FaultRule& Rule) {
    std::lock_guard<std::mutex> lock(FaultMutex());
    FaultState& state = Faults()[Name];
    state.Rule = Rule;
    state.Armed = true;
    state.Calls = 0;
}

void ClearFault(const std::string& Name) {
    std::lock_guard<std::mutex> lock(FaultMutex());
    Faults().erase(Name);
}

void ClearAllFaults() {
    std::lock_guard<std::mutex> lock(FaultMutex());
    Faults().clear();
}

bool ShouldFail(const std::string& Name, NTSTATUS* Status) {
    std::lock_guard<std::mutex> lock(FaultMutex());
    FaultState& state = Faults()[Name];
    unsigned long long call = ++state.Calls;
    if (!state.Armed || call < state.Rule.FirstCall)
        return false;
    if (state.Rule.Count != 0 && call >= state.Rule.FirstCall + state.Rule.Count)
        return false;
    if (Status)
        *Status = state.Rule.Status;
    return true;
}

unsigned long long CallCount(const std::string& Name) {
    std::lock_guard<std::mutex> lock(FaultMutex());
    auto it = Faults().find(Name);
    return it == Faults().end() ? 0 : it->second.Calls;
}

} // namespace host
