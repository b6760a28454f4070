// `z40k capture` as a user runs it: the built program, on the virtual clock, writing into a fresh folder.
#include "tests/e2e/run_z40k.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using e2e::Be32;
using e2e::Le32;
using e2e::Outcome;
using e2e::ReadBytes;
using e2e::ReadText;

class CaptureCommand : public e2e::FolderTest {
  protected:
    CaptureCommand() : FolderTest("z40k-e2e-capture") {}

    // Runs z40k capture with Args (the virtual clock and a drive C inside the test folder are added).
    Outcome Capture(const std::string& Args) {
        return Run("capture --clock virtual --drive-c " + Path("c") + " " + Args);
    }

    std::set<std::string> Files(const std::string& Sub) const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir_ / Sub, ec))
            names.insert(entry.path().filename().string());
        return names;
    }

    // The six settings as the .reg file holds them.
    std::map<std::string, uint32_t> RegistrySettings(const std::string& Name) const {
        std::map<std::string, uint32_t> values;
        std::istringstream in(ReadText(dir_ / Name));
        std::string line;
        bool inSettings = false;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty() && line[0] == '[')
                inSettings = line.size() > 15 && line.compare(line.size() - 15, 15, "\\Z40K_Settings]") == 0;
            const size_t eq = line.find("\"=dword:");
            if (inSettings && line.size() > 1 && line[0] == '"' && eq != std::string::npos)
                values[line.substr(1, eq - 1)] =
                    static_cast<uint32_t>(std::stoul(line.substr(eq + 8), nullptr, 16));
        }
        return values;
    }

    // Checks a BMP written from a frame: headers of a 24-bit bottom-up 2560 x 1920 picture, and its size.
    void ExpectBmp(const std::string& Name, std::vector<uint8_t>* Pixels = nullptr) {
        std::vector<uint8_t> b = ReadBytes(dir_ / "out" / Name);
        ASSERT_EQ(b.size(), 54u + 14745600u) << Name;
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        EXPECT_EQ(Le32(b, 2), 14745654u);
        EXPECT_EQ(Le32(b, 10), 54u);
        EXPECT_EQ(Le32(b, 18), 2560u);
        EXPECT_EQ(Le32(b, 22), 1920u);
        EXPECT_EQ(b[28], 24);
        if (Pixels != nullptr)
            Pixels->assign(b.begin() + 54, b.end());
    }
};

const std::map<std::string, uint32_t> kFirstRunSettings = {{"Color Enable", 1},    {"Auto White Balance", 0},
                                                           {"Exposure Time", 750}, {"Global Gain", 0},
                                                           {"Horizon Mirror", 0},  {"Vertical Flip", 1}};

bool AllGrey(const std::vector<uint8_t>& Bgr) {
    for (size_t i = 0; i + 2 < Bgr.size(); i += 3) {
        if (Bgr[i] != Bgr[i + 1] || Bgr[i] != Bgr[i + 2])
            return false;
    }
    return true;
}

TEST_F(CaptureCommand, WritesBmpFramesRawFramesRegistryAndTrace) {
    Outcome r = Capture("-n 3 -o " + Path("out") + " --registry " + Path("settings.reg") + " --trace " +
                        Path("trace.jsonl") + " --save-raw");
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_NE(r.Err.find("3/3 frames, 0 dropped"), std::string::npos) << r.Err;

    EXPECT_EQ(Files("out"), (std::set<std::string>{"frame-0000.bmp", "frame-0001.bmp", "frame-0002.bmp",
                                                   "raw-0000.bin", "raw-0001.bin", "raw-0002.bin"}));
    std::vector<uint8_t> first, last;
    ExpectBmp("frame-0000.bmp", &first);
    ExpectBmp("frame-0001.bmp");
    ExpectBmp("frame-0002.bmp", &last);
    EXPECT_TRUE(first == last) << "a still scene gives the same picture every frame";
    EXPECT_FALSE(AllGrey(first)) << "the default chart is in colour";
    EXPECT_EQ(fs::file_size(dir_ / "out" / "raw-0000.bin"), 5926912u);
    EXPECT_EQ(RegistrySettings("settings.reg"), kFirstRunSettings);

    // The trace: one JSON object per line, time never running backwards, each kind of event present.
    std::istringstream in(ReadText(dir_ / "trace.jsonl"));
    std::string line;
    int64_t lastTime = 0;
    std::map<std::string, int> kinds;
    std::vector<nlohmann::json> frames;
    std::vector<std::string> settingsWritten;
    while (std::getline(in, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << line;
        ASSERT_TRUE(j.contains("t_us") && j.contains("event")) << line;
        EXPECT_EQ(line.rfind("{\"t_us\":", 0), 0u) << "t_us comes first: " << line;
        EXPECT_GE(j["t_us"].get<int64_t>(), lastTime) << line;
        lastTime = j["t_us"].get<int64_t>();
        ++kinds[j["event"].get<std::string>()];
        if (j["event"] == "frame")
            frames.push_back(j);
        if (j["event"] == "registry_set") {
            EXPECT_EQ(j["type"], "REG_DWORD");
            settingsWritten.push_back(j["name"].get<std::string>());
        }
        if (j["event"] == "vendor_request" && j["request"] == 5 && j["index"] == 1) {
            EXPECT_EQ(j["data"], "ee020000") << "exposure 750 written at stream open";
            EXPECT_EQ(j["length"], 0);
        }
    }
    EXPECT_GT(kinds["vendor_request"], 0);
    EXPECT_EQ(kinds["alt_setting"], 2) << "streaming setting at run, idle setting at stop";
    EXPECT_GT(kinds["srb"], 0);
    EXPECT_EQ(settingsWritten,
              (std::vector<std::string>{"Color Enable", "Auto White Balance", "Exposure Time", "Global Gain",
                                        "Horizon Mirror", "Vertical Flip"}));
    ASSERT_EQ(frames.size(), 3u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]["index"], i);
        EXPECT_EQ(frames[i]["dropped"], false);
        EXPECT_GT(frames[i]["bytes"].get<int64_t>(), 14000000);
    }
    // The bus's pace shows on the virtual clock: a frame of 1,930 packets takes as many microframes
    // (241 ms), so the camera sends every fourth frame its sensor offers at 1/15 s, to the microframe.
    EXPECT_NEAR(frames[2]["t_us"].get<double>() - frames[1]["t_us"].get<double>(), 4 * 66666.7, 125);
}

#ifdef Z40K_HAVE_PNG
TEST_F(CaptureCommand, WritesGreyPngFramesAndTheSettingPersists) {
    Outcome r = Capture("-n 1 --format png --mono -o " + Path("out") + " --registry " + Path("settings.reg"));
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(Files("out"), (std::set<std::string>{"frame-0000.png"}));
    std::vector<uint8_t> png = ReadBytes(dir_ / "out" / "frame-0000.png");
    ASSERT_GT(png.size(), 33u);
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_TRUE(std::equal(signature, signature + 8, png.begin()));
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ(Be32(png, 16), 2560u);
    EXPECT_EQ(Be32(png, 20), 1920u);
    std::map<std::string, uint32_t> grey = kFirstRunSettings;
    grey["Color Enable"] = 0;
    EXPECT_EQ(RegistrySettings("settings.reg"), grey);
    EXPECT_EQ(fs::file_size(dir_ / "c" / "DS-test.raw"), 5926912u) << "the first grey frame is dumped";

    // The next run starts from the saved settings: grey without being asked.
    r = Capture("-n 1 -o " + Path("out2") + " --registry " + Path("settings.reg"));
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    std::vector<uint8_t> b = ReadBytes(dir_ / "out2" / "frame-0000.bmp");
    ASSERT_EQ(b.size(), 14745654u);
    EXPECT_TRUE(AllGrey(std::vector<uint8_t>(b.begin() + 54, b.end())));
}
#endif

TEST_F(CaptureCommand, RawFormatWritesTheFrameBuffers) {
    Outcome r = Capture("-n 1 --format raw -o " + Path("out") + " --packet-size 1023");
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(Files("out"), (std::set<std::string>{"frame-0000.raw"}));
    EXPECT_EQ(fs::file_size(dir_ / "out" / "frame-0000.raw"), 14745600u);
}

// Every failure: exit status 1, one line on stderr, and nothing half-written left behind.
TEST_F(CaptureCommand, FailuresExitWithOneLineAndLeaveNoFiles) {
    std::ofstream(dir_ / "bad.reg") << "this is not a registry export\n";
    std::ofstream(dir_ / "plain-file") << "x";
    struct Case {
        const char* Name;
        std::string Args;
    } cases[] = {
        {"malformed registry", "--registry " + Path("bad.reg") + " -o " + Path("out")},
        {"folder below a file", "-o " + Path("plain-file/out")},
        {"camera never ready", "--never-ready -o " + Path("out") + " --trace " + Path("trace.jsonl")},
        {"missing scene", "--scene " + Path("no-such.png") + " -o " + Path("out")},
        {"driver that is not an image", "--driver " + Path("plain-file") + " -o " + Path("out")},
    };
    for (const Case& c : cases) {
        Outcome r = Capture(c.Args);
        EXPECT_EQ(r.ExitCode, 1) << c.Name;
        EXPECT_EQ(r.Err.rfind("z40k: ", 0), 0u) << c.Name << ": " << r.Err;
        EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << c.Name << ": " << r.Err;
        EXPECT_FALSE(fs::exists(dir_ / "out")) << c.Name << ": the folder made for the frames stays";
        EXPECT_FALSE(fs::exists(dir_ / "trace.jsonl")) << c.Name;
        std::set<std::string> top = Files("");
        top.erase("bad.reg");
        top.erase("plain-file");
        top.erase("c");
        EXPECT_TRUE(top.empty()) << c.Name << ": left " << *top.begin();
    }
    EXPECT_EQ(ReadText(dir_ / "bad.reg"), "this is not a registry export\n")
        << "a bad registry is not replaced";
}

#if defined(Z40K_SYS_IMAGE) && defined(__i386__)
// The driver binary captures the same bytes as the driver built into the program: grey, colour, and
// colour with the per-frame white balance (the one floating-point path), also as Windows XP, where both
// take the SSE paths.
TEST_F(CaptureCommand, TheDriverBinaryCapturesWhatTheBuiltInDriverCaptures) {
    for (const char* settings : {"--mono", "", "--set awb=1", "--set awb=1 --windows xp"}) {
        const std::string common = std::string("-n 2 --format raw ") + settings;
        ASSERT_EQ(Capture(common + " -o " + Path("linked")).ExitCode, 0) << settings;
        Outcome r = Capture(common + " --driver '" + Z40K_SYS_IMAGE + "' -o " + Path("image"));
        ASSERT_EQ(r.ExitCode, 0) << settings << ": " << r.Err;
        for (const char* frame : {"frame-0000.raw", "frame-0001.raw"})
            EXPECT_TRUE(ReadBytes(dir_ / "linked" / frame) == ReadBytes(dir_ / "image" / frame))
                << settings << frame;
        fs::remove_all(dir_ / "linked");
        fs::remove_all(dir_ / "image");
    }
}
#endif

// On the virtual clock a run repeats exactly, trace times included, with the camera at its own pace; two
// cameras write their own files; an unplugged camera ends the capture with one line and
// exit status 1, keeping the frames already written whole.
TEST_F(CaptureCommand, VirtualRunsRepeatCamerasShareTheDriverAndUnplugEndsTheCapture) {
    for (const char* trace : {"a.jsonl", "b.jsonl"}) {
        Outcome r = Capture("-n 4 --buffers 1 --camera-fps 40 --format raw -o " + Path("out") + " --trace " +
                            Path(trace));
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        // The reader takes no virtual time, so even a faster camera loses nothing to it.
        EXPECT_NE(r.Err.find("4/4 frames, 0 dropped"), std::string::npos) << r.Err;
    }
    EXPECT_EQ(ReadText(dir_ / "a.jsonl"), ReadText(dir_ / "b.jsonl"));
    fs::remove_all(dir_ / "out");

    Outcome two = Capture("-n 2 --cameras 2 -o " + Path("out"));
    ASSERT_EQ(two.ExitCode, 0) << two.Err;
    EXPECT_EQ(Files("out"), (std::set<std::string>{"cam0-frame-0000.bmp", "cam0-frame-0001.bmp",
                                                   "cam1-frame-0000.bmp", "cam1-frame-0001.bmp"}));
    fs::remove_all(dir_ / "out");

    Outcome pulled = Capture("-n 5 --unplug-after 2 -o " + Path("out"));
    EXPECT_EQ(pulled.ExitCode, 1);
    EXPECT_EQ(pulled.Err, "z40k: the camera: unplugged after 2 frames (" + (dir_ / "out").string() +
                              "/frame-0000.bmp to frame-0001.bmp)\n");
    EXPECT_EQ(Files("out"), (std::set<std::string>{"frame-0000.bmp", "frame-0001.bmp"}));
    ExpectBmp("frame-0001.bmp");
}

TEST_F(CaptureCommand, UsageErrorsExitWithTwo) {
    EXPECT_EQ(Capture("--format gif").ExitCode, 2);
    EXPECT_EQ(Capture("--clock sometimes").ExitCode, 2);
    EXPECT_EQ(Capture("--packet-size 0").ExitCode, 2);
    EXPECT_EQ(Capture("--buffers 0").ExitCode, 2);
    EXPECT_EQ(Capture("--cameras 2 --scene chart --scene chart --scene chart").ExitCode, 2);
}

} // namespace
