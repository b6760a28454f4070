// Each host thread's level. The verifier (verifier.cpp) checks every kernel call against it.
#include "host/kernel/kernel_host.h"

namespace host {
namespace {

thread_local KIRQL threadLevel = PASSIVE_LEVEL;

} // namespace

void SetThreadLevel(KIRQL Level) {
    threadLevel = Level;
}

KIRQL ThreadLevel() {
    return threadLevel;
}

} // namespace host
