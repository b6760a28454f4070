// The races the stack lives with, explored on the scheduled clock: each scenario runs once per seed,
// its threads one at a time in an order drawn from the seed, and checks what an application can see:
// every read completed once with a defined status, every delivered frame whole and equal to the pipeline
// applied to the camera's frame with settings that were in force, nothing run at a wrong level, nothing
// left in the pool. A failure names its seed; Z40K_SCHEDULE_SEED=<seed> replays that run alone.
//
// The camera plays back one rendered frame, and the driver converts a window of it at the frame's end
// (as the whole-stack fuzz target does), so that a run costs its scheduling and little else.
#include "driver/callback_records.h"
#include "driver/device_context.h"
#include "driver/driver_entry.h"
#include "host/cameralib/streaming.h"
#include "host/rig/rig.h"
#include "host/simcam/sensor.h"
#include "tests/component/fresh_host.h"
#include "tests/component/schedule_explorer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr LONG WINDOW_X = 2496, WINDOW_Y = 1904, WINDOW_WIDTH = 64, WINDOW_HEIGHT = 16;
constexpr size_t LOOKED_AT = 3 * WINDOW_WIDTH * WINDOW_HEIGHT + 4096;
constexpr uint16_t PACKET_SIZE = 3072;
constexpr int64_t FRAME_TIME = 666667;
// Seeds per scenario: with each run's few hundred steps, depth 2 finds a bug that needs one preemption
// at one step in a few hundred runs (PCT's bound is 1 / (threads x steps)).
// Under the sanitizers a run costs several times as much: a fifth of the seeds there look for memory
// errors along the interleavings, the native build explores.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define Z40K_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define Z40K_SANITIZED 1
#endif
#endif
#ifdef Z40K_SANITIZED
constexpr uint64_t SEEDS = 30;
#else
constexpr uint64_t SEEDS = 150;
#endif

enum PropertyId : ULONG { COLOR = 5, AWB = 6, EXPOSURE = 7, RED_GAIN = 9 };
// How an application ends the first camera's stream: it stops or closes the pin, or the camera is pulled.
enum class Ending { Stop, Close, Unplug };

// The camera's frame, rendered once for the suite.
const std::vector<uint8_t>& RawFrame() {
    static const std::vector<uint8_t> raw = [] {
        std::vector<uint8_t> frame;
        simcam::RenderRawFrame(Solid(180, 120, 60), 400, 2, &frame);
        return frame;
    }();
    return raw;
}

std::string Hex(NTSTATUS Status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(Status));
    return text;
}

// One run's stack: cameras plugged in with their pins open, before the schedule starts.
struct RaceStack {
    std::unique_ptr<rig::Rig> Rig;
    std::vector<std::unique_ptr<streamclass::Pin>> Pins;
    std::vector<uint8_t> Format;
    size_t BuffersUsed = 0;
    uint64_t FirstBlock = 0;
    std::filesystem::path driveC;
    std::atomic<int> RawFramesSeen{0}; // the frame worker has handed a raw frame to the driver

    explicit RaceStack(unsigned Cameras) {
        driveC = ResetHostForStack("z40k-race-c");
        host::PoolSetLookaside(true); // the scratch frame of one frame waits for the next run's
        FirstBlock = host::PoolAllocationCount();
        Rig = std::make_unique<rig::Rig>(DriverEntry);
        for (unsigned i = 0; i < Cameras; ++i) {
            if (Plug() != STATUS_SUCCESS)
                return;
            OpenPin(i);
        }
    }
    NTSTATUS Plug(const rig::Rig::AddedCall& Added = nullptr) {
        size_t index = 0;
        const NTSTATUS status = Rig->Plug(CameraConfig(), &index, Added);
        if (status != STATUS_SUCCESS)
            return status;
        Rig->CameraOf(index)->SetRawFrame(RawFrame());
        Rig->SetRawFrameObserver(index, [this](uint64_t, const uint8_t*, size_t) {
            ++RawFramesSeen;
            host::ClockNotify();
        });
        return status;
    }
    static simcam::CameraConfig CameraConfig() {
        simcam::CameraConfig config;
        config.DataPacketSize = PACKET_SIZE;
        return config;
    }
    void OpenPin(size_t Index) {
        streamclass::Filter& filter = Rig->FilterOf(Index);
        std::vector<const KS_DATARANGE_VIDEO*> ranges = filter.Ranges(0);
        if (ranges.empty() || filter.Intersect(0, &ranges[0]->DataRange, &Format) != STATUS_SUCCESS)
            return;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        Pins.push_back(filter.OpenPin(0, Format, &status));
    }
    bool Ready(size_t Cameras) const { return Pins.size() == Cameras && Pins.back() != nullptr; }
    ULONG FrameBytes() const {
        return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format.data())->DataFormat.SampleSize;
    }
    // Runs the pins, then has the frames converted through the window.
    NTSTATUS Run() {
        for (auto& pin : Pins) {
            const NTSTATUS status = pin->SetState(KSSTATE_RUN);
            if (status != STATUS_SUCCESS)
                return status;
        }
        return SetSourceRect(DEINTERLACED_STRIDE, WINDOW_X, WINDOW_WIDTH, DEINTERLACED_LINES, WINDOW_Y,
                             WINDOW_HEIGHT);
    }
    // Read buffers live for the suite (a fresh 14.7 MB buffer per read would cost more than the run);
    // what a check looks at (Cleared bytes) is cleared for each read.
    std::unique_ptr<streamclass::PendingRead> Queue(size_t Pin, size_t Cleared = LOOKED_AT) {
        static std::vector<std::vector<uint8_t>> buffers;
        if (buffers.size() <= BuffersUsed)
            buffers.emplace_back(FrameBytes(), 0);
        std::vector<uint8_t>& buffer = buffers[BuffersUsed++];
        std::memset(buffer.data(), 0, Cleared);
        return Pins.at(Pin)->QueueRead(buffer.data(), FrameBytes());
    }
    NTSTATUS End(Ending How) {
        if (How == Ending::Stop)
            return Pins[0]->SetState(KSSTATE_STOP);
        return How == Ending::Close ? Pins[0]->Close() : Rig->Unplug(0);
    }
    NTSTATUS SetProperty(size_t Index, ULONG Id, LONG Value) {
        return SetCameraProperty(Rig->FilterOf(Index), Id, Value);
    }
    static NTSTATUS SetCameraProperty(streamclass::Filter& Filter, ULONG Id, LONG Value) {
        CameraPropertyData request{};
        request.Property = {kCameraSet, Id, KSPROPERTY_TYPE_SET};
        CameraPropertyData data = request;
        data.Value = Value;
        ULONG returned = 0;
        return Filter.DeviceProperty(true, &request, sizeof request, &data, sizeof data, &returned);
    }
    PDeviceContext Context(size_t Index) {
        return static_cast<PDeviceContext>(Rig->FilterOf(Index).DeviceExtension());
    }
    // What the window of a frame converted with Context's settings looks like (outside a scheduled run),
    // or without Window the whole frame under the geometry in force. The white balance leaves its gains
    // in *Context.
    std::vector<uint8_t> Reference(DeviceContext* Context, bool Window = true) {
        if (Window)
            SetSourceRect(DEINTERLACED_STRIDE, WINDOW_X, WINDOW_WIDTH, DEINTERLACED_LINES, WINDOW_Y,
                          WINDOW_HEIGHT);
        DeviceContext& copy = *Context;
        static std::vector<uint8_t> raw, out;
        raw = RawFrame();
        out.assign(FrameBytes(), 0);
        ULONG used = 0;
        uint8_t frameContext[8] = {};
        CamDeviceData2.CamProcessRawVideoFrameEx(nullptr, &copy, frameContext, out.data(), FrameBytes(),
                                                 raw.data(), ULONG(raw.size()), 0, &used, ULONG(raw.size()),
                                                 0);
        return std::vector<uint8_t>(out.begin(), Window ? out.begin() + LOOKED_AT : out.end());
    }
    // Everything a run must leave: no SRB completed twice or never, no bug check, no pool block.
    std::string Leftovers(const host::BugCheckCapture& Checks) {
        Pins.clear();
        Rig.reset();
        std::string what;
        for (const std::string& v : streamclass::Violations())
            what += v + "; ";
        for (const host::BugCheckReport& report : Checks.Reports())
            what += report.Rule + ": " + report.Text + "; ";
        for (const host::PoolBlockInfo& block : host::PoolOutstanding()) {
            if (block.Serial > FirstBlock)
                what += "a pool block of " + std::to_string(block.Size) + " bytes left; ";
        }
        return what;
    }
};

// A read's outcome against what it may be: one of Allowed, and when it succeeded, one of the pictures.
std::string CheckRead(streamclass::PendingRead& Read, const std::vector<NTSTATUS>& Allowed,
                      const std::vector<std::vector<uint8_t>>& Pictures, const char* Which) {
    Read.Wait(nullptr, host::ClockNow100ns() + 20 * FRAME_TIME);
    if (!Read.Done())
        return std::string(Which) + " never completed; ";
    const NTSTATUS status = Read.Wait();
    if (std::find(Allowed.begin(), Allowed.end(), status) == Allowed.end())
        return std::string(Which) + " completed with " + Hex(status) + "; ";
    if (status != STATUS_SUCCESS || Pictures.empty())
        return "";
    const uint8_t* got = static_cast<const uint8_t*>(Read.Buffer());
    for (const std::vector<uint8_t>& picture : Pictures) {
        if (std::memcmp(got, picture.data(), picture.size()) == 0)
            return "";
    }
    return std::string(Which) + " is not the frame under any settings in force; ";
}

// A thread of the run for one application request.
void Spawn(host::ClockThread* Thread, std::function<void()> Body) {
    Thread->Start(PASSIVE_LEVEL, std::move(Body));
}

void Delay(int64_t Units100ns) {
    LARGE_INTEGER interval;
    interval.QuadPart = -Units100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// ---- the end of a stream while reads wait ------------------------------------------------------------

enum class Moment { Converting, MidFrame };

// Two reads queued; another thread ends the stream (stop, close, unplug) as the first frame goes into
// conversion, or halfway through the first frame's packets.
std::string EndWhileReading(const host::ScheduleOptions& Options, Ending How, Moment When) {
    RaceStack stack(1);
    if (!stack.Ready(1))
        return "the stack did not come up";
    static const std::vector<uint8_t> picture = [&] { // the same every run
        DeviceContext context = *stack.Context(0);
        return stack.Reference(&context);
    }();
    host::BugCheckCapture checks;
    host::ScheduleStart(Options);
    NTSTATUS ended = STATUS_PENDING;
    std::string failure;
    {
        if (stack.Run() != STATUS_SUCCESS)
            failure = "the pin did not run; ";
        auto first = stack.Queue(0);
        auto second = stack.Queue(0);
        host::ClockThread ender;
        Spawn(&ender, [&] {
            if (When == Moment::Converting)
                host::ClockWait([&] { return stack.RawFramesSeen.load() != 0; });
            else
                Delay(FRAME_TIME / 2);
            ended = stack.End(How);
        });
        ender.Join();
        const NTSTATUS gone = How == Ending::Unplug ? STATUS_DEVICE_NOT_CONNECTED : STATUS_CANCELLED;
        if (ended != STATUS_SUCCESS)
            failure += "the ending returned " + Hex(ended) + "; ";
        failure += CheckRead(*first, {STATUS_SUCCESS, gone}, {picture}, "the first read");
        failure += CheckRead(*second, {STATUS_SUCCESS, gone}, {picture}, "the second read");
        if (When == Moment::Converting && first->Done() && first->Wait() != STATUS_SUCCESS)
            failure += "the read in conversion did not complete with its frame; ";
    }
    host::ScheduleStop();
    return failure + stack.Leftovers(checks);
}

TEST(Races, TheStreamEndsWhileReadsWait) {
    const struct {
        const char* Name;
        Ending How;
        Moment When;
    } cases[] = {
        {"stop while a frame converts", Ending::Stop, Moment::Converting},
        {"close with reads pending", Ending::Close, Moment::Converting},
        {"unplug mid-read", Ending::Unplug, Moment::Converting},
        {"unplug mid-frame", Ending::Unplug, Moment::MidFrame},
    };
    for (const auto& c : cases) {
        const Exploration e = Explore(c.Name, 2, SEEDS, [&](const host::ScheduleOptions& Options) {
            return EndWhileReading(Options, c.How, c.When);
        });
        EXPECT_FALSE(e.Failed) << c.Name << ": Z40K_SCHEDULE_SEED=" << e.FailedSeed << ": " << e.Failure;
    }
}

// ---- the white balance against a property set of the same gains ----------------------------------------

constexpr LONG SET_RED_GAIN = 300;

// The pictures a colour frame may be once a setter switches the white balance off and sets the red gain
// while the first frame converts: the white balance's own, or a fixed-gain picture with the gains of
// before or of the white balance, the red one as it was or as set. *Balanced gets the balance's gains.
std::vector<std::vector<uint8_t>> BalancePictures(RaceStack& Stack, DeviceContext* Balanced) {
    std::vector<std::vector<uint8_t>> pictures;
    const DeviceContext before = *Stack.Context(0);
    *Balanced = before;
    pictures.push_back(Stack.Reference(Balanced));
    for (const DeviceContext* base : {&before, static_cast<const DeviceContext*>(Balanced)}) {
        for (bool set : {false, true}) {
            DeviceContext fixed = *base;
            fixed.AutoWhiteBalance = FALSE;
            if (set)
                fixed.RedGain = SET_RED_GAIN;
            pictures.push_back(Stack.Reference(&fixed));
        }
    }
    return pictures;
}

std::string WhiteBalanceAgainstASetter(const host::ScheduleOptions& Options) {
    RaceStack stack(1);
    if (!stack.Ready(1) || stack.SetProperty(0, COLOR, 1) != STATUS_SUCCESS ||
        stack.SetProperty(0, AWB, 1) != STATUS_SUCCESS)
        return "the stack did not come up";
    DeviceContext balanced;
    static const std::vector<std::vector<uint8_t>> pictures = BalancePictures(stack, &balanced);
    static const ULONG balancedRed = balanced.RedGain;
    host::BugCheckCapture checks;
    host::ScheduleStart(Options);
    std::string failure;
    {
        if (stack.Run() != STATUS_SUCCESS)
            failure = "the pin did not run; ";
        auto first = stack.Queue(0);
        auto second = stack.Queue(0);
        NTSTATUS off = STATUS_PENDING, red = STATUS_PENDING;
        host::ClockThread setter;
        Spawn(&setter, [&] {
            host::ClockWait([&] { return stack.RawFramesSeen.load() != 0; });
            off = stack.SetProperty(0, AWB, 0);
            red = stack.SetProperty(0, RED_GAIN, SET_RED_GAIN);
        });
        setter.Join();
        failure += CheckRead(*first, {STATUS_SUCCESS}, pictures, "the first frame");
        failure += CheckRead(*second, {STATUS_SUCCESS}, pictures, "the second frame");
        if (off != STATUS_SUCCESS || red != STATUS_SUCCESS)
            failure += "a property set returned " + Hex(off) + ", " + Hex(red) + "; ";
        const ULONG now = stack.Context(0)->RedGain;
        if (now != ULONG(SET_RED_GAIN) && now != balancedRed)
            failure += "the red gain is " + std::to_string(now) + ", neither set nor balanced; ";
        stack.Pins[0]->SetState(KSSTATE_STOP);
    }
    host::ScheduleStop();
    return failure + stack.Leftovers(checks);
}

TEST(Races, APropertySetAgainstTheWhiteBalanceWritingTheSameGains) {
    const Exploration e = Explore("white balance against a gain set", 2, SEEDS, WhiteBalanceAgainstASetter);
    EXPECT_FALSE(e.Failed) << "Z40K_SCHEDULE_SEED=" << e.FailedSeed << ": " << e.Failure;
}

// ---- two cameras against the driver-wide geometry and one-time dump ------------------------------------

std::vector<uint8_t> FileBytes(const std::filesystem::path& File) {
    std::ifstream in(File, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Two grey cameras start together: both allocate bandwidth (writing the frame geometry) and both first
// frames may find the dump not yet done. Each camera's frame is, whole, the grey picture of its raw frame
// under that camera's settings, and the dump is the one whole frame a camera alone writes.
std::string TwoCamerasOnTheDriverWideState(const host::ScheduleOptions& Options) {
    RaceStack stack(2);
    if (!stack.Ready(2) || stack.SetProperty(0, COLOR, 0) != STATUS_SUCCESS ||
        stack.SetProperty(1, COLOR, 0) != STATUS_SUCCESS)
        return "the stack did not come up";
    const std::filesystem::path dumpFile = stack.driveC / "DS-test.raw";
    static std::vector<uint8_t> dump;
    static std::vector<std::vector<uint8_t>> pictures; // the same every run: each camera's
    const size_t frame = stack.FrameBytes();
    host::BugCheckCapture checks;
    host::ScheduleStart(Options);
    std::string failure;
    {
        std::unique_ptr<streamclass::PendingRead> first;
        host::ClockThread other;
        std::unique_ptr<streamclass::PendingRead> second;
        Spawn(&other, [&] {
            if (stack.Pins[1]->SetState(KSSTATE_RUN) != STATUS_SUCCESS)
                failure += "the second pin did not run; ";
            second = stack.Queue(1, frame);
            second->Wait();
        });
        if (stack.Pins[0]->SetState(KSSTATE_RUN) != STATUS_SUCCESS)
            failure += "the first pin did not run; ";
        first = stack.Queue(0, frame);
        first->Wait();
        other.Join();
        for (auto& pin : stack.Pins)
            pin->SetState(KSSTATE_STOP);
        host::ScheduleStop();
        const std::vector<uint8_t> found = FileBytes(dumpFile);
        // The settings as the run left them, the format the pins ran with among them.
        for (size_t camera = pictures.size(); camera < 2; ++camera) {
            DeviceContext settings = *stack.Context(camera);
            RawDumpDone = 0;
            pictures.push_back(stack.Reference(&settings, false));
            if (camera == 0)
                dump = FileBytes(dumpFile);
        }
        failure += CheckRead(*first, {STATUS_SUCCESS}, {pictures[0]}, "the first camera's frame");
        failure += CheckRead(*second, {STATUS_SUCCESS}, {pictures[1]}, "the second camera's frame");
        if (dump.size() != size_t(DEINTERLACED_STRIDE) * DEINTERLACED_LINES || found != dump)
            failure += "the dump is not one whole frame; ";
    }
    return failure + stack.Leftovers(checks);
}

TEST(Races, TwoCamerasAgainstTheDriverWideGeometryAndDump) {
    // Whole frames and two cameras: ten times the steps of the other scenarios, a third of the seeds.
    const Exploration e = Explore("two cameras", 2, SEEDS / 3, TwoCamerasOnTheDriverWideState);
    EXPECT_FALSE(e.Failed) << "Z40K_SCHEDULE_SEED=" << e.FailedSeed << ": " << e.Failure;
}

// ---- a property request during bring-up -------------------------------------------------------------------

constexpr LONG STORED_EXPOSURE = 300, SET_EXPOSURE = 700;

void StoreExposure(const std::string& DriverKey) {
    host::RegistryCreateKey(DriverKey + "\\Z40K_Settings");
    host::RegistrySetDword(DriverKey + "\\Z40K_Settings", "Exposure Time", STORED_EXPOSURE);
}

// An application sets the exposure while a camera is brought up, which loads that camera's stored
// settings. On the camera coming up, the application tries from the moment the device node exists until
// the stream class knows the property set (before, it answers STATUS_NOT_FOUND): the set that reaches the
// driver holds, never undone by the load. On another camera already up, the set holds there and the
// newcomer loads its own stored exposure.
std::string PropertyDuringBringUp(const host::ScheduleOptions& Options, bool SameCamera) {
    RaceStack stack(SameCamera ? 0 : 1);
    if (!SameCamera && !stack.Ready(1))
        return "the stack did not come up";
    StoreExposure(host::DriverKeyPathOf(SameCamera ? 0 : 1));
    host::BugCheckCapture checks;
    host::ScheduleStart(Options);
    std::string failure;
    {
        NTSTATUS set = STATUS_PENDING;
        host::ClockThread setter;
        auto setExposure = [&set](streamclass::Filter* Filter) {
            set = STATUS_NOT_FOUND;
            for (int tries = 0; tries < 100 && set == STATUS_NOT_FOUND; ++tries) {
                if (tries != 0)
                    Delay(FRAME_TIME);
                set = RaceStack::SetCameraProperty(*Filter, EXPOSURE, SET_EXPOSURE);
            }
        };
        if (!SameCamera)
            Spawn(&setter, [&] { setExposure(&stack.Rig->FilterOf(0)); });
        const NTSTATUS plugged = stack.Plug([&](streamclass::Filter& Filter, simcam::SimulatedCamera&) {
            if (SameCamera)
                Spawn(&setter, [&setExposure, &Filter] { setExposure(&Filter); });
        });
        setter.Join();
        if (plugged != STATUS_SUCCESS)
            failure += "bring-up returned " + Hex(plugged) + "; ";
        if (set != STATUS_SUCCESS)
            failure += "the property set returned " + Hex(set) + "; ";
        auto exposure = [&](size_t Camera, LONG Expected, const char* Which) {
            const USHORT now = stack.Context(Camera)->ExposureTime;
            if (now != Expected)
                failure += std::string(Which) + " exposure is " + std::to_string(now) + "; ";
        };
        exposure(0, SET_EXPOSURE, "the set camera's");
        if (!SameCamera)
            exposure(1, STORED_EXPOSURE, "the new camera's");
    }
    host::ScheduleStop();
    return failure + stack.Leftovers(checks);
}

TEST(Races, APropertyRequestDuringBringUp) {
    for (bool same : {true, false}) {
        const char* name =
            same ? "property during its camera's bring-up" : "property during another's bring-up";
        const Exploration e = Explore(name, 2, SEEDS, [&](const host::ScheduleOptions& Options) {
            return PropertyDuringBringUp(Options, same);
        });
        EXPECT_FALSE(e.Failed) << name << ": Z40K_SCHEDULE_SEED=" << e.FailedSeed << ": " << e.Failure;
    }
}

// ---- the explorer itself, on a race planted in the host
// ----------------------------------------------------

// A read arrives while another thread stops the pin, closes it or pulls the camera out. A stopped
// stream refuses or cancels it, never leaves it queued; a close or a removal waits for the read's
// dispatch to return before it takes the stream down, and the read then fails as the stream goes. The
// trace of each run goes to *Traces.
std::string ReadAgainstAnEnding(const host::ScheduleOptions& Options, Ending How,
                                std::vector<uint64_t>* Traces) {
    RaceStack stack(1);
    if (!stack.Ready(1))
        return "the stack did not come up";
    host::BugCheckCapture checks;
    host::ScheduleStart(Options);
    std::string failure;
    {
        if (stack.Run() != STATUS_SUCCESS)
            failure = "the pin did not run; ";
        std::unique_ptr<streamclass::PendingRead> read;
        NTSTATUS ended = STATUS_PENDING;
        host::ClockThread reader, ender;
        Spawn(&reader, [&] { read = stack.Queue(0); });
        Spawn(&ender, [&] { ended = stack.End(How); });
        reader.Join();
        ender.Join();
        if (ended != STATUS_SUCCESS)
            failure += "the ending returned " + Hex(ended) + "; ";
        if (How == Ending::Stop && !read->Done()) {
            failure += "a read was left queued on a stopped stream; ";
            // Only the next run of the pin serves it.
            cameralib::OpenStopWindow(false);
            stack.Pins[0]->SetState(KSSTATE_RUN);
            read->Wait();
            stack.Pins[0]->SetState(KSSTATE_STOP);
            cameralib::OpenStopWindow(true);
        } else if (How == Ending::Stop) {
            failure += CheckRead(*read, {STATUS_CANCELLED, STATUS_DEVICE_NOT_READY}, {}, "the read");
        } else {
            const NTSTATUS gone = How == Ending::Unplug ? STATUS_DEVICE_NOT_CONNECTED : STATUS_CANCELLED;
            failure += CheckRead(*read, {gone, STATUS_INVALID_DEVICE_STATE}, {}, "the read");
        }
    }
    Traces->push_back(host::ScheduleStop().Trace);
    return failure + stack.Leftovers(checks);
}

std::string ReadAgainstAStop(const host::ScheduleOptions& Options, std::vector<uint64_t>* Traces) {
    return ReadAgainstAnEnding(Options, Ending::Stop, Traces);
}

TEST(Races, AReadSentWhileThePinClosesOrTheCameraGoes) {
    for (Ending how : {Ending::Close, Ending::Unplug}) {
        std::vector<uint64_t> traces;
        const char* name = how == Ending::Close ? "read against a close" : "read against an unplug";
        const Exploration e = Explore(name, 2, SEEDS, [&](const host::ScheduleOptions& Options) {
            return ReadAgainstAnEnding(Options, how, &traces);
        });
        EXPECT_FALSE(e.Failed) << name << ": Z40K_SCHEDULE_SEED=" << e.FailedSeed << ": " << e.Failure;
    }
}

// With the window open, the explorer finds a seed whose run leaves the read queued, and that seed replays
// exactly: the same failure, the same order of events. Closed, every seed passes.
TEST(Races, TheExplorerFindsAPlantedRaceAndReplaysItsSeed) {
    if (ReplaySeed() != 0)
        GTEST_SKIP() << "a replay of another scenario's seed";
    std::vector<uint64_t> traces;
    auto run = [&](const host::ScheduleOptions& Options) { return ReadAgainstAStop(Options, &traces); };
    cameralib::OpenStopWindow(true);
    const Exploration found = Explore("planted race", 2, 8 * SEEDS, run);
    host::ScheduleOptions replay;
    replay.Seed = found.FailedSeed;
    replay.Depth = 2;
    replay.Steps = found.ProbeSteps;
    const uint64_t foundTrace = traces.back();
    const std::string again = found.Failed ? ReadAgainstAStop(replay, &traces) : std::string();
    cameralib::OpenStopWindow(false);
    ASSERT_TRUE(found.Failed) << "the explorer missed the planted race in " << found.Runs << " seeds";
    ASSERT_NE(found.FailedSeed, 0u) << "the probe's run failed; no seed was needed";
    EXPECT_EQ(again, found.Failure);
    EXPECT_EQ(traces.back(), foundTrace);
    const Exploration closed = Explore("planted race, closed", 2, SEEDS, run);
    EXPECT_FALSE(closed.Failed) << "Z40K_SCHEDULE_SEED=" << closed.FailedSeed << ": " << closed.Failure;
}

} // namespace
