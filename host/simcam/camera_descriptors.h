// The camera's USB descriptors: a high-speed vendor-specific device with one configuration whose one
// interface has eight alternate settings, each with the same four endpoints:
//
//   0x81  isochronous IN, 64 bytes, every microframe    the header byte of each packet (sync pipe)
//   0x82  isochronous IN, 64 bytes, every microframe    a second header pipe
//   0x83  isochronous IN, every microframe              the image data (data pipe)
//   0x84  interrupt IN, 64 bytes, every 16 ms           button and events
//
// Setting 0 captures with the most bandwidth: 3 transactions of 1,024 bytes a microframe on the data
// pipe, 24.6 MB/s. Settings 1 to 6 step the data pipe down (2,688, 2,048, 1,536, 1,024, 768 and 512
// bytes a microframe) for hosts with less to give; setting 7 declares every endpoint with no packets at
// all, the camera's idle setting, which holds no bandwidth. A camera made to carry fewer bytes in
// setting 0 (a test's) carries at most as many in the others.
#pragma once

#include "host/simcam/usb_ids.h"

#include <cstdint>
#include <vector>

namespace simcam {

constexpr uint8_t CONFIGURATION_VALUE = 1;
constexpr uint8_t IDLE_ALTERNATE_SETTING = 7;
constexpr uint32_t SETTING_0_DATA_BYTES = 3 * 1024;

std::vector<uint8_t> CameraDeviceDescriptor();
// With Setting0DataBytes a number of bytes per microframe that a high-speed endpoint can declare
// (bus::EncodeMaxPacketSize).
std::vector<uint8_t> CameraConfigurationDescriptor(uint32_t Setting0DataBytes);
// The data pipe's bytes per microframe in Setting (0 for a setting the camera does not have).
uint32_t DataBytesInSetting(uint8_t Setting, uint32_t Setting0DataBytes);

} // namespace simcam
