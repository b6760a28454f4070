// What the program says when it is used wrongly, or the camera refuses: one line `z40k: WHAT: WHY` on
// stderr, the exit status a script can act on, the range a value must lie in, and the nearest name to a
// mistyped one. Nothing is written before a usage error.
#include "tests/e2e/run_z40k.h"

#include <gtest/gtest.h>

#include <regex>
#include <vector>

namespace fs = std::filesystem;

namespace {

#ifdef Z40K_HAVE_SERVE
const char* const SUBCOMMANDS = "info, convert, capture, props or serve";
#else
const char* const SUBCOMMANDS = "info, convert, capture or props"; // a build without the live view
#endif

struct MessageCase {
    std::string Args;
    int Exit;
    std::string Says; // the whole stderr line after "z40k: ", as a regular expression
};

class Messages : public e2e::FolderTest {
  protected:
    Messages() : FolderTest("z40k-e2e-messages") {}
    std::string Capture(const std::string& Args) {
        return "capture --clock virtual --drive-c " + Path("c") + " -o " + Path("out") + " " + Args;
    }

    // Each case's one line and exit status; no frame is taken, and a usage error writes nothing at all.
    void ExpectEach(const std::vector<MessageCase>& Cases) {
        for (const MessageCase& c : Cases) {
            const e2e::Outcome r = Run(c.Args);
            EXPECT_EQ(r.ExitCode, c.Exit) << c.Args << ": " << r.Err;
            EXPECT_TRUE(std::regex_match(r.Err, std::regex("z40k: " + c.Says + "\n")))
                << c.Args << "\n  said: " << r.Err << "  expected: " << c.Says;
            EXPECT_TRUE(r.Out.empty()) << c.Args;
            EXPECT_FALSE(fs::exists(dir_ / "out" / "frame-0000.bmp")) << c.Args << ": a frame was taken";
            if (c.Exit == 2) {
                EXPECT_FALSE(fs::exists(dir_ / "out")) << c.Args << ": a usage error made the output folder";
            }
        }
    }
};

// Mistyped subcommands, options and property names, and options given wrongly: exit status 2, with the
// nearest name where one is near.
TEST_F(Messages, UnknownWordsAreUsageErrorsWithTheNearestName) {
    ExpectEach({
        {"captur -n 1", 2, "captur: unknown subcommand; did you mean capture\\?"},
        {"", 2, std::string("no subcommand: give one of ") + SUBCOMMANDS},
        {"--bogus", 2, "--bogus: unknown option; z40k takes a subcommand first: .*"},
        {Capture("--fram 3"), 2, "--fram: unknown option of z40k capture; did you mean --frames\\?"},
        {Capture("-x"), 2, "-x: unknown option of z40k capture"}, // too short to be near -n or -o
        {Capture("--xyzzy"), 2, "--xyzzy: unknown option of z40k capture"},
        {Capture("-n 1 -n 2"), 2, "--frames: given 2 times; give it once"},
        {Capture("-n"), 2, "--frames: needs a value"},
        {Capture("-n abc"), 2, "--frames: abc is not a whole number; it takes 1\\.\\.1000000000"},
        {Capture("--set exposur=1"), 2, "--set: unknown property exposur; did you mean exposure\\?"},
    });
}

// A value outside what the driver publishes or keeps, or options that cannot go together: exit status 2
// naming the range; what the device refuses: exit status 1, its status by name.
TEST_F(Messages, ValuesOutsideTheirRangeSayTheRange) {
    ExpectEach({
        {Capture("--format pgn"), 2, "--format: pgn is not one of bmp, png or raw; did you mean png\\?"},
        {Capture("--packet-size 65535"), 2, "--packet-size: 65535 is out of range; it takes 1\\.\\.3072"},
        {Capture("--packet-size 1025"), 2,
         "--packet-size: 1025 is not 1 to 3 equal transactions of at most 1024 bytes; it takes 1\\.\\.1024, "
         "an even 1026\\.\\.2048 or a multiple of 3 in 2049\\.\\.3072"},
        {Capture("--bus fast"), 2, "--bus: fast is not one of faithful, shared or ideal"},
        {Capture("--pcap -"), 2, "--pcap -: the recording is written to a file; name one"},
        {Capture("--replay r.pcap --cameras 2"), 2,
         "--replay: a recording plays back as one camera, without --cameras or --scene"},
        {Capture("--camera-fps 0.5"), 2, "--camera-fps: 0\\.5 is out of range; it takes 1\\.\\.1000"},
        {Capture("--unplug-after 0"), 2, "--unplug-after: 0 is out of range; it takes 1\\.\\.1000000000"},
        {Capture("-n 2 --unplug-after 3"), 2,
         "--unplug-after: 3 is after the last frame; with -n 2 it takes 1\\.\\.2"},
        {Capture("--scene chart chart"), 2,
         "chart: unexpected argument of z40k capture \\(it takes options only\\)"},
        {Capture("--scene chart --scene chart"), 2, "--scene: 2 scenes for 1 camera; .*"},
        {"capture -o - --format bmp", 2,
         "-o -: standard output takes the raw frame buffers only; add --format raw"},
        {"capture -o - --format raw --save-raw", 2, "-o -: --save-raw writes files, .*"},
        {"capture -o - --format raw --cameras 2", 2, "-o -: standard output takes one camera's frames; .*"},
        {"capture -o - --format raw --trace -", 2, "--trace -: standard output carries the frames with -o -"},
        {Capture("--set window-param=-99999"), 2,
         "--set: window-param=-99999 is out of range; window-param takes 0\\.\\.65535"},
        {Capture("--set camera-command=1"), 2,
         "--set: camera-command=1 is out of range; camera-command takes only 0"},
        {Capture("--set gain-max=5"), 2, "--set: gain-max is read-only"},
        {Capture("--set exposure=auto"), 2,
         "--set: exposure has no automatic mode; exposure takes 0\\.\\.2047"},
        {"convert in.raw out.bmp --gains 999999,1,1", 2,
         "--gains: 999999 is out of range; blue-gain takes 0\\.\\.511"},
        {"convert in.raw out.bmp --gains 1,4294967295,1", 2,
         "--gains: 4294967295 is out of range; green-gain .*"},
        {"convert in.raw out.jpg", 2,
         "out\\.jpg: unknown picture format; OUTPUT ends in \\.bmp, \\.png or \\.raw"},
        {"convert in.raw", 2, "convert: OUTPUT is missing"},
#ifdef Z40K_HAVE_SERVE
        {"serve --port 70000", 2, "--port: 70000 is out of range; it takes 0\\.\\.65535"},
#endif
        // The device's refusals: statuses by name, with the range the value had to lie in.
        {Capture("--set brightness=200"), 1,
         "--set brightness=200: the camera refused it: STATUS_INVALID_PARAMETER \\(brightness takes "
         "0\\.\\.108\\)"},
        {Capture("--never-ready"), 1, "the camera: did not become ready: STATUS_UNSUCCESSFUL"},
        // An INF is read only from a regular file of bounded size: a device could be read without end.
        {Capture("--inf /dev/zero"), 1, "/dev/zero: cannot read the INF: not a regular file"},
        {Capture("--inf /nonexistent/z40k.inf"), 1,
         "/nonexistent/z40k\\.inf: cannot read the INF: No such file or directory"},
        {Capture("--windows 8"), 2, "--windows: 8 is not one of xp, vista, 7 or 10"},

    });
}

} // namespace
