#include "driver/device_context.h"

#include <gtest/gtest.h>

// The records the platform and the library fix must keep their published sizes on every build.
TEST(Layout, RecordsHaveTheirPublishedSizes) {
    EXPECT_EQ(sizeof(KSDATAFORMAT), 64u);
    EXPECT_EQ(sizeof(KS_DATARANGE_VIDEO), 296u);
    EXPECT_EQ(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS), 128u);
    EXPECT_EQ(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), 152u);
    EXPECT_EQ(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval), 104u);
    EXPECT_EQ(sizeof(USBCAMD_DEVICE_DATA), 13 * sizeof(void*));
    EXPECT_LE(sizeof(DeviceContext), DEVICE_CONTEXT_EXTENSION_SIZE);
}
