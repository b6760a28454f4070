// Each host thread's level, and the calls made above passive level that the real kernel forbids there
// (a wait at dispatch level hangs or crashes the machine; Driver Verifier reports it at once).
#include "host/kernel/kernel_host.h"
#include "host/kernel/kernel_internal.h"

#include <mutex>

namespace host {
namespace {

thread_local KIRQL threadLevel = PASSIVE_LEVEL;

struct LevelState {
    std::mutex Mutex;
    std::vector<std::string> Violations;
};

LevelState& Levels() {
    static LevelState* state = new LevelState;
    return *state;
}

} // namespace

namespace detail {

void ResetLevels() {
    ClearLevelViolations();
}

} // namespace detail

void SetThreadLevel(KIRQL Level) {
    threadLevel = Level;
}

KIRQL ThreadLevel() {
    return threadLevel;
}

void RequirePassiveLevel(const char* Call) {
    const KIRQL level = threadLevel;
    if (level == PASSIVE_LEVEL)
        return;
    LevelState& state = Levels();
    std::lock_guard<std::mutex> lock(state.Mutex);
    state.Violations.push_back(std::string(Call) + " called at " +
                               (level >= DISPATCH_LEVEL ? "DISPATCH_LEVEL" : "APC_LEVEL"));
}

std::vector<std::string> LevelViolations() {
    LevelState& state = Levels();
    std::lock_guard<std::mutex> lock(state.Mutex);
    return state.Violations;
}

void ClearLevelViolations() {
    LevelState& state = Levels();
    std::lock_guard<std::mutex> lock(state.Mutex);
    state.Violations.clear();
}

} // namespace host
