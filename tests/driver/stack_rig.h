// The whole stack for a test: the stream class stand-in with the driver loaded on a simulated camera, the
// virtual clock, and a check at the end that every SRB was completed exactly once.
#pragma once

#include "host/bus/bus.h"
#include "host/cameralib/library_device.h"
#include "tests/component/driver_under_test.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/streamclass/client.h"
#include "host/simcam/simulated_camera.h"
#include "streams/stream_descriptors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

// A 152-byte video-info format carrying the range's header and video-info header.
inline std::vector<uint8_t> FormatFromRange(const KS_DATARANGE_VIDEO& Range) {
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    std::memset(&format, 0, sizeof format);
    format.DataFormat = Range.DataRange;
    format.DataFormat.FormatSize = sizeof format;
    format.VideoInfoHeader = Range.VideoInfoHeader;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&format);
    return std::vector<uint8_t>(bytes, bytes + sizeof format);
}

inline KS_DATAFORMAT_VIDEOINFOHEADER* AsFormat(std::vector<uint8_t>& Bytes) {
    return reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(Bytes.data());
}

struct RegisterWrite {
    uint8_t Register;
    uint32_t Value;
    int64_t TimeUs;
};

class StackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        host::SetWindowsTarget(TargetUnderTest());
        host::ClockSetMode(host::ClockMode::Virtual);
        streamclass::ClearViolations();
        Pdo = Bus.Plug(&Camera)->Pdo();
    }
    void TearDown() override {
        Filter.Unload();
        ExpectEverySrbCompletedOnce();
        host::ClearAllFaults();
    }

    void ExpectEverySrbCompletedOnce() {
        for (const std::string& violation : streamclass::Violations())
            ADD_FAILURE() << violation;
        streamclass::ClearViolations();
    }

    // Load, add the camera and initialise; the interface query and stream information are left to the test.
    void BringUp() {
        ASSERT_EQ(Filter.Load(DriverUnderTest()), STATUS_SUCCESS);
        ASSERT_EQ(Filter.AddDevice(Pdo), STATUS_SUCCESS);
        ASSERT_EQ(Filter.Initialize(), STATUS_SUCCESS);
    }
    void OpenFilter() { ASSERT_EQ(Filter.Open(DriverUnderTest(), Pdo), STATUS_SUCCESS); }

    PDeviceContext Context() { return static_cast<PDeviceContext>(Filter.DeviceExtension()); }
    cameralib::LibraryDevice* Library() { return cameralib::DeviceFromContext(Filter.DeviceExtension()); }

    // The last SRB completion the stream class saw.
    streamclass::SrbEvent LastCompletion() {
        std::vector<streamclass::SrbEvent> events = streamclass::CompletedSrbs();
        return events.empty() ? streamclass::SrbEvent{} : events.back();
    }

    // Sensor register writes (request 5) as the library sent them, with their times.
    std::vector<RegisterWrite> RegisterWrites() {
        std::vector<RegisterWrite> writes;
        for (const cameralib::VendorTraceRecord& r : Library()->VendorTrace) {
            if (r.Request != 5 || r.Data.size() < 4)
                continue;
            const uint32_t value = r.Data[0] | r.Data[1] << 8 | r.Data[2] << 16 | uint32_t(r.Data[3]) << 24;
            writes.push_back({static_cast<uint8_t>(r.Index), value, r.TimeUs});
        }
        return writes;
    }

    bus::Bus Bus; // outlives the camera, which leaves it as it goes
    simcam::SimulatedCamera Camera;
    PDEVICE_OBJECT Pdo = nullptr; // the camera's, made by the bus
    streamclass::Filter Filter;
};
