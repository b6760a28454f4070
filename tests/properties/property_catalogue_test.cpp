// The published catalogue against the handlers it describes: an application that builds its controls
// from it must get the access, ranges and initial values the driver really has.
#include "platform/camera_properties.h"
#include "host/streamclass/client.h"
#include "properties/device_properties.h"
#include "properties/settings.h"
#include "tests/properties/device_properties_test_support.h"

#include <set>
#include <string>

namespace {

using proptest::MakeRequest;

const GUID& SetGuidOf(PropertySetId Set) {
    switch (Set) {
    case PropertySetProcAmp:
        return PROPSETID_VIDCAP_VIDEOPROCAMP;
    case PropertySetWindow:
        return WindowPropertySetGuid;
    case PropertySetCamera:
        break;
    }
    return CameraPropertySetGuid;
}

class PropertyCatalogue : public proptest::PropertyTest {
  protected:
    proptest::PropertyRequest Request(const PublishedProperty& P, bool IsSet, LONG Value = 0) {
        const size_t size = P.Set == PropertySetProcAmp ? sizeof(KSPROPERTY_VIDEOPROCAMP_S) : 32;
        return MakeRequest(SetGuidOf(P.Set), P.Id, IsSet, size, Value, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    }
};

TEST_F(PropertyCatalogue, DescribesWhatTheHandlersDo) {
    InitializeSettings(nullptr, ctx_);
    std::set<std::string> names;
    for (const PublishedProperty& p : PublishedProperties) {
        SCOPED_TRACE(p.Name);
        EXPECT_TRUE(names.insert(p.Name).second) << "names are unique";
        if (p.Set == PropertySetCamera) {
            const KSPROPERTY_ITEM* item = nullptr;
            for (ULONG i = 0; i < DevicePropertySets[0].PropertiesCount; ++i)
                if (DevicePropertySets[0].PropertyItem[i].PropertyId == p.Id)
                    item = &DevicePropertySets[0].PropertyItem[i];
            ASSERT_NE(item, nullptr) << "a published camera property is advertised";
            EXPECT_EQ(streamclass::ItemSupported(&item->GetPropertyHandler),
                      (p.Access & PropertyAccessGet) != 0);
            EXPECT_EQ(streamclass::ItemSupported(&item->SetPropertyHandler),
                      (p.Access & PropertyAccessSet) != 0);
        }
        if (p.Access & PropertyAccessGet) {
            proptest::PropertyRequest get = Request(p, false);
            ASSERT_EQ(Send(get), STATUS_SUCCESS);
            if (p.Flags & PropertyHasDefault) {
                EXPECT_EQ(get.Value(), p.Default) << "the value after initialise-device";
            }
        }
        if (p.MaximumFrom != 0) {
            proptest::PropertyRequest max = MakeRequest(CameraPropertySetGuid, p.MaximumFrom, false, 32);
            ASSERT_EQ(Send(max), STATUS_SUCCESS);
            EXPECT_EQ(max.Value(), p.Maximum) << "the maximum property answers the published maximum";
        }
        if (p.Flags & PropertyRangeChecked) {
            proptest::PropertyRequest top = Request(p, true, p.Maximum);
            EXPECT_EQ(Send(top), STATUS_SUCCESS);
            proptest::PropertyRequest above = Request(p, true, p.Maximum + 1);
            EXPECT_EQ(Send(above), STATUS_INVALID_PARAMETER);
            proptest::PropertyRequest below = Request(p, true, p.Minimum - 1);
            EXPECT_EQ(Send(below), STATUS_INVALID_PARAMETER);
        }
    }
}

} // namespace
