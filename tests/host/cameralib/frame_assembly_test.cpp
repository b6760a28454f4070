// Frame assembly fed packet by packet, with no thread, through a packet routine that takes every byte
// of a packet and reads the header byte as end-of-frame (0x80) and drop (0x20) bits.
#include "host/cameralib/frame_assembly.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

unsigned newFramesBegun = 0;

ULONG NTAPI TakeWholePackets(PDEVICE_OBJECT, PVOID, PVOID, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID SyncBuffer,
                             PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID, PBOOLEAN FrameComplete,
                             PULONG PacketFlag, PULONG ValidDataOffset) {
    const UCHAR header = *static_cast<UCHAR*>(SyncBuffer);
    *FrameComplete = (header & 0x80) != 0;
    *PacketFlag = (header & 0x20) != 0 ? USBCAMD_PROCESSPACKETEX_DropFrame : 0;
    *ValidDataOffset = 0;
    return DataPacket->Length;
}
VOID NTAPI CountNewFrame(PVOID, PVOID, ULONG, PULONG) {
    ++newFramesBegun;
}

const USBCAMD_DEVICE_DATA2 kWholePackets = {0, nullptr, nullptr, TakeWholePackets, CountNewFrame, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

struct Sequence {
    const char* Name;
    std::vector<std::pair<UCHAR, ULONG>> Packets; // header byte, data bytes
    uint32_t Assembled;
    bool Whole;
};

TEST(FrameAssembly, PacketsBuildTheFrameTheDriverAskedFor) {
    const Sequence sequences[] = {
        {"exact", {{0, 4}, {0, 4}, {0x80, 2}}, 10, true},
        {"short", {{0, 4}, {0x80, 2}}, 6, false},
        {"longer than asked: never past the end", {{0, 4}, {0, 4}, {0x80, 4}}, 8, false},
        {"drop flag", {{0, 4}, {0x20, 4}, {0x80, 2}}, 4, false},
    };
    for (const Sequence& sequence : sequences) {
        cameralib::LibraryDevice device;
        device.DeviceData2 = &kWholePackets;
        cameralib::FrameAssembly assembly;
        cameralib::PrepareAssembly(&assembly, 0, 10, 4);
        newFramesBegun = 0;
        cameralib::BeginAssembly(&device, &assembly);
        std::vector<uint8_t> data(4, 0);
        bool complete = false;
        uint8_t next = 1;
        for (const auto& [header, bytes] : sequence.Packets) {
            for (uint8_t& b : data)
                b = next++;
            const USBD_ISO_PACKET_DESCRIPTOR sync{0, 1, USBD_STATUS_SUCCESS};
            const USBD_ISO_PACKET_DESCRIPTOR packet{0, bytes, USBD_STATUS_SUCCESS};
            const cameralib::PacketResult result =
                cameralib::AssemblePacket(&device, &assembly, sync, &header, packet, data.data());
            EXPECT_TRUE(result.Pumped) << sequence.Name;
            complete = result.FrameComplete;
        }
        EXPECT_TRUE(complete) << sequence.Name;
        EXPECT_EQ(assembly.Assembled, sequence.Assembled) << sequence.Name;
        EXPECT_EQ(cameralib::AssemblyWhole(assembly), sequence.Whole) << sequence.Name;
        EXPECT_EQ(newFramesBegun, 1u) << sequence.Name;
        if (sequence.Whole) {
            const std::vector<uint8_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
            EXPECT_EQ(assembly.Frame, expected);
        }
    }
}

} // namespace
