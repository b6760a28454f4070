#include "host/rig/rig.h"

#include "host/cameralib/library_device.h"
#include "host/cameralib/trace_json.h"
#include "host/simcam/sensor.h"

#include <algorithm>
#include <mutex>

namespace rig {

Rig::Rig(streamclass::DriverEntryRoutine Entry, const BusOptions& Buses)
    : entry_(Entry), busOptions_(Buses) {}

Rig::~Rig() {
    // Cameras go in reverse order, so that the filter that loaded the driver is the last to let go of it.
    for (size_t i = slots_.size(); i-- > 0;) {
        slots_[i].Filter->Unload();
        slots_[i].Filter.reset();
        slots_[i].Device.reset();
    }
}

NTSTATUS Rig::Plug(const simcam::CameraConfig& Config, size_t* Index, const AddedCall& Added) {
    Slot slot;
    auto camera = std::make_unique<simcam::SimulatedCamera>(Config);
    slot.Camera = camera.get();
    slot.Device = std::move(camera);
    const NTSTATUS status = BringUp(&slot, [&slot, &Added]() {
        if (Added)
            Added(*slot.Filter, *slot.Camera);
    });
    *Index = slots_.size();
    slots_.push_back(std::move(slot));
    return status;
}

NTSTATUS Rig::PlugDevice(std::unique_ptr<bus::UsbDevice> Device, size_t* Index,
                         const DeviceAddedCall& Added) {
    Slot slot;
    slot.Device = std::move(Device);
    const NTSTATUS status = BringUp(&slot, [&slot, &Added]() {
        if (Added)
            Added(*slot.Filter);
    });
    *Index = slots_.size();
    slots_.push_back(std::move(slot));
    return status;
}

// Onto its bus (a fresh one unless the rig shares one), then up through the stream class as far as it
// comes.
NTSTATUS Rig::BringUp(Slot* Slot, const std::function<void()>& Added) {
    if (buses_.empty() || !busOptions_.Shared) {
        buses_.push_back(
            std::make_unique<bus::Bus>(busOptions_.Model, static_cast<uint16_t>(buses_.size() + 1)));
        buses_.back()->Record(busOptions_.Recorder);
    }
    Slot->Filter = std::make_unique<streamclass::Filter>();
    Slot->Port = buses_.back()->Plug(Slot->Device.get());
    streamclass::Filter* loaded = nullptr;
    for (struct Slot& other : slots_) {
        if (other.Filter->Loaded()) {
            loaded = other.Filter.get();
            break;
        }
    }
    NTSTATUS status = loaded != nullptr ? Slot->Filter->ShareDriver(*loaded) : Slot->Filter->Load(entry_);
    if (NT_SUCCESS(status))
        status = Slot->Filter->AddDevice(Slot->Port->Pdo());
    if (NT_SUCCESS(status))
        Added();
    if (NT_SUCCESS(status))
        status = Slot->Filter->Initialize();
    if (NT_SUCCESS(status))
        status = Slot->Filter->CompleteInitialization();
    if (NT_SUCCESS(status))
        status = Slot->Filter->ReadStreamInfo();
    return status;
}

cameralib::LibraryDevice* Rig::LibraryOf(size_t Index) {
    PVOID extension = slots_[Index].Filter->DeviceExtension();
    return extension == nullptr ? nullptr : cameralib::DeviceFromContext(extension);
}

NTSTATUS Rig::Unplug(size_t Index) {
    slots_[Index].Port->Unplug();
    return slots_[Index].Filter->SurpriseRemoval();
}

NTSTATUS Rig::Remove(size_t Index) {
    return slots_[Index].Filter->RemoveCamera();
}

void Rig::SetScene(size_t Index, simcam::Scene Picture) {
    if (slots_[Index].Camera != nullptr)
        slots_[Index].Camera->SetScene(std::move(Picture));
}

CameraStatistics Rig::Statistics(size_t Index) {
    CameraStatistics stats;
    if (cameralib::LibraryDevice* device = LibraryOf(Index))
        stats.Stream = cameralib::GetStreamStatistics(device);
    if (slots_[Index].Camera != nullptr)
        stats.Camera = slots_[Index].Camera->Statistics();
    return stats;
}

void Rig::SetFrameObserver(size_t Index, cameralib::FrameObserver Observer) {
    if (cameralib::LibraryDevice* device = LibraryOf(Index))
        cameralib::SetFrameObserver(device, std::move(Observer));
}

void Rig::SetRawFrameObserver(size_t Index, cameralib::RawFrameObserver Observer) {
    cameralib::LibraryDevice* device = LibraryOf(Index);
    if (device == nullptr)
        return;
    if (!Observer) {
        cameralib::SetRawFrameObserver(device, nullptr);
        return;
    }
    // The driver asks for whole packets; the camera's frame ends before the last one's padding.
    cameralib::SetRawFrameObserver(device, [Observer](uint64_t Frame, const uint8_t* Data, size_t Length) {
        Observer(Frame, Data, std::min<size_t>(Length, simcam::RAW_FRAME_SIZE));
    });
}

void Rig::SetBandwidthCallObserver(size_t Index, cameralib::BandwidthCallObserver Observer) {
    if (cameralib::LibraryDevice* device = LibraryOf(Index))
        cameralib::SetBandwidthCallObserver(device, std::move(Observer));
}

void TakeRequestRecords(PVOID DeviceExtension, const RecordLine& Line) {
    cameralib::LibraryDevice* device =
        DeviceExtension == nullptr ? nullptr : cameralib::DeviceFromContext(DeviceExtension);
    if (device == nullptr)
        return;
    std::lock_guard<host::Mutex> records(device->TraceMutex);
    // Both records are in time order; merge them. Alternate settings are only selected inside the
    // bandwidth calls, around which the library has the trace take its records, so at equal times the
    // records pending together are either all vendor requests or come from one bandwidth call: the
    // alternate setting goes first.
    const auto& vendor = device->VendorTrace;
    const auto& alt = device->AltSettingTrace;
    size_t v = 0;
    size_t a = 0;
    while (v < vendor.size() || a < alt.size()) {
        if (a < alt.size() && (v >= vendor.size() || alt[a].TimeUs <= vendor[v].TimeUs)) {
            Line(alt[a].TimeUs, cameralib::AltSettingJson(alt[a]));
            ++a;
        } else {
            Line(vendor[v].TimeUs, cameralib::VendorRequestJson(vendor[v]));
            ++v;
        }
    }
    device->VendorTrace.clear();
    device->AltSettingTrace.clear();
}

} // namespace rig
