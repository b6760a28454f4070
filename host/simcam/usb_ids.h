// The simulated camera's USB identity, in the one place the device descriptor and the INF's hardware ID
// meet. 0x1209 is the vendor ID shared among open projects, and product IDs 0x0001 to 0x0010 of it are set
// aside for tests: no real device answers to this pair.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace simcam {

constexpr uint16_t USB_VENDOR_ID = 0x1209;
constexpr uint16_t USB_PRODUCT_ID = 0x0001;

// The hardware ID the USB bus driver reports for the camera, as an INF's models section names it.
inline std::string UsbHardwareId() {
    char id[32];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", USB_VENDOR_ID, USB_PRODUCT_ID);
    return id;
}

} // namespace simcam
