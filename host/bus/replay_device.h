// A USB device that plays a USBPcap recording back (usbpcap_reader.h): the device the recording holds,
// as far as the recording shows it.
//
// It answers GET_DESCRIPTOR with the recorded descriptors, takes any alternate setting they describe,
// and answers each vendor or class request as the recording answered the same request (bmRequestType,
// bRequest, wValue, wIndex): the n-th time with the recording's n-th answer to it, after the last with
// the last. A host-to-device request the recording never made is taken (a recording cut short by an
// unplugging never saw capture switched off); a device-to-host one stalls, having no answer to give.
//
// Its isochronous IN endpoints send the recorded packets: packet k of every recorded endpoint together,
// in step, into the transfers the host has submitted (packets that find none are lost), each lent from
// the recording where its bytes lie. They go at the recorded pace, counted from the request that came
// just before the recording's first packet: when that request is answered, the recorded stream starts.
// On a high-speed bus the bus holds them to its microframes besides. A stream that is stopped and
// opened again goes on where it stopped, from then; once the recording's packets are all sent the
// device sends nothing more.
#pragma once

#include "host/bus/usb_device.h"
#include "host/bus/usbpcap_reader.h"
#include "host/kernel/kernel_host.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace bus {

class ReplayDevice : public UsbDevice {
  public:
    explicit ReplayDevice(std::shared_ptr<const UsbRecording> Recording);
    ~ReplayDevice() override; // pulled out, its endpoints aborted
    ReplayDevice(const ReplayDevice&) = delete;
    ReplayDevice& operator=(const ReplayDevice&) = delete;

    NTSTATUS ControlTransfer(const SetupPacket& Setup, std::vector<uint8_t>* Data) override;
    NTSTATUS SelectAlternateSetting(uint8_t Setting) override;
    void OpenIsoEndpoint(uint8_t Endpoint, IsoTransferDone Done) override;
    void SubmitIso(IsoTransfer* Transfer) override;
    void AbortIsoEndpoint(uint8_t Endpoint) override;
    void Attached(Port* Where) override { port_ = Where; }
    void Detached() override;

    uint64_t PacketsSent() const;
    uint64_t PacketsLost() const;
    size_t SlotsLeft() const; // packets of each endpoint still to send
    // Why the device sends nothing now, in a few words: every packet is sent, or the stream waits for the
    // request it starts from (empty while it streams, or waits only for transfers).
    std::string Idle() const;

  private:
    struct Stream {
        uint8_t Endpoint = 0;
        std::vector<size_t> Packets; // into the recording's packets, in order
        bool Open = false;
        IsoTransferDone Done;
        std::deque<IsoTransfer*> Submitted;
        IsoTransfer* Filling = nullptr;
    };
    void FindAnchor();
    bool ReadyToSend();
    void Run();
    void SendTick(size_t End, int64_t Due);
    void TakeBack(NTSTATUS Status, int Endpoint);
    NTSTATUS Answer(const SetupPacket& Setup, std::vector<uint8_t>* Data);

    std::shared_ptr<const UsbRecording> recording_;
    std::vector<int64_t> slotTimes_; // when each slot was recorded, from the primary stream
    std::vector<size_t> tickEnds_;   // slots up to which each tick sends
    size_t anchor_ = SIZE_MAX;       // the control request the stream is counted from
    uint64_t anchorOccurrence_ = 0;  // ... its n-th time
    Port* port_ = nullptr;

    mutable host::Mutex mutex_; // everything below, between the host's threads and the device's
    std::vector<Stream> streams_;
    std::map<uint64_t, size_t> answered_; // per request: how often it was answered
    bool plugged_ = true;
    bool quit_ = false;
    bool anchored_ = false;
    int64_t base100ns_ = 0;    // clock time of the anchor, or of the reopening that rebased the stream
    int64_t baseSlotTime_ = 0; // the recorded time base100ns_ stands for
    bool rebase_ = false;
    size_t nextSlot_ = 0;
    size_t nextTick_ = 0;
    unsigned delivering_ = 0;
    uint64_t sent_ = 0;
    uint64_t lost_ = 0;
    uint8_t setting_ = 0;
    host::ClockThread sender_;
};

} // namespace bus
