// The program's edges as a new user or a hostile file meets them: each ends with one line and the status
// a script can act on, outputs over devices and links leave them as they were, and a signal during a
// capture stops it as a normal stop does.
#include "tests/e2e/run_z40k.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class Edges : public e2e::FolderTest {
  protected:
    Edges() : FolderTest("z40k-e2e-edges") {}
    std::string Capture(const std::string& Args) {
        return "capture --clock virtual --drive-c " + Path("c") + " -o " + Path("out") + " " + Args;
    }
};

TEST_F(Edges, EachEndsWithOneLineAndAStatusToActOn) {
    fs::create_directory(dir_ / "folder");
    std::ofstream(dir_ / "empty.reg").close();
    struct Case {
        const char* Name;
        std::string Args;
        int Exit;
        const char* Says; // in stderr, or in stdout for a success
    } cases[] = {
        {"no frames", Capture("-n 0"), 2, "--frames: 0 is out of range; it takes 1..1000000000"},
        {"version", "--version", 0, "z40k 1.0.0"},
        {"mistyped subcommand", "captur -n 1", 2, "captur: unknown subcommand"},
        {"folder as input", "convert " + Path("folder") + " " + Path("o.bmp"), 1,
         "folder: not a regular file"},
        {"endless input", "convert /dev/zero " + Path("o.bmp"), 1, "/dev/zero: not a regular file"},
        {"registry folder missing", Capture("--registry " + Path("nowhere/z.reg")), 1,
         "cannot write the registry"},
        {"trace cannot be written", Capture("--trace /dev/full"), 1, "/dev/full: cannot write the trace"},
        {"empty registry", Capture("--registry " + Path("empty.reg")), 0, ""},
    };
    for (const Case& c : cases) {
        e2e::Outcome r = Run(c.Args);
        EXPECT_EQ(r.ExitCode, c.Exit) << c.Name << ": " << r.Err;
        const std::string& said = c.Exit == 0 ? r.Out : r.Err;
        EXPECT_NE(said.find(c.Says), std::string::npos) << c.Name << ": " << said;
        if (c.Exit == 1) { // one line of its own (besides the progress line of frames taken)
            EXPECT_EQ(r.Err.find("\nz40k: ", r.Err.find("z40k: ") + 1), std::string::npos)
                << c.Name << ": " << r.Err;
        }
        if (std::string(c.Name) == "registry folder missing") {
            EXPECT_FALSE(fs::exists(dir_ / "out")) << "frames were taken before the registry was checked";
        }
    }
    EXPECT_TRUE(fs::exists(dir_ / "out" / "frame-0000.bmp"));
    EXPECT_NE(e2e::ReadText(dir_ / "empty.reg").find("\"Vertical Flip\"=dword:00000001"), std::string::npos);
}

TEST_F(Edges, OutputsOverLinksAndDevicesLeaveThemInPlace) {
    std::ofstream(dir_ / "zeros.raw", std::ios::binary) << std::string(5926912, '\0');
    fs::create_directory(dir_ / "pictures");
    fs::create_symlink(dir_ / "pictures" / "real.bmp", dir_ / "link.bmp");
    fs::create_symlink("/dev/null", dir_ / "null.bmp");
    fs::create_symlink("/dev/null", dir_ / "trace.jsonl");
    EXPECT_EQ(Run("convert " + Path("zeros.raw") + " " + Path("link.bmp")).ExitCode, 0);
    EXPECT_EQ(Run("convert " + Path("zeros.raw") + " " + Path("null.bmp")).ExitCode, 0);
    EXPECT_EQ(Run(Capture("--trace " + Path("trace.jsonl"))).ExitCode, 0);
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.bmp"));
    EXPECT_EQ(fs::file_size(dir_ / "pictures" / "real.bmp"), 54u + 14745600u);
    EXPECT_TRUE(fs::is_symlink(dir_ / "null.bmp"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "trace.jsonl"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(Edges, ASignalStopsTheCaptureAsANormalStop) {
#if defined(__i386__)
    // The 32-bit program runs under qemu-user on hosts without i386 support, whose delivery of a signal
    // to a threaded program aborts it inside the C++ runtime; the 64-bit builds run this test.
    GTEST_SKIP() << "signals to the threaded 32-bit program are not delivered reliably under qemu-user";
#endif
    // Real clock and many frames: the signal comes while the camera runs (or, on a slow machine, before
    // the first frame, which must end the same way).
    const std::string command = "'" + std::string(Z40K_BINARY) + "' capture -n 100000 --drive-c " +
                                Path("c") + " -o " + Path("out") + " --registry " + Path("z.reg") +
                                " --trace " + Path("trace.jsonl") + " >/dev/null 2>" + Path("err") +
                                " & pid=$!; sleep 3; " + "kill -INT $pid; wait $pid; echo $? >" + Path("rc");
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(e2e::ReadText(dir_ / "rc"), "130\n") << e2e::ReadText(dir_ / "err");
    EXPECT_NE(e2e::ReadText(dir_ / "err").find("interrupted"), std::string::npos);
    EXPECT_NE(e2e::ReadText(dir_ / "z.reg").find("\"Exposure Time\"=dword:"), std::string::npos)
        << "the settings were not saved";
    const std::string trace = e2e::ReadText(dir_ / "trace.jsonl");
    EXPECT_NE(trace.find("\"registry_set\""), std::string::npos) << "the trace lost its end";
    EXPECT_EQ(trace.back(), '\n');
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

} // namespace
