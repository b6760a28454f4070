// The camera's isochronous endpoints. Once capture is on, the sensor offers a frame every
// 1/FramesPerSecond seconds of the host clock, counted from the moment capture was switched on, and its
// packets go into the transfers the host has submitted: the header byte of each packet on the sync
// endpoint, its image data on the data endpoint, one transfer of each taken in step. Packets that find
// no transfers are lost, as on a real bus, and the frame they belonged to arrives damaged. Frames go out
// whether or not anyone on the host wants them.
//
// On a high-speed bus each packet takes a microframe of its own, 125 us, and carries the data pipe's
// bytes per microframe in the camera's alternate setting: a frame takes as many microframes as it has
// packets, and the camera sends the first frame the sensor offers once the last one has gone, so the bus
// sets its frame rate (about 3.75 frames a second in setting 0). Packets leave a transfer's worth of
// microframes at a time, the camera's thread waking once for each, never once a microframe. On an ideal
// bus a frame's packets leave evenly over the sensor's frame time instead, a few thousand at a time.
#include "host/simcam/packetizer.h"
#include "host/simcam/sensor.h"
#include "host/simcam/simulated_camera.h"
#include "host/bus/bus.h"
#include "host/bus/periodic_schedule.h"
#include "host/kernel/kernel_host.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace simcam {
namespace {

// Packets the camera sends between two looks at the clock on an ideal bus.
constexpr uint32_t PACKETS_PER_TICK = 4096;
// Microframes a camera on a high-speed bus sends between two looks at the clock: a transfer's worth.
constexpr uint32_t PACED_TICK_MICROFRAMES = 1024;

struct FramePlan {
    PacketFaults Faults;
    bool Still = false;
};

// One endpoint as the host sees it: open or not, its completion routine and the transfers waiting.
struct Pipe {
    bool Open = false;
    bus::IsoTransferDone Done;
    std::deque<bus::IsoTransfer*> Submitted;
};

// A transfer of each endpoint, filled in step, and where each goes back to.
struct FilledPair {
    bus::IsoTransfer* Sync = nullptr;
    bus::IsoTransfer* Data = nullptr;
};

} // namespace

struct SimulatedCamera::Endpoint {
    host::Mutex Mutex; // everything below, between the camera's thread and the host's
    std::map<uint8_t, Pipe> Pipes;
    FilledPair Filling;      // taken from the two endpoints' queues, being filled
    unsigned Delivering = 0; // the camera's thread is handing transfers back
    bool Quit = false;
    uint64_t OpenGeneration = 0; // bumped at every open and abort of the data endpoint
    double Fps = 15;
    Scene Picture;
    bool HavePicture = false;
    std::shared_ptr<const std::vector<uint8_t>> Recorded; // played back instead of the sensor's frame
    uint64_t PictureGeneration = 0;
    std::deque<FramePlan> Plans;
    FrameObserver OnFrame;
    EndpointStatistics Stats;
    host::ClockThread Sender;

    bool DataOpen() {
        auto it = Pipes.find(DATA_ENDPOINT);
        return it != Pipes.end() && it->second.Open;
    }
    bus::IsoTransferDone DoneOf(uint8_t Endpoint) {
        auto it = Pipes.find(Endpoint);
        return it == Pipes.end() ? bus::IsoTransferDone() : it->second.Done;
    }
};

// The camera's thread, and what it keeps from frame to frame: the packetizer and the sensor's last
// rendered frame.
class SimulatedCamera::Sender {
  public:
    explicit Sender(SimulatedCamera& Camera)
        : camera_(Camera), ep_(*Camera.endpoint_), packetizer_(0),
          paced_(Camera.port_ != nullptr && Camera.port_->Paced()) {}
    // Waits for capture, then sends frame after frame on the clock until capture goes off, the data
    // endpoint closes or the camera is unplugged; then waits for the next start.
    void Run();

  private:
    bool StillSending();
    uint32_t PreparePacketizer();
    void SendFrame(int64_t FrameStart, int64_t Period);
    int64_t SendPacedFrame(int64_t FrameStart);
    void BeginFrame(uint32_t PacketsPerFrame);
    void RenderFrame(const Scene* Picture, const std::shared_ptr<const std::vector<uint8_t>>& Recorded,
                     uint64_t PictureGeneration, uint32_t PacketsPerFrame);
    const Scene& AdjustedScene(const Scene& Picture, uint64_t PictureGeneration,
                               const ImageControls& Controls);
    void SendTick(uint32_t DataLimit, uint32_t PacketLimit, int64_t Due);
    bool PlacePacket(const PacketView& View, int64_t Due, std::vector<FilledPair>* Finished);

    SimulatedCamera& camera_;
    Endpoint& ep_;
    Packetizer packetizer_;
    // The sensor's frame, padded to whole packets; lent to the transfers its packets go out in.
    std::shared_ptr<std::vector<uint8_t>> rendered_ = std::make_shared<std::vector<uint8_t>>();
    uint16_t renderedExposure_ = 0;
    uint16_t renderedGain_ = 0;
    uint64_t renderedPicture_ = ~uint64_t{0};
    uint32_t renderedPacketSize_ = 0;
    ImageControls renderedControls_;
    Scene chart_;
    // What the sensor saw through the image controls last time: the scene made once per change.
    Scene adjusted_;
    uint64_t adjustedPicture_ = ~uint64_t{0};
    ImageControls adjustedControls_;
    bool paced_;                    // the bus carries a packet a microframe
    uint64_t nextMicroframe_ = 0;   // the first microframe the data pipe has free
    uint64_t packetMicroframe_ = 0; // the microframe of the next packet a paced tick sends
    uint64_t epoch_ = 0;            // capture switch-on being served
    uint64_t generation_ = 0;       // data endpoint opening being served
    uint32_t dataSent_ = 0;         // data packets of the current frame sent so far
};

SimulatedCamera::SimulatedCamera(const CameraConfig& Config)
    : config_(Config), configuration_(CameraConfigurationDescriptor(Config.DataPacketSize)),
      endpoint_(new Endpoint) {
    endpoint_->Fps = Config.FramesPerSecond > 0 ? Config.FramesPerSecond : 15;
}

SimulatedCamera::~SimulatedCamera() {
    TakeBackTransfers(STATUS_CANCELLED, true, true);
    // Off the bus too, so that its port never reaches a camera that is gone.
    if (port_ != nullptr)
        port_->Unplug();
    {
        std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
        endpoint_->Quit = true;
    }
    host::ClockNotify();
    endpoint_->Sender.Join();
}

void SimulatedCamera::OpenIsoEndpoint(uint8_t Endpoint, bus::IsoTransferDone Done) {
    {
        std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
        Pipe& pipe = endpoint_->Pipes[Endpoint];
        pipe.Done = std::move(Done);
        pipe.Open = true;
        if (Endpoint == DATA_ENDPOINT) {
            ++endpoint_->OpenGeneration;
            endpoint_->Quit = false;
        }
    }
    if (Endpoint == DATA_ENDPOINT && !endpoint_->Sender.Running())
        endpoint_->Sender.Start(PASSIVE_LEVEL, [this]() { Sender(*this).Run(); });
    host::ClockNotify();
}

void SimulatedCamera::SubmitIso(bus::IsoTransfer* Transfer) {
    Transfer->Reset();
    bus::IsoTransferDone done;
    {
        std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
        Pipe& pipe = endpoint_->Pipes[Transfer->Endpoint];
        if (plugged_ && pipe.Open) {
            pipe.Submitted.push_back(Transfer);
            return;
        }
        done = pipe.Done;
    }
    // A transfer to an endpoint that is not open, or to a camera that is gone, fails at once.
    bus::RefuseTransfer(Transfer, plugged_, done);
}

// Takes the transfers of the chosen endpoints back with Status (the pair being filled goes back whole),
// once the camera's thread has handed back those it had finished; the caller gets them through their
// completion routines. Closing the data endpoint stops the sending.
void SimulatedCamera::TakeBackTransfers(NTSTATUS Status, bool Data, bool Sync) {
    std::vector<std::pair<bus::IsoTransfer*, bus::IsoTransferDone>> taken;
    {
        std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
        Endpoint& ep = *endpoint_;
        for (auto& [address, pipe] : ep.Pipes) {
            const bool chosen = address == DATA_ENDPOINT   ? Data
                                : address == SYNC_ENDPOINT ? Sync
                                                           : Data && Sync;
            if (!chosen)
                continue;
            for (bus::IsoTransfer* transfer : pipe.Submitted)
                taken.emplace_back(transfer, pipe.Done);
            pipe.Submitted.clear();
        }
        if (ep.Filling.Sync != nullptr) {
            taken.emplace_back(ep.Filling.Sync, ep.DoneOf(SYNC_ENDPOINT));
            taken.emplace_back(ep.Filling.Data, ep.DoneOf(DATA_ENDPOINT));
            ep.Filling = FilledPair();
        }
    }
    host::ClockNotify();
    Endpoint& ep = *endpoint_;
    host::ClockWait([&ep]() {
        std::lock_guard<host::Mutex> lock(ep.Mutex);
        return ep.Delivering == 0;
    });
    for (auto& [transfer, done] : taken) {
        transfer->Status = Status;
        transfer->Count = 0;
        if (done)
            done(transfer);
    }
}

void SimulatedCamera::AbortIsoEndpoint(uint8_t Endpoint) {
    {
        std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
        Pipe& pipe = endpoint_->Pipes[Endpoint];
        pipe.Open = false;
        if (Endpoint == DATA_ENDPOINT)
            ++endpoint_->OpenGeneration;
    }
    TakeBackTransfers(STATUS_CANCELLED, Endpoint == DATA_ENDPOINT, Endpoint == SYNC_ENDPOINT);
}

void SimulatedCamera::SetFramesPerSecond(double Fps) {
    if (Fps <= 0)
        return;
    std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
    endpoint_->Fps = Fps;
}

void SimulatedCamera::SetScene(Scene Picture) {
    std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
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
    std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
    endpoint_->Recorded = std::move(recorded);
    ++endpoint_->PictureGeneration;
}

void SimulatedCamera::QueueFrameFaults(const PacketFaults& Faults, bool Still) {
    std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
    endpoint_->Plans.push_back(FramePlan{Faults, Still});
}

void SimulatedCamera::SetFrameObserver(FrameObserver Observer) {
    std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
    endpoint_->OnFrame = std::move(Observer);
}

EndpointStatistics SimulatedCamera::Statistics() const {
    std::lock_guard<host::Mutex> lock(endpoint_->Mutex);
    return endpoint_->Stats;
}

void SimulatedCamera::Unplug() {
    if (port_ != nullptr && port_->Connected())
        port_->Unplug(); // the bus tells the camera, through Detached
    else
        Detached();
}

void SimulatedCamera::Detached() {
    plugged_ = false;
    // The transfers on the bus come back failed.
    TakeBackTransfers(DEVICE_GONE_STATUS, true, true);
}

// ---- the camera's thread -------------------------------------------------------------------------------

bool SimulatedCamera::Sender::StillSending() {
    std::lock_guard<host::Mutex> lock(ep_.Mutex);
    return !ep_.Quit && ep_.DataOpen() && ep_.OpenGeneration == generation_ && camera_.plugged_ &&
           camera_.captureOn_ && camera_.captureEpoch_ == epoch_;
}

void SimulatedCamera::Sender::Run() {
    for (;;) {
        host::ClockWait([&]() {
            std::lock_guard<host::Mutex> lock(ep_.Mutex);
            return ep_.Quit || (ep_.DataOpen() && camera_.plugged_ && camera_.captureOn_);
        });
        {
            std::lock_guard<host::Mutex> lock(ep_.Mutex);
            if (ep_.Quit)
                return;
            generation_ = ep_.OpenGeneration;
        }
        epoch_ = camera_.captureEpoch_;
        for (int64_t frameStart = camera_.captureStart100ns_; StillSending();) {
            double fps;
            {
                std::lock_guard<host::Mutex> lock(ep_.Mutex);
                fps = ep_.Fps;
            }
            const int64_t period = static_cast<int64_t>(10000000.0 / fps + 0.5);
            if (!paced_) {
                SendFrame(frameStart, period);
                frameStart += period;
                continue;
            }
            // The sensor goes on offering frames while one is on the bus; the next to go is the first
            // offered once the last packet of this one has left.
            const int64_t sent = SendPacedFrame(frameStart) - frameStart;
            frameStart += sent <= period ? period : (sent + period - 1) / period * period;
        }
        // Capture went off, the endpoint closed or the camera went: wait for the next start.
        host::ClockWait([&]() {
            std::lock_guard<host::Mutex> lock(ep_.Mutex);
            return ep_.Quit || (ep_.DataOpen() && camera_.plugged_ && camera_.captureOn_ &&
                                (camera_.captureEpoch_ != epoch_ || ep_.OpenGeneration != generation_));
        });
    }
}

// The packetizer follows the data pipe's bytes per microframe in the camera's alternate setting; the
// frame's packets at that size.
uint32_t SimulatedCamera::Sender::PreparePacketizer() {
    const uint32_t size = camera_.DataBytesPerMicroframe();
    if (size != packetizer_.PacketSize())
        packetizer_ = Packetizer(static_cast<uint16_t>(size));
    return packetizer_.PacketsPerFrame(RAW_FRAME_SIZE);
}

// One frame's packets, spread over ticks that each end at their share of the frame time; the frame
// begins with the first tick.
void SimulatedCamera::Sender::SendFrame(int64_t FrameStart, int64_t Period) {
    const uint32_t perFrame = PreparePacketizer();
    const uint32_t ticks = std::max<uint32_t>(1, (perFrame + PACKETS_PER_TICK - 1) / PACKETS_PER_TICK);
    for (uint32_t tick = 0; tick < ticks; ++tick) {
        const int64_t due = FrameStart + Period * (tick + 1) / ticks;
        host::ClockWait([&]() { return !StillSending(); }, due);
        if (!StillSending())
            return;
        if (tick == 0)
            BeginFrame(perFrame);
        const bool last = tick + 1 == ticks;
        SendTick(last ? UINT32_MAX : (tick + 1) * PACKETS_PER_TICK, UINT32_MAX, due);
    }
}

// One frame on a high-speed bus: it begins when the sensor offers it, its packets one a microframe from
// the first microframe the data pipe has free, a tick's worth at a time, each tick going out when its
// last microframe has passed. Returns the end of the frame's last microframe (or of the frame time's
// start, for a frame without packets).
int64_t SimulatedCamera::Sender::SendPacedFrame(int64_t FrameStart) {
    host::ClockWait([&]() { return !StillSending(); }, FrameStart);
    if (!StillSending())
        return FrameStart;
    BeginFrame(PreparePacketizer());
    uint64_t microframe = std::max(bus::MicroframeFrom(FrameStart), nextMicroframe_);
    while (packetizer_.Sending()) {
        const uint32_t count = std::min(packetizer_.PacketsLeft(), PACED_TICK_MICROFRAMES);
        const int64_t due = bus::MicroframeEnd(microframe + count - 1);
        host::ClockWait([&]() { return !StillSending(); }, due);
        if (!StillSending())
            return due;
        packetMicroframe_ = microframe;
        SendTick(UINT32_MAX, count, due);
        microframe += count;
    }
    nextMicroframe_ = microframe;
    return std::max(FrameStart, bus::MicroframeEnd(microframe) - bus::MICROFRAME_100NS);
}

// The next frame's faults and still toggle, its picture, and the packetizer started on it.
void SimulatedCamera::Sender::BeginFrame(uint32_t PacketsPerFrame) {
    FramePlan plan;
    FrameObserver observer;
    uint64_t frameIndex = 0;
    const Scene* picture = nullptr;
    std::shared_ptr<const std::vector<uint8_t>> recorded;
    uint64_t pictureGeneration = 0;
    {
        std::lock_guard<host::Mutex> lock(ep_.Mutex);
        if (!ep_.Plans.empty()) {
            plan = std::move(ep_.Plans.front());
            ep_.Plans.pop_front();
        }
        observer = ep_.OnFrame;
        if (ep_.HavePicture)
            picture = &ep_.Picture;
        recorded = ep_.Recorded;
        pictureGeneration = ep_.PictureGeneration;
        frameIndex = ep_.Stats.FramesSent++;
    }
    RenderFrame(picture, recorded, pictureGeneration, PacketsPerFrame);
    if (observer)
        observer(frameIndex, rendered_->data(), RAW_FRAME_SIZE);
    dataSent_ = 0;
    packetizer_.BeginFrameInPlace(rendered_->data(), rendered_->size(), plan.Still, plan.Faults);
}

// The scene through the image controls, made again only when the scene or the controls change.
const Scene& SimulatedCamera::Sender::AdjustedScene(const Scene& Picture, uint64_t PictureGeneration,
                                                    const ImageControls& Controls) {
    if (Controls.Neutral())
        return Picture;
    if (adjustedPicture_ != PictureGeneration || adjustedControls_ != Controls) {
        adjusted_ = ApplyImageControls(Picture, Controls);
        adjustedPicture_ = PictureGeneration;
        adjustedControls_ = Controls;
    }
    return adjusted_;
}

// Renders 5 megapixels only when the sensor's output changes: its registers, the image controls, what
// it looks at, or the packets it is cut into.
void SimulatedCamera::Sender::RenderFrame(const Scene* Picture,
                                          const std::shared_ptr<const std::vector<uint8_t>>& Recorded,
                                          uint64_t PictureGeneration, uint32_t PacketsPerFrame) {
    const uint16_t exposure = camera_.exposure_;
    const uint16_t gain = camera_.gain_;
    const ImageControls controls = camera_.Image();
    if (!rendered_->empty() && exposure == renderedExposure_ && gain == renderedGain_ &&
        PictureGeneration == renderedPicture_ && controls == renderedControls_ &&
        packetizer_.PacketSize() == renderedPacketSize_)
        return;
    // A frame still lent to transfers on their way through the host keeps its bytes.
    if (rendered_.use_count() > 1)
        rendered_ = std::make_shared<std::vector<uint8_t>>();
    if (Recorded != nullptr) {
        *rendered_ = *Recorded;
    } else if (Picture == nullptr) {
        if (chart_.Rgb.empty())
            chart_ = BuiltInChart();
        // The built-in chart is generation 0 of what the sensor looks at; a picture set later counts from 1.
        RenderRawFrame(AdjustedScene(chart_, 0, controls), exposure, gain, rendered_.get());
    } else {
        std::lock_guard<host::Mutex> lock(ep_.Mutex);
        RenderRawFrame(AdjustedScene(ep_.Picture, PictureGeneration, controls), exposure, gain,
                       rendered_.get());
    }
    // Padded once to whole packets, so every packet is sent from this buffer.
    const size_t padded =
        std::max<size_t>(RAW_FRAME_SIZE, size_t{PacketsPerFrame} * packetizer_.PacketSize());
    rendered_->resize(padded, RAW_FILLER);
    renderedExposure_ = exposure;
    renderedGain_ = gain;
    renderedPicture_ = PictureGeneration;
    renderedControls_ = controls;
    renderedPacketSize_ = packetizer_.PacketSize();
}

// One packet into the pair of transfers being filled (taking the next pair when none is); false when
// no transfers wait and the packet is lost. A pair that is full goes to Finished.
bool SimulatedCamera::Sender::PlacePacket(const PacketView& View, int64_t Due,
                                          std::vector<FilledPair>* Finished) {
    FilledPair& pair = ep_.Filling;
    if (pair.Sync == nullptr) {
        Pipe& sync = ep_.Pipes[SYNC_ENDPOINT];
        Pipe& data = ep_.Pipes[DATA_ENDPOINT];
        if (sync.Submitted.empty() || data.Submitted.empty())
            return false;
        pair.Sync = sync.Submitted.front();
        pair.Data = data.Submitted.front();
        sync.Submitted.pop_front();
        data.Submitted.pop_front();
    }
    const uint32_t slot = pair.Data->Count;
    pair.Sync->PacketRoom(slot)[0] = View.Header;
    pair.Sync->Packets[slot].Length = 1;
    pair.Sync->Packets[slot].Status = View.SyncStatus;
    // A packet longer than the transfer's room is cut there, as a host controller reports babble.
    const uint32_t length = std::min(View.Length, pair.Data->PacketSize);
    // Packets of the frame are lent from it; the padded last one and inserted ones are copied.
    const uint8_t* frame = rendered_->data();
    if (length != 0 && View.Data >= frame && View.Data + length <= frame + rendered_->size()) {
        pair.Data->Lent[slot] = View.Data;
        pair.Data->Keep = rendered_;
    } else if (length != 0) {
        std::memcpy(pair.Data->PacketRoom(slot), View.Data, length);
    }
    pair.Data->Packets[slot].Length = length;
    pair.Data->Packets[slot].Status = length < View.Length ? USBD_STATUS_BABBLE_DETECTED : View.DataStatus;
    ++pair.Sync->Count;
    ++pair.Data->Count;
    if (pair.Data->Count == pair.Data->Capacity() || pair.Sync->Count == pair.Sync->Capacity()) {
        pair.Sync->Completed100ns = pair.Data->Completed100ns = Due;
        Finished->push_back(pair);
        pair = FilledPair();
    }
    return true;
}

// A tick's packets (on an ideal bus its share of the data packets, all that remain on the last tick; on
// a high-speed bus as many packets as the tick has microframes) go into the transfers under the
// endpoints' lock, so that an abort or an unplug takes every transfer back whole; they go back to the
// host after it.
void SimulatedCamera::Sender::SendTick(uint32_t DataLimit, uint32_t PacketLimit, int64_t Due) {
    std::vector<FilledPair> finished;
    bus::IsoTransferDone syncDone;
    bus::IsoTransferDone dataDone;
    {
        std::lock_guard<host::Mutex> lock(ep_.Mutex);
        PacketView view;
        for (uint32_t sent = 0; dataSent_ < DataLimit && sent < PacketLimit && packetizer_.NextPacket(&view);
             ++sent) {
            if ((view.Header & (PACKET_NO_DATA | PACKET_RESTART)) == 0)
                ++dataSent_;
            // On a high-speed bus a pair that fills goes back when its last packet's microframe ends.
            const int64_t at = paced_ ? bus::MicroframeEnd(packetMicroframe_++) : Due;
            if (PlacePacket(view, at, &finished))
                ++ep_.Stats.PacketsSent;
            else
                ++ep_.Stats.PacketsLost;
        }
        // A pair partly filled goes back at the end of each tick too, as the bus's microframes pass
        // whether or not they carry data.
        if (ep_.Filling.Sync != nullptr) {
            ep_.Filling.Sync->Completed100ns = ep_.Filling.Data->Completed100ns = Due;
            finished.push_back(ep_.Filling);
            ep_.Filling = FilledPair();
        }
        syncDone = ep_.DoneOf(SYNC_ENDPOINT);
        dataDone = ep_.DoneOf(DATA_ENDPOINT);
        if (!finished.empty())
            ++ep_.Delivering;
    }
    if (finished.empty())
        return;
    for (const FilledPair& pair : finished) {
        if (syncDone)
            syncDone(pair.Sync);
        if (dataDone)
            dataDone(pair.Data);
    }
    {
        std::lock_guard<host::Mutex> lock(ep_.Mutex);
        --ep_.Delivering;
    }
    host::ClockNotify();
}

} // namespace simcam
