// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "simcam/simulated_camera.h"
namespace simcam {
SimulatedCamera::SimulatedCamera(const CameraConfig& Config) : config_(Config) {}
std::vector<uint8_t> SimulatedCamera::InterfaceInformation() const { return {}; }
NTSTATUS SimulatedCamera::SelectAlternateSetting(uint8_t) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS SimulatedCamera::VendorRequest(uint8_t, uint16_t, uint16_t, bool, std::vector<uint8_t>*) { return STATUS_NOT_IMPLEMENTED; }
}
