#include "host/simcam/packetizer.h"
#include "host/simcam/sensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace simcam {
namespace {

std::vector<uint8_t> PatternFrame(size_t Size) {
    std::vector<uint8_t> f(Size);
    for (size_t i = 0; i < Size; ++i) {
        f[i] = static_cast<uint8_t>((i * 31 + i / 251) & 0xFF);
    }
    return f;
}

std::vector<Packet> SendAll(Packetizer& P) {
    std::vector<Packet> packets;
    Packet p;
    while (P.NextPacket(&p)) {
        packets.push_back(p);
    }
    return packets;
}

// --- whole frames ----------------------------------------------------------------------------------

class PacketSizeTest : public testing::TestWithParam<std::pair<uint16_t, uint32_t>> {};

TEST_P(PacketSizeTest, FrameGoesOutAsFullPacketsEndingWithEndOfFrame) {
    const uint16_t size = GetParam().first;
    const uint32_t expectedCount = GetParam().second;
    const std::vector<uint8_t> raw = PatternFrame(RAW_FRAME_SIZE);
    Packetizer packetizer(size);
    EXPECT_EQ(packetizer.PacketsPerFrame(RAW_FRAME_SIZE), expectedCount);
    packetizer.BeginFrame(raw);

    std::vector<uint8_t> joined;
    uint32_t count = 0;
    uint32_t ends = 0;
    uint32_t otherHeaders = 0;
    uint32_t badPackets = 0;
    Packet p;
    uint8_t lastHeader = 0;
    while (packetizer.NextPacket(&p)) {
        ++count;
        ends += p.Header == 0x80;
        otherHeaders += p.Header != 0x80 && p.Header != 0x00;
        badPackets += p.Data.size() != size || p.SyncStatus != USBD_STATUS_SUCCESS ||
                      p.DataStatus != USBD_STATUS_SUCCESS;
        joined.insert(joined.end(), p.Data.begin(), p.Data.end());
        lastHeader = p.Header;
    }
    EXPECT_EQ(count, expectedCount);
    EXPECT_EQ(ends, 1u);
    EXPECT_EQ(lastHeader, 0x80);
    EXPECT_EQ(otherHeaders, 0u);
    EXPECT_EQ(badPackets, 0u);
    ASSERT_EQ(joined.size(), size_t{expectedCount} * size);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), joined.begin()));
    EXPECT_TRUE(
        std::all_of(joined.begin() + raw.size(), joined.end(), [](uint8_t b) { return b == RAW_FILLER; }));
    EXPECT_FALSE(packetizer.NextPacket(&p));
}

INSTANTIATE_TEST_SUITE_P(Packetizer, PacketSizeTest,
                         testing::Values(std::make_pair(uint16_t{512}, 11576u), // divides the frame exactly
                                         std::make_pair(uint16_t{1023}, 5794u),
                                         std::make_pair(uint16_t{3072}, 1930u)));

TEST(Packetizer, NothingToSendWithoutAFrameOrWithoutPacketRoom) {
    Packet p;
    Packetizer idle(512);
    EXPECT_FALSE(idle.NextPacket(&p));
    idle.BeginFrame(std::vector<uint8_t>());
    EXPECT_FALSE(idle.NextPacket(&p));
    Packetizer zero(0);
    EXPECT_EQ(zero.PacketsPerFrame(RAW_FRAME_SIZE), 0u);
    zero.BeginFrame(PatternFrame(100));
    EXPECT_FALSE(zero.Sending());
    EXPECT_FALSE(zero.NextPacket(&p));
}

TEST(Packetizer, NewFrameAbandonsTheOneBeingSent) {
    Packetizer packetizer(4);
    packetizer.BeginFrame(std::vector<uint8_t>(12, 0xAA));
    Packet p;
    ASSERT_TRUE(packetizer.NextPacket(&p));
    packetizer.BeginFrame(std::vector<uint8_t>(8, 0xBB));
    const std::vector<Packet> packets = SendAll(packetizer);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].Data, std::vector<uint8_t>(4, 0xBB));
    EXPECT_EQ(packets[1].Header, 0x80);
}

TEST(Packetizer, MovedFrameIsSentLikeACopiedOne) {
    const std::vector<uint8_t> raw = PatternFrame(10);
    Packetizer copied(4);
    Packetizer moved(4);
    copied.BeginFrame(raw, true);
    moved.BeginFrame(std::vector<uint8_t>(raw), true);
    const std::vector<Packet> a = SendAll(copied);
    const std::vector<Packet> b = SendAll(moved);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].Header, b[i].Header);
        EXPECT_EQ(a[i].Data, b[i].Data);
    }
}

// --- stills ----------------------------------------------------------------------------------------

// What a host sees: a data packet (no end, restart or no-data bit) whose toggle goes from 0 to 1 marks the
// frame being assembled as a still. A failed sync packet counts as a zero header.
std::vector<bool> HostStills(Packetizer& P, const std::vector<bool>& Still) {
    std::vector<bool> seen;
    bool last = false;
    for (bool still : Still) {
        P.BeginFrame(PatternFrame(20), still);
        bool marked = false;
        for (const Packet& p : SendAll(P)) {
            const uint8_t h = p.SyncStatus < 0 ? 0 : p.Header;
            if (h & 0x83) {
                continue;
            }
            const bool t = (h & 0x40) != 0;
            marked |= t && !last;
            last = t;
        }
        seen.push_back(marked);
    }
    return seen;
}

TEST(PacketizerStill, StillFramesCarryTheToggleOnTheirDataPackets) {
    Packetizer packetizer(4);
    packetizer.BeginFrame(PatternFrame(20), true);
    const std::vector<Packet> still = SendAll(packetizer);
    ASSERT_EQ(still.size(), 5u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(still[i].Header, 0x40) << i;
    }
    EXPECT_EQ(still[4].Header, 0x80);
    packetizer.BeginFrame(PatternFrame(20));
    for (const Packet& p : SendAll(packetizer)) {
        EXPECT_EQ(p.Header & 0x40, 0);
    }
}

TEST(PacketizerStill, HostSeesEveryStillIncludingStillsInARow) {
    Packetizer packetizer(4);
    const std::vector<bool> frames = {false, true, true, true, false, false, true, false};
    EXPECT_EQ(HostStills(packetizer, frames), frames);
}

// --- faults ----------------------------------------------------------------------------------------

struct Expected {
    uint8_t Header;
    size_t Length;
    bool SyncOk;
    bool DataOk;
};

struct FaultCase {
    const char* Name;
    PacketFaults Faults;
    bool Still;
    std::vector<Expected> Packets; // the frame is 10 bytes in packets of 4: three data packets
};

PacketFaults Faults(std::vector<uint32_t> Short, std::vector<uint32_t> Sync, std::vector<uint32_t> Data,
                    std::vector<uint32_t> NoData, std::vector<uint32_t> Restart, bool MissingEnd) {
    PacketFaults f;
    f.ShortPackets = Short;
    f.FailedSync = Sync;
    f.FailedData = Data;
    f.NoDataBefore = NoData;
    f.RestartBefore = Restart;
    f.MissingEnd = MissingEnd;
    return f;
}

class PacketFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(PacketFaultTest, FaultAppearsWhereRequested) {
    const FaultCase& k = GetParam();
    const std::vector<uint8_t> raw = PatternFrame(10);
    Packetizer packetizer(4);
    packetizer.BeginFrame(raw, k.Still, k.Faults);
    const std::vector<Packet> packets = SendAll(packetizer);
    ASSERT_EQ(packets.size(), k.Packets.size());
    size_t dataIndex = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet& p = packets[i];
        const Expected& e = k.Packets[i];
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_EQ(p.Header, e.Header);
        EXPECT_EQ(p.Data.size(), e.Length);
        EXPECT_EQ(p.SyncStatus == USBD_STATUS_SUCCESS, e.SyncOk);
        EXPECT_EQ(p.DataStatus == USBD_STATUS_SUCCESS, e.DataOk);
        if (e.Header & 0x03) {
            EXPECT_EQ(p.Data, std::vector<uint8_t>(e.Length, PACKET_NO_DATA_FILL));
            continue;
        }
        // A data packet, short or not, carries the frame's bytes in order.
        for (size_t b = 0; b < p.Data.size(); ++b) {
            const size_t at = dataIndex * 4 + b;
            EXPECT_EQ(p.Data[b], at < raw.size() ? raw[at] : RAW_FILLER);
        }
        ++dataIndex;
    }

    // Faults are for one frame only.
    packetizer.BeginFrame(raw);
    const std::vector<Packet> clean = SendAll(packetizer);
    ASSERT_EQ(clean.size(), 3u);
    for (const Packet& p : clean) {
        EXPECT_EQ(p.Data.size(), 4u);
        EXPECT_EQ(p.SyncStatus, USBD_STATUS_SUCCESS);
        EXPECT_EQ(p.DataStatus, USBD_STATUS_SUCCESS);
    }
    EXPECT_EQ(clean[2].Header, 0x80);
}

INSTANTIATE_TEST_SUITE_P(
    Packetizer, PacketFaultTest,
    testing::Values(
        FaultCase{"None", {}, false, {{0x00, 4, true, true}, {0x00, 4, true, true}, {0x80, 4, true, true}}},
        FaultCase{"ShortData",
                  Faults({1}, {}, {}, {}, {}, false),
                  false,
                  {{0x00, 4, true, true}, {0x00, 3, true, true}, {0x80, 4, true, true}}},
        FaultCase{"ShortEnd",
                  Faults({2}, {}, {}, {}, {}, false),
                  false,
                  {{0x00, 4, true, true}, {0x00, 4, true, true}, {0x80, 3, true, true}}},
        FaultCase{"FailedSyncAndData",
                  Faults({}, {0}, {2}, {}, {}, false),
                  false,
                  {{0x00, 4, false, true}, {0x00, 4, true, true}, {0x80, 4, true, false}}},
        FaultCase{
            "NoDataBeforeSecond",
            Faults({}, {}, {}, {1}, {}, false),
            false,
            {{0x00, 4, true, true}, {0x01, 4, true, true}, {0x00, 4, true, true}, {0x80, 4, true, true}}},
        FaultCase{"NoDataThenRestartBeforeFirst",
                  Faults({}, {}, {}, {0}, {0}, false),
                  false,
                  {{0x01, 4, true, true},
                   {0x02, 4, true, true},
                   {0x00, 4, true, true},
                   {0x00, 4, true, true},
                   {0x80, 4, true, true}}},
        FaultCase{
            "RestartBeforeEnd",
            Faults({}, {}, {}, {}, {2}, false),
            true,
            {{0x40, 4, true, true}, {0x40, 4, true, true}, {0x02, 4, true, true}, {0x80, 4, true, true}}},
        FaultCase{"MissingEnd",
                  Faults({}, {}, {}, {}, {}, true),
                  false,
                  {{0x00, 4, true, true}, {0x00, 4, true, true}, {0x00, 4, true, true}}},
        FaultCase{"MissingEndOfStill",
                  Faults({}, {}, {}, {}, {}, true),
                  true,
                  {{0x40, 4, true, true}, {0x40, 4, true, true}, {0x40, 4, true, true}}},
        FaultCase{"IndexesPastTheFrameIgnored",
                  Faults({3}, {7}, {100}, {3}, {0xFFFFFFFFu}, false),
                  false,
                  {{0x00, 4, true, true}, {0x00, 4, true, true}, {0x80, 4, true, true}}}),
    [](const testing::TestParamInfo<FaultCase>& I) { return std::string(I.param.Name); });

} // namespace
} // namespace simcam
