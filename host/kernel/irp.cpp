// I/O requests and the device objects below the driver, as far as the PnP query-interface request needs
// them. Requests come from the host's memory, not the driver's pool, as the I/O manager's do, and are
// tracked so that a completion of an unknown or already completed request is caught.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace host {
namespace {

// What the host knows of a device object it made: the object and who answers its requests. The
// published record carries no host fields; the I/O state finds a device's handler by its address.
struct HostDevice {
    DEVICE_OBJECT Object;
    IrpHandler Handler;
};

struct IoState {
    std::recursive_mutex Mutex;
    std::vector<std::unique_ptr<HostDevice>> Devices;
    std::map<PDEVICE_OBJECT, HostDevice*> ByObject;
    std::set<PIRP> LiveIrps;
    std::vector<PIRP> Pending;
    uint64_t Built = 0;
    // The driver object of the host's own devices (the bus's physical device objects, test devices):
    // every major function goes to the device's handler.
    DRIVER_OBJECT HostDriver{};
};

IoState& Io() {
    static IoState* state = [] {
        IoState* io = new IoState;
        io->HostDriver.Type = IO_TYPE_DRIVER;
        io->HostDriver.Size = sizeof(DRIVER_OBJECT);
        for (PDRIVER_DISPATCH& slot : io->HostDriver.MajorFunction)
            slot = DispatchToDeviceHandler;
        return io;
    }();
    return *state;
}

} // namespace

NTSTATUS NTAPI DispatchToDeviceHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoState& io = Io();
    HostDevice* device = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(io.Mutex);
        auto it = io.ByObject.find(DeviceObject);
        if (it != io.ByObject.end())
            device = it->second;
    }
    if (device == nullptr)
        detail::BugCheck("a request for a device object the host did not make");
    NTSTATUS status = device->Handler(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        std::lock_guard<std::recursive_mutex> lock(io.Mutex);
        // A handler may complete the request itself and still say pending; only a live one waits here.
        if (io.LiveIrps.count(Irp) != 0) {
            Irp->PendingReturned = TRUE;
            io.Pending.push_back(Irp);
        }
    }
    return status;
}

PDEVICE_OBJECT CreateDeviceObject(IrpHandler Handler) {
    IoState& io = Io();
    std::lock_guard<std::recursive_mutex> lock(io.Mutex);
    auto device = std::make_unique<HostDevice>();
    std::memset(&device->Object, 0, sizeof device->Object);
    device->Object.Type = IO_TYPE_DEVICE;
    device->Object.Size = sizeof(DEVICE_OBJECT);
    device->Object.ReferenceCount = 1;
    device->Object.DriverObject = &io.HostDriver;
    device->Object.StackSize = DEVICE_STACK_SIZE;
    device->Handler = std::move(Handler);
    io.ByObject[&device->Object] = device.get();
    io.Devices.push_back(std::move(device));
    return &io.Devices.back()->Object;
}

void ResetDevices() {
    IoState& io = Io();
    std::lock_guard<std::recursive_mutex> lock(io.Mutex);
    io.Devices.clear();
    io.ByObject.clear();
}

void CompletePendingIrps() {
    std::vector<PIRP> pending;
    {
        IoState& io = Io();
        std::lock_guard<std::recursive_mutex> lock(io.Mutex);
        pending.swap(io.Pending);
    }
    for (PIRP irp : pending) {
        bool live;
        {
            IoState& io = Io();
            std::lock_guard<std::recursive_mutex> lock(io.Mutex);
            live = io.LiveIrps.count(irp) != 0;
        }
        if (live)
            IofCompleteRequest(irp, 0);
    }
}

size_t IrpOutstanding() {
    IoState& io = Io();
    std::lock_guard<std::recursive_mutex> lock(io.Mutex);
    return io.LiveIrps.size();
}

uint64_t IrpBuiltCount() {
    IoState& io = Io();
    std::lock_guard<std::recursive_mutex> lock(io.Mutex);
    return io.Built;
}

namespace detail {

void ResetDevicesAndIrps() {
    IoState& io = Io();
    std::lock_guard<std::recursive_mutex> lock(io.Mutex);
    for (PIRP irp : io.LiveIrps)
        ::operator delete(irp);
    io.LiveIrps.clear();
    io.Pending.clear();
    io.Devices.clear();
    io.ByObject.clear();
    io.Built = 0;
}

} // namespace detail
} // namespace host

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                        ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock) {
    host::detail::VerifyIrql("IoBuildSynchronousFsdRequest");
    NTSTATUS ignored;
    if (host::ShouldFail("IoBuildSynchronousFsdRequest", &ignored))
        return nullptr;
    if (DeviceObject == nullptr)
        host::detail::BugCheck("IoBuildSynchronousFsdRequest for a null device object");
    // One block, as the I/O manager allocates it: the request, then its stack locations.
    const CHAR stackSize = DeviceObject->StackSize > 0 ? DeviceObject->StackSize : 1;
    const size_t bytes = sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
    PIRP irp = static_cast<PIRP>(::operator new(bytes));
    std::memset(irp, 0, bytes);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(bytes);
    irp->RequestorMode = KernelMode;
    irp->StackCount = stackSize;
    // The caller fills the next location, the first one: the current one is just past the last.
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Write.Length = Length;
        if (StartingOffset != nullptr)
            next->Parameters.Write.ByteOffset = *StartingOffset;
    }
    (void)Buffer;
    host::IoState& io = host::Io();
    std::lock_guard<std::recursive_mutex> lock(io.Mutex);
    io.LiveIrps.insert(irp);
    ++io.Built;
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    host::detail::VerifyIrql("IofCallDriver");
    {
        host::IoState& io = host::Io();
        std::lock_guard<std::recursive_mutex> lock(io.Mutex);
        if (io.LiveIrps.count(Irp) == 0)
            host::detail::BugCheck("IofCallDriver with a request that is not live (completed already?)");
    }
    if (DeviceObject == nullptr || DeviceObject->DriverObject == nullptr)
        host::detail::BugCheck("IofCallDriver to a device object without a driver");
    if (Irp->CurrentLocation <= 1)
        host::detail::BugCheck("IofCallDriver: no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
    --Irp->CurrentLocation;
    --Irp->Tail.Overlay.CurrentStackLocation;
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    current->DeviceObject = DeviceObject;
    const PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[current->MajorFunction];
    if (dispatch == nullptr)
        host::detail::BugCheck("IofCallDriver: the device's driver has no routine for the request");
    return dispatch(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CHAR) {
    host::detail::VerifyIrql("IofCompleteRequest");
    {
        host::IoState& io = host::Io();
        std::lock_guard<std::recursive_mutex> lock(io.Mutex);
        if (io.LiveIrps.erase(Irp) == 0)
            host::detail::BugCheck("IofCompleteRequest of a request that is not live (completed twice?)");
        for (auto it = io.Pending.begin(); it != io.Pending.end();) {
            it = *it == Irp ? io.Pending.erase(it) : it + 1;
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        host::detail::BugCheck("IofCompleteRequest with STATUS_PENDING as the final status");
    if (Irp->UserIosb != nullptr)
        *Irp->UserIosb = Irp->IoStatus;
    if (Irp->UserEvent != nullptr)
        KeSetEvent(Irp->UserEvent, 0, FALSE);
    ::operator delete(Irp);
}
