// The settings load and save over stored values of any type and length (and names in any case), with one
// registry call or allocation failing: the load takes each stored value only as it can be read, the
// save writes the six settings as REG_DWORD or reports failure, and neither leaves a handle open, a pool
// block behind or a guard damaged.
#include "driver/device_context.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "properties/settings.h"
#include "tests/fuzz/fuzz_support.h"

#include <string>

namespace {

const char* const NAMES[] = {"Color Enable", "Auto White Balance", "Exposure Time",
                             "Global Gain",  "Horizon Mirror",     "Vertical Flip",
                             "COLOR ENABLE", "exposure time",      "Other"};
const char* const CALLS[] = {"IoOpenDeviceRegistryKey", "ZwCreateKey", "ZwQueryValueKey",
                             "ZwSetValueKey",           "ZwClose",     "ExAllocatePoolWithTag"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    fuzz::Input in(Data, Size);
    host::ResetKernel();
    host::ClearAllFaults();
    const size_t poolBefore = host::PoolOutstanding().size();
    DEVICE_OBJECT pdo;
    std::memset(&pdo, 0, sizeof pdo);
    host::RegistrySetDevicePdo(&pdo);
    const std::string key = host::DriverKeyPath() + "\\Z40K_Settings";

    const uint8_t fault = in.Byte();
    const unsigned values = in.Byte() % 8;
    for (unsigned i = 0; i < values; ++i) {
        const std::string name = NAMES[in.Byte() % (sizeof NAMES / sizeof NAMES[0])];
        const ULONG type = in.Byte() % 12;
        host::RegistrySetValue(key, name, type, in.Bytes(in.Byte() % 12));
    }
    const std::string failing =
        (fault & 0x80) ? CALLS[(fault >> 3 & 7) % (sizeof CALLS / sizeof CALLS[0])] : "";
    if (!failing.empty()) {
        host::FaultRule rule;
        rule.FirstCall = 1 + (fault & 7);
        rule.Status = STATUS_INSUFFICIENT_RESOURCES;
        host::InjectFault(failing.c_str(), rule);
    }

    DeviceContext context;
    std::memset(&context, 0, sizeof context);
    context.PhysicalDeviceObject = &pdo;
    const NTSTATUS initialized = InitializeSettings(nullptr, &context);
    // Whatever was stored, the settings the driver runs with are values it can act on.
    FUZZ_CHECK(context.ColorEnable <= 1 && context.AutoWhiteBalance <= 1);
    FUZZ_CHECK(context.HorizonMirror <= 1 && context.VerticalFlip <= 1);
    if (NT_SUCCESS(initialized)) {
        const NTSTATUS saved = SaveSettings(nullptr, &context);
        if (NT_SUCCESS(saved) && !(fault & 0x80)) {
            for (const char* name : {"Color Enable", "Auto White Balance", "Exposure Time", "Global Gain",
                                     "Horizon Mirror", "Vertical Flip"}) {
                host::RegistryValue value;
                FUZZ_CHECK(host::RegistryGetValue(key, name, &value));
                FUZZ_CHECK(value.Type == REG_DWORD && value.Data.size() == 4);
            }
        }
    }
    // A close the kernel refuses leaves its handle open: nothing the driver could do about it.
    FUZZ_CHECK(failing == "ZwClose" || host::RegistryOpenHandles() == 0);
    FUZZ_CHECK(host::PoolOutstanding().size() == poolBefore);
    FUZZ_CHECK(host::PoolTakeErrors().empty());
    host::ClearAllFaults();
    return 0;
}
