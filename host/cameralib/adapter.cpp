// The camera class library's front: registration of the minidriver, the adapter SRBs it hands over,
// and the version-2 record. Every SRB handed over is carried out here and completed here.
#include "host/bus/periodic_schedule.h"
#include "host/cameralib/library_device.h"
#include "host/cameralib/library_srb.h"
#include "host/cameralib/streaming.h"
#include "host/streamclass/stream_class_host.h"

#include <cstring>
#include <map>
#include <mutex>

namespace cameralib {
namespace {

constexpr ULONG PIPE_CONFIG_ENTRIES = 4; // the camera's interface has four pipes

struct DriverRecord {
    ULONG FrameContextSize = 0;
};

host::Mutex& DriversMutex() {
    static host::Mutex m;
    return m;
}

std::map<PVOID, DriverRecord>& Drivers() {
    static std::map<PVOID, DriverRecord>* drivers = new std::map<PVOID, DriverRecord>;
    return *drivers;
}

ULONG FrameContextSizeOf(PDEVICE_OBJECT ClassDeviceObject) {
    if (ClassDeviceObject == nullptr)
        return 0;
    std::lock_guard<host::Mutex> lock(DriversMutex());
    auto it = Drivers().find(ClassDeviceObject->DriverObject);
    return it == Drivers().end() ? 0 : it->second.FrameContextSize;
}

// The camera joins the library when the stream class initialises it: the bus device object is its PDO,
// and the bus's port behind that PDO is where its requests go.
LibraryDevice* CreateDevice(PHW_STREAM_REQUEST_BLOCK Srb) {
    PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;
    if (config == nullptr)
        return nullptr;
    LibraryDevice* device = new LibraryDevice;
    device->DeviceContext = Srb->HwDeviceExtension;
    device->PhysicalDeviceObject = config->RealPhysicalDeviceObject != nullptr
                                       ? config->RealPhysicalDeviceObject
                                       : config->PhysicalDeviceObject;
    device->BusDeviceObject = device->PhysicalDeviceObject;
    device->Port = bus::Bus::PortOf(device->PhysicalDeviceObject);
    device->FrameContextSize = FrameContextSizeOf(config->ClassDeviceObject);
    device->CreatedByLibrary = true;
    AttachDevice(device);
    return device;
}

void ReleaseDevice(PVOID DeviceExtension) {
    LibraryDevice* device = DeviceFromContext(DeviceExtension);
    if (device == nullptr)
        return;
    ReleaseLibraryStreams(device);
    StreamRelease(device);
    if (device->CreatedByLibrary) {
        DetachDevice(device);
        delete device;
    }
}

// The setting the camera is configured in: the first that holds no periodic bandwidth, so that a camera
// that does not stream leaves the bus to others; setting 0 for a device that has none such.
uint8_t IdleSetting(const bus::Configuration* Descriptors) {
    if (Descriptors == nullptr)
        return 0;
    for (const bus::AlternateSetting& setting : Descriptors->Settings) {
        if (setting.Interface == bus::INTERFACE_NUMBER && bus::PeriodicBytes(setting) == 0)
            return setting.Setting;
    }
    return 0;
}

template <typename Descriptor> Descriptor* DescriptorOf(const std::vector<uint8_t>& Bytes) {
    return Bytes.empty() ? nullptr : reinterpret_cast<Descriptor*>(const_cast<uint8_t*>(Bytes.data()));
}

NTSTATUS InitializeDevice(LibraryDevice* Device) {
    if (Device->Port == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS configured = Device->Port->SelectConfiguration(IdleSetting(Device->Port->Descriptors()));
    if (!NT_SUCCESS(configured))
        return configured;
    Device->InterfaceInfo = Device->Port->InterfaceInformation();
    if (Device->InterfaceInfo.size() < offsetof(USBD_INTERFACE_INFORMATION, Pipes))
        return STATUS_DEVICE_DATA_ERROR;
    PUSBD_INTERFACE_INFORMATION interfaceInfo =
        reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(Device->InterfaceInfo.data());
    Device->PipeConfig.assign(PIPE_CONFIG_ENTRIES, USBCAMD_Pipe_Config_Descriptor{0, 0});
    NTSTATUS status;
    const USBCAMD_DEVICE_DATA2* data = Device->DeviceData2;
    if (data == nullptr || data->CamConfigureEx == nullptr || data->CamInitialize == nullptr)
        return STATUS_INVALID_PARAMETER; // the minidriver never registered its version-2 record
    {
        streamclass::CompleterScope driver(streamclass::Completer::Driver);
        status = data->CamConfigureEx(
            Device->BusDeviceObject, Device->DeviceContext, interfaceInfo,
            DescriptorOf<USB_CONFIGURATION_DESCRIPTOR>(Device->Port->ConfigurationDescriptor()),
            PIPE_CONFIG_ENTRIES, Device->PipeConfig.data(),
            DescriptorOf<USB_DEVICE_DESCRIPTOR>(Device->Port->DeviceDescriptor()));
        if (NT_SUCCESS(status))
            status = data->CamInitialize(Device->BusDeviceObject, Device->DeviceContext);
    }
    return status;
}

NTSTATUS UninitializeDevice(LibraryDevice* Device, PUSBCAMD_DEVICE_DATA DeviceData) {
    ReleaseLibraryStreams(Device);
    StreamRelease(Device);
    PCAM_INITIALIZE_ROUTINE uninitialize = nullptr;
    if (Device->DeviceData2 != nullptr)
        uninitialize = Device->DeviceData2->CamUnInitialize;
    else if (DeviceData != nullptr)
        uninitialize = DeviceData->CamUnInitialize;
    if (uninitialize == nullptr)
        return STATUS_SUCCESS;
    streamclass::CompleterScope driver(streamclass::Completer::Driver);
    return uninitialize(Device->BusDeviceObject, Device->DeviceContext);
}

void CarryOut(LibraryDevice* Device, PUSBCAMD_DEVICE_DATA DeviceData, PHW_STREAM_REQUEST_BLOCK Srb) {
    NTSTATUS status;
    if (Device == nullptr) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        Device->HandedOverCommands.push_back(Srb->Command);
        switch (Srb->Command) {
        case SRB_INITIALIZE_DEVICE:
            status = InitializeDevice(Device);
            break;
        case SRB_UNINITIALIZE_DEVICE:
            status = UninitializeDevice(Device, DeviceData);
            break;
        case SRB_OPEN_STREAM:
            status = OpenLibraryStream(Device, Srb);
            break;
        case SRB_CLOSE_STREAM:
            status = CloseLibraryStream(Device, Srb);
            break;
        case SRB_GET_STREAM_INFO: // the driver filled the descriptor
        case SRB_OPEN_DEVICE_INSTANCE:
        case SRB_CLOSE_DEVICE_INSTANCE:
        case SRB_CHANGE_POWER_STATE: // the simulated camera has no power states to change
        case SRB_PAGING_OUT_DRIVER:
            status = STATUS_SUCCESS;
            break;
        case SRB_SURPRISE_REMOVAL:
            // The camera is gone: pending reads fail now; the streams close through the usual requests.
            StreamSurpriseRemoval(Device);
            status = STATUS_SUCCESS;
            break;
        default:
            status = STATUS_NOT_IMPLEMENTED;
            break;
        }
    }
    Srb->Status = status;
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

} // namespace
} // namespace cameralib

ULONG NTAPI QRXUSBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize,
                                   ULONG FrameContextSize, PHW_RECEIVE_DEVICE_SRB ReceivePacket) {
    (void)Context2; // the registry path: the library keeps nothing under the service key
    PDRIVER_OBJECT driverObject = static_cast<PDRIVER_OBJECT>(Context1);
    streamclass::AdapterRegistration registration;
    registration.ReceivePacket = ReceivePacket;
    registration.DeviceExtensionSize = DeviceContextSize;
    registration.PnpHandler = cameralib::AnswerInterfaceQuery;
    registration.ExtensionReleased = cameralib::ReleaseDevice;
    const NTSTATUS status = streamclass::RegisterAdapter(driverObject, registration);
    if (NT_SUCCESS(status)) {
        std::lock_guard<host::Mutex> lock(cameralib::DriversMutex());
        cameralib::Drivers()[driverObject].FrameContextSize = FrameContextSize;
    }
    return static_cast<ULONG>(status);
}

PVOID NTAPI QRXUSBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                            PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion) {
    PVOID context = Srb->HwDeviceExtension;
    cameralib::LibraryDevice* device = cameralib::DeviceFromContext(context);
    if (device == nullptr && Srb->Command == SRB_INITIALIZE_DEVICE)
        device = cameralib::CreateDevice(Srb);
    if (DeviceObject != nullptr)
        *DeviceObject = device != nullptr ? device->BusDeviceObject : nullptr;
    if (NeedsCompletion) {
        streamclass::CompleterScope library(streamclass::Completer::Library);
        cameralib::CarryOut(device, DeviceData, Srb);
    }
    return context;
}

ULONG NTAPI QRXUSBCAMD_InitializeNewInterface(PVOID DeviceContext, PVOID DeviceData, ULONG Version,
                                              ULONG CamControlFlag) {
    cameralib::LibraryDevice* device = cameralib::DeviceFromContext(DeviceContext);
    if (device == nullptr)
        return static_cast<ULONG>(STATUS_NO_SUCH_DEVICE);
    if (Version != USBCAMD_VERSION_200)
        return static_cast<ULONG>(STATUS_NOT_SUPPORTED);
    device->DeviceData2 = static_cast<const USBCAMD_DEVICE_DATA2*>(DeviceData);
    device->InterfaceVersion = Version;
    device->ControlFlags = CamControlFlag;
    return static_cast<ULONG>(STATUS_SUCCESS);
}
