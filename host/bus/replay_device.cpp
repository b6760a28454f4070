#include "host/bus/replay_device.h"

#include "host/bus/bus.h"
#include "host/bus/periodic_schedule.h"

#include <algorithm>

namespace bus {
namespace {

// A transfer's worth of packets at most between two looks at the clock.
constexpr size_t TICK_SLOTS_MAX = 1024;
// What the device answers a request it cannot answer: a stall, as this host's devices report one.
constexpr NTSTATUS STALL = STATUS_UNSUCCESSFUL;

uint64_t KeyOf(const SetupPacket& Setup) {
    return uint64_t{Setup.RequestType} << 40 | uint64_t{Setup.Request} << 32 | uint64_t{Setup.Value} << 16 |
           Setup.Index;
}

} // namespace

ReplayDevice::ReplayDevice(std::shared_ptr<const UsbRecording> Recording) : recording_(std::move(Recording)) {
    const UsbRecording& r = *recording_;
    for (const RecordedTransfer& transfer : r.Transfers) {
        auto it = std::find_if(streams_.begin(), streams_.end(),
                               [&](const Stream& s) { return s.Endpoint == transfer.Endpoint; });
        if (it == streams_.end()) {
            streams_.emplace_back();
            streams_.back().Endpoint = transfer.Endpoint;
            it = streams_.end() - 1;
        }
        for (uint32_t i = 0; i < transfer.Count; ++i)
            it->Packets.push_back(transfer.First + i);
    }
    size_t slots = SIZE_MAX;
    const Stream* primary = nullptr;
    for (const Stream& stream : streams_) {
        slots = std::min(slots, stream.Packets.size());
        if (primary == nullptr || stream.Packets.size() > primary->Packets.size())
            primary = &stream;
    }
    // Slot times and ticks follow the primary stream's transfers: packet i of a transfer of n that came
    // back at T left in the microframe n - 1 - i before T's.
    for (const RecordedTransfer& transfer : r.Transfers) {
        if (primary == nullptr || transfer.Endpoint != primary->Endpoint)
            continue;
        for (uint32_t i = 0; i < transfer.Count && slotTimes_.size() < slots; ++i) {
            slotTimes_.push_back(transfer.Time100ns - int64_t{transfer.Count - 1 - i} * MICROFRAME_100NS);
            if (i + 1 == transfer.Count || slotTimes_.size() % TICK_SLOTS_MAX == 0 ||
                slotTimes_.size() == slots)
                tickEnds_.push_back(slotTimes_.size());
        }
    }
    FindAnchor();
    rebase_ = anchor_ == SIZE_MAX;
    anchored_ = anchor_ == SIZE_MAX;
}

// The stream is counted from the last request before its first packet: for a camera, the one that
// switched capture on.
void ReplayDevice::FindAnchor() {
    if (slotTimes_.empty())
        return;
    const std::vector<RecordedControl>& controls = recording_->Controls;
    for (size_t i = 0; i < controls.size() && controls[i].Time100ns <= slotTimes_.front(); ++i)
        anchor_ = i;
    if (anchor_ == SIZE_MAX)
        return;
    const uint64_t key = KeyOf(controls[anchor_].Setup);
    for (size_t i = 0; i <= anchor_; ++i)
        anchorOccurrence_ += KeyOf(controls[i].Setup) == key ? 1 : 0;
}

ReplayDevice::~ReplayDevice() {
    TakeBack(STATUS_CANCELLED, -1);
    if (port_ != nullptr)
        port_->Unplug();
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        quit_ = true;
    }
    host::ClockNotify();
    sender_.Join();
}

// ---- the control pipe -----------------------------------------------------------------------------------

NTSTATUS ReplayDevice::ControlTransfer(const SetupPacket& Setup, std::vector<uint8_t>* Data) {
    if (Setup.DeviceToHost())
        Data->clear();
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        if (!plugged_)
            return DEVICE_GONE_STATUS;
    }
    if ((Setup.RequestType & REQUEST_TYPE_MASK) != 0)
        return Answer(Setup, Data);
    if (Setup.DeviceToHost() && Setup.Request == REQUEST_GET_DESCRIPTOR) {
        const uint8_t type = static_cast<uint8_t>(Setup.Value >> 8);
        *Data = type == DESCRIPTOR_DEVICE          ? recording_->DeviceDescriptor
                : type == DESCRIPTOR_CONFIGURATION ? recording_->ConfigurationDescriptor
                                                   : std::vector<uint8_t>();
        return Data->empty() ? STALL : STATUS_SUCCESS;
    }
    if (!Setup.DeviceToHost() && Setup.Request == REQUEST_SET_CONFIGURATION)
        return STATUS_SUCCESS;
    if (!Setup.DeviceToHost() && Setup.Request == REQUEST_SET_INTERFACE)
        return SelectAlternateSetting(static_cast<uint8_t>(Setup.Value));
    return STALL;
}

// The n-th request of its kind gets the recording's n-th answer to it (after the last, the last).
NTSTATUS ReplayDevice::Answer(const SetupPacket& Setup, std::vector<uint8_t>* Data) {
    const uint64_t key = KeyOf(Setup);
    const std::vector<RecordedControl>& controls = recording_->Controls;
    bool anchoredNow = false;
    const RecordedControl* answer = nullptr;
    // The clock is read outside mutex_: its waits hold the clock's lock while they take mutex_.
    const int64_t now = host::ClockNow100ns();
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        const uint64_t occurrence = ++answered_[key];
        uint64_t seen = 0;
        for (size_t i = 0; i < controls.size() && seen < occurrence; ++i) {
            if (KeyOf(controls[i].Setup) == key) {
                answer = &controls[i];
                ++seen;
            }
        }
        if (!anchored_ && anchor_ != SIZE_MAX && key == KeyOf(controls[anchor_].Setup) &&
            occurrence == anchorOccurrence_) {
            anchored_ = anchoredNow = true;
            base100ns_ = now;
            baseSlotTime_ = controls[anchor_].Time100ns;
        }
    }
    if (anchoredNow)
        host::ClockNotify();
    // A request the recording never made: the device takes what it is sent (nothing in the recording
    // says otherwise), and has no answer to give to a question.
    if (answer == nullptr)
        return Setup.DeviceToHost() ? STALL : STATUS_SUCCESS;
    if (Setup.DeviceToHost())
        *Data = answer->Data;
    return NtStatusOf(answer->Status);
}

NTSTATUS ReplayDevice::SelectAlternateSetting(uint8_t Setting) {
    Configuration configuration;
    std::string unused;
    if (!ParseConfiguration(recording_->ConfigurationDescriptor, &configuration, &unused) ||
        configuration.Find(INTERFACE_NUMBER, Setting) == nullptr)
        return STALL;
    std::lock_guard<host::Mutex> lock(mutex_);
    if (!plugged_)
        return DEVICE_GONE_STATUS;
    setting_ = Setting;
    return STATUS_SUCCESS;
}

// ---- the isochronous endpoints ---------------------------------------------------------------------------

void ReplayDevice::OpenIsoEndpoint(uint8_t Endpoint, IsoTransferDone Done) {
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        auto it = std::find_if(streams_.begin(), streams_.end(),
                               [&](const Stream& s) { return s.Endpoint == Endpoint; });
        if (it == streams_.end()) {
            streams_.emplace_back();
            it = streams_.end() - 1;
            it->Endpoint = Endpoint;
        }
        it->Done = std::move(Done);
        it->Open = true;
        rebase_ = rebase_ || anchored_;
    }
    if (!sender_.Running())
        sender_.Start(PASSIVE_LEVEL, [this]() { Run(); });
    host::ClockNotify();
}

void ReplayDevice::SubmitIso(IsoTransfer* Transfer) {
    Transfer->Reset();
    IsoTransferDone done;
    bool plugged;
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        plugged = plugged_;
        for (Stream& stream : streams_) {
            if (stream.Endpoint != Transfer->Endpoint)
                continue;
            if (plugged && stream.Open) {
                stream.Submitted.push_back(Transfer);
                return;
            }
            done = stream.Done;
        }
    }
    RefuseTransfer(Transfer, plugged, done);
}

void ReplayDevice::AbortIsoEndpoint(uint8_t Endpoint) {
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        for (Stream& stream : streams_) {
            if (stream.Endpoint == Endpoint)
                stream.Open = false;
        }
    }
    TakeBack(STATUS_CANCELLED, Endpoint);
}

void ReplayDevice::Detached() {
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        plugged_ = false;
    }
    TakeBack(DEVICE_GONE_STATUS, -1);
}

// Every transfer of the chosen endpoints (all: -1) back with Status, once the device's thread has
// handed back those it had finished.
void ReplayDevice::TakeBack(NTSTATUS Status, int Endpoint) {
    std::vector<std::pair<IsoTransfer*, IsoTransferDone>> taken;
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        for (Stream& stream : streams_) {
            if (Endpoint >= 0 && stream.Endpoint != Endpoint)
                continue;
            if (stream.Filling != nullptr)
                taken.emplace_back(stream.Filling, stream.Done);
            for (IsoTransfer* transfer : stream.Submitted)
                taken.emplace_back(transfer, stream.Done);
            stream.Filling = nullptr;
            stream.Submitted.clear();
        }
    }
    host::ClockNotify();
    host::ClockWait([this]() {
        std::lock_guard<host::Mutex> lock(mutex_);
        return delivering_ == 0;
    });
    for (auto& [transfer, done] : taken) {
        transfer->Status = Status;
        transfer->Count = 0;
        if (done)
            done(transfer);
    }
}

// Under mutex_: the stream can go on (the recording has packets left, its endpoints are open and its
// start has come), or the device is ending.
bool ReplayDevice::ReadyToSend() {
    if (quit_)
        return true;
    if (!plugged_ || !anchored_ || nextTick_ >= tickEnds_.size())
        return false;
    for (const Stream& stream : streams_) {
        if (!stream.Packets.empty() && !stream.Open)
            return false;
    }
    return true;
}

void ReplayDevice::Run() {
    for (;;) {
        host::ClockWait([this]() {
            std::lock_guard<host::Mutex> lock(mutex_);
            return ReadyToSend();
        });
        size_t end;
        int64_t due;
        const int64_t now = host::ClockNow100ns(); // outside mutex_, as in Answer
        {
            std::lock_guard<host::Mutex> lock(mutex_);
            if (quit_)
                return;
            if (rebase_) {
                base100ns_ = now;
                baseSlotTime_ = slotTimes_[nextSlot_];
                rebase_ = false;
            }
            end = tickEnds_[nextTick_];
            due = std::max(base100ns_ + slotTimes_[end - 1] - baseSlotTime_, now);
        }
        const bool stopped = host::ClockWait(
            [this]() {
                std::lock_guard<host::Mutex> lock(mutex_);
                return quit_ || !ReadyToSend() || rebase_;
            },
            due);
        if (!stopped)
            SendTick(end, due);
    }
}

// The slots up to End into the front transfers of the recorded endpoints, packet k of each in step:
// a slot that does not find a transfer on every one of them is lost on all. Full transfers and the ones
// being filled go back at Due.
void ReplayDevice::SendTick(size_t End, int64_t Due) {
    std::vector<std::pair<IsoTransfer*, IsoTransferDone>> finished;
    const std::shared_ptr<const void> keep = recording_->Storage;
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        for (; nextSlot_ < End; ++nextSlot_) {
            bool room = true;
            for (Stream& stream : streams_) {
                if (!stream.Packets.empty() && stream.Filling == nullptr && !stream.Submitted.empty()) {
                    stream.Filling = stream.Submitted.front();
                    stream.Submitted.pop_front();
                }
                room = room && (stream.Packets.empty() || stream.Filling != nullptr);
            }
            if (!room) {
                ++lost_;
                continue;
            }
            for (Stream& stream : streams_) {
                if (stream.Packets.empty())
                    continue;
                IsoTransfer* t = stream.Filling;
                const RecordedPacket& packet = recording_->Packets[stream.Packets[nextSlot_]];
                const uint32_t slot = t->Count++;
                t->Lent[slot] = recording_->Bytes() + packet.At;
                t->Keep = keep;
                t->Packets[slot].Length = std::min(packet.Length, t->PacketSize);
                t->Packets[slot].Status =
                    packet.Length > t->PacketSize ? USBD_STATUS_BABBLE_DETECTED : packet.Status;
                if (t->Count == t->Capacity()) {
                    t->Completed100ns = Due;
                    finished.emplace_back(t, stream.Done);
                    stream.Filling = nullptr;
                }
            }
            ++sent_;
        }
        for (Stream& stream : streams_) {
            if (stream.Filling != nullptr) {
                stream.Filling->Completed100ns = Due;
                finished.emplace_back(stream.Filling, stream.Done);
                stream.Filling = nullptr;
            }
        }
        ++nextTick_;
        ++delivering_;
    }
    for (auto& [transfer, done] : finished) {
        if (done)
            done(transfer);
    }
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        --delivering_;
    }
    host::ClockNotify();
}

uint64_t ReplayDevice::PacketsSent() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return sent_;
}

uint64_t ReplayDevice::PacketsLost() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return lost_;
}

std::string ReplayDevice::Idle() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    if (nextSlot_ >= slotTimes_.size())
        return "the recording has no more frames";
    if (anchored_)
        return std::string();
    const SetupPacket& setup = recording_->Controls[anchor_].Setup;
    return "the recording's stream starts after a request the driver has not made (bRequest " +
           std::to_string(setup.Request) + ", wValue " + std::to_string(setup.Value) + ", wIndex " +
           std::to_string(setup.Index) + ")";
}

size_t ReplayDevice::SlotsLeft() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return slotTimes_.size() - nextSlot_;
}

} // namespace bus
