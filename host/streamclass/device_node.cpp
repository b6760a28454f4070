// The device node as the PnP manager and the stream class make it for a camera the bus reports: the
// driver loaded (or shared), the class device object on top of the camera's PDO with its zero-filled
// extension and driver key, bring-up and removal through adapter SRBs.
#include "host/streamclass/client.h"

#include "host/kernel/kernel_host.h"
#include "host/streamclass/stream_class_internal.h"
#include "platform/kernel.h"

#include <cstring>

namespace streamclass {
namespace {


const char16_t REGISTRY_PATH[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\z40k";

} // namespace

Filter::Filter() = default;

Filter::~Filter() {
    Unload();
}

PDRIVER_OBJECT Filter::DriverObject() {
    return driverObject_.get();
}

ULONG Filter::RegisteredExtensionSize() const {
    return driver_ != nullptr && driver_->Registered ? driver_->Registration.DeviceExtensionSize : 0;
}

PHW_RECEIVE_DEVICE_SRB Filter::ReceivePacket() const {
    return driver_ != nullptr && driver_->Registered ? driver_->Registration.ReceivePacket : nullptr;
}

NTSTATUS Filter::Open(DriverEntryRoutine Entry, PDEVICE_OBJECT Pdo) {
    NTSTATUS status = Load(Entry);
    if (NT_SUCCESS(status))
        status = AddDevice(Pdo);
    if (NT_SUCCESS(status))
        status = Initialize();
    if (NT_SUCCESS(status))
        status = CompleteInitialization();
    if (NT_SUCCESS(status))
        status = ReadStreamInfo();
    return status;
}

NTSTATUS Filter::Load(DriverEntryRoutine Entry) {
    if (driver_ != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    driverObject_.reset(new DRIVER_OBJECT);
    std::memset(driverObject_.get(), 0, sizeof(DRIVER_OBJECT));
    driverObject_->Type = IO_TYPE_DRIVER;
    driverObject_->Size = sizeof(DRIVER_OBJECT);
    driver_.reset(new LoadedDriver);
    driver_->Object = driverObject_.get();
    driver_->PoolAllocationsAtLoad = host::PoolAllocationCount();
    AddLoadedDriver(driver_.get());
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, REGISTRY_PATH);
    NTSTATUS status = Entry(driverObject_.get(), &registryPath);
    if (NT_SUCCESS(status) && !driver_->Registered)
        status = STATUS_UNSUCCESSFUL; // succeeded without registering an adapter routine
    if (!NT_SUCCESS(status))
        Unload();
    return status;
}

NTSTATUS Filter::AddDevice(PDEVICE_OBJECT Pdo) {
    if (ReceivePacket() == nullptr || !extension_.empty() || Pdo == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    pdo_ = Pdo;
    removing_ = false;

    // The extension comes from the host, not the driver's pool, zero-filled as the stream class does.
    const ULONG size = driver_->Registration.DeviceExtensionSize;
    extension_.assign((size + 7) / 8, 0);

    classDeviceObject_ = host::CreateDeviceObject(
        [this](PDEVICE_OBJECT DeviceObject, PIRP Irp) { return ClassDispatch(DeviceObject, Irp); });
    classDeviceObject_->DriverObject = driverObject_.get();
    classDeviceObject_->DeviceExtension = extension_.data();
    // Attached on top of the PDO: a request sent down the stack needs one location more.
    classDeviceObject_->StackSize = static_cast<CHAR>(pdo_->StackSize + 1);
    pdo_->AttachedDevice = classDeviceObject_;
    driverObject_->DeviceObject = classDeviceObject_;
    // The settings live under the driver key of this camera's PDO.
    host::RegistrySetDevicePdo(pdo_);
    return STATUS_SUCCESS;
}

NTSTATUS Filter::ClassDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_PNP && driver_ != nullptr && driver_->Registration.PnpHandler &&
        !extension_.empty())
        return driver_->Registration.PnpHandler(DeviceExtension(), DeviceObject, Irp);
    const NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, 0);
    return status;
}

NTSTATUS Filter::SendAdapterSrb(ULONG Command, PVOID CommandData, ULONG* ActualBytes) {
    PHW_RECEIVE_DEVICE_SRB routine = ReceivePacket();
    if (routine == nullptr || extension_.empty())
        return STATUS_INVALID_DEVICE_STATE;
    Srb request(Command, DeviceExtension());
    request->CommandData.StreamBuffer = static_cast<HW_STREAM_DESCRIPTOR*>(CommandData);
    const NTSTATUS status = DeliverAdapterSrb(routine, request);
    if (ActualBytes != nullptr)
        *ActualBytes = request->ActualBytesTransferred;
    return status;
}

NTSTATUS Filter::Initialize() {
    PORT_CONFIGURATION_INFORMATION config;
    std::memset(&config, 0, sizeof config);
    config.SizeOfThisPacket = sizeof config;
    config.HwDeviceExtension = DeviceExtension();
    config.ClassDeviceObject = classDeviceObject_;
    config.PhysicalDeviceObject = pdo_;
    config.RealPhysicalDeviceObject = pdo_;
    config.AdapterInterfaceType = PNPBus;
    const NTSTATUS status = SendAdapterSrb(SRB_INITIALIZE_DEVICE, &config);
    initialized_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS Filter::CompleteInitialization() {
    return SendAdapterSrb(SRB_INITIALIZATION_COMPLETE, nullptr);
}

NTSTATUS Filter::ReadStreamInfo() {
    // The driver sets no descriptor size; we give it room for the header and both stream entries and no
    // more, so that an entry written past them is caught.
    descriptor_.assign(
        offsetof(HW_STREAM_DESCRIPTOR, StreamInfo) + DESCRIPTOR_ENTRIES * sizeof(HW_STREAM_INFORMATION), 0);
    return SendAdapterSrb(SRB_GET_STREAM_INFO, descriptor_.data());
}

NTSTATUS Filter::RemoveCamera() {
    // New requests are refused from here on; those already in the driver, and the closes of pins an
    // application closes meanwhile, are carried to their end before the device goes.
    removing_ = true;
    for (;;) {
        Pin* closing = nullptr;
        {
            std::lock_guard<std::mutex> lock(pinsMutex_);
            for (Pin* pin : pins_) {
                if (pin->BeginClose()) {
                    closing = pin;
                    break;
                }
            }
        }
        if (closing == nullptr)
            break;
        closing->FinishClose();
    }
    InFlight::WaitOut(inFlight_);
    NTSTATUS status = STATUS_SUCCESS;
    if (initialized_)
        status = SendAdapterSrb(SRB_UNINITIALIZE_DEVICE, nullptr);
    initialized_ = false;
    if (!extension_.empty() && driver_ != nullptr && driver_->Registration.ExtensionReleased)
        driver_->Registration.ExtensionReleased(DeviceExtension());
    extension_.clear();
    descriptor_.clear();
    if (classDeviceObject_ != nullptr)
        classDeviceObject_->DeviceExtension = nullptr; // the object itself stays with the I/O manager
    classDeviceObject_ = nullptr;
    if (pdo_ != nullptr)
        pdo_->AttachedDevice = nullptr;
    pdo_ = nullptr;
    return status;
}

NTSTATUS Filter::SurpriseRemoval() {
    if (extension_.empty())
        return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = initialized_ ? SendAdapterSrb(SRB_SURPRISE_REMOVAL, nullptr) : STATUS_SUCCESS;
    RemoveCamera();
    return status;
}

NTSTATUS Filter::ShareDriver(Filter& Loaded) {
    if (driver_ != nullptr || Loaded.driver_ == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    driver_ = Loaded.driver_;
    driverObject_ = Loaded.driverObject_;
    return STATUS_SUCCESS;
}

void Filter::Unload() {
    if (!extension_.empty())
        RemoveCamera();
    // The driver goes with its last device; what it still holds of the pool then is a leak.
    if (driver_ != nullptr && driver_.use_count() == 1) {
        RemoveLoadedDriver(driver_.get());
        host::PoolVerifyUnload("z40k", driver_->PoolAllocationsAtLoad);
    }
    driver_.reset();
    driverObject_.reset();
}

} // namespace streamclass
