// The whole stack with the camera's packet faults: short, failed and inserted packets, restarts, a
// missing frame end, stills, in the first frames of a run. Every raw frame the library hands to the driver
// must be whole and equal to the frame the camera sent, every frame a read returns equal to what the
// driver makes of a clean frame; every other frame is dropped and counted.
//
// An input is one run of a capture pin, as an application starts and stops the pin of a camera it keeps:
// the cameras (one per packet size) are brought up once for the process, with their pins open, and every
// run starts from what a stop leaves, which is what the first run started from. The camera plays back one
// frame rendered for the process, and the driver converts only a window of each frame (the raw frame
// itself is compared whole), so that an input costs its packets and little else.
#include "tests/fuzz/fuzz_stack.h"

#include "camera/frame_geometry.h"
#include "host/cameralib/streaming.h"
#include "host/simcam/packetizer.h"

#include <cstring>

namespace {

constexpr int MAX_FAULTY_FRAMES = 2;
const uint16_t PACKET_SIZES[] = {512, 1023, 3072};
// The window converted: the bottom-right corner of the picture, where a frame's last packets land.
constexpr LONG WINDOW_X = 2496, WINDOW_Y = 1904, WINDOW_WIDTH = 64, WINDOW_HEIGHT = 16;
// Bytes of a read's buffer looked at: the window's picture and what follows it, which must stay as it was.
constexpr size_t LOOKED_AT = 3 * WINDOW_WIDTH * WINDOW_HEIGHT + 4096;

// Packet indexes near the frame's start and end, where the framing decisions are, or anywhere.
std::vector<uint32_t> Indexes(fuzz::Input& In, uint32_t Packets) {
    std::vector<uint32_t> indexes;
    for (unsigned n = In.Byte() % 3; n != 0; --n) {
        const uint8_t where = In.Byte();
        if (where & 0x80)
            indexes.push_back(In.Below(Packets - 1));
        else if (where & 0x40)
            indexes.push_back(Packets - 1 - (where & 3));
        else
            indexes.push_back(where & 3);
    }
    return indexes;
}

// One camera brought up with its capture pin open, and the buffer its reads go into.
struct Camera {
    fuzz::Stack Stack;
    std::unique_ptr<streamclass::Pin> Pin;
    cameralib::LibraryDevice* Library = nullptr;
    std::vector<uint8_t> Buffer;
    ULONG Used = 0;        // bytes the last read reported
    size_t PoolBlocks = 0; // what the cameras hold of the pool between runs: their interface copies

    explicit Camera(uint16_t PacketSize) : Stack(Config(PacketSize)) {
        FUZZ_CHECK(Stack.Opened);
        std::vector<const KS_DATARANGE_VIDEO*> ranges = Stack.Filter.Ranges(0);
        std::vector<uint8_t> format;
        FUZZ_CHECK(!ranges.empty() && Stack.Filter.Intersect(0, &ranges[0]->DataRange, &format) == 0);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        Pin = Stack.Filter.OpenPin(0, format, &status);
        FUZZ_CHECK(Pin != nullptr);
        Library = Stack.Library();
        Buffer.resize(
            reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->DataFormat.SampleSize);
    }
    static simcam::CameraConfig Config(uint16_t PacketSize) {
        simcam::CameraConfig config;
        config.DataPacketSize = PacketSize;
        return config;
    }
    // The pin runs, and the frames are converted through the window from then on: bandwidth allocation
    // has set the capture window, which the window replaces inside the same de-interlaced frame.
    void Run() {
        FUZZ_CHECK(Pin->SetState(KSSTATE_RUN) == STATUS_SUCCESS);
        FUZZ_CHECK(SetSourceRect(DEINTERLACED_STRIDE, WINDOW_X, WINDOW_WIDTH, DEINTERLACED_LINES, WINDOW_Y,
                                 WINDOW_HEIGHT) == STATUS_SUCCESS);
    }
    NTSTATUS Read() {
        std::memset(Buffer.data(), 0, LOOKED_AT);
        return Pin->ReadFrame(Buffer.data(), static_cast<ULONG>(Buffer.size()), &Used);
    }
    // The pin stops; then what a stop must leave: every SRB completed once, no registry handle open, no
    // pool block but the camera's own, no guard damaged.
    void Stop() {
        FUZZ_CHECK(Pin->SetState(KSSTATE_STOP) == STATUS_SUCCESS);
        Stack.Camera.SetFrameObserver(nullptr);
        cameralib::SetFrameObserver(Library, nullptr);
        cameralib::SetRawFrameObserver(Library, nullptr);
        for (const std::string& violation : streamclass::Violations())
            std::fprintf(stderr, "%s\n", violation.c_str());
        FUZZ_CHECK(streamclass::Violations().empty());
        streamclass::ClearViolations(); // and the record of completions, which would grow run by run
        FUZZ_CHECK(host::RegistryOpenHandles() == 0);
        FUZZ_CHECK(host::PoolOutstanding().size() == PoolBlocks);
        FUZZ_CHECK(host::PoolTakeErrors().empty());
    }
};

// The camera's frame of the default scene, and what the driver makes of its window.
struct Frame {
    std::vector<uint8_t> Raw;
    std::vector<uint8_t> Bytes;
    ULONG Used = 0;
};

// The cameras, and the clean frame the first one rendered, which every camera plays back from then on.
struct Cameras {
    Camera* BySize[3];
    Frame Clean;
};

const Cameras& TheCameras() {
    static Cameras* cameras = [] {
        Cameras* made = new Cameras;
        for (int i = 0; i < 3; ++i)
            made->BySize[i] = new Camera(PACKET_SIZES[i]);
        // Freed scratch frames wait for the next frame's, as in a capture session.
        host::PoolSetLookaside(true);
        Camera& first = *made->BySize[0];
        first.PoolBlocks = host::PoolOutstanding().size();
        Frame& clean = made->Clean;
        first.Stack.Camera.SetFrameObserver([&clean](uint64_t, const uint8_t* Data, size_t Length) {
            if (clean.Raw.empty())
                clean.Raw.assign(Data, Data + Length);
        });
        first.Run();
        FUZZ_CHECK(first.Read() == STATUS_SUCCESS && first.Used != 0);
        first.Stop();
        first.Stack.Camera.SetFrameObserver(nullptr);
        FUZZ_CHECK(!clean.Raw.empty());
        clean.Bytes.assign(first.Buffer.begin(), first.Buffer.begin() + LOOKED_AT);
        clean.Used = first.Used;
        for (Camera* camera : made->BySize) {
            camera->Stack.Camera.SetRawFrame(clean.Raw);
            camera->PoolBlocks = first.PoolBlocks;
        }
        return made;
    }();
    return *cameras;
}

void QueueFaults(fuzz::Input& In, simcam::SimulatedCamera& Camera, uint32_t PerFrame, int Faulty) {
    for (int f = 0; f < Faulty; ++f) {
        simcam::PacketFaults faults;
        faults.ShortPackets = Indexes(In, PerFrame);
        faults.FailedSync = Indexes(In, PerFrame);
        faults.FailedData = Indexes(In, PerFrame);
        faults.NoDataBefore = Indexes(In, PerFrame);
        faults.RestartBefore = Indexes(In, PerFrame);
        const uint8_t more = In.Byte();
        faults.MissingEnd = (more & 1) != 0;
        Camera.QueueFrameFaults(faults, (more & 2) != 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const Cameras& cameras = TheCameras();
    const Frame& clean = cameras.Clean;
    fuzz::Input in(Data, Size);
    const uint8_t size = in.Byte() % 3;
    Camera& camera = *cameras.BySize[size];
    const int faulty = in.Byte() % (MAX_FAULTY_FRAMES + 1);
    // Each faulty frame takes one of the frames the reads below wait for, so every fault queued here is
    // used up by the time they are done: the next run finds none.
    QueueFaults(in, camera.Stack.Camera, (RAW_FRAME_BYTES + PACKET_SIZES[size] - 1) / PACKET_SIZES[size],
                faulty);
    uint64_t dropped = 0;
    uint64_t delivered = 0;
    cameralib::SetFrameObserver(camera.Library, [&](const cameralib::FrameRecord& Frame) {
        ++(Frame.Dropped ? dropped : delivered);
    });
    // A frame the library assembled in place, in the memory the camera sends its frame from, is that
    // frame; any other is compared with it byte by byte.
    const uint8_t* sent = nullptr;
    camera.Stack.Camera.SetFrameObserver([&sent](uint64_t, const uint8_t* Frame, size_t) { sent = Frame; });
    cameralib::SetRawFrameObserver(camera.Library, [&](uint64_t, const uint8_t* Raw, size_t Length) {
        FUZZ_CHECK(Length >= clean.Raw.size());
        FUZZ_CHECK(Raw == sent || std::memcmp(Raw, clean.Raw.data(), clean.Raw.size()) == 0);
    });
    camera.Run();
    for (int frame = 0; frame <= faulty; ++frame) {
        FUZZ_CHECK(camera.Read() == STATUS_SUCCESS);
        FUZZ_CHECK(camera.Used == clean.Used);
        FUZZ_CHECK(std::memcmp(camera.Buffer.data(), clean.Bytes.data(), LOOKED_AT) == 0);
    }
    const cameralib::StreamStatistics statistics = cameralib::GetStreamStatistics(camera.Library);
    FUZZ_CHECK(statistics.FramesDelivered == delivered && delivered == uint64_t(faulty) + 1);
    FUZZ_CHECK(statistics.FramesDropped == dropped);
    camera.Stop();
    return 0;
}
