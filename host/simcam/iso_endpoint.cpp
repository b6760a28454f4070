// The camera's isochronous endpoint. Once capture is on, the sensor begins a frame every
// 1/FramesPerSecond seconds of the host clock, counted from the moment capture was switched on, and its
// packets leave evenly over the frame time, a transfer's worth at a time, into the transfers the host
// has submitted. Packets that find none are lost, as on a real bus, and the frame they belonged to
// arrives damaged. Frames go out whether or not anyone on the host wants them.
//
// A packet inside the frame is not copied: the transfer keeps the rendered frame alive and points into
// it, as a bus transfer's buffer would hold those bytes. Only packets from elsewhere (the padded last
// packet, the no-data and restart packets) are copied into the transfer's own storage.
#include "host/simcam/packetizer.h"
#include "host/simcam/sensor.h"
#include "host/simcam/simulated_camera.h"

#include <algorithm>
#include <cstring>

namespace simcam {
namespace {

// Packets the camera sends between two looks at the clock (at most a transfer's room).
constexpr uint32_t PACKETS_PER_TICK = 4096;

struct FramePlan {
    PacketFaults Faults;
    bool Still = false;
};

} // namespace

struct SimulatedCamera::Endpoint {
    std::mutex Mutex; // everything below, between the camera's thread and the host's
    TransferDone Done;
    std::deque<IsoTransfer*> Submitted;
    IsoTransfer* Filling = nullptr; // taken from Submitted, being filled
    unsigned Delivering = 0;        // the camera's thread is handing transfers back
    bool Open = false;
    bool Quit = false;
    uint64_t OpenGeneration = 0; // bumped at every open and abort
    double Fps = 15;
    Scene Picture;
    bool HavePicture = false;
    std::shared_ptr<const std::vector<uint8_t>> Recorded; // played back instead of the sensor's frame
    uint64_t PictureGeneration = 0;
    std::deque<FramePlan> Plans;
    FrameObserver OnFrame;
    EndpointStatistics Stats;
    host::ClockThread Sender;
};

SimulatedCamera::SimulatedCamera(const CameraConfig& Config) : config_(Config), endpoint_(new Endpoint) {
    endpoint_->Fps = Config.FramesPerSecond > 0 ? Config.FramesPerSecond : 15;
}

SimulatedCamera::~SimulatedCamera() {
    AbortPipe();
    {
        std::lock_guard<std::mutex> lock(endpoint_->Mutex);
        endpoint_->Quit = true;
    }
    host::ClockNotify();
    endpoint_->Sender.Join();
}

void SimulatedCamera::OpenPipe(TransferDone Done) {
    {
        std::lock_guard<std::mutex> lock(endpoint_->Mutex);
        endpoint_->Done = std::move(Done);
        endpoint_->Open = true;
        ++endpoint_->OpenGeneration;
        endpoint_->Quit = false;
    }
    if (!endpoint_->Sender.Running())
        endpoint_->Sender.Start(PASSIVE_LEVEL, [this]() { SendLoop(); });
    host::ClockNotify();
}

void SimulatedCamera::Submit(IsoTransfer* Transfer) {
    Transfer->Count = 0;
    Transfer->Frame.reset();
    Transfer->Copies.clear();
    Transfer->Status = STATUS_SUCCESS;
    bool gone = false;
    {
        std::lock_guard<std::mutex> lock(endpoint_->Mutex);
        if (!plugged_ || !endpoint_->Open)
            gone = true;
        else
            endpoint_->Submitted.push_back(Transfer);
    }
    if (gone) {
        // A transfer to a pipe that is not open, or to a camera that is gone, fails at once.
        Transfer->Status = plugged_ ? STATUS_CANCELLED : DEVICE_GONE_STATUS;
        TransferDone done;
        {
            std::lock_guard<std::mutex> lock(endpoint_->Mutex);
            done = endpoint_->Done;
        }
        if (done)
            done(Transfer);
    }
}

// Takes every transfer back from the bus with Status, once the camera's thread has handed back those
// it had finished; the caller gets them through the completion routine.
void SimulatedCamera::TakeBackTransfers(NTSTATUS Status, bool Close) {
    std::deque<IsoTransfer*> taken;
    TransferDone done;
    {
        std::lock_guard<std::mutex> lock(endpoint_->Mutex);
        taken.swap(endpoint_->Submitted);
        if (endpoint_->Filling != nullptr)
            taken.push_back(endpoint_->Filling);
        endpoint_->Filling = nullptr;
        done = endpoint_->Done;
        if (Close) {
            endpoint_->Open = false;
            ++endpoint_->OpenGeneration;
        }
    }
    host::ClockNotify();
    Endpoint& ep = *endpoint_;
    host::ClockWait([&ep]() {
        std::lock_guard<std::mutex> lock(ep.Mutex);
        return ep.Delivering == 0;
    });
    for (IsoTransfer* transfer : taken) {
        transfer->Status = Status;
        transfer->Count = 0;
        transfer->Frame.reset();
        if (done)
            done(transfer);
    }
}

void SimulatedCamera::AbortPipe() {
    TakeBackTransfers(STATUS_CANCELLED, true);
}

void SimulatedCamera::SetFramesPerSecond(double Fps) {
    if (Fps <= 0)
        return;
    std::lock_guard<std::mutex> lock(endpoint_->Mutex);
    endpoint_->Fps = Fps;
}

void SimulatedCamera::SetScene(Scene Picture) {
    std::lock_guard<std::mutex> lock(endpoint_->Mutex);
    endpoint_->Picture = std::move(Picture);
    endpoint_->HavePicture = true;
    ++endpoint_->PictureGeneration;
}

void SimulatedCamera::SetRawFrame(std::vector<uint8_t> Frame) {
    std::shared_ptr<const std::vector<uint8_t>> recorded;
    if (!Frame.empty()) {
        Frame.resize(RAW_FRAME_SIZE, RAW_FILLER);
        recorded = std::make_shared<const std::vector<uint8_t>>(std::move(Frame));
    }
    std::lock_guard<std::mutex> lock(endpoint_->Mutex);
    endpoint_->Recorded = std::move(recorded);
    ++endpoint_->PictureGeneration;
}

void SimulatedCamera::QueueFrameFaults(const PacketFaults& Faults, bool Still) {
    std::lock_guard<std::mutex> lock(endpoint_->Mutex);
    endpoint_->Plans.push_back(FramePlan{Faults, Still});
}

void SimulatedCamera::SetFrameObserver(FrameObserver Observer) {
    std::lock_guard<std::mutex> lock(endpoint_->Mutex);
    endpoint_->OnFrame = std::move(Observer);
}

EndpointStatistics SimulatedCamera::Statistics() const {
    std::lock_guard<std::mutex> lock(endpoint_->Mutex);
    return endpoint_->Stats;
}

void SimulatedCamera::Unplug() {
    plugged_ = false;
    // The transfers on the bus come back failed.
    TakeBackTransfers(DEVICE_GONE_STATUS, false);
}

// The camera's thread: waits for capture, then sends frame after frame on the clock until capture goes
// off, the pipe closes or the camera is unplugged.
void SimulatedCamera::SendLoop() {
    Endpoint& ep = *endpoint_;
    Packetizer packetizer(config_.DataPacketSize);
    std::shared_ptr<std::vector<uint8_t>> rendered;
    uint16_t renderedExposure = 0;
    uint16_t renderedGain = 0;
    uint64_t renderedPicture = ~uint64_t{0};
    Scene chart;
    TransferDone done;

    for (;;) {
        uint64_t epoch = 0;
        uint64_t generation = 0;
        host::ClockWait([&]() {
            std::lock_guard<std::mutex> lock(ep.Mutex);
            return ep.Quit || (ep.Open && plugged_ && captureOn_);
        });
        {
            std::lock_guard<std::mutex> lock(ep.Mutex);
            if (ep.Quit)
                return;
            generation = ep.OpenGeneration;
            done = ep.Done;
        }
        epoch = captureEpoch_;
        const int64_t start = captureStart100ns_;
        auto stillSending = [&]() {
            std::lock_guard<std::mutex> lock(ep.Mutex);
            return !ep.Quit && ep.Open && ep.OpenGeneration == generation && plugged_ && captureOn_ &&
                   captureEpoch_ == epoch;
        };
        int64_t frameStart = start;
        while (stillSending()) {
            double fps;
            {
                std::lock_guard<std::mutex> lock(ep.Mutex);
                fps = ep.Fps;
            }
            const int64_t period = static_cast<int64_t>(10000000.0 / fps + 0.5);
            const uint32_t perFrame = packetizer.PacketsPerFrame(RAW_FRAME_SIZE);
            const uint32_t ticks =
                std::max<uint32_t>(1, (perFrame + PACKETS_PER_TICK - 1) / PACKETS_PER_TICK);

            // Each tick's packets leave by its end; the frame begins with the first tick.
            bool begun = false;
            uint32_t dataSent = 0;
            for (uint32_t tick = 0; tick < ticks; ++tick) {
                const int64_t due = frameStart + period * (tick + 1) / ticks;
                host::ClockWait([&]() { return !stillSending(); }, due);
                if (!stillSending())
                    break;
                if (!begun) {
                    begun = true;
                    FramePlan plan;
                    FrameObserver observer;
                    uint64_t frameIndex = 0;
                    const Scene* picture = nullptr;
                    std::shared_ptr<const std::vector<uint8_t>> recorded;
                    uint64_t pictureGeneration = 0;
                    {
                        std::lock_guard<std::mutex> lock(ep.Mutex);
                        if (!ep.Plans.empty()) {
                            plan = std::move(ep.Plans.front());
                            ep.Plans.pop_front();
                        }
                        observer = ep.OnFrame;
                        if (ep.HavePicture)
                            picture = &ep.Picture;
                        recorded = ep.Recorded;
                        pictureGeneration = ep.PictureGeneration;
                        frameIndex = ep.Stats.FramesSent++;
                    }
                    const uint16_t exposure = exposure_;
                    const uint16_t gain = gain_;
                    // Rendering 5 megapixels only when the sensor's output changes; a frame still on its
                    // way through the host keeps the old one.
                    if (rendered == nullptr || exposure != renderedExposure || gain != renderedGain ||
                        pictureGeneration != renderedPicture) {
                        auto fresh = std::make_shared<std::vector<uint8_t>>();
                        if (recorded != nullptr) {
                            *fresh = *recorded;
                        } else if (picture == nullptr) {
                            if (chart.Rgb.empty())
                                chart = BuiltInChart();
                            RenderRawFrame(chart, exposure, gain, fresh.get());
                        } else {
                            std::lock_guard<std::mutex> lock(ep.Mutex);
                            RenderRawFrame(ep.Picture, exposure, gain, fresh.get());
                        }
                        // Padded once to whole packets, so every packet is sent from this buffer.
                        const size_t padded =
                            std::max<size_t>(RAW_FRAME_SIZE, size_t{perFrame} * packetizer.PacketSize());
                        fresh->resize(padded, RAW_FILLER);
                        rendered = fresh;
                        renderedExposure = exposure;
                        renderedGain = gain;
                        renderedPicture = pictureGeneration;
                    }
                    if (observer)
                        observer(frameIndex, rendered->data(), RAW_FRAME_SIZE);
                    packetizer.BeginFrameInPlace(rendered->data(), rendered->size(), plan.Still, plan.Faults);
                }
                const bool last = tick + 1 == ticks;
                // The tick's packets go into the transfers under the endpoint's lock, so that an abort
                // or an unplug takes every transfer back whole; they go back to the host after it.
                std::vector<IsoTransfer*> finished;
                {
                    std::lock_guard<std::mutex> lock(ep.Mutex);
                    PacketView view;
                    while ((last || dataSent < (tick + 1) * PACKETS_PER_TICK) &&
                           packetizer.NextPacket(&view)) {
                        if ((view.Header & (PACKET_NO_DATA | PACKET_RESTART)) == 0)
                            ++dataSent;
                        if (ep.Filling == nullptr && !ep.Submitted.empty()) {
                            ep.Filling = ep.Submitted.front();
                            ep.Submitted.pop_front();
                        }
                        IsoTransfer* transfer = ep.Filling;
                        if (transfer == nullptr) {
                            ++ep.Stats.PacketsLost;
                            continue;
                        }
                        PacketView& slot = transfer->Packets[transfer->Count];
                        slot.Header = view.Header;
                        slot.SyncStatus = view.SyncStatus;
                        slot.DataStatus = view.DataStatus;
                        slot.Length = view.Length;
                        const uint8_t* begin = rendered->data();
                        const uint8_t* end = begin + rendered->size();
                        if (view.Length == 0 || (view.Data >= begin && view.Data + view.Length <= end)) {
                            slot.Data = view.Data;
                            transfer->Frame = rendered;
                        } else {
                            transfer->Copies.emplace_back(view.Data, view.Data + view.Length);
                            slot.Data = transfer->Copies.back().data();
                        }
                        ++transfer->Count;
                        ++ep.Stats.PacketsSent;
                        if (transfer->Count == transfer->Packets.size()) {
                            transfer->Completed100ns = due;
                            finished.push_back(transfer);
                            ep.Filling = nullptr;
                        }
                    }
                    // A transfer partly filled goes back at the end of each tick too, as the bus's
                    // microframes pass whether or not they carry data.
                    if (ep.Filling != nullptr) {
                        ep.Filling->Completed100ns = due;
                        finished.push_back(ep.Filling);
                        ep.Filling = nullptr;
                    }
                    done = ep.Done;
                    if (!finished.empty())
                        ++ep.Delivering;
                }
                if (!finished.empty()) {
                    for (IsoTransfer* transfer : finished)
                        done(transfer);
                    {
                        std::lock_guard<std::mutex> lock(ep.Mutex);
                        --ep.Delivering;
                    }
                    host::ClockNotify();
                }
            }
            frameStart += period;
        }
        // Capture went off, the pipe closed or the camera went: wait for the next start.
        host::ClockWait([&]() {
            std::lock_guard<std::mutex> lock(ep.Mutex);
            return ep.Quit || (ep.Open && plugged_ && captureOn_ &&
                               (captureEpoch_ != epoch || ep.OpenGeneration != generation));
        });
    }
}

} // namespace simcam
