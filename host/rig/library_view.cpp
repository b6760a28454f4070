#include "host/rig/library_view.h"

#include "host/cameralib/trace_json.h"

#include <mutex>

namespace rig {

StreamStatistics StreamStatisticsOf(PVOID DeviceExtension) {
    cameralib::LibraryDevice* device = cameralib::DeviceFromContext(DeviceExtension);
    return device == nullptr ? StreamStatistics() : cameralib::GetStreamStatistics(device);
}

void SetFrameObserver(PVOID DeviceExtension, FrameObserver Observer) {
    if (cameralib::LibraryDevice* device = cameralib::DeviceFromContext(DeviceExtension))
        cameralib::SetFrameObserver(device, std::move(Observer));
}

void SetRawFrameObserver(PVOID DeviceExtension, RawFrameObserver Observer) {
    if (cameralib::LibraryDevice* device = cameralib::DeviceFromContext(DeviceExtension))
        cameralib::SetRawFrameObserver(device, std::move(Observer));
}

void SetBandwidthCallObserver(PVOID DeviceExtension, BandwidthCallObserver Observer) {
    if (cameralib::LibraryDevice* device = cameralib::DeviceFromContext(DeviceExtension))
        cameralib::SetBandwidthCallObserver(device, std::move(Observer));
}

void TakeRequestRecords(PVOID DeviceExtension, const RecordLine& Line) {
    cameralib::LibraryDevice* device =
        DeviceExtension == nullptr ? nullptr : cameralib::DeviceFromContext(DeviceExtension);
    if (device == nullptr)
        return;
    std::lock_guard<std::mutex> records(device->TraceMutex);
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

std::string HexBytes(const std::vector<uint8_t>& Bytes) {
    return cameralib::HexBytes(Bytes);
}

} // namespace rig
