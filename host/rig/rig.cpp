#include "host/rig/rig.h"

#include "host/cameralib/library_device.h"

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
    streamclass::Filter* loaded = nullptr;
    for (Slot& other : slots_) {
        if (other.Filter->Loaded()) {
            loaded = other.Filter.get();
            break;
        }
    }
    NTSTATUS status = loaded != nullptr ? slot.Filter->ShareDriver(*loaded) : slot.Filter->Load(entry_);
    if (NT_SUCCESS(status))
        status = slot.Filter->AddCamera(slot.Camera.get());
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
    slots_[Index].Camera->Unplug();
    return slots_[Index].Filter->SurpriseRemoval();
}

NTSTATUS Rig::Remove(size_t Index) {
    return slots_[Index].Filter->RemoveCamera();
}

} // namespace rig
