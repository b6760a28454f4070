// `z40k capture` on the USB 2.0 bus: the rate the bus gives the camera, two cameras on one bus, USBPcap
// recordings that tshark reads, and recordings played back.
#include "tests/e2e/run_z40k.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using e2e::Outcome;
using e2e::ReadBytes;
using e2e::ReadText;

class UsbBus : public e2e::FolderTest {
  protected:
    UsbBus() : FolderTest("z40k-e2e-bus") {}

    Outcome Capture(const std::string& Args, const std::string& Clock = "virtual") {
        return Run("capture --clock " + Clock + " --drive-c " + Path("c") + " " + Args);
    }

    // The trace's lines of one event kind.
    std::vector<nlohmann::json> Events(const std::string& Trace, const std::string& Kind) const {
        std::vector<nlohmann::json> events;
        std::istringstream in(ReadText(dir_ / Trace));
        for (std::string line; std::getline(in, line);) {
            nlohmann::json j = nlohmann::json::parse(line);
            if (j["event"] == Kind)
                events.push_back(j);
        }
        return events;
    }

    // Microseconds between the trace's frames.
    std::vector<int64_t> FrameGaps(const std::string& Trace) const {
        const std::vector<nlohmann::json> frames = Events(Trace, "frame");
        std::vector<int64_t> gaps;
        for (size_t i = 1; i < frames.size(); ++i)
            gaps.push_back(frames[i]["t_us"].get<int64_t>() - frames[i - 1]["t_us"].get<int64_t>());
        return gaps;
    }

    // What tshark prints for the recording with these arguments; its exit status in *Status.
    std::string Tshark(const std::string& Pcap, const std::string& Args, int* Status = nullptr) {
        const std::string out = (dir_ / "tshark.out").string();
        const int status = std::system(
            ("tshark -r " + Path(Pcap) + " " + Args + " >'" + out + "' 2>'" + out + ".err'").c_str());
        if (Status != nullptr)
            *Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return ReadText(out);
    }
};

// The bus sets the camera's pace: on a high-speed bus a frame of 1,930 packets of 3,072 bytes takes as
// many microframes, so every fourth frame of the sensor's 15 a second goes; an ideal bus lets all 15 go.
// Two cameras on one bus do not both fit: the second one's stream fails to run with the platform's
// status, in one line, and the first goes on.
TEST_F(UsbBus, TheBusSetsTheRateAndASharedBusTakesOneCamera) {
    struct Case {
        const char* Bus;
        double Gap;
        double Tolerance;
    };
    for (const Case& c : {Case{"faithful", 4 * 66666.7, 125}, Case{"ideal", 66666.7, 1}}) {
        SCOPED_TRACE(c.Bus);
        const std::string trace = std::string(c.Bus) + ".jsonl";
        Outcome r =
            Capture("-n 3 --format raw -o " + Path("out") + " --bus " + c.Bus + " --trace " + Path(trace));
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        for (int64_t gap : FrameGaps(trace))
            EXPECT_NEAR(gap, c.Gap, c.Tolerance);
        for (const nlohmann::json& frame : Events(trace, "frame"))
            EXPECT_EQ(frame["packets"], 1930);
    }

    Outcome shared = Capture("-n 2 --cameras 2 --bus shared --format raw -o " + Path("two"));
    EXPECT_EQ(shared.ExitCode, 1);
    EXPECT_EQ(
        shared.Err.substr(0, shared.Err.find('\n') + 1),
        "z40k: camera 1: the capture pin did not run: STATUS_INSUFFICIENT_RESOURCES "
        "(USBD_STATUS_NO_BANDWIDTH: alternate setting 0 needs 3,509 of the bus's 6,000 periodic bytes a "
        "microframe and 2,491 are free)\n");
    // The summary names the frames the camera that ran took, not a range reaching into the other's none.
    EXPECT_NE(
        shared.Err.find(": " + (dir_ / "two").string() + "/cam0-frame-0000.raw to cam0-frame-0001.raw\n"),
        std::string::npos)
        << shared.Err;
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir_ / "two"))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"cam0-frame-0000.raw", "cam0-frame-0001.raw"}));
}

// On the real clock too the camera is never faster than its microframes: a frame every 241 ms at least.
TEST_F(UsbBus, OnTheRealClockFramesComeNoFasterThanTheBusCarriesThem) {
    Outcome r = Capture("-n 3 --format raw -o " + Path("out") + " --trace " + Path("real.jsonl"), "real");
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    const std::vector<int64_t> gaps = FrameGaps("real.jsonl");
    ASSERT_EQ(gaps.size(), 2u);
    for (int64_t gap : gaps)
        EXPECT_GE(gap, 1930 * 125) << "1,930 microframes a frame";
}

// tshark reads a recording without a dissector error, decodes every vendor request as the trace lists
// it, and counts as many isochronous data packets to each frame as the trace says the frame took.
TEST_F(UsbBus, TsharkReadsTheRecordingAsTheTraceDescribesIt) {
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        FAIL() << "tshark is not installed (scripts/setup.sh installs it)";
    Outcome r = Capture("-n 1 --format raw -o " + Path("out") + " --pcap " + Path("cam.pcap") + " --trace " +
                        Path("cam.jsonl"));
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    int status = -1;
    const std::string expert = Tshark("cam.pcap", "-q -z expert", &status);
    EXPECT_EQ(status, 0) << ReadText(dir_ / "tshark.out.err");
    EXPECT_EQ(expert.find("Error"), std::string::npos) << expert;
    EXPECT_EQ(expert.find("Malformed"), std::string::npos) << expert;

    // One pass: the setup stage of every vendor request, and the headers the sync pipe brought back.
    const std::string fields = Tshark(
        "cam.pcap",
        "-Y '(usb.control_stage == 0 && (usb.bmRequestType == 0x40 || usb.bmRequestType == 0xc0)) "
        "|| (usb.irp_info.direction == 1 && usb.endpoint_address == 0x81)' -T fields -e "
        "usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex -e usb.iso.data");
    std::string requests;
    std::vector<uint32_t> perFrame{0};
    std::istringstream lines(fields);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            f.push_back(cell);
        if (!f.empty() && !f[0].empty() && f.size() >= 4) { // tshark writes wValue in hex
            requests +=
                f[0] + " " + f[1] + " " + std::to_string(std::stoul(f[2], nullptr, 16)) + " " + f[3] + "\n";
            continue;
        }
        std::istringstream bytes(f.size() >= 5 ? f[4] : "");
        for (std::string byte; std::getline(bytes, byte, ',');) {
            ++perFrame.back();
            if (std::stoul(byte, nullptr, 16) & 0x80) // end of frame
                perFrame.push_back(0);
        }
    }
    std::string expected;
    for (const nlohmann::json& v : Events("cam.jsonl", "vendor_request"))
        expected += std::string(v["direction"] == "in" ? "0xc0" : "0x40") + " " + v["request"].dump() + " " +
                    v["value"].dump() + " " + v["index"].dump() + "\n";
    EXPECT_EQ(requests, expected);
    const std::vector<nlohmann::json> frames = Events("cam.jsonl", "frame");
    ASSERT_GE(perFrame.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(perFrame[i], frames[i]["packets"].get<uint32_t>()) << "frame " << i;
}

// A capture recorded with --pcap plays back to the same frames; unplugging during a recording leaves a
// whole one; a recording that would pass its limit stops with a message and stays whole; a recording
// that cannot be written stops the capture before the camera starts.
TEST_F(UsbBus, RecordingsReplayToTheSameFramesAndStayWhole) {
    ASSERT_EQ(Capture("-n 1 --format raw -o " + Path("rec") + " --pcap " + Path("cam.pcap")).ExitCode, 0);
    Outcome replay = Capture("-n 1 --format raw -o " + Path("replay") + " --replay " + Path("cam.pcap"));
    ASSERT_EQ(replay.ExitCode, 0) << replay.Err;
    EXPECT_TRUE(ReadBytes(dir_ / "rec" / "frame-0000.raw") == ReadBytes(dir_ / "replay" / "frame-0000.raw"));

    Outcome pulled =
        Capture("-n 3 --unplug-after 1 --format raw -o " + Path("pulled") + " --pcap " + Path("pulled.pcap"));
    EXPECT_EQ(pulled.ExitCode, 1);
    EXPECT_EQ(Capture("-n 1 --format raw -o " + Path("again") + " --replay " + Path("pulled.pcap")).ExitCode,
              0)
        << "the recording up to the unplugging plays back";

    Outcome limited = Capture("-n 1 --format raw -o " + Path("limited") + " --pcap " + Path("limited.pcap") +
                              " --pcap-limit 4");
    EXPECT_EQ(limited.ExitCode, 0) << limited.Err;
    EXPECT_NE(
        limited.Err.find("z40k: warning: --pcap " + (dir_ / "limited.pcap").string() +
                         ": the recording reached its limit of 4194304 bytes and holds what came before\n"),
        std::string::npos)
        << limited.Err;
    const uintmax_t size = fs::file_size(dir_ / "limited.pcap");
    EXPECT_LE(size, 4u << 20);
    EXPECT_EQ(Capture("-n 1 --format raw -o " + Path("cut") + " --replay " + Path("limited.pcap")).ExitCode,
              1)
        << "a recording cut before its first frame ended has no frame to give";

    Outcome nowhere = Capture("-n 1 -o " + Path("nowhere") + " --pcap " + Path("missing/cam.pcap"));
    EXPECT_EQ(nowhere.ExitCode, 1);
    EXPECT_EQ(nowhere.Err, "z40k: " + (dir_ / "missing/cam.pcap").string() +
                               ": cannot write the recording: No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir_ / "nowhere")) << "nothing written";
}

// A file that is no USBPcap recording of isochronous IN traffic is refused with one line and status 1.
TEST_F(UsbBus, ReplayRefusesWhatIsNoRecordingOfACamera) {
    ASSERT_EQ(Capture("--never-ready --pcap " + Path("idle.pcap")).ExitCode, 1);
    ASSERT_EQ(Capture("-n 1 --format raw -o " + Path("rec") + " --pcap " + Path("cam.pcap")).ExitCode, 0);
    const std::vector<uint8_t> whole = ReadBytes(dir_ / "cam.pcap");
    std::ofstream(dir_ / "cut.pcap", std::ios::binary)
        .write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(whole.size() - 5));
    std::ofstream(dir_ / "empty.pcap").close();
    std::ofstream(dir_ / "text.pcap") << "not a recording\n";
    const std::map<std::string, std::string> reasons = {
        {"idle.pcap", "it holds no isochronous IN traffic"},
        {"cut.pcap", "it ends in the middle of a record"},
        {"empty.pcap", "the file is empty"},
        {"text.pcap", "it is not a pcap file"},
    };
    for (const auto& [file, reason] : reasons) {
        Outcome r = Capture("-n 1 -o " + Path("out") + " --replay " + Path(file));
        EXPECT_EQ(r.ExitCode, 1) << file;
        EXPECT_EQ(r.Err, "z40k: " + (dir_ / file).string() + ": cannot play it back: " + reason + "\n");
    }
    EXPECT_EQ(Capture("--replay " + Path("cam.pcap") + " --cameras 2").ExitCode, 2);
}

} // namespace
