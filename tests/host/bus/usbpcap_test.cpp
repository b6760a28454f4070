// USBPcap recordings: what the writer puts in a file reads back as it went in; a file that is no
// recording of isochronous IN traffic is refused with its reason and a malformed record is passed over;
// the replay device answers each request as the recording did.
#include "host/bus/bus.h"
#include "host/bus/replay_device.h"
#include "host/bus/usbpcap_reader.h"
#include "host/bus/usbpcap_writer.h"
#include "host/kernel/kernel_host.h"
#include "host/simcam/camera_descriptors.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::vector<uint8_t> kSync = {0x00, 0x00, 0x80};
const std::vector<uint8_t> kData = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

void Control(bus::UsbPcapWriter* Writer, uint64_t Request, const bus::SetupPacket& Setup,
             const std::vector<uint8_t>& Data, USBD_STATUS Status, int64_t Time) {
    const uint16_t function = (Setup.RequestType & 0x60) == 0x40
                                  ? bus::URB_FUNCTION_VENDOR_DEVICE
                                  : bus::URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    const bus::RecordPlace where{1, 1};
    Writer->ControlSubmitted(where, Request, function, Setup, Setup.DeviceToHost() ? nullptr : &Data, Time);
    Writer->ControlCompleted(where, Request, function, Setup, Status, Setup.DeviceToHost() ? &Data : nullptr,
                             Time);
}

// Three packets on the sync pipe (a byte each) and on the data pipe (four bytes each), submitted and
// back, the data pipe's lent from one buffer as the camera lends its frame.
void Iso(bus::UsbPcapWriter* Writer, int64_t Time) {
    bus::IsoTransfer sync(0x81, 4, 64);
    bus::IsoTransfer data(0x83, 4, 3072);
    sync.RequestId = 100;
    data.RequestId = 101;
    Writer->IsoSubmitted({1, 1}, sync, Time);
    Writer->IsoSubmitted({1, 1}, data, Time);
    for (uint32_t i = 0; i < 3; ++i) {
        sync.Buffer[sync.Packets[i].Offset] = kSync[i];
        sync.Packets[i].Length = 1;
        data.Lent[i] = kData.data() + 4 * i;
        data.Packets[i].Length = 4;
    }
    data.Packets[2].Status = USBD_STATUS_CRC;
    sync.Count = data.Count = 3;
    Writer->IsoCompleted({1, 1}, sync, Time + 3750);
    Writer->IsoCompleted({1, 1}, data, Time + 3750);
}

// A camera's descriptors, two status reads (not ready, then ready), a register write, capture switched
// on, and one isochronous stretch.
void WriteRecording(bus::UsbPcapWriter* Writer) {
    Control(Writer, 1, {0x80, 6, 0x0100, 0, 18}, simcam::CameraDeviceDescriptor(), 0, 0);
    Control(Writer, 2, {0x80, 6, 0x0200, 0, 305}, simcam::CameraConfigurationDescriptor(3072), 0, 0);
    Control(Writer, 3, {0xC0, 3, 0, 16, 2}, {0, 0}, 0, 10000000);
    Control(Writer, 4, {0xC0, 3, 0, 16, 2}, {3, 0}, 0, 20000000);
    Control(Writer, 5, {0x40, 5, 0, 1, 4}, {0xEE, 2, 0, 0}, 0, 20000000);
    Control(Writer, 6, {0x40, 2, 1, 11, 0}, {}, 0, 20000000);
    Iso(Writer, 20001250);
}

std::vector<uint8_t> ReadAll(const fs::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class UsbPcap : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        host::ClockSetMode(host::ClockMode::Virtual);
        dir_ = fs::temp_directory_path() / ("z40k-usbpcap-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        bus::UsbPcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open((dir_ / "camera.pcap").string(), bus::DEFAULT_RECORDING_LIMIT, &error))
            << error;
        WriteRecording(&writer);
        ASSERT_TRUE(writer.Close(&error)) << error;
        bytes_ = ReadAll(dir_ / "camera.pcap");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Reads Bytes as a recording; the reason when it is refused, else "".
    std::string Read(const std::vector<uint8_t>& Bytes, bus::UsbRecording* Out) {
        std::shared_ptr<uint8_t> copy(new uint8_t[Bytes.size() + 1], std::default_delete<uint8_t[]>());
        std::copy(Bytes.begin(), Bytes.end(), copy.get());
        std::string why;
        return bus::ReadUsbPcap(copy, Bytes.size(), Out, &why) ? "" : why;
    }
    // Where each pcap record's USBPcap bytes begin in the file.
    std::vector<size_t> Records() const {
        std::vector<size_t> at;
        for (size_t i = 24; i + 16 <= bytes_.size();) {
            const uint32_t length =
                bytes_[i + 8] | bytes_[i + 9] << 8 | bytes_[i + 10] << 16 | bytes_[i + 11] << 24;
            at.push_back(i + 16);
            i += 16 + length;
        }
        return at;
    }
    static void Put32(std::vector<uint8_t>* Bytes, size_t At, uint32_t Value) {
        for (int i = 0; i < 4; ++i)
            (*Bytes)[At + i] = static_cast<uint8_t>(Value >> (8 * i));
    }

    fs::path dir_;
    std::vector<uint8_t> bytes_;
};

TEST_F(UsbPcap, ARecordingReadsBackAsItWasWritten) {
    bus::UsbRecording r;
    ASSERT_EQ(Read(bytes_, &r), "");
    EXPECT_EQ(r.Records, 21u) << "controls: setup, data and status stages; each transfer down and back";
    EXPECT_EQ(r.Skipped, 0u);
    EXPECT_EQ(r.DeviceDescriptor, simcam::CameraDeviceDescriptor());
    EXPECT_EQ(r.ConfigurationDescriptor, simcam::CameraConfigurationDescriptor(3072));
    ASSERT_EQ(r.Controls.size(), 4u) << "the vendor requests; the descriptors are taken apart";
    EXPECT_EQ(r.Controls[1].Data, (std::vector<uint8_t>{3, 0}));
    EXPECT_EQ(r.Controls[2].Data, (std::vector<uint8_t>{0xEE, 2, 0, 0}));
    EXPECT_EQ(r.Controls[2].Setup.Index, 1);
    EXPECT_EQ(r.Controls[3].Time100ns, 20000000);
    ASSERT_EQ(r.Transfers.size(), 2u);
    for (const bus::RecordedTransfer& transfer : r.Transfers) {
        ASSERT_EQ(transfer.Count, 3u);
        EXPECT_EQ(transfer.Time100ns, 20005000);
        std::vector<uint8_t> got;
        for (uint32_t i = 0; i < transfer.Count; ++i) {
            const bus::RecordedPacket& p = r.Packets[transfer.First + i];
            got.insert(got.end(), r.Bytes() + p.At, r.Bytes() + p.At + p.Length);
        }
        EXPECT_EQ(got, transfer.Endpoint == 0x81 ? kSync : kData);
    }
    EXPECT_EQ(r.Packets[r.Transfers[1].First + 2].Status, USBD_STATUS_CRC);

    // A recording that reaches its limit ends with its last whole record.
    bus::UsbPcapWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open((dir_ / "short.pcap").string(), bytes_.size() - 200, &error));
    WriteRecording(&writer);
    EXPECT_NE(writer.Stopped().find("reached its limit"), std::string::npos) << writer.Stopped();
    EXPECT_LE(writer.Bytes(), bytes_.size() - 200);
    ASSERT_TRUE(writer.Close(&error));
    const std::vector<uint8_t> cut = ReadAll(dir_ / "short.pcap");
    EXPECT_EQ(cut.size(), writer.Bytes());
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), bytes_.begin()));
    EXPECT_EQ(Read(cut, &r), "it holds no isochronous IN traffic") << "refused for what it lacks, not as cut";

    // A write that fails ends the recording too.
    ASSERT_TRUE(writer.Open("/dev/full", bus::DEFAULT_RECORDING_LIMIT, &error));
    WriteRecording(&writer);
    EXPECT_NE(writer.Stopped().find("could not be written"), std::string::npos) << writer.Stopped();
}

// What the reader makes of a file changed here and there: refused with its reason, or read with the
// malformed records passed over and counted.
TEST_F(UsbPcap, BadFilesAreRefusedAndMalformedRecordsSkipped) {
    const std::vector<size_t> at = Records();
    ASSERT_EQ(at.size(), 21u);
    const size_t dataBack = at.back(); // the data pipe's completion
    const size_t syncBack = at[at.size() - 2];
    struct Case {
        const char* What;
        std::function<void(std::vector<uint8_t>*)> Change;
        std::string Refusal; // "" when read
        uint64_t Skipped;
    };
    const std::vector<Case> cases = {
        {"empty", [](std::vector<uint8_t>* b) { b->clear(); }, "the file is empty", 0},
        {"text",
         [](std::vector<uint8_t>* b) {
             *b = {'h', 'e', 'l', 'l', 'o'};
         },
         "it is not a pcap file", 0},
        {"pcapng", [](std::vector<uint8_t>* b) { Put32(b, 0, 0x0A0D0D0A); }, "pcapng", 0},
        {"ethernet", [](std::vector<uint8_t>* b) { Put32(b, 20, 1); }, "link type 1, not USBPcap (249)", 0},
        {"cut short", [](std::vector<uint8_t>* b) { b->pop_back(); }, "it ends in the middle of a record", 0},
        {"cut in a header", [&](std::vector<uint8_t>* b) { b->resize(dataBack - 10); }, "middle of a record",
         0},
        {"absurd length", [&](std::vector<uint8_t>* b) { Put32(b, dataBack - 8, 0x7FFFFFFF); },
         "more than any USB transfer", 0},
        {"packet count", [&](std::vector<uint8_t>* b) { Put32(b, dataBack + 31, 4); }, "", 1},
        {"packet offset", [&](std::vector<uint8_t>* b) { Put32(b, dataBack + 39 + 24, 9); }, "", 1},
        {"header length", [&](std::vector<uint8_t>* b) { (*b)[dataBack + 1] = 0x40; }, "", 1},
        {"data length", [&](std::vector<uint8_t>* b) { Put32(b, dataBack + 23, 13); }, "", 1},
        {"no packets left",
         [&](std::vector<uint8_t>* b) {
             Put32(b, dataBack + 31, 4);
             Put32(b, syncBack + 31, 0xFFFFFFFF);
         },
         "it holds no isochronous IN traffic", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        std::vector<uint8_t> bytes = bytes_;
        c.Change(&bytes);
        bus::UsbRecording r;
        const std::string refusal = Read(bytes, &r);
        if (!c.Refusal.empty()) {
            EXPECT_NE(refusal.find(c.Refusal), std::string::npos) << refusal;
            continue;
        }
        EXPECT_EQ(refusal, "");
        EXPECT_EQ(r.Skipped, c.Skipped);
        EXPECT_EQ(r.Transfers.size(), 1u);
    }
}

// The n-th request of a kind gets the recording's n-th answer to it, after the last the last; a question
// the recording never asked stalls, a request it never sent is taken. The bus reads the device's descriptors from the recording.
TEST_F(UsbPcap, TheReplayDeviceAnswersEachRequestAsTheRecordingDid) {
    std::shared_ptr<const bus::UsbRecording> recording;
    std::string error;
    ASSERT_TRUE(bus::LoadUsbPcap((dir_ / "camera.pcap").string(), &recording, &error)) << error;
    bus::Bus bus;
    bus::ReplayDevice device(recording);
    bus::Port* port = bus.Plug(&device);
    ASSERT_NE(port->Descriptors(), nullptr) << port->EnumerationFailure();
    EXPECT_EQ(port->SelectConfiguration(7), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> words;
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> word;
        EXPECT_EQ(port->ControlTransfer({0xC0, 3, 0, 16, 2}, &word), STATUS_SUCCESS);
        words.push_back(word);
    }
    EXPECT_EQ(words, (std::vector<std::vector<uint8_t>>{{0, 0}, {3, 0}, {3, 0}}));
    std::vector<uint8_t> exposure = {0x10, 0, 0, 0};
    EXPECT_EQ(port->ControlTransfer({0x40, 5, 0, 1, 4}, &exposure), STATUS_SUCCESS);
    std::vector<uint8_t> none;
    EXPECT_EQ(port->ControlTransfer({0xC0, 3, 0, 17, 2}, &none), STATUS_UNSUCCESSFUL) << "never asked";
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(port->ControlTransfer({0x40, 2, 0, 11, 0}, &none), STATUS_SUCCESS) << "never sent, but taken";
    EXPECT_EQ(device.SlotsLeft(), 3u);

    std::shared_ptr<const bus::UsbRecording> missing;
    EXPECT_FALSE(bus::LoadUsbPcap((dir_ / "none.pcap").string(), &missing, &error));
    EXPECT_EQ(error, (dir_ / "none.pcap").string() + ": cannot play it back: No such file or directory");
}

} // namespace
