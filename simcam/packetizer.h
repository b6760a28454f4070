// The camera's isochronous packetizer: one raw frame becomes full data packets, each with its header
// byte; the last packet of a frame carries the end-of-frame bit, and the frame is padded to whole packets.
#pragma once

#include "simcam/simulated_camera.h"

#include <cstdint>
#include <vector>

namespace simcam {

// Faults to inject into the next frame's packets (packet indexes count from 0 within the frame).
struct PacketFaults {
    std::vector<uint32_t> ShortPackets;      // these data packets are sent one byte short
    std::vector<uint32_t> FailedSync;        // these sync packets report an error status
    std::vector<uint32_t> FailedData;        // these data packets report an error status
    std::vector<uint32_t> NoDataBefore;      // a no-data packet (header 0x01) is sent before these
    std::vector<uint32_t> RestartBefore;     // a restart packet (header 0x02) is sent before these
    bool MissingEnd = false;                 // the last packet is sent without the end-of-frame bit
};

class Packetizer {
  public:
    explicit Packetizer(uint16_t PacketSize) : packetSize_(PacketSize) {}

    // Start sending a frame. A still frame's data packets carry the toggle bit (0x40) set where the
    // previous frame's were clear, which marks a still to the host.
    void BeginFrame(const std::vector<uint8_t>& RawFrame, bool Still = false,
                    const PacketFaults& Faults = PacketFaults());
    // The next packet of the frame; false once the frame has been sent whole.
    bool NextPacket(Packet* Out);
    // Packets of one frame, without faults: ceil(raw size / packet size).
    uint32_t PacketsPerFrame(uint32_t RawSize) const { return (RawSize + packetSize_ - 1) / packetSize_; }
    uint16_t PacketSize() const { return packetSize_; }

  private:
    uint16_t packetSize_;
    const std::vector<uint8_t>* frame_ = nullptr;
    std::vector<uint8_t> frameCopy_;
    PacketFaults faults_;
    uint32_t next_ = 0;     // next data packet index
    bool pendingExtraSent_ = false;
    bool toggle_ = false;   // toggle bit of the current frame's data packets
    bool done_ = true;
};

} // namespace simcam
