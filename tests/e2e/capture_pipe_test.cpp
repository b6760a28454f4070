// `z40k capture -o - --format raw` feeding a video tool through a pipe, as the README shows it.
#include "tests/e2e/run_z40k.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace {

constexpr size_t FRAME_BYTES = 2560 * 1920 * 3;
const std::string FFMPEG_INPUT = "ffmpeg -hide_banner -nostdin -f rawvideo -pixel_format bgr24 "
                                 "-video_size 2560x1920 -framerate 15 -i - ";

class CapturePipe : public e2e::FolderTest {
  protected:
    CapturePipe() : FolderTest("z40k-e2e-pipe") {}

    void SetUp() override {
        FolderTest::SetUp();
        if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it)";
    }

    // Runs `z40k capture ... -o - | ffmpeg ...`; the exit status of each side.
    std::pair<int, int> Pipe(const std::string& Capture, const std::string& Ffmpeg) {
        std::ofstream(dir_ / "pipe.sh")
            << "{ '" << Z40K_BINARY << "' capture --clock virtual --format raw -o - " << Capture
            << " 2>capture.err; echo $? >capture.rc; } | " << FFMPEG_INPUT << Ffmpeg
            << " 2>ffmpeg.err; echo $? >ffmpeg.rc\n";
        std::system(("cd " + Path("") + " && bash pipe.sh").c_str());
        return {std::atoi(e2e::ReadText(dir_ / "capture.rc").c_str()),
                std::atoi(e2e::ReadText(dir_ / "ffmpeg.rc").c_str())};
    }
};

TEST_F(CapturePipe, FfmpegDecodesTheFramesCaptureWritesToFiles) {
    const auto [captureRc, ffmpegRc] = Pipe("-n 10", "-f null -");
    EXPECT_EQ(captureRc, 0) << e2e::ReadText(dir_ / "capture.err");
    EXPECT_EQ(ffmpegRc, 0) << e2e::ReadText(dir_ / "ffmpeg.err");
    EXPECT_NE(e2e::ReadText(dir_ / "ffmpeg.err").find("frame=   10"), std::string::npos)
        << e2e::ReadText(dir_ / "ffmpeg.err");

    // The frames ffmpeg reads are byte for byte the ones capture writes as files; ffmpeg stops reading
    // after three, and capture takes that as the end of its run.
    const auto [partialRc, copyRc] =
        Pipe("-n 6 --mono --set exposure=1500", "-frames:v 3 -f rawvideo piped.raw");
    EXPECT_EQ(partialRc, 0) << e2e::ReadText(dir_ / "capture.err");
    EXPECT_EQ(copyRc, 0) << e2e::ReadText(dir_ / "ffmpeg.err");
    ASSERT_EQ(Run("capture --clock virtual --format raw -n 3 --mono --set exposure=1500 -o " + Path("files"))
                  .ExitCode,
              0);
    const std::vector<uint8_t> piped = e2e::ReadBytes(dir_ / "piped.raw");
    ASSERT_EQ(piped.size(), 3 * FRAME_BYTES);
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t> file =
            e2e::ReadBytes(dir_ / "files" / ("frame-000" + std::to_string(i) + ".raw"));
        EXPECT_TRUE(std::equal(file.begin(), file.end(), piped.begin() + i * FRAME_BYTES)) << "frame " << i;
    }
}

TEST_F(CapturePipe, StandardOutputCarriesRawFramesOnly) {
    const e2e::Outcome bmp = Run("capture --clock virtual -o - --format bmp");
    EXPECT_EQ(bmp.ExitCode, 2);
    EXPECT_TRUE(bmp.Out.empty());
    EXPECT_NE(bmp.Err.find("--format raw"), std::string::npos) << bmp.Err;
    EXPECT_FALSE(fs::exists(dir_ / "-"));
}

} // namespace
