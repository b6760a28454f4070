// The simulated camera's packetizer. The frame is kept padded to whole packets, so every data packet is
// a plain slice of it; faults are resolved to one flag byte per data packet when the frame starts, so
// sending a packet is a copy and a few tests.
#include "simcam/packetizer.h"

#include "simcam/sensor.h"

#include <utility>

namespace simcam {

void Packetizer::BeginFrame(const std::vector<uint8_t>& RawFrame, bool Still, const PacketFaults& Faults) {
    frameCopy_.assign(RawFrame.begin(), RawFrame.end());
    Start(Still, Faults);
}

void Packetizer::BeginFrame(std::vector<uint8_t>&& RawFrame, bool Still, const PacketFaults& Faults) {
    frameCopy_ = std::move(RawFrame);
    Start(Still, Faults);
}

void Packetizer::Start(bool Still, const PacketFaults& Faults) {
    const uint64_t rawSize = frameCopy_.size();
    packets_ = rawSize > UINT32_MAX ? 0 : PacketsPerFrame(static_cast<uint32_t>(rawSize));
    // The host only takes whole packets, so the tail of the frame is padded the way the camera fills
    // every other byte that carries no sample.
    frameCopy_.resize(static_cast<size_t>(packets_) * packetSize_, RAW_FILLER);

    faultBits_.clear();
    const std::pair<const std::vector<uint32_t>*, uint8_t> lists[] = {
        {&Faults.ShortPackets, FAULT_SHORT},
        {&Faults.FailedSync, FAULT_SYNC},
        {&Faults.FailedData, FAULT_DATA},
        {&Faults.NoDataBefore, FAULT_NO_DATA_BEFORE},
        {&Faults.RestartBefore, FAULT_RESTART_BEFORE},
    };
    for (const auto& list : lists) {
        for (uint32_t index : *list.first) {
            if (index >= packets_) {
                continue;
            }
            if (faultBits_.empty()) {
                faultBits_.assign(packets_, 0);
            }
            faultBits_[index] |= list.second;
        }
    }
    missingEnd_ = Faults.MissingEnd;

    next_ = 0;
    noDataSent_ = false;
    restartSent_ = false;
    toggle_ = Still;
    // Two stills in a row: the host still holds toggle 1 from the first, so the second opens with a
    // clear toggle to make the 0 -> 1 change it looks for.
    clearFirstToggle_ = Still && lastToggle_;
    done_ = packets_ == 0;
}

bool Packetizer::NextPacket(Packet* Out) {
    if (done_) {
        return false;
    }
    const uint8_t faults = faultBits_.empty() ? 0 : faultBits_[next_];
    Out->SyncStatus = USBD_STATUS_SUCCESS;
    Out->DataStatus = USBD_STATUS_SUCCESS;

    // Packets inserted before a data packet: no-data first, then restart.
    if ((faults & FAULT_NO_DATA_BEFORE) && !noDataSent_) {
        noDataSent_ = true;
        Out->Header = PACKET_NO_DATA;
        Out->Data.assign(packetSize_, PACKET_NO_DATA_FILL);
        return true;
    }
    if ((faults & FAULT_RESTART_BEFORE) && !restartSent_) {
        restartSent_ = true;
        Out->Header = PACKET_RESTART;
        Out->Data.assign(packetSize_, PACKET_NO_DATA_FILL);
        return true;
    }

    const bool last = next_ + 1 == packets_;
    if (last && !missingEnd_) {
        // The end-of-frame bit outranks the toggle on the host, so the last packet carries it alone.
        Out->Header = PACKET_END_OF_FRAME;
    } else {
        const bool toggle = toggle_ && !(clearFirstToggle_ && next_ == 0);
        Out->Header = toggle ? PACKET_TOGGLE : 0;
        lastToggle_ = toggle;
    }
    const uint8_t* data = frameCopy_.data() + static_cast<size_t>(next_) * packetSize_;
    const size_t length = (faults & FAULT_SHORT) ? packetSize_ - 1u : packetSize_;
    Out->Data.assign(data, data + length);
    if (faults & FAULT_SYNC) {
        Out->SyncStatus = PACKET_FAULT_STATUS;
    }
    if (faults & FAULT_DATA) {
        Out->DataStatus = PACKET_FAULT_STATUS;
    }

    ++next_;
    noDataSent_ = false;
    restartSent_ = false;
    done_ = next_ == packets_;
    return true;
}

} // namespace simcam
