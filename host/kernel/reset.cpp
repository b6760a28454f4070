// Puts the kernel stand-in back in its starting state between tests. Pool blocks stay as they are so a
// test can still look for its leaks afterwards.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/kernel/kernel_internal.h"

namespace host {

void ResetKernel() {
    ClearAllFaults();
    detail::ResetClock();
    detail::ResetVerifier();
    detail::ResetProcessorState();
    detail::ResetDevicesAndIrps();
    detail::ResetHandles();
    detail::ResetFiles();
    detail::ResetRegistry();
    detail::ResetSystemRoutines();
    detail::ResetProcessor();
}

} // namespace host
