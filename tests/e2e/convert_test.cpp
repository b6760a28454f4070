// z40k convert, run as a program: its files against the driver's entry point called directly, its JSON,
// its error exits, and that a failed run leaves nothing at OUTPUT.
#include "tests/imaging/imaging_support.h"
#include "tests/e2e/run_z40k.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#ifdef Z40K_HAVE_PNG
#include <png.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

using namespace imaging_test;
namespace fs = std::filesystem;

namespace {

using e2e::Le32;
using e2e::Outcome;
using e2e::ReadBytes;

void WriteFile(const fs::path& Path, const std::vector<uint8_t>& Bytes) {
    std::ofstream out(Path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(Bytes.data()), std::streamsize(Bytes.size()));
}

class ConvertCommand : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("z40k-convert-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        raw_ = PatternedRawFrame(RAW_FRAME_BYTES, 99);
        WriteFile(dir_ / "frame.raw", raw_);
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    // Runs z40k convert in the test folder, so the default drive C: lands there too.
    Outcome Convert(const std::string& Arguments) { return e2e::RunZ40k("convert " + Arguments, dir_, dir_); }

    // The frame buffer that the driver's entry point leaves for a fresh device changed as the options say.
    struct Direct {
        std::vector<uint8_t> Frame;
        ULONG BytesReturned;
        DeviceContext Context;
    };
    Direct ConvertDirectly(bool Mono, bool Awb, const ULONG* Gains) {
        ResetDriverState();
        RawDumpDone = 1; // the direct run writes no dump
        Direct d{std::vector<uint8_t>(CAPTURE_FRAME_BYTES, 0), 0, FreshDevice()};
        d.Context.ColorEnable = !Mono;
        d.Context.AutoWhiteBalance = Awb;
        if (Gains) {
            d.Context.BlueGain = Gains[0];
            d.Context.GreenGain = Gains[1];
            d.Context.RedGain = Gains[2];
        }
        CamProcessRawVideoFrameEx(nullptr, &d.Context, nullptr, d.Frame.data(), CAPTURE_FRAME_BYTES,
                                  raw_.data(), ULONG(raw_.size()), 0, &d.BytesReturned, ULONG(raw_.size()),
                                  0);
        host::ResetKernel();
        return d;
    }

    // Everything in the folder apart from the inputs and the captured output.
    std::vector<std::string> Leftovers() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name != "frame.raw" && name != "stdout.txt" && name != "stderr.txt")
                names.push_back(name);
        }
        return names;
    }

    void TearDown() override {
        for (const std::string& name : Leftovers())
            fs::remove_all(dir_ / name);
    }

    static fs::path dir_;
    static std::vector<uint8_t> raw_;
};

fs::path ConvertCommand::dir_;
std::vector<uint8_t> ConvertCommand::raw_;

} // namespace

TEST_F(ConvertCommand, RawOutputIsTheDriversFrameBufferAndJsonTellsItsCountAndGains) {
    const ULONG gains[3] = {300, 100, 90};
    struct {
        const char* Options;
        bool Mono, Awb;
        const ULONG* Gains;
    } cases[] = {{"", false, false, nullptr},
                 {"--awb", false, true, nullptr},
                 {"--gains 300,100,90", false, false, gains},
                 {"--mono --drive-c dc", true, false, nullptr}};
    for (const auto& c : cases) {
        Outcome r = Convert(std::string("frame.raw out.raw --json ") + c.Options);
        ASSERT_EQ(r.ExitCode, 0) << c.Options << ": " << r.Err;
        Direct d = ConvertDirectly(c.Mono, c.Awb, c.Gains);
        EXPECT_TRUE(ReadBytes(dir_ / "out.raw") == d.Frame) << c.Options;
        const nlohmann::json json = nlohmann::json::parse(r.Out);
        EXPECT_EQ(json.at("bytes_returned"), d.BytesReturned) << c.Options;
        EXPECT_EQ(json.at("blue_gain"), d.Context.BlueGain) << c.Options;
        EXPECT_EQ(json.at("green_gain"), d.Context.GreenGain) << c.Options;
        EXPECT_EQ(json.at("red_gain"), d.Context.RedGain) << c.Options;
        EXPECT_EQ(json.size(), 4u);
    }
    // The grey run dumped its de-interlaced frame into the named drive C: folder.
    EXPECT_EQ(fs::file_size(dir_ / "dc" / "DS-test.raw"), RAW_FRAME_BYTES);
}

TEST_F(ConvertCommand, DumpLayoutConvertsWithoutDeinterlacingAgain) {
    ASSERT_EQ(Convert("frame.raw grey.raw --mono").ExitCode, 0);
    ASSERT_EQ(Convert("frame.raw colour.raw").ExitCode, 0);
    ASSERT_TRUE(fs::exists(dir_ / "drive-c" / "DS-test.raw")); // the default folder
    fs::rename(dir_ / "drive-c" / "DS-test.raw", dir_ / "dump.raw");

    Outcome grey = Convert("dump.raw grey-from-dump.raw --mono --layout dump --json");
    ASSERT_EQ(grey.ExitCode, 0) << grey.Err;
    EXPECT_EQ(nlohmann::json::parse(grey.Out).at("bytes_returned"), CAPTURE_FRAME_BYTES);
    EXPECT_TRUE(ReadBytes(dir_ / "grey-from-dump.raw") == ReadBytes(dir_ / "grey.raw"));
    ASSERT_EQ(Convert("dump.raw colour-from-dump.raw --layout dump").ExitCode, 0);
    EXPECT_TRUE(ReadBytes(dir_ / "colour-from-dump.raw") == ReadBytes(dir_ / "colour.raw"));
}

// The device the frame goes through starts from the settings in the registry, as a capture's would:
// colour stored off converts as --mono does, and the registry file is only read.
TEST_F(ConvertCommand, SettingsInTheRegistryApplyAsForACapture) {
    const std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                            "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000\\Z40K_Settings]\r\n"
                            "\"Color Enable\"=dword:00000000\r\n\r\n";
    std::ofstream(dir_ / "grey.reg", std::ios::binary) << reg;
    ASSERT_EQ(Convert("frame.raw mono.raw --mono").ExitCode, 0);
    Outcome r = Convert("frame.raw stored.raw --registry grey.reg");
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_TRUE(ReadBytes(dir_ / "stored.raw") == ReadBytes(dir_ / "mono.raw"));
    std::ifstream in(dir_ / "grey.reg", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), reg);
}

TEST_F(ConvertCommand, BmpAndPngHoldThePictureOfTheFrameBuffer) {
    ASSERT_EQ(Convert("frame.raw out.raw").ExitCode, 0);
    const auto frame = ReadBytes(dir_ / "out.raw");

    ASSERT_EQ(Convert("frame.raw out.bmp").ExitCode, 0);
    const auto bmp = ReadBytes(dir_ / "out.bmp");
    ASSERT_EQ(bmp.size(), 54u + CAPTURE_FRAME_BYTES);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(Le32(bmp, 2), 54u + CAPTURE_FRAME_BYTES);
    EXPECT_EQ(Le32(bmp, 10), 54u);
    EXPECT_EQ(Le32(bmp, 14), 40u);
    EXPECT_EQ(Le32(bmp, 18), 2560u);
    EXPECT_EQ(Le32(bmp, 22), 1920u); // positive: bottom-up, the buffer's own order
    EXPECT_EQ(bmp[28], 24);
    EXPECT_EQ(Le32(bmp, 30), 0u);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bmp.begin() + 54));

#ifdef Z40K_HAVE_PNG
    ASSERT_EQ(Convert("frame.raw out.PNG").ExitCode, 0);
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir_ / "out.PNG").c_str()));
    EXPECT_EQ(image.width, 2560u);
    EXPECT_EQ(image.height, 1920u);
    image.format = PNG_FORMAT_BGR;
    std::vector<uint8_t> decoded(CAPTURE_FRAME_BYTES);
    // A negative row stride reads the picture bottom row first, as the driver stores it.
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), -int(2560 * 3), nullptr));
    EXPECT_TRUE(decoded == frame);
#endif
}

TEST_F(ConvertCommand, FailuresExitWithOneLineAndLeaveNoOutput) {
    WriteFile(dir_ / "short.raw", std::vector<uint8_t>(RAW_FRAME_BYTES - 1, 1));
    WriteFile(dir_ / "kept.bmp", {'o', 'l', 'd'});
    struct {
        const char* Arguments;
        int Exit;
        const char* Output;
    } cases[] = {
        {"short.raw out.bmp", 1, "out.bmp"},                     // wrong size
        {"missing.raw out.bmp", 1, "out.bmp"},                   // unreadable
        {"short.raw kept.bmp", 1, nullptr},                      // an existing OUTPUT stays as it was
        {"frame.raw nodir/out.bmp", 1, nullptr},                 // unwritable
        {"frame.raw out.bmp --registry none.reg", 1, "out.bmp"}, // no such registry file
        {"frame.raw out.jpg", 2, "out.jpg"},                     // unknown format
        {"frame.raw out.bmp --gains 1,2", 2, "out.bmp"},         // malformed gains
        {"frame.raw out.bmp --gains 1,2,-3", 2, "out.bmp"},
        {"frame.raw out.bmp --gains 1,2,4294967296", 2, "out.bmp"},
        {"frame.raw out.bmp --layout tiles", 2, "out.bmp"}, // unknown layout
        {"frame.raw out.bmp --frobnicate", 2, "out.bmp"},   // unknown option
    };
    for (const auto& c : cases) {
        Outcome r = Convert(c.Arguments);
        EXPECT_EQ(r.ExitCode, c.Exit) << c.Arguments;
        EXPECT_TRUE(r.Out.empty()) << c.Arguments;
        EXPECT_FALSE(r.Err.empty()) << c.Arguments;
        if (c.Exit == 1) { // the program's own errors are one line
            EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << c.Arguments << ": " << r.Err;
        }
        if (c.Output) {
            EXPECT_FALSE(fs::exists(dir_ / c.Output)) << c.Arguments;
        }
    }
    EXPECT_EQ(ReadBytes(dir_ / "kept.bmp"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    std::vector<std::string> left = Leftovers();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"kept.bmp", "short.raw"})) << "no temporary file stays behind";
}
