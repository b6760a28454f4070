// The verifier's rules, one case each: a caller that breaks the rule (mostly the driver's own routines,
// called where they must not be) gets the bug check the verifier raises, with its code and parameter 1;
// the same caller where the rule allows it gets none. Special pool's faults, and a whole session of the
// driver in special pool.
#include "camera/usb_configuration.h"
#include "driver/adapter_routines.h"
#include "driver/device_context.h"
#include "driver/driver_entry.h"
#include "host/bus/bus.h"
#include "host/kernel/kernel_host.h"
#include "host/simcam/simulated_camera.h"
#include "host/streamclass/client.h"
#include "imaging/white_balance.h"
#include "platform/kernel.h"
#include "properties/settings.h"
#include "tests/component/fresh_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

namespace {

// Runs Body with the calling thread at Level.
void AtLevel(KIRQL Level, const std::function<void()>& Body) {
    host::SetThreadLevel(Level);
    Body();
    host::SetThreadLevel(PASSIVE_LEVEL);
}

DeviceContext& ZeroContext() {
    static DeviceContext context;
    std::memset(&context, 0, sizeof context);
    return context;
}

// A device object that completes every request at once, unchanged.
PDEVICE_OBJECT Completing() {
    return host::CreateDeviceObject([](PDEVICE_OBJECT, PIRP Irp) {
        const NTSTATUS status = Irp->IoStatus.Status;
        IofCompleteRequest(Irp, 0);
        return status;
    });
}

void FreeAtLevel(KIRQL Level, POOL_TYPE Type) {
    void* block = ExAllocatePoolWithTag(Type, 8, DRIVER_POOL_TAG);
    AtLevel(Level, [block] { ExFreePool(block); });
}

// A driver that takes pool in its entry and, unless told to, never gives it back; it registers nothing,
// so its load fails and it is unloaded at once.
void* gEntryBlock = nullptr;
bool gEntryFrees = false;
NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    gEntryBlock = ExAllocatePoolWithTag(PagedPool, 24, DRIVER_POOL_TAG);
    if (gEntryFrees)
        ExFreePool(gEntryBlock);
    return STATUS_SUCCESS;
}

void SaveAndRestoreAt(KIRQL SaveLevel, KIRQL RestoreLevel) {
    KFLOATING_SAVE save;
    AtLevel(SaveLevel, [&save] { KeSaveFloatingPointState(&save); });
    AtLevel(RestoreLevel, [&save] { KeRestoreFloatingPointState(&save); });
}

struct Rule {
    const char* Name; // the test's, from the rule
    ULONG Code;       // the bug check
    ULONG_PTR Check;  // its parameter 1 (for 0xC1, parameter 4)
    const char* Rule; // as reported
    std::function<void(bool Break)> Caller;
};

const Rule RULES[] = {
    {"IrqlExAllocatePool", 0xC4, 0x20004, "IrqlExAllocatePool",
     [](bool Break) {
         // The settings' query buffer is paged pool, which DISPATCH_LEVEL may not take.
         ULONG value = 0, length = 4;
         AtLevel(Break ? DISPATCH_LEVEL : PASSIVE_LEVEL,
                 [&] { ReadSettingValue(nullptr, u"Global Gain", sizeof u"Global Gain", &value, &length); });
     }},
    {"IrqlExAllocatePoolAboveDispatch", 0xC4, 0x20004, "IrqlExAllocatePool",
     [](bool Break) {
         // The interface copy is nonpaged: fine at DISPATCH_LEVEL, not above.
         std::vector<uint8_t> interface(UsbInterfaceInformationSize(4), 0);
         auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interface.data());
         info->Length = static_cast<USHORT>(interface.size());
         info->NumberOfPipes = 4;
         DeviceContext& context = ZeroContext();
         AtLevel(Break ? host::HIGH_LEVEL : DISPATCH_LEVEL,
                 [&] { CamConfigure(nullptr, &context, info, nullptr, nullptr, nullptr); });
         ExFreePool(context.InterfaceInfo);
     }},
    {"IrqlKeApcLte1", 0xC4, 0x2000F, "IrqlKeApcLte1",
     [](bool Break) {
         // Initialise waits a second before its first status read.
         AtLevel(Break ? DISPATCH_LEVEL : APC_LEVEL, [] { CamInitialize(nullptr, &ZeroContext()); });
     }},
    {"IrqlKeDispatchLte", 0xC4, 0x20011, "IrqlKeDispatchLte",
     [](bool Break) {
         // The white balance saves the floating-point state (an empty region: no vector state first).
         ColorParams params = {};
         AtLevel(Break ? host::HIGH_LEVEL : DISPATCH_LEVEL, [&] { ComputeWhiteBalance(&params); });
     }},
    {"IrqlKeSetEvent", 0xC4, 0x20016, "IrqlKeSetEvent",
     [](bool Break) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         AtLevel(Break ? DISPATCH_LEVEL : APC_LEVEL, [&] { KeSetEvent(&event, 0, TRUE); });
     }},
    {"IrqlZwPassive", 0xC4, 0x2001F, "IrqlZwPassive",
     [](bool Break) {
         AtLevel(Break ? APC_LEVEL : PASSIVE_LEVEL, [] { WriteSettingValue(nullptr, u"Exposure Time", 1); });
     }},
    {"IrqlIoRtlZwPassive", 0xC4, 0x20023, "IrqlIoRtlZwPassive",
     [](bool Break) {
         AtLevel(Break ? APC_LEVEL : PASSIVE_LEVEL, [] { SaveSettings(nullptr, &ZeroContext()); });
     }},
    {"IrqlNtifsApcPassive", 0xC4, 0x20024, "IrqlNtifsApcPassive",
     [](bool Break) {
         IO_STATUS_BLOCK status;
         UCHAR byte = 0;
         AtLevel(Break ? APC_LEVEL : PASSIVE_LEVEL, [&] {
             ZwWriteFile(nullptr, nullptr, nullptr, nullptr, &status, &byte, 1, nullptr, nullptr);
         });
     }},
    {"KernelCallAtAWrongLevel", 0xC4, 0xE5, "kernel call at a wrong IRQL",
     [](bool Break) {
         // The interface query builds its request where only APC_LEVEL or less may.
         USBCAMD_INTERFACE buffer{};
         PDEVICE_OBJECT device = Completing();
         AtLevel(Break ? DISPATCH_LEVEL : APC_LEVEL, [&] { QueryCamInterface(device, &buffer); });
     }},
    {"WaitAtDispatchWithoutATimeout", 0xC4, 0x121, "wait at a wrong IRQL",
     [](bool Break) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         AtLevel(Break ? DISPATCH_LEVEL : APC_LEVEL,
                 [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
     }},
    {"WaitAtDispatchWithATimeout", 0xC4, 0x122, "wait at a wrong IRQL",
     [](bool Break) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         LARGE_INTEGER timeout;
         timeout.QuadPart = Break ? -10 : 0; // only a zero time-out may be waited at DISPATCH_LEVEL
         AtLevel(DISPATCH_LEVEL,
                 [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout); });
     }},
    {"ZeroByteAllocation", 0xC4, 0x00, "pool",
     [](bool Break) { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, Break ? 0 : 1, DRIVER_POOL_TAG)); }},
    {"FreeOfABadAddress", 0xC4, 0x10, "pool",
     [](bool Break) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 8, DRIVER_POOL_TAG);
         ExFreePool(block);
         if (Break)
             ExFreePool(block);
     }},
    {"FreePagedPoolAboveApc", 0xC4, 0x11, "pool freed at a wrong IRQL",
     [](bool Break) { FreeAtLevel(Break ? DISPATCH_LEVEL : APC_LEVEL, PagedPool); }},
    {"FreeNonPagedPoolAboveDispatch", 0xC4, 0x12, "pool freed at a wrong IRQL",
     [](bool Break) { FreeAtLevel(Break ? host::HIGH_LEVEL : DISPATCH_LEVEL, NonPagedPool); }},
    {"FreeAfterWritingPastTheEnd", 0xC4, 0x51, "pool tracking",
     [](bool Break) {
         UCHAR* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, DRIVER_POOL_TAG));
         block[Break ? 10 : 9] = 0;
         ExFreePool(block);
     }},
    {"UnloadHoldingPool", 0xC4, 0x60, "pool tracking",
     [](bool Break) {
         gEntryFrees = !Break;
         streamclass::Filter filter;
         EXPECT_EQ(filter.Load(LeakingEntry), STATUS_UNSUCCESSFUL); // it registered nothing
         if (Break)
             ExFreePool(gEntryBlock);
     }},
    {"RestoreAtAnotherLevel", 0xE7, 1, "processor state restored out of its rules",
     [](bool Break) { SaveAndRestoreAt(PASSIVE_LEVEL, Break ? DISPATCH_LEVEL : PASSIVE_LEVEL); }},
    {"RestoreInAnotherThread", 0xE7, 2, "processor state restored out of its rules",
     [](bool Break) {
         KFLOATING_SAVE save;
         KeSaveFloatingPointState(&save);
         if (Break)
             std::thread([&save] { KeRestoreFloatingPointState(&save); }).join();
         KeRestoreFloatingPointState(&save);
     }},
    {"NestedSavesRestoredOutOfOrder", 0xE7, 0, "processor state restored out of its rules",
     [](bool Break) {
         KFLOATING_SAVE outer;
         XSTATE_SAVE inner;
         KeSaveFloatingPointState(&outer);
         KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner);
         if (Break)
             KeRestoreFloatingPointState(&outer); // the inner save is still in force
         KeRestoreExtendedProcessorState(&inner);
         KeRestoreFloatingPointState(&outer);
     }},
    {"SpecialPoolDamageAfterTheBlock", 0xC1, 0x24, "special pool",
     [](bool Break) {
         host::PoolSetSpecial(true);
         UCHAR* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 10, DRIVER_POOL_TAG));
         host::PoolSetSpecial(false);
         block[Break ? 10 : 9] = 0; // within the block's alignment: the page does not end there
         ExFreePool(block);
     }},
};

void PrintTo(const Rule& R, std::ostream* Out) {
    *Out << R.Name;
}

class Verifier : public ::testing::TestWithParam<Rule> {
  protected:
    void SetUp() override {
        host::ResetKernel();
        host::ClockSetMode(host::ClockMode::Virtual);
    }
    void TearDown() override { host::ResetKernel(); }
};

TEST_P(Verifier, ReportsTheCallerThatBreaksTheRuleAndNotTheOneThatKeepsIt) {
    const Rule& rule = GetParam();
    {
        host::BugCheckCapture capture;
        rule.Caller(false);
        for (const host::BugCheckReport& report : capture.Reports())
            ADD_FAILURE() << "reported where the rule allows it: " << report.Text;
    }
    host::BugCheckCapture capture;
    rule.Caller(true);
    const std::vector<host::BugCheckReport> reports = capture.Reports();
    ASSERT_FALSE(reports.empty()) << "no bug check";
    const host::BugCheckReport& first = reports.front();
    EXPECT_EQ(first.Code, rule.Code) << first.Text;
    EXPECT_EQ(first.Parameters[rule.Code == 0xC1 ? 3 : 0], rule.Check) << first.Text;
    EXPECT_EQ(first.Rule, rule.Rule) << first.Text;
    if (rule.Code == 0xC4 && rule.Check >= 0x20000) {
        // Parameter 2 points at the condition the rule states.
        const char* condition = reinterpret_cast<const char*>(first.Parameters[1]);
        EXPECT_NE(first.Text.find(condition), std::string::npos) << first.Text;
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Verifier, ::testing::ValuesIn(RULES),
                         [](const ::testing::TestParamInfo<Rule>& Info) {
                             return std::string(Info.param.Name);
                         });

// A read past a special-pool block's end faults on the spot, and so does a read of a freed block; each
// names the bug check the verifier raises for it.
TEST(SpecialPoolDeathTest, AccessesPastTheEndOrAfterTheFreeFaultAtOnce) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    host::PoolSetSpecial(true);
    volatile UCHAR* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 32, DRIVER_POOL_TAG));
    host::PoolSetSpecial(false);
    block[31] = 1;
    EXPECT_DEATH(block[32] = block[31], "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION \\(0x[0-9a-f]+, 0x1,");
    ExFreePool(const_cast<UCHAR*>(block));
    EXPECT_DEATH((void)block[0], "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL \\(0x[0-9a-f]+, 0x0,");
}

// The driver's whole session in special pool: bring-up, a frame through the capture pin and removal
// with every allocation on pages of its own; nothing faults, nothing is damaged, nothing is left.
TEST(SpecialPool, TheDriverRunsAWholeSessionInIt) {
    ResetHostForStack("z40k-special-c");
    host::PoolSetSpecial(true);
    const uint64_t before = host::PoolAllocationCount();
    {
        bus::Bus bus;
        simcam::SimulatedCamera camera;
        streamclass::Filter filter;
        ASSERT_EQ(filter.Open(DriverEntry, bus.Plug(&camera)->Pdo()), STATUS_SUCCESS);
        std::vector<uint8_t> format;
        ASSERT_EQ(filter.Intersect(0, &filter.Ranges(0).at(0)->DataRange, &format), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::unique_ptr<streamclass::Pin> pin = filter.OpenPin(0, format, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        std::vector<uint8_t> frame(reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize);
        ULONG used = 0;
        EXPECT_EQ(pin->ReadFrame(frame.data(), ULONG(frame.size()), &used), STATUS_SUCCESS);
        EXPECT_EQ(used, 2558u * 1918 * 3);
        EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    host::PoolSetSpecial(false);
    EXPECT_GE(host::PoolAllocationCount() - before, 4u)
        << "interface copies, settings queries, the scratch frame";
    EXPECT_TRUE(host::BugChecks().empty());
    EXPECT_TRUE(host::PoolTakeErrors().empty());
}

} // namespace
