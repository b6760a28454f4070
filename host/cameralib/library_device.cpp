#include "host/cameralib/library_device.h"

#include <map>
#include <mutex>

namespace cameralib {
namespace {

host::Mutex& DevicesMutex() {
    static host::Mutex m;
    return m;
}

std::map<PVOID, LibraryDevice*>& Devices() {
    static std::map<PVOID, LibraryDevice*> devices;
    return devices;
}

} // namespace

LibraryDevice* DeviceFromContext(PVOID DeviceContext) {
    std::lock_guard<host::Mutex> lock(DevicesMutex());
    auto it = Devices().find(DeviceContext);
    return it == Devices().end() ? nullptr : it->second;
}

void AttachDevice(LibraryDevice* Device) {
    std::lock_guard<host::Mutex> lock(DevicesMutex());
    Devices()[Device->DeviceContext] = Device;
}

void DetachDevice(LibraryDevice* Device) {
    std::lock_guard<host::Mutex> lock(DevicesMutex());
    auto it = Devices().find(Device->DeviceContext);
    if (it != Devices().end() && it->second == Device)
        Devices().erase(it);
}

} // namespace cameralib
