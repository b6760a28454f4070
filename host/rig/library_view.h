// What an application on this host may learn from the camera class library about one camera, found by
// the device extension the stream class made for it: the stream's counters, observers on the frames the
// library finishes, and its records of the requests it sent the camera, as trace lines. The z40k program
// reaches the library only through here and the rig.
#pragma once

#include "host/cameralib/streaming.h"

#include <cstdint>
#include <functional>
#include <string>

namespace rig {

using cameralib::BandwidthCallObserver;
using cameralib::FrameObserver;
using cameralib::FrameRecord;
using cameralib::RawFrameObserver;
using cameralib::StreamStatistics;

// Zeros when the library has no record of the camera (before initialise, after removal).
StreamStatistics StreamStatisticsOf(PVOID DeviceExtension);
// Each does nothing when the library has no record of the camera.
void SetFrameObserver(PVOID DeviceExtension, FrameObserver Observer);
void SetRawFrameObserver(PVOID DeviceExtension, RawFrameObserver Observer);
void SetBandwidthCallObserver(PVOID DeviceExtension, BandwidthCallObserver Observer);

// Hands over the vendor requests and alternate-setting selections the library recorded for the camera
// since the last call, merged in time order, each as (clock time in microseconds, JSON object), and
// forgets them, so the records stay as short as the gap between two calls.
using RecordLine = std::function<void(int64_t TimeUs, const std::string& Json)>;
void TakeRequestRecords(PVOID DeviceExtension, const RecordLine& Line);

// Two lower-case hex digits per byte, in order (as the records write data).
std::string HexBytes(const std::vector<uint8_t>& Bytes);

} // namespace rig
