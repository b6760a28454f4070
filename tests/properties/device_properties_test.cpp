// Device property routing and the camera property set, through AdapterDeviceProperty as the adapter
// routine calls it, with a simulated camera behind the library.
#include "tests/properties/device_properties_test_support.h"

#include "host/kernel/faults.h"
#include "properties/procamp_window.h"

#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <cstring>
#include <vector>

namespace {

using proptest::kUntouchedCount;
using proptest::MakeRequest;
using proptest::PropertyRequest;

constexpr size_t kRecord = sizeof(CameraPropertyRecord);
constexpr ULONG kFlagsMarker = 0x00C0FFEE;

class CameraPropertySet : public proptest::PropertyTest {
  protected:
    PropertyRequest Get(ULONG Id) {
        PropertyRequest r = MakeRequest(CameraPropertySetGuid, Id, false, kRecord, 0x7777, kFlagsMarker);
        EXPECT_EQ(Send(r), STATUS_SUCCESS);
        EXPECT_EQ(r.Transferred(), kRecord);
        return r;
    }
    PropertyRequest Set(ULONG Id, LONG Value) {
        PropertyRequest r = MakeRequest(CameraPropertySetGuid, Id, true, kRecord, Value);
        EXPECT_EQ(Send(r), STATUS_SUCCESS);
        return r;
    }
};

// ---- the advertised table ---------------------------------------------------------------------------

TEST(DevicePropertyTable, AdvertisesOnlyTheCameraSetWithItsFourteenItems) {
    const KSPROPERTY_SET& set = DevicePropertySets[0];
    ASSERT_EQ(std::memcmp(set.Set, &CameraPropertySetGuid, sizeof(GUID)), 0);
    EXPECT_EQ(CameraPropertySetGuid.Data1, 0x76BF9E14u);
    ASSERT_EQ(set.PropertiesCount, 14u);
    EXPECT_EQ(set.FastIoCount, 0u);
    EXPECT_EQ(set.FastIoTable, nullptr);
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
        const KSPROPERTY_ITEM& item = set.PropertyItem[i];
        const ULONG id = i + 1;
        SCOPED_TRACE(id);
        EXPECT_EQ(item.PropertyId, id);
        EXPECT_EQ(item.GetSupported != FALSE, id <= 13);
        EXPECT_EQ(item.SetSupported != FALSE, id >= 5);
        EXPECT_EQ(item.MinProperty, 32u);
        EXPECT_EQ(item.MinData, 32u);
        EXPECT_EQ(item.Values, nullptr);
        EXPECT_EQ(item.RelationsCount, 0u);
        EXPECT_EQ(item.SupportHandler, nullptr);
        EXPECT_EQ(item.SerializedSize, 0u);
    }
}

// ---- read-only values ------------------------------------------------------------------------------

struct ConstantCase {
    ULONG Id;
    LONG Value;
};

class CameraConstants : public CameraPropertySet, public ::testing::WithParamInterface<ConstantCase> {};

TEST_P(CameraConstants, GetAnswersTheConstantAndTouchesNothingElse) {
    auto before = Snapshot();
    PropertyRequest r = Get(GetParam().Id);
    EXPECT_EQ(r.Value(), GetParam().Value);
    EXPECT_EQ(r.Flags(), kFlagsMarker) << "the flags word is not the handler's to write";
    EXPECT_TRUE(ContextUnchanged(before));
    EXPECT_TRUE(Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Ids1To4, CameraConstants,
                         ::testing::Values(ConstantCase{1, 2500}, ConstantCase{2, 0}, ConstantCase{3, 2047},
                                           ConstantCase{4, 1023}));

// ---- colour and white balance ------------------------------------------------------------------------

struct ColorCase {
    BOOLEAN VerticalFlip;
    LONG Value;
    BOOLEAN Enabled;
    ULONG Phase; // starting phase is 1, so "left alone" shows as 1
};

class CameraColorEnable : public CameraPropertySet, public ::testing::WithParamInterface<ColorCase> {};

TEST_P(CameraColorEnable, SetSwitchesColourAndPhaseFollowsTheFlip) {
    const ColorCase& c = GetParam();
    ctx_->VerticalFlip = c.VerticalFlip;
    ctx_->ColorEnable = !c.Enabled;
    ctx_->ColorPhase = 1;
    Set(5, c.Value);
    EXPECT_EQ(ctx_->ColorEnable != 0, c.Enabled != 0);
    EXPECT_EQ(ctx_->ColorPhase, c.Phase);
    EXPECT_EQ(Get(5).Value(), c.Enabled ? 1 : 0);
    EXPECT_TRUE(Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Values, CameraColorEnable,
                         ::testing::Values(ColorCase{1, 7, TRUE, 3}, ColorCase{0, 1, TRUE, 2},
                                           ColorCase{1, -1, TRUE, 3}, ColorCase{1, 0, FALSE, 1},
                                           ColorCase{0, 0, FALSE, 1}));

TEST_F(CameraPropertySet, AutoWhiteBalanceTakesAnyNonzeroAsOn) {
    Set(6, 0x100); // only bit 8 set: a byte-wide truncation would read it as off
    EXPECT_EQ(ctx_->AutoWhiteBalance, 1);
    EXPECT_EQ(Get(6).Value(), 1);
    Set(6, 0);
    EXPECT_EQ(ctx_->AutoWhiteBalance, 0);
    EXPECT_EQ(Get(6).Value(), 0);
    EXPECT_TRUE(Requests().empty());
}

// ---- exposure and gain -----------------------------------------------------------------------------

struct RegisterCase {
    ULONG Id;
    LONG Value;
    USHORT Stored; // what the set leaves in the context
    ULONG Sent;    // the register value on the wire
    UCHAR Register;
};

class CameraRegisters : public CameraPropertySet, public ::testing::WithParamInterface<RegisterCase> {
  protected:
    USHORT Field() const { return GetParam().Id == 7 ? ctx_->ExposureTime : ctx_->GlobalGain; }
};

TEST_P(CameraRegisters, SetStoresSixteenBitsAndSendsTheMaskedValue) {
    const RegisterCase& c = GetParam();
    Set(c.Id, c.Value);
    EXPECT_EQ(Field(), c.Stored);
    ASSERT_EQ(Requests().size(), 1u);
    const auto& sent = Requests()[0];
    EXPECT_EQ(sent.Request, 5);
    EXPECT_EQ(sent.Index, c.Register);
    EXPECT_EQ(sent.Value, 0);
    ASSERT_EQ(sent.Data.size(), 4u);
    uint32_t word;
    std::memcpy(&word, sent.Data.data(), 4);
    EXPECT_EQ(word, c.Sent);

    // The get reports what the sensor holds and cuts the stored value to it from then on.
    EXPECT_EQ(Get(c.Id).Value(), static_cast<LONG>(c.Sent));
    EXPECT_EQ(Field(), c.Sent);
    EXPECT_EQ(Requests().size(), 1u) << "a get sends nothing";
}

INSTANTIATE_TEST_SUITE_P(
    ExposureAndGain, CameraRegisters,
    ::testing::Values(RegisterCase{7, 2500, 2500, 452, 1}, RegisterCase{7, 2047, 2047, 2047, 1},
                      RegisterCase{7, 0x12345, 0x2345, 0x345, 1}, RegisterCase{7, -1, 0xFFFF, 0x7FF, 1},
                      RegisterCase{8, 1500, 1500, 476, 0}, RegisterCase{8, 1023, 1023, 1023, 0},
                      RegisterCase{8, 0x10400, 0x0400, 0, 0}));

TEST_F(CameraPropertySet, FailedRegisterWriteIsNotReportedAndTheSettingKeepsItsNewValue) {
    host::InjectFault("vendor:5", {1, 0, STATUS_IO_DEVICE_ERROR});
    Set(7, 1200); // Set() expects STATUS_SUCCESS
    Set(8, 300);
    EXPECT_EQ(ctx_->ExposureTime, 1200);
    EXPECT_EQ(ctx_->GlobalGain, 300);
    ASSERT_EQ(Requests().size(), 2u);
    EXPECT_EQ(Requests()[0].Status, STATUS_IO_DEVICE_ERROR);
}

// ---- channel gains ---------------------------------------------------------------------------------

class CameraChannelGains : public CameraPropertySet, public ::testing::WithParamInterface<ULONG> {
  protected:
    ULONG Gain(ULONG Id) const {
        return Id == 9 ? ctx_->RedGain : Id == 10 ? ctx_->GreenGain : ctx_->BlueGain;
    }
};

TEST_P(CameraChannelGains, StoredWholeAndReturnedUnchanged) {
    const ULONG id = GetParam();
    for (LONG value : {-1, 0, 200, INT_MAX, INT_MIN}) {
        Set(id, value);
        EXPECT_EQ(Gain(id), static_cast<ULONG>(value));
        EXPECT_EQ(Get(id).Value(), value);
        for (ULONG other = 9; other <= 11; ++other) {
            if (other != id) {
                EXPECT_EQ(Gain(other), 128u) << "gain " << other << " changed by a set of " << id;
            }
        }
    }
    EXPECT_TRUE(Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(RedGreenBlue, CameraChannelGains, ::testing::Values(9u, 10u, 11u));

// ---- IDs without effect, unknown IDs --------------------------------------------------------------------

TEST_F(CameraPropertySet, NoOpIdsLeaveValueAndContextAlone) {
    for (ULONG id : {12u, 13u}) {
        for (bool isSet : {false, true}) {
            SCOPED_TRACE(testing::Message() << "id " << id << (isSet ? " set" : " get"));
            auto before = Snapshot();
            PropertyRequest r = MakeRequest(CameraPropertySetGuid, id, isSet, kRecord, 0x1234);
            auto data = r.DataCopy();
            EXPECT_EQ(Send(r), STATUS_SUCCESS);
            EXPECT_TRUE(r.DataUnchanged(data));
            EXPECT_TRUE(ContextUnchanged(before));
            if (!isSet) {
                EXPECT_EQ(r.Transferred(), kRecord);
            }
        }
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(CameraPropertySet, UnknownIdsAnswerZeroOnEitherDirection) {
    for (ULONG id : {0u, 15u, 0xFFFFFFFFu}) {
        for (bool isSet : {false, true}) {
            SCOPED_TRACE(testing::Message() << "id " << id << (isSet ? " set" : " get"));
            auto before = Snapshot();
            PropertyRequest r = MakeRequest(CameraPropertySetGuid, id, isSet, kRecord, 0x1234);
            EXPECT_EQ(Send(r), STATUS_SUCCESS);
            EXPECT_EQ(r.Value(), 0);
            EXPECT_TRUE(ContextUnchanged(before));
            if (!isSet) {
                EXPECT_EQ(r.Transferred(), kRecord);
            }
        }
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(CameraPropertySet, IdComesFromTheRequestNotFromTheDataBuffer) {
    PropertyRequest r = MakeRequest(CameraPropertySetGuid, 9, true, kRecord, 77);
    r.SetWord(16, 7); // the identifier copy in the data says exposure
    Send(r);
    EXPECT_EQ(ctx_->RedGain, 77u);
    EXPECT_EQ(ctx_->ExposureTime, 750);
    EXPECT_TRUE(Requests().empty());
}

// ---- the camera command --------------------------------------------------------------------------------

TEST_F(CameraPropertySet, CommandZeroSendsTheBlockEveryTimeOtherValuesNothing) {
    Set(14, 1);
    Set(14, -1);
    EXPECT_TRUE(Requests().empty());

    Set(14, 0);
    Set(14, 0);
    ASSERT_EQ(Requests().size(), 2u);
    for (const auto& sent : Requests()) {
        EXPECT_EQ(sent.Request, 7);
        EXPECT_EQ(sent.Value, 0);
        EXPECT_EQ(sent.Index, 0);
        EXPECT_FALSE(sent.DeviceToHost);
        EXPECT_EQ(sent.Data, (std::vector<uint8_t>{0x20, 0x03, 0x20}));
    }
    EXPECT_EQ(camera_.BlocksReceived(), 2u);
}

TEST_F(CameraPropertySet, CommandSucceedsWhenTheCameraRefusesIt) {
    host::InjectFault("vendor:7", {1, 1, STATUS_IO_DEVICE_ERROR});
    Set(14, 0);
    ASSERT_EQ(Requests().size(), 1u) << "a failed command is not retried";
    EXPECT_EQ(Requests()[0].Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(camera_.BlocksReceived(), 0u);
}

// ---- routing --------------------------------------------------------------------------------------------

TEST_F(CameraPropertySet, VideoAndCameraControlSetsSucceedWithoutData) {
    for (const GUID* set : {&PROPSETID_VIDCAP_VIDEOCONTROL, &PROPSETID_VIDCAP_CAMERACONTROL}) {
        for (bool isSet : {false, true}) {
            SCOPED_TRACE(testing::Message() << (set == &PROPSETID_VIDCAP_VIDEOCONTROL ? "video" : "camera")
                                            << " control" << (isSet ? " set" : " get"));
            PropertyRequest r = MakeRequest(*set, 1, isSet, kRecord, 5);
            ExpectAnsweredUntouched(r, STATUS_SUCCESS, kUntouchedCount);
        }
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(CameraPropertySet, UnknownSetsAreNotSupportedAndTouchNothing) {
    GUID nearMiss = CameraPropertySetGuid;
    nearMiss.Data4[7] ^= 1; // differs only in the last byte
    GUID procAmpNearMiss = PROPSETID_VIDCAP_VIDEOPROCAMP;
    procAmpNearMiss.Data1 ^= 0x80000000u;
    const struct {
        const char* Name;
        const GUID* Set;
    } sets[] = {{"camera set near miss", &nearMiss},
                {"proc-amp near miss", &procAmpNearMiss},
                {"dropped frames", &PROPSETID_VIDCAP_DROPPEDFRAMES},
                {"connection", &KSPROPSETID_Connection}};
    for (const auto& set : sets) {
        for (bool isSet : {false, true}) {
            SCOPED_TRACE(testing::Message() << set.Name << (isSet ? " set" : " get"));
            PropertyRequest r = MakeRequest(*set.Set, 7, isSet, kRecord, 5);
            ExpectAnsweredUntouched(r, STATUS_NOT_SUPPORTED, kUntouchedCount);
        }
    }
    EXPECT_TRUE(Requests().empty());
}

// ---- requests too short to act on ------------------------------------------------------------------------

TEST_F(CameraPropertySet, ShortDataBuffersAreRefusedUntouched) {
    for (size_t size : {size_t(0), size_t(24), size_t(31)}) {
        for (ULONG id : {1u, 7u, 9u, 14u, 15u}) {
            for (bool isSet : {false, true}) {
                SCOPED_TRACE(testing::Message() << size << " bytes, id " << id << (isSet ? " set" : " get"));
                PropertyRequest r = MakeRequest(CameraPropertySetGuid, id, isSet, size, 0);
                ExpectAnsweredUntouched(r, STATUS_BUFFER_TOO_SMALL, 0);
            }
        }
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(CameraPropertySet, RequestsWithoutAWholeIdentifierAreRefused) {
    PropertyRequest shortId = MakeRequest(CameraPropertySetGuid, 7, true, kRecord, 5);
    shortId.Descriptor->PropertyInputSize = sizeof(KSPROPERTY) - 1;
    EXPECT_EQ(Send(shortId), STATUS_BUFFER_TOO_SMALL);

    PropertyRequest noId = MakeRequest(CameraPropertySetGuid, 7, true, kRecord, 5);
    noId.Descriptor->Property = nullptr;
    EXPECT_EQ(Send(noId), STATUS_BUFFER_TOO_SMALL);
    // A handler reached some other way than through the routing refuses it too.
    EXPECT_EQ(WindowSetProperty(ctx_, noId.Srb.get()), STATUS_BUFFER_TOO_SMALL);

    PropertyRequest noDescriptor = MakeRequest(CameraPropertySetGuid, 7, true, kRecord, 5);
    noDescriptor.Srb->CommandData.PropertyInfo = nullptr;
    EXPECT_EQ(Send(noDescriptor), STATUS_BUFFER_TOO_SMALL);

    EXPECT_EQ(ctx_->ExposureTime, 750);
    EXPECT_TRUE(Requests().empty());
}

} // namespace
