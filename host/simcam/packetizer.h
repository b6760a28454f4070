// The camera's isochronous packetizer: one raw frame becomes full data packets, each with its header
// byte; the last packet of a frame carries the end-of-frame bit, and the frame is padded to whole packets.
#pragma once

#include "platform/usb_types.h"

#include <cstdint>
#include <vector>

namespace simcam {

// One isochronous packet: the sync packet's header byte and status, and the data packet.
struct Packet {
    uint8_t Header = 0;
    USBD_STATUS SyncStatus = USBD_STATUS_SUCCESS;
    USBD_STATUS DataStatus = USBD_STATUS_SUCCESS;
    std::vector<uint8_t> Data; // Length is Data.size()
};

// One packet without a copy of its data: Data points into the frame being sent (or into the
// packetizer's own padding and no-data buffers) and stays valid until the packetizer begins another
// frame or is destroyed.
struct PacketView {
    uint8_t Header = 0;
    USBD_STATUS SyncStatus = USBD_STATUS_SUCCESS;
    USBD_STATUS DataStatus = USBD_STATUS_SUCCESS;
    const uint8_t* Data = nullptr;
    uint32_t Length = 0;
};

// Header byte bits the camera sends with each packet.
constexpr uint8_t PACKET_END_OF_FRAME = 0x80; // the frame is complete after this packet's data
constexpr uint8_t PACKET_TOGGLE = 0x40;       // frame toggle of data packets; 0 -> 1 marks a still
constexpr uint8_t PACKET_RESTART = 0x02;      // the host should restart its pipe; no image data
constexpr uint8_t PACKET_NO_DATA = 0x01;      // the packet carries no image data

// The status a faulty sync or data packet reports.
constexpr USBD_STATUS PACKET_FAULT_STATUS = USBD_STATUS_CRC;
// Content of the inserted no-data and restart packets: full-sized, so that a host that appends bytes
// the header says are not image data corrupts the frame visibly.
constexpr uint8_t PACKET_NO_DATA_FILL = 0xEE;

// Faults to inject into the next frame's packets (packet indexes count from 0 within the frame and name
// its data packets, the last one included; inserted no-data and restart packets are not counted).
// Indexes at or past the frame's packet count are ignored.
struct PacketFaults {
    std::vector<uint32_t> ShortPackets;  // these data packets are sent one byte short
    std::vector<uint32_t> FailedSync;    // these sync packets report an error status
    std::vector<uint32_t> FailedData;    // these data packets report an error status
    std::vector<uint32_t> NoDataBefore;  // a no-data packet (header 0x01) is sent before these
    std::vector<uint32_t> RestartBefore; // a restart packet (header 0x02) is sent before these
    bool MissingEnd = false;             // the last packet is sent without the end-of-frame bit
};

class Packetizer {
  public:
    // PacketSize is the data pipe's maximum packet size; a size of 0 sends no packets at all.
    explicit Packetizer(uint16_t PacketSize);

    // Start sending a frame (any frame still being sent is abandoned). A still frame's data packets carry
    // the toggle bit (0x40) set where the previous frame's were clear, which marks a still to the host.
    // After a still, the next still's first data packet goes out with the toggle clear so that the host
    // again sees the change from 0 to 1.
    void BeginFrame(const std::vector<uint8_t>& RawFrame, bool Still = false,
                    const PacketFaults& Faults = PacketFaults());
    // The same, taking over the frame's storage instead of copying it.
    void BeginFrame(std::vector<uint8_t>&& RawFrame, bool Still = false,
                    const PacketFaults& Faults = PacketFaults());
    // The same, sending straight from the caller's frame of Size bytes: nothing is copied, so Frame must
    // stay alive and unchanged until this frame has been sent or another one begins. A frame that does
    // not fill its last packet is padded in a packet-sized buffer of the packetizer's own.
    void BeginFrameInPlace(const uint8_t* Frame, size_t Size, bool Still = false,
                           const PacketFaults& Faults = PacketFaults());
    // The next packet of the frame; false once the frame has been sent whole. Out's Data storage is
    // reused, so a caller that keeps one Packet allocates nothing per packet.
    bool NextPacket(Packet* Out);
    // The same without copying the packet's data (see PacketView for how long it stays valid).
    bool NextPacket(PacketView* Out);
    // Whether packets of the current frame remain to be sent.
    bool Sending() const { return !done_; }
    // Packets of the current frame still to be sent, inserted no-data and restart packets included.
    uint32_t PacketsLeft() const;
    // Packets of one frame, without faults: ceil(raw size / packet size).
    uint32_t PacketsPerFrame(uint32_t RawSize) const {
        return packetSize_ == 0 ? 0 : RawSize / packetSize_ + (RawSize % packetSize_ != 0 ? 1 : 0);
    }
    uint16_t PacketSize() const { return packetSize_; }

  private:
    enum FaultBits : uint8_t {
        FAULT_SHORT = 1,
        FAULT_SYNC = 2,
        FAULT_DATA = 4,
        FAULT_NO_DATA_BEFORE = 8,
        FAULT_RESTART_BEFORE = 16,
    };
    void Start(const uint8_t* Frame, size_t Size, bool Still, const PacketFaults& Faults);

    uint16_t packetSize_;
    std::vector<uint8_t> frameCopy_;  // the frame when it was handed over by value, unpadded
    const uint8_t* frame_ = nullptr;  // the frame being sent
    size_t frameSize_ = 0;            // its bytes; whole packets of it are sent straight from it
    std::vector<uint8_t> lastPacket_; // the last, partial packet of the frame padded with filler
    std::vector<uint8_t> noDataFill_; // content of inserted no-data and restart packets
    std::vector<uint8_t> faultBits_;  // per data packet, FaultBits; empty when the frame has no faults
    uint32_t packets_ = 0;            // data packets of the current frame
    bool missingEnd_ = false;
    uint32_t next_ = 0;             // next data packet index
    bool noDataSent_ = false;       // the no-data packet before data packet next_ has gone out
    bool restartSent_ = false;      // the restart packet before data packet next_ has gone out
    bool toggle_ = false;           // toggle bit of the current frame's data packets
    bool clearFirstToggle_ = false; // the first data packet goes out with the toggle clear
    bool lastToggle_ = false;       // toggle bit of the last data packet sent
    bool done_ = true;
};

} // namespace simcam
