// JSON objects of the library's trace records, one per line of a trace file. The time is not part of
// them: the trace writer puts it in front.
#pragma once

#include "host/cameralib/library_device.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cameralib {

// Two lower-case hex digits per byte, in order.
std::string HexBytes(const std::vector<uint8_t>& Bytes);

// {"event":"vendor_request","request":5,"value":0,"index":1,"direction":"out","length":0,
//  "data":"ee020000","status":"0x00000000"}; "length" is null when the driver passed no BufferLength.
std::string VendorRequestJson(const VendorTraceRecord& Record);
// {"event":"alt_setting","setting":0,"status":"0x00000000"}
std::string AltSettingJson(const AltSettingTraceRecord& Record);

} // namespace cameralib
