// The simulated camera's packetizer. Every whole data packet is a plain slice of the frame, sent from
// where the frame lies; only a last, partial packet is padded in a buffer of its own. Faults are resolved
// to one flag byte per data packet when the frame starts, so sending a packet is a few tests.
#include "host/simcam/packetizer.h"

#include "host/simcam/sensor.h"

#include <cstring>
#include <utility>

namespace simcam {

Packetizer::Packetizer(uint16_t PacketSize)
    : packetSize_(PacketSize), noDataFill_(PacketSize, PACKET_NO_DATA_FILL) {}

void Packetizer::BeginFrame(const std::vector<uint8_t>& RawFrame, bool Still, const PacketFaults& Faults) {
    frameCopy_.assign(RawFrame.begin(), RawFrame.end());
    Start(frameCopy_.data(), frameCopy_.size(), Still, Faults);
}

void Packetizer::BeginFrame(std::vector<uint8_t>&& RawFrame, bool Still, const PacketFaults& Faults) {
    frameCopy_ = std::move(RawFrame);
    Start(frameCopy_.data(), frameCopy_.size(), Still, Faults);
}

void Packetizer::BeginFrameInPlace(const uint8_t* Frame, size_t Size, bool Still,
                                   const PacketFaults& Faults) {
    Start(Frame, Frame == nullptr ? 0 : Size, Still, Faults);
}

void Packetizer::Start(const uint8_t* Frame, size_t Size, bool Still, const PacketFaults& Faults) {
    frame_ = Frame;
    frameSize_ = Size;
    packets_ = Size > UINT32_MAX ? 0 : PacketsPerFrame(static_cast<uint32_t>(Size));
    // The host only takes whole packets, so the tail of the frame is padded the way the camera fills
    // every other byte that carries no sample.
    const size_t whole = packetSize_ == 0 ? 0 : Size / packetSize_;
    lastPacket_.clear();
    if (packets_ != 0 && whole != packets_) {
        const size_t tail = Size - whole * packetSize_;
        lastPacket_.assign(packetSize_, RAW_FILLER);
        std::memcpy(lastPacket_.data(), frame_ + whole * packetSize_, tail);
    }

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

uint32_t Packetizer::PacketsLeft() const {
    if (done_)
        return 0;
    uint32_t left = packets_ - next_;
    for (uint32_t i = next_; i < packets_ && !faultBits_.empty(); ++i) {
        const bool current = i == next_;
        if ((faultBits_[i] & FAULT_NO_DATA_BEFORE) && !(current && noDataSent_))
            ++left;
        if ((faultBits_[i] & FAULT_RESTART_BEFORE) && !(current && restartSent_))
            ++left;
    }
    return left;
}

bool Packetizer::NextPacket(PacketView* Out) {
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
        Out->Data = noDataFill_.data();
        Out->Length = packetSize_;
        return true;
    }
    if ((faults & FAULT_RESTART_BEFORE) && !restartSent_) {
        restartSent_ = true;
        Out->Header = PACKET_RESTART;
        Out->Data = noDataFill_.data();
        Out->Length = packetSize_;
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
    Out->Data = (last && !lastPacket_.empty()) ? lastPacket_.data()
                                               : frame_ + static_cast<size_t>(next_) * packetSize_;
    Out->Length = (faults & FAULT_SHORT) ? packetSize_ - 1u : packetSize_;
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

bool Packetizer::NextPacket(Packet* Out) {
    PacketView view;
    if (!NextPacket(&view)) {
        return false;
    }
    Out->Header = view.Header;
    Out->SyncStatus = view.SyncStatus;
    Out->DataStatus = view.DataStatus;
    Out->Data.assign(view.Data, view.Data + view.Length);
    return true;
}

} // namespace simcam
