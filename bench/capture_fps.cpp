// The capture path as an application drives it, timed on the virtual clock through the whole threaded
// path: the camera's thread sends packets into the library's transfers, the completion worker frames and
// assembles them, the frame worker converts each frame into the read's buffer. Bring-up and tear-down
// are outside the timing: what a capture application pays per frame is the read. Also reported: the
// real time from a frame's last packet reaching the library to its read's completion. The path runs on
// the ideal bus unless a variant says otherwise: on the high-speed bus (whose microframes cost virtual
// time only), with the camera's packets of 512 bytes of before the bus had microframes, or with every
// transfer recorded as USBPcap (into /dev/null: the cost of making and writing the records, not a disk's).
#include "host/bus/usbpcap_writer.h"
#include "host/kernel/kernel_host.h"
#include "host/rig/rig.h"
#include "host/streamclass/client.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

constexpr ULONG CAPTURE_STREAM = 0;

struct CaptureSetup {
    size_t QueuedReads = 0; // 0: one read at a time, sent when the previous one has completed
    bus::BusModel Model = bus::BusModel::Ideal;
    uint16_t PacketSize = simcam::SETTING_0_DATA_BYTES;
    bool Record = false;
};

// One running capture pin on a freshly loaded driver and camera. Ok() tells whether bring-up worked;
// the destructor stops, closes, removes the camera and unloads in the order an application would.
class CaptureSession {
  public:
    explicit CaptureSession(const CaptureSetup& Setup) {
        host::ResetKernel();
        // The driver takes and frees a 5.9 MB scratch frame for every frame; the kernel keeps freed
        // blocks of that size on a lookaside list, so a frame does not fault in fresh pages.
        host::PoolSetLookaside(true);
        host::ClockSetMode(host::ClockMode::Virtual);
        std::string error;
        if (Setup.Record && !recording_.Open("/dev/null", UINT64_MAX, &error))
            return;
        rig_ = std::make_unique<rig::Rig>(
            DriverEntry, rig::BusOptions{Setup.Model, false, Setup.Record ? &recording_ : nullptr});
        simcam::CameraConfig camera;
        camera.DataPacketSize = Setup.PacketSize;
        if (!NT_SUCCESS(rig_->Plug(camera, &camera_)))
            return;
        streamclass::Filter& filter_ = rig_->FilterOf(camera_);
        std::vector<const KS_DATARANGE_VIDEO*> ranges = filter_.Ranges(CAPTURE_STREAM);
        if (ranges.empty())
            return;
        std::vector<uint8_t> format;
        if (!NT_SUCCESS(filter_.Intersect(CAPTURE_STREAM, &ranges[0]->DataRange, &format)) ||
            format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
            return;
        KS_DATAFORMAT_VIDEOINFOHEADER video;
        std::memcpy(&video, format.data(), sizeof video);
        NTSTATUS status = STATUS_SUCCESS;
        pin_ = filter_.OpenPin(CAPTURE_STREAM, format, &status);
        if (pin_ == nullptr)
            return;
        // The scene is chosen before the pin runs, as z40k capture does, so that making the chart is not
        // counted as part of the first frame.
        rig_->SetScene(camera_, simcam::BuiltInChart());
        if (!NT_SUCCESS(pin_->SetState(KSSTATE_RUN)))
            return;
        buffer_.assign(video.DataFormat.SampleSize, 0);
        running_ = !buffer_.empty();
    }

    ~CaptureSession() {
        if (pin_ != nullptr) {
            pin_->SetState(KSSTATE_STOP);
            reads_.clear();
            pin_->Close();
            pin_.reset();
        }
        rig_.reset();
    }

    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    bool Ok() const { return running_; }
    double LatencyMicroseconds() {
        const cameralib::StreamStatistics stats = rig_->Statistics(camera_).Stream;
        return stats.LatencySamples == 0 ? 0 : stats.LatencyTotalMicroseconds / stats.LatencySamples;
    }

    bool ReadFrame() {
        ULONG used = 0;
        const NTSTATUS status = pin_->ReadFrame(buffer_.data(), static_cast<ULONG>(buffer_.size()), &used);
        return NT_SUCCESS(status) && used != 0;
    }

    // As z40k capture reads: Depth reads stay queued, each taken back in order and queued again, so the
    // camera's packets and the next frame's assembly overlap the conversion of this one.
    void QueueReads(size_t Depth) {
        queued_.resize(Depth);
        for (std::vector<uint8_t>& buffer : queued_) {
            buffer.assign(buffer_.size(), 0);
            reads_.push_back(pin_->QueueRead(buffer.data(), static_cast<ULONG>(buffer.size())));
        }
    }
    bool TakeQueuedFrame() {
        std::unique_ptr<streamclass::PendingRead> read = std::move(reads_.front());
        reads_.pop_front();
        streamclass::ReadResult result;
        const NTSTATUS status = read->Wait(&result);
        void* buffer = read->Buffer();
        read.reset();
        reads_.push_back(pin_->QueueRead(buffer, static_cast<ULONG>(buffer_.size())));
        return NT_SUCCESS(status) && result.DataUsed != 0;
    }

  private:
    bus::UsbPcapWriter recording_; // outlives the rig's buses
    std::unique_ptr<rig::Rig> rig_;
    size_t camera_ = 0;
    std::unique_ptr<streamclass::Pin> pin_;
    std::vector<uint8_t> buffer_;
    std::vector<std::vector<uint8_t>> queued_;
    std::deque<std::unique_ptr<streamclass::PendingRead>> reads_;
    bool running_ = false;
};

// Frames per second of real time through the whole path, and the real time from a frame's last packet to
// its read's completion.
void BM_Capture(benchmark::State& State, CaptureSetup Setup) {
    const size_t QueuedReads = Setup.QueuedReads;
    CaptureSession session(Setup);
    if (!session.Ok()) {
        State.SkipWithError("the capture pin did not run");
        return;
    }
    if (QueuedReads != 0)
        session.QueueReads(QueuedReads);
    double seconds = 0;
    for (auto _ : State) {
        const auto start = std::chrono::steady_clock::now();
        const bool read = QueuedReads != 0 ? session.TakeQueuedFrame() : session.ReadFrame();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!read) {
            State.SkipWithError("a frame could not be read");
            break;
        }
    }
    if (seconds > 0)
        State.counters["capture_fps"] = static_cast<double>(State.iterations()) / seconds;
    State.counters["packet_to_read_us"] = session.LatencyMicroseconds();
}

} // namespace

BENCHMARK_CAPTURE(BM_Capture, one_read, CaptureSetup{})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Capture, three_queued, CaptureSetup{3})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Capture, three_queued_512, CaptureSetup{3, bus::BusModel::Ideal, 512})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Capture, three_queued_high_speed, CaptureSetup{3, bus::BusModel::HighSpeed})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Capture, three_queued_recorded,
                  CaptureSetup{3, bus::BusModel::Ideal, simcam::SETTING_0_DATA_BYTES, true})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
