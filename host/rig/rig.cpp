#include "host/rig/rig.h"

#include "host/cameralib/library_device.h"
#include "host/cameralib/trace_json.h"
#include "host/simcam/sensor.h"

#include <algorithm>
#include <mutex>

namespace rig {

Rig::Rig(streamclass::DriverEntryRoutine Entry) : entry_(Entry) {}

Rig::~Rig() {
    // Cameras go in reverse order, so that the filter that loaded the driver is the last to let go of it.
    for (size_t i = slots_.size(); i-- > 0;) {
        slots_[i].Filter->Unload();
        slots_[i].Filter.reset();
        slots_[i].Camera.reset();
    }
}

NTSTATUS Rig::Plug(const simcam::CameraConfig& Config, size_t* Index, const AddedCall& Added) {
    Slot slot;
    slot.Camera = std::make_unique<simcam::SimulatedCamera>(Config);
    slot.Filter = std::make_unique<streamclass::Filter>();
    slot.Port = bus_.Plug(slot.Camera.get());
    streamclass::Filter* loaded = nullptr;
    for (Slot& other : slots_) {
        if (other.Filter->Loaded()) {
            loaded = other.Filter.get();
            break;
        }
    }
    NTSTATUS status = loaded != nullptr ? slot.Filter->ShareDriver(*loaded) : slot.Filter->Load(entry_);
    if (NT_SUCCESS(status))
        status = slot.Filter->AddDevice(slot.Port->Pdo());
    if (NT_SUCCESS(status) && Added)
        Added(*slot.Filter, *slot.Camera);
    if (NT_SUCCESS(status))
        status = slot.Filter->Initialize();
    if (NT_SUCCESS(status))
        status = slot.Filter->CompleteInitialization();
    if (NT_SUCCESS(status))
        status = slot.Filter->ReadStreamInfo();
    *Index = slots_.size();
    slots_.push_back(std::move(slot));
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
    slots_[Index].Camera->SetScene(std::move(Picture));
}

CameraStatistics Rig::Statistics(size_t Index) {
    CameraStatistics stats;
    if (cameralib::LibraryDevice* device = LibraryOf(Index))
        stats.Stream = cameralib::GetStreamStatistics(device);
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
