// The whole stack with the camera's packet faults: short, failed and inserted packets, restarts, a
// missing frame end, stills, in the first frames of a run. Every frame a read returns must be whole and
// equal to what the driver makes of a clean frame; every other frame is dropped and counted.
#include "tests/fuzz/fuzz_stack.h"

#include "host/cameralib/streaming.h"
#include "host/simcam/packetizer.h"

namespace {

constexpr int MAX_FAULTY_FRAMES = 2;

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

struct Session {
    fuzz::Stack Stack;
    std::unique_ptr<streamclass::Pin> Pin;
    cameralib::LibraryDevice* Library = nullptr;
    std::vector<uint8_t> Buffer;
    ULONG Used = 0; // bytes the last read reported

    explicit Session(uint16_t PacketSize) : Stack(Config(PacketSize)) {
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
    NTSTATUS Read() {
        std::fill(Buffer.begin(), Buffer.end(), 0);
        return Pin->ReadFrame(Buffer.data(), static_cast<ULONG>(Buffer.size()), &Used);
    }
    void Close() {
        FUZZ_CHECK(Pin->SetState(KSSTATE_STOP) == STATUS_SUCCESS);
        Pin.reset();
        Stack.Finish();
    }
};

struct Frame {
    std::vector<uint8_t> Bytes;
    ULONG Used = 0;
};

// What the driver makes of a clean frame of the default scene.
const Frame& CleanFrame() {
    static Frame clean;
    if (clean.Bytes.empty()) {
        Session session(512);
        FUZZ_CHECK(session.Pin->SetState(KSSTATE_RUN) == STATUS_SUCCESS);
        FUZZ_CHECK(session.Read() == STATUS_SUCCESS && session.Used != 0);
        clean = {session.Buffer, session.Used};
        session.Close();
    }
    return clean;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const Frame& clean = CleanFrame();
    fuzz::Input in(Data, Size);
    static const uint16_t SIZES[] = {512, 1023, 3072};
    const uint16_t packetSize = SIZES[in.Byte() % 3];
    Session session(packetSize);
    const uint32_t perFrame = (RAW_FRAME_BYTES + packetSize - 1) / packetSize;
    const int faulty = in.Byte() % (MAX_FAULTY_FRAMES + 1);
    for (int f = 0; f < faulty; ++f) {
        simcam::PacketFaults faults;
        faults.ShortPackets = Indexes(in, perFrame);
        faults.FailedSync = Indexes(in, perFrame);
        faults.FailedData = Indexes(in, perFrame);
        faults.NoDataBefore = Indexes(in, perFrame);
        faults.RestartBefore = Indexes(in, perFrame);
        const uint8_t more = in.Byte();
        faults.MissingEnd = (more & 1) != 0;
        session.Stack.Camera.QueueFrameFaults(faults, (more & 2) != 0);
    }
    uint64_t dropped = 0;
    uint64_t delivered = 0;
    cameralib::SetFrameObserver(session.Library, [&](const cameralib::FrameRecord& Frame) {
        ++(Frame.Dropped ? dropped : delivered);
    });
    FUZZ_CHECK(session.Pin->SetState(KSSTATE_RUN) == STATUS_SUCCESS);
    for (int frame = 0; frame <= faulty; ++frame) {
        FUZZ_CHECK(session.Read() == STATUS_SUCCESS);
        FUZZ_CHECK(session.Used == clean.Used);
        FUZZ_CHECK(session.Buffer == clean.Bytes);
    }
    const cameralib::StreamStatistics statistics = cameralib::GetStreamStatistics(session.Library);
    FUZZ_CHECK(statistics.FramesDelivered == delivered && delivered == uint64_t(faulty) + 1);
    FUZZ_CHECK(statistics.FramesDropped == dropped);
    session.Close();
    return 0;
}
