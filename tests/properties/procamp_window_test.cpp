// The video proc-amp set and the window set, through AdapterDeviceProperty as the adapter routine calls
// it, with a simulated camera behind the library.
#include "tests/properties/device_properties_test_support.h"

#include "camera/frame_geometry.h"
#include "host/kernel/faults.h"
#include "properties/procamp_window.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

using proptest::MakeRequest;
using proptest::PropertyRequest;

constexpr size_t kProcAmpRecord = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
constexpr size_t kWindowRecord = sizeof(CameraPropertyRecord);
constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

class PropertySets : public proptest::PropertyTest {
  protected:
    PropertyRequest ProcAmp(ULONG Id, bool IsSet, LONG Value = 0, ULONG Flags = kManual,
                            size_t Size = kProcAmpRecord) {
        PropertyRequest r = MakeRequest(PROPSETID_VIDCAP_VIDEOPROCAMP, Id, IsSet, Size, Value, Flags);
        Send(r);
        return r;
    }
    PropertyRequest Window(ULONG Id, bool IsSet, LONG Value = 0, size_t Size = kWindowRecord) {
        PropertyRequest r = MakeRequest(WindowPropertySetGuid, Id, IsSet, Size, Value);
        Send(r);
        return r;
    }
};

// ---- proc-amp image controls ---------------------------------------------------------------------

struct ImageControl {
    ULONG Id;
    LONG DeviceContext::*Field;
    USHORT Control;
};

const ImageControl kImageControls[] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &DeviceContext::Brightness, 2},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, &DeviceContext::Contrast, 4},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, &DeviceContext::Saturation, 5},
    {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, &DeviceContext::Sharpness, 3},
};

class ProcAmpImage : public PropertySets, public ::testing::WithParamInterface<ImageControl> {};

TEST_P(ProcAmpImage, SetStoresTheSettingAndSendsItDividedByEleven) {
    const ImageControl& c = GetParam();
    struct {
        LONG Value;
        USHORT Sent;
    } const cases[] = {{0, 0}, {10, 0}, {11, 1}, {54, 4}, {107, 9}, {108, 9}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Value);
        camera_.ClearRequests();
        device_.VendorTrace.clear();
        PropertyRequest set = ProcAmp(c.Id, true, k.Value);
        EXPECT_EQ(set.Status(), STATUS_SUCCESS);
        EXPECT_EQ(set.Transferred(), kProcAmpRecord);
        EXPECT_EQ(ctx_->*c.Field, k.Value) << "the setting itself is stored, not the quotient";

        ASSERT_EQ(Requests().size(), 1u);
        EXPECT_EQ(Requests()[0].Request, 2);
        EXPECT_EQ(Requests()[0].Index, c.Control);
        EXPECT_EQ(Requests()[0].Value, k.Sent);
        EXPECT_EQ(camera_.Controls().at(c.Control), k.Sent);
        // No data stage: a null buffer with a length of 0.
        ASSERT_EQ(device_.VendorTrace.size(), 1u);
        EXPECT_FALSE(device_.VendorTrace[0].HasBuffer);
        EXPECT_EQ(device_.VendorTrace[0].Length, 0u);
        EXPECT_FALSE(device_.VendorTrace[0].DeviceToHost);

        PropertyRequest get = ProcAmp(c.Id, false);
        EXPECT_EQ(get.Status(), STATUS_SUCCESS);
        EXPECT_EQ(get.Value(), k.Value);
        EXPECT_EQ(get.Flags(), kManual);
        EXPECT_EQ(get.Capabilities(), kManual);
        EXPECT_EQ(get.Transferred(), kProcAmpRecord);
        EXPECT_EQ(get.Descriptor->PropertyOutputSize, kProcAmpRecord);
    }
}

TEST_P(ProcAmpImage, OutOfRangeIsRefusedBeforeAnythingIsStoredOrSent) {
    const ImageControl& c = GetParam();
    ctx_->*c.Field = 55;
    for (LONG value : {109, -1, INT_MAX, INT_MIN, 1100}) {
        SCOPED_TRACE(value);
        auto before = Snapshot();
        PropertyRequest r = ProcAmp(c.Id, true, value);
        EXPECT_EQ(r.Status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.Transferred(), 0u);
        EXPECT_TRUE(ContextUnchanged(before));
    }
    EXPECT_TRUE(Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Controls, ProcAmpImage, ::testing::ValuesIn(kImageControls));

TEST_F(PropertySets, ProcAmpFailedRequestPassesItsStatusOnAndKeepsTheNewValue) {
    host::InjectFault("vendor:2", {1, 1, STATUS_IO_DEVICE_ERROR});
    PropertyRequest r = ProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST, true, 50);
    EXPECT_EQ(r.Status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(r.Transferred(), 0u);
    EXPECT_EQ(ctx_->Contrast, 50);
    EXPECT_EQ(Requests().size(), 1u);
}

// ---- proc-amp white balance ------------------------------------------------------------------------------

TEST_F(PropertySets, ManualWhiteBalanceSendsControlOneAndTurnsAutomaticOff) {
    ctx_->AutoWhiteBalance = 1;
    PropertyRequest r = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true, 372, kManual);
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Transferred(), kProcAmpRecord);
    EXPECT_EQ(ctx_->WhiteBalance, 372);
    EXPECT_EQ(ctx_->AutoWhiteBalance, 0);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Requests()[0].Request, 2);
    EXPECT_EQ(Requests()[0].Index, 1);
    EXPECT_EQ(Requests()[0].Value, 33);
}

TEST_F(PropertySets, RefusedManualWhiteBalanceStillTurnsAutomaticOff) {
    ctx_->WhiteBalance = 100;
    for (LONG value : {373, 400, -1}) {
        SCOPED_TRACE(value);
        ctx_->AutoWhiteBalance = 1;
        PropertyRequest r = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true, value, 0);
        EXPECT_EQ(r.Status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.Transferred(), 0u);
        EXPECT_EQ(ctx_->AutoWhiteBalance, 0);
        EXPECT_EQ(ctx_->WhiteBalance, 100);
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(PropertySets, AutomaticWhiteBalanceTurnsTheHostBalanceOnAndSendsNothing) {
    ctx_->WhiteBalance = 100;
    // Bit 0 decides, whatever the value and whatever else the flags say.
    for (ULONG flags : {kAuto, kAuto | kManual}) {
        ctx_->AutoWhiteBalance = 0;
        PropertyRequest r = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true, 99999, flags);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        EXPECT_EQ(r.Transferred(), kProcAmpRecord);
        EXPECT_EQ(ctx_->AutoWhiteBalance, 1);
        EXPECT_EQ(ctx_->WhiteBalance, 100);
    }
    EXPECT_TRUE(Requests().empty()) << "the firmware has no automatic white balance control";
}

TEST_F(PropertySets, WhiteBalanceGetReportsAutomaticWhateverTheSwitchHolds) {
    ctx_->WhiteBalance = 200;
    for (BOOLEAN awb : {0, 1}) {
        ctx_->AutoWhiteBalance = awb;
        PropertyRequest r = ProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, false);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        EXPECT_EQ(r.Value(), 200);
        EXPECT_EQ(r.Flags(), kAuto);
        EXPECT_EQ(r.Capabilities(), kAuto);
    }
}

// ---- proc-amp colour enable ---------------------------------------------------------------------------

TEST_F(PropertySets, ProcAmpColorEnableStoresAndSetsThePhaseOnlyWhenOn) {
    ctx_->ColorPhase = 0;
    PropertyRequest on = ProcAmp(KSPROPERTY_VIDEOPROCAMP_COLORENABLE, true, 1);
    EXPECT_EQ(on.Status(), STATUS_SUCCESS);
    EXPECT_EQ(on.Transferred(), kProcAmpRecord);
    EXPECT_EQ(ctx_->ProcAmpColorEnable, 1);
    EXPECT_EQ(ctx_->ColorPhase, 3u);

    ctx_->ColorPhase = 2;
    PropertyRequest off = ProcAmp(KSPROPERTY_VIDEOPROCAMP_COLORENABLE, true, 0);
    EXPECT_EQ(off.Status(), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->ProcAmpColorEnable, 0);
    EXPECT_EQ(ctx_->ColorPhase, 2u);
    EXPECT_EQ(ctx_->ColorEnable, 1) << "colour output is the camera set's switch, not this one";

    auto before = Snapshot();
    PropertyRequest bad = ProcAmp(KSPROPERTY_VIDEOPROCAMP_COLORENABLE, true, 2);
    EXPECT_EQ(bad.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.Transferred(), 0u);
    EXPECT_TRUE(ContextUnchanged(before));

    PropertyRequest get = ProcAmp(KSPROPERTY_VIDEOPROCAMP_COLORENABLE, false);
    EXPECT_EQ(get.Value(), 0);
    EXPECT_EQ(get.Flags(), kManual);
    EXPECT_EQ(get.Capabilities(), kManual);
    EXPECT_TRUE(Requests().empty()) << "the firmware has no colour enable control";
}

// ---- proc-amp IDs without an item, short buffers ----------------------------------------------------------

TEST_F(PropertySets, ProcAmpIdsWithoutAnItemAreNotSupported) {
    for (ULONG id :
         {ULONG(KSPROPERTY_VIDEOPROCAMP_HUE), ULONG(KSPROPERTY_VIDEOPROCAMP_GAMMA), 8u, 0xFFFFFFFFu}) {
        for (bool isSet : {false, true}) {
            SCOPED_TRACE(testing::Message() << "id " << id << (isSet ? " set" : " get"));
            PropertyRequest r =
                MakeRequest(PROPSETID_VIDCAP_VIDEOPROCAMP, id, isSet, kProcAmpRecord, 5, kManual);
            ExpectAnsweredUntouched(r, STATUS_NOT_SUPPORTED, 0);
        }
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(PropertySets, ProcAmpShortBuffersAreRefusedBeforeAnyFieldIsTouched) {
    ctx_->AutoWhiteBalance = 1;
    ctx_->Brightness = 7;
    for (size_t size : {size_t(0), size_t(32), size_t(39)}) {
        for (ULONG id : {ULONG(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS),
                         ULONG(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE), ULONG(KSPROPERTY_VIDEOPROCAMP_HUE)}) {
            for (bool isSet : {false, true}) {
                SCOPED_TRACE(testing::Message() << size << " bytes, id " << id << (isSet ? " set" : " get"));
                // A manual white balance out of range would otherwise turn the automatic one off.
                PropertyRequest r = MakeRequest(PROPSETID_VIDCAP_VIDEOPROCAMP, id, isSet, size, 400, 0);
                ExpectAnsweredUntouched(r, STATUS_BUFFER_TOO_SMALL, 0);
                EXPECT_EQ(r.Descriptor->PropertyOutputSize, size);
            }
        }
    }
    EXPECT_TRUE(Requests().empty());
}

// ---- the window set --------------------------------------------------------------------------------------

class WindowSet : public PropertySets {
  protected:
    void SetUp() override {
        PropertySets::SetUp();
        saved_ = FrameGeometry;
    }
    void TearDown() override {
        FrameGeometry = saved_;
        PropertySets::TearDown();
    }
    FrameGeometryRecord saved_;
};

TEST_F(WindowSet, StoredValuesAndTheLowSixteenBitGet) {
    struct {
        ULONG Id;
        LONG Value;
        ULONG DeviceContext::*Field;
        ULONG Stored;
        LONG Got;
    } const cases[] = {
        {0, 0x12345, &DeviceContext::WindowParam0, 0x12345, 0x2345},
        {0, -2, &DeviceContext::WindowParam0, 0xFFFFFFFE, 0xFFFE},
        {1, 5, &DeviceContext::WindowFlag1, 1, 1},
        {1, 0x10000, &DeviceContext::WindowFlag1, 1, 1},
        {1, 0, &DeviceContext::WindowFlag1, 0, 0},
        {2, -1, &DeviceContext::WindowFlag2, 1, 1},
        {2, 0, &DeviceContext::WindowFlag2, 0, 0},
        {8, 7, &DeviceContext::ColorPhase, 7, 7},
        {8, 0x10003, &DeviceContext::ColorPhase, 0x10003, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << c.Id << " value " << c.Value);
        PropertyRequest set = Window(c.Id, true, c.Value);
        EXPECT_EQ(set.Status(), STATUS_SUCCESS);
        EXPECT_EQ(set.Transferred(), kWindowRecord);
        EXPECT_EQ(ctx_->*c.Field, c.Stored);

        PropertyRequest get = Window(c.Id, false, 0x4444);
        EXPECT_EQ(get.Status(), STATUS_SUCCESS);
        EXPECT_EQ(get.Transferred(), kWindowRecord);
        EXPECT_EQ(get.Value(), c.Got);
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(WindowSet, WindowItemsReportTheAppliedWindowAndIgnoreSets) {
    ASSERT_EQ(SetSensorWindow(ctx_, 100, 7, 2560, 1920, 0), STATUS_SUCCESS);
    const FrameGeometryRecord applied = FrameGeometry;
    const LONG expected[] = {100, 7, 2560, 1920};
    for (ULONG id = 3; id <= 6; ++id) {
        SCOPED_TRACE(id);
        auto before = Snapshot();
        PropertyRequest set = Window(id, true, 10);
        EXPECT_EQ(set.Status(), STATUS_SUCCESS);
        EXPECT_EQ(set.Transferred(), kWindowRecord);
        EXPECT_TRUE(ContextUnchanged(before));
        EXPECT_EQ(std::memcmp(&applied, &FrameGeometry, sizeof(FrameGeometry)), 0);

        PropertyRequest get = Window(id, false);
        EXPECT_EQ(get.Status(), STATUS_SUCCESS);
        EXPECT_EQ(get.Value(), expected[id - 3]);
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(WindowSet, IdsWithoutAnItemAreNotSupported) {
    ctx_->ColorPhase = 1;
    for (ULONG id : {7u, 9u, 0xFFFFFFFFu}) {
        for (bool isSet : {false, true}) {
            SCOPED_TRACE(testing::Message() << "id " << id << (isSet ? " set" : " get"));
            PropertyRequest r = MakeRequest(WindowPropertySetGuid, id, isSet, kWindowRecord, 5);
            ExpectAnsweredUntouched(r, STATUS_NOT_SUPPORTED, 0);
        }
    }
}

TEST_F(WindowSet, ShortBuffersAreRefusedUntouched) {
    for (size_t size : {size_t(0), size_t(24), size_t(31)}) {
        for (ULONG id : {0u, 3u, 8u}) {
            for (bool isSet : {false, true}) {
                SCOPED_TRACE(testing::Message() << size << " bytes, id " << id << (isSet ? " set" : " get"));
                PropertyRequest r = MakeRequest(WindowPropertySetGuid, id, isSet, size, 9);
                ExpectAnsweredUntouched(r, STATUS_BUFFER_TOO_SMALL, 0);
            }
        }
    }
}

} // namespace
