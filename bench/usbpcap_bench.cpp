// What recording the bus (--pcap) costs per frame: the records of one frame of the camera in setting 0
// (1,930 packets of 3,072 bytes on the data pipe and their header bytes on the sync pipe, in transfers of
// 1,024 packets, each submitted and back) written into a fresh file of the temporary folder, as
// z40k capture writes them, and the file put in place. CPU time, which includes copying the frame into
// the system's file cache; the disk writes it back on its own time. pipeline_bench's summary prints it
// as a ratio to the colour raw-frame call of the same run.
#include "host/bus/usbpcap_writer.h"
#include "host/simcam/sensor.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t PACKET_BYTES = 3 * 1024;
constexpr uint32_t TRANSFER_PACKETS = 1024;

void BM_PcapFrame(benchmark::State& State) {
    const uint32_t packets = (simcam::RAW_FRAME_SIZE + PACKET_BYTES - 1) / PACKET_BYTES;
    auto frame = std::make_shared<std::vector<uint8_t>>(size_t{packets} * PACKET_BYTES, simcam::RAW_FILLER);
    bus::IsoTransfer sync(0x81, TRANSFER_PACKETS, 64);
    bus::IsoTransfer data(0x83, TRANSFER_PACKETS, PACKET_BYTES);
    const std::string path =
        (std::filesystem::temp_directory_path() / ("z40k-bench-" + std::to_string(::getpid()) + ".pcap"))
            .string();
    for (auto _ : State) {
        bus::UsbPcapWriter writer;
        std::string error;
        if (!writer.Open(path, bus::DEFAULT_RECORDING_LIMIT, &error)) {
            State.SkipWithError(error.c_str());
            break;
        }
        for (uint32_t first = 0; first < packets; first += TRANSFER_PACKETS) {
            sync.Reset();
            data.Reset();
            writer.IsoSubmitted({1, 1}, sync, 0);
            writer.IsoSubmitted({1, 1}, data, 0);
            const uint32_t count = std::min(TRANSFER_PACKETS, packets - first);
            for (uint32_t i = 0; i < count; ++i) {
                sync.Buffer[sync.Packets[i].Offset] = first + i + 1 == packets ? 0x80 : 0;
                sync.Packets[i].Length = 1;
                data.Lent[i] = frame->data() + size_t{first + i} * PACKET_BYTES;
                data.Packets[i].Length = PACKET_BYTES;
            }
            data.Keep = frame;
            sync.Count = data.Count = count;
            writer.IsoCompleted({1, 1}, sync, 0);
            writer.IsoCompleted({1, 1}, data, 0);
        }
        if (!writer.Close(&error)) {
            State.SkipWithError(error.c_str());
            break;
        }
    }
    std::filesystem::remove(path);
}

} // namespace

BENCHMARK(BM_PcapFrame)->Name("pcap_frame")->Unit(benchmark::kMillisecond);
