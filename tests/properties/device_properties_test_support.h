// A device as it stands after initialise, attached to a simulated camera, and property requests built by
// hand the way the stream class builds them. Every part of a request (SRB, descriptor, identifier, data)
// sits in an allocation of exactly its size, so that a handler reading past any of them lands in a
// sanitizer's red zone.
#pragma once

#include "host/bus/bus.h"
#include "host/cameralib/library_device.h"
#include "driver/device_context.h"
#include "host/kernel/faults.h"
#include "properties/device_properties.h"
#include "host/simcam/simulated_camera.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace proptest {

// The words of the data record that a handler reads or writes, at their offsets in the record.
constexpr size_t kValueOffset = 24;
constexpr size_t kFlagsOffset = 28;
constexpr size_t kCapabilitiesOffset = 32;

constexpr NTSTATUS kNotCompleted = static_cast<NTSTATUS>(0x12345678);
constexpr ULONG kUntouchedCount = 0xDEADBEEF;
constexpr uint8_t kFill = 0x5A;

struct PropertyRequest {
    std::unique_ptr<HW_STREAM_REQUEST_BLOCK> Srb;
    std::unique_ptr<STREAM_PROPERTY_DESCRIPTOR> Descriptor;
    std::unique_ptr<KSPROPERTY> Property;
    std::unique_ptr<uint8_t[]> Data;
    size_t DataSize = 0;

    uint32_t Word(size_t Offset) const {
        uint32_t w;
        std::memcpy(&w, Data.get() + Offset, sizeof(w));
        return w;
    }
    void SetWord(size_t Offset, uint32_t W) { std::memcpy(Data.get() + Offset, &W, sizeof(W)); }
    LONG Value() const { return static_cast<LONG>(Word(kValueOffset)); }
    ULONG Flags() const { return Word(kFlagsOffset); }
    ULONG Capabilities() const { return Word(kCapabilitiesOffset); }
    NTSTATUS Status() const { return Srb->Status; }
    ULONG Transferred() const { return Srb->ActualBytesTransferred; }
    // Whether the data buffer still holds the bytes it was sent with.
    bool DataUnchanged(const std::vector<uint8_t>& Before) const {
        return Before.size() == DataSize &&
               (DataSize == 0 || std::memcmp(Before.data(), Data.get(), DataSize) == 0);
    }
    std::vector<uint8_t> DataCopy() const { return std::vector<uint8_t>(Data.get(), Data.get() + DataSize); }
};

// A request for property Id of Set with a data buffer of DataSize bytes: the identifier copied at its
// head as a client leaves it, the rest filled with a marker, Value and Flags as given.
inline PropertyRequest MakeRequest(const GUID& Set, ULONG Id, bool IsSet, size_t DataSize, LONG Value = 0,
                                   ULONG Flags = 0) {
    PropertyRequest r;
    r.Property.reset(new KSPROPERTY{Set, Id, IsSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET});
    r.DataSize = DataSize;
    r.Data.reset(new uint8_t[DataSize == 0 ? 1 : DataSize]);
    std::memset(r.Data.get(), kFill, DataSize);
    if (DataSize >= sizeof(KSPROPERTY))
        std::memcpy(r.Data.get(), r.Property.get(), sizeof(KSPROPERTY));
    if (DataSize >= kValueOffset + 4)
        r.SetWord(kValueOffset, static_cast<uint32_t>(Value));
    if (DataSize >= kFlagsOffset + 4)
        r.SetWord(kFlagsOffset, Flags);

    r.Descriptor.reset(new STREAM_PROPERTY_DESCRIPTOR{});
    r.Descriptor->Property = r.Property.get();
    r.Descriptor->PropertySetID = 0;
    r.Descriptor->PropertyInfo = DataSize == 0 ? nullptr : r.Data.get();
    r.Descriptor->PropertyInputSize = sizeof(KSPROPERTY);
    r.Descriptor->PropertyOutputSize = static_cast<ULONG>(DataSize);

    r.Srb.reset(new HW_STREAM_REQUEST_BLOCK{});
    r.Srb->SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    r.Srb->Command = IsSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    r.Srb->Status = kNotCompleted;
    r.Srb->CommandData.PropertyInfo = r.Descriptor.get();
    r.Srb->ActualBytesTransferred = kUntouchedCount;
    return r;
}

// A device context inside its zero-filled 212-byte extension, holding the settings a freshly initialised
// device has, attached to a simulated camera through the library's per-device record.
class PropertyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ClearAllFaults();
        std::memset(extension_, 0, sizeof(extension_));
        ctx_ = reinterpret_cast<PDeviceContext>(extension_);
        ctx_->ColorEnable = 1;
        ctx_->AutoWhiteBalance = 0;
        ctx_->RedGain = ctx_->GreenGain = ctx_->BlueGain = 128;
        ctx_->ExposureTime = 750;
        ctx_->GlobalGain = 0;
        ctx_->VerticalFlip = 1;
        ctx_->ColorPhase = 3;

        device_.DeviceContext = ctx_;
        device_.Port = bus_.Plug(&camera_);
        cameralib::AttachDevice(&device_);
    }
    void TearDown() override {
        cameralib::DetachDevice(&device_);
        host::ClearAllFaults();
    }

    // Delivers the request as the adapter routine does and checks that the status returned is the one
    // stored in the SRB (the adapter routine completes with the stored one).
    NTSTATUS Send(PropertyRequest& r) {
        const bool isSet = r.Srb->Command == SRB_SET_DEVICE_PROPERTY;
        NTSTATUS returned = AdapterDeviceProperty(isSet ? TRUE : FALSE, nullptr, ctx_, r.Srb.get());
        EXPECT_EQ(returned, r.Srb->Status) << "status returned differs from the status stored";
        return returned;
    }

    const std::vector<simcam::VendorRequestRecord>& Requests() const { return camera_.Requests(); }

    // The device extension, byte for byte, and whether it still holds Before.
    std::vector<uint8_t> Snapshot() const {
        return std::vector<uint8_t>(extension_, extension_ + sizeof(extension_));
    }
    bool ContextUnchanged(const std::vector<uint8_t>& Before) const {
        return std::memcmp(Before.data(), extension_, sizeof(extension_)) == 0;
    }

    // Sends r and checks that it completes with Expected and Transferred bytes reported, leaving its data
    // buffer and the device context as they were.
    void ExpectAnsweredUntouched(PropertyRequest& r, NTSTATUS Expected, ULONG Transferred) {
        const std::vector<uint8_t> before = Snapshot();
        const std::vector<uint8_t> data = r.DataCopy();
        EXPECT_EQ(Send(r), Expected);
        EXPECT_TRUE(r.DataUnchanged(data)) << "the data buffer was written";
        EXPECT_EQ(r.Transferred(), Transferred);
        EXPECT_TRUE(ContextUnchanged(before)) << "the device context was changed";
    }

    alignas(8) unsigned char extension_[DEVICE_CONTEXT_EXTENSION_SIZE];
    PDeviceContext ctx_ = nullptr;
    bus::Bus bus_; // outlives the camera, which leaves it as it goes
    simcam::SimulatedCamera camera_;
    cameralib::LibraryDevice device_;
};

} // namespace proptest
