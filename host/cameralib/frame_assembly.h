// Raw frame assembly: each packet the camera sent, its header byte from the sync pipe and its data from
// the data pipe, through the driver's packet routine, which says how many of the packet's bytes are image
// data, where the frame ends and whether it must be dropped or marked a still; the bytes go onto the end
// of the frame being assembled. It belongs to the completion worker alone and runs no thread of its own,
// so a test can feed it packet by packet.
//
// Nothing is copied while packets come in memory the device lent (see bus::IsoTransfer) and each one's
// bytes continue where the last one's ended: the frame is then that lent memory, kept alive by the
// lender until the frame has been converted. The first packet that departs from it (bytes of its own,
// an offset into the packet, another lender) has the frame so far copied into the frame buffer, where
// the assembly goes on.
#pragma once

#include "host/cameralib/library_device.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace cameralib {

struct FrameAssembly {
    ULONG StreamNumber = 0;
    ULONG RawFrameLength = 0;  // as the driver asked at bandwidth allocation
    std::vector<uint8_t> Frame; // room for RawFrameLength bytes
    uint32_t Assembled = 0;     // bytes of the frame so far
    uint32_t DataPackets = 0;   // packets the driver took for this frame
    bool Dropping = false;      // the frame is spoiled: it ends, but is thrown away
    bool Still = false;
    bool NextIsStill = false;
    bool PipeStopped = false; // the driver stopped the isochronous pipe: packets are lost on the bus
    std::vector<uint8_t> FrameContext; // the driver's per-frame record
    const uint8_t* LentBase = nullptr; // while the frame lies in lent memory: where it begins
    std::shared_ptr<const void> LentKeep;
    // The frame's bytes, wherever they are.
    const uint8_t* Bytes() const { return LentBase != nullptr ? LentBase : Frame.data(); }
};

// What one packet did.
struct PacketResult {
    bool Pumped = false;        // it reached the driver's packet routine
    bool FrameComplete = false; // the frame ends with it: finish it, then begin the next
    unsigned PipeRestarts = 0;  // stops of the pipe the driver asked for while it looked at the packet
};

// Ready for the stream's first frame: length from the driver, the driver's frame record of FrameContextSize
// bytes; the frame buffer keeps its storage when it has the length already.
void PrepareAssembly(FrameAssembly* Assembly, ULONG StreamNumber, ULONG RawFrameLength, ULONG FrameContextSize);
// A fresh frame: the driver is told a new frame begins, as the library does before each frame.
void BeginAssembly(LibraryDevice* Device, FrameAssembly* Assembly);
// One packet: SyncPacket and SyncData are the sync pipe's packet (its header byte), DataPacket and Data
// the data pipe's, as the bus delivered them; Lender is what the data packet's memory belongs to when
// the device lent it (null or empty otherwise).
PacketResult AssemblePacket(LibraryDevice* Device, FrameAssembly* Assembly, const USBD_ISO_PACKET_DESCRIPTOR& SyncPacket,
                            const uint8_t* SyncData, const USBD_ISO_PACKET_DESCRIPTOR& DataPacket,
                            const uint8_t* Data, const std::shared_ptr<const void>* Lender = nullptr);
// A frame that ended is whole when nothing spoiled it and it has exactly the length asked for: a shorter
// one lacks packets, and the driver trusts the raw frame to have that length.
bool AssemblyWhole(const FrameAssembly& Assembly);

} // namespace cameralib
