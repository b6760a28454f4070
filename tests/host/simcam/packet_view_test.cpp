// Packets sent straight from the caller's frame: the same packets as from a copied frame, with whole
// packets read where the frame lies.
#include "host/simcam/packetizer.h"
#include "host/simcam/sensor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace simcam {
namespace {

struct ViewCase {
    const char* Name;
    uint16_t PacketSize;
    size_t FrameSize;
    PacketFaults Faults;
    bool Still;
};

class PacketViewTest : public testing::TestWithParam<ViewCase> {};

TEST_P(PacketViewTest, InPlaceFrameSendsWhatACopiedFrameSends) {
    const ViewCase& k = GetParam();
    std::vector<uint8_t> frame(k.FrameSize);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7 + 3);

    Packetizer copied(k.PacketSize);
    Packetizer inPlace(k.PacketSize);
    copied.BeginFrame(frame, k.Still, k.Faults);
    inPlace.BeginFrameInPlace(frame.data(), frame.size(), k.Still, k.Faults);

    Packet expected;
    PacketView view;
    size_t sent = 0;
    size_t dataPackets = 0;
    while (copied.NextPacket(&expected)) {
        SCOPED_TRACE("packet " + std::to_string(sent));
        ASSERT_TRUE(inPlace.NextPacket(&view));
        EXPECT_EQ(view.Header, expected.Header);
        EXPECT_EQ(view.SyncStatus, expected.SyncStatus);
        EXPECT_EQ(view.DataStatus, expected.DataStatus);
        ASSERT_EQ(view.Length, expected.Data.size());
        EXPECT_EQ(std::vector<uint8_t>(view.Data, view.Data + view.Length), expected.Data);
        if ((view.Header & (PACKET_NO_DATA | PACKET_RESTART)) == 0) {
            // A packet that lies wholly inside the frame is not copied anywhere.
            const size_t offset = dataPackets * k.PacketSize;
            if (offset + k.PacketSize <= frame.size()) {
                EXPECT_EQ(view.Data, frame.data() + offset);
            }
            ++dataPackets;
        }
        ++sent;
    }
    EXPECT_FALSE(inPlace.NextPacket(&view));
    EXPECT_FALSE(inPlace.Sending());
    EXPECT_EQ(sent, copied.PacketsPerFrame(static_cast<uint32_t>(k.FrameSize)) +
                        k.Faults.NoDataBefore.size() + k.Faults.RestartBefore.size());
}

PacketFaults Mixed() {
    PacketFaults f;
    f.ShortPackets = {1};
    f.FailedSync = {0};
    f.FailedData = {2};
    f.NoDataBefore = {0};
    f.RestartBefore = {2};
    return f;
}

PacketFaults ShortLastAndNoEnd() {
    PacketFaults f;
    f.ShortPackets = {2};
    f.MissingEnd = true;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Packetizer, PacketViewTest,
    testing::Values(ViewCase{"Exact", 4, 12, {}, false}, ViewCase{"PaddedLast", 4, 10, {}, true},
                    ViewCase{"OneShortPacket", 16, 5, {}, false}, ViewCase{"Faults", 4, 12, Mixed(), false},
                    ViewCase{"FaultsOnPaddedLast", 4, 11, ShortLastAndNoEnd(), true},
                    ViewCase{"CameraFrame", 1023, RAW_FRAME_SIZE, {}, false}),
    [](const testing::TestParamInfo<ViewCase>& info) { return std::string(info.param.Name); });

TEST(Packetizer, InPlaceFrameWithoutBytesSendsNothing) {
    Packetizer packetizer(512);
    PacketView view;
    packetizer.BeginFrameInPlace(nullptr, 100);
    EXPECT_FALSE(packetizer.NextPacket(&view));
    const uint8_t byte = 1;
    packetizer.BeginFrameInPlace(&byte, 0);
    EXPECT_FALSE(packetizer.NextPacket(&view));
}

} // namespace
} // namespace simcam
