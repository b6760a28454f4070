// Where the program writes, as a user expects it: an output's folder must exist and is never made for it
// (the frame folder itself aside), "-" is standard output, a failure names the system's reason, the
// summary says where the frames went, and a file the driver could not write is told.
#include "tests/e2e/run_z40k.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct PathCase {
    std::string Args;
    int Exit;
    std::string Says;   // a regular expression matching the whole of stderr
    const char* Absent; // made by nobody, when given
};

class OutputPaths : public e2e::FolderTest {
  protected:
    OutputPaths() : FolderTest("z40k-e2e-paths") {}
    void SetUp() override {
        FolderTest::SetUp();
        std::ofstream(dir_ / "file") << "x";
    }

    // A place in the test folder as the messages name it, escaped for a regular expression.
    std::string Folder(const std::string& Name) const {
        std::string escaped;
        for (const char c : (dir_ / Name).string()) {
            if (std::strchr(".^$|()[]{}*+?", c) != nullptr || c == '\\')
                escaped += '\\';
            escaped += c;
        }
        return escaped;
    }

    void ExpectEach(const std::vector<PathCase>& Cases) {
        for (const PathCase& c : Cases) {
            const e2e::Outcome r = Run(c.Args);
            EXPECT_EQ(r.ExitCode, c.Exit) << c.Args << ": " << r.Err;
            EXPECT_TRUE(std::regex_match(r.Err, std::regex(c.Says))) << c.Args << "\n  said: " << r.Err;
            if (c.Absent != nullptr) {
                EXPECT_FALSE(fs::exists(dir_ / c.Absent)) << c.Args;
            }
            fs::remove_all(dir_ / "out");
        }
    }

    const std::string capture = "capture --clock virtual ";
    std::string Frames() const { return " -o " + Path("out"); }
};

TEST_F(OutputPaths, AMissingFolderIsAnErrorNamingTheSystemsReason) {
    ExpectEach({
        {capture + "-o " + Path("missing/out"), 1,
         "z40k: " + Folder("missing/out") + ": cannot use it for the frames: No such file or directory\n",
         "missing"},
        {capture + "-o " + Path("file"), 1,
         "z40k: " + Folder("file") + ": cannot use it for the frames: Not a directory\n", nullptr},
        {capture + Frames() + " --trace " + Path("missing/t.jsonl"), 1,
         "z40k: " + Folder("missing/t.jsonl") + ": cannot write the trace: No such file or directory\n",
         "out"},
        {capture + Frames() + " --trace /dev/full", 1,
         "captured 1/1 frame, .*\nz40k: /dev/full: cannot write the trace: No space left on device\n",
         nullptr},
        {capture + Frames() + " --registry " + Path("missing/z.reg"), 1,
         "z40k: " + Folder("missing/z.reg") + ": cannot write the registry: No such file or directory\n",
         "out"},
        {capture + Frames() + " --drive-c " + Path("missing/c"), 1,
         "z40k: " + Folder("missing/c") + ": cannot use it for drive C: No such file or directory\n",
         "missing"},
        {"convert " + Path("file") + " " + Path("missing/o.bmp"), 1,
         "z40k: " + Folder("missing/o.bmp") + ": cannot write the picture: No such file or directory\n",
         "missing"},
    });
}

// The summary says where the frames went, "-" is standard output, and a file the driver could not write is
// told.
TEST_F(OutputPaths, TheProgramSaysWhereItsOutputsWent) {
    fs::create_directories(dir_ / "blocked" / "DS-test.raw"); // the driver's grey dump cannot be made
    ExpectEach({
        // The driver goes on without its grey dump; the user is told, and the frame is still taken.
        {capture + Frames() + " --mono --drive-c " + Path("blocked"), 0,
         "z40k: warning: " + Folder("blocked") +
             "/DS-test\\.raw: the driver's C:\\\\DS-test\\.raw was not "
             "written: Is a directory \\(ZwCreateFile: STATUS_FILE_IS_A_DIRECTORY\\)\ncaptured 1/1 frame, "
             ".*\n",
         nullptr},
        {capture + "-n 3 -o " + Path("new") + " --drive-c " + Path("c"), 0,
         "captured 3/3 frames, 0 dropped, [0-9.]+ frames/s: " + Folder("new") +
             "/frame-0000\\.bmp to frame-0002\\.bmp\n",
         "c"},
        // On the real clock the pictures are written on threads of their own: all of them are whole by
        // the time the summary names them.
        {"capture --clock real -n 4 -o " + Path("real"), 0,
         "captured 4/4 frames, [0-9]+ dropped, [0-9.]+ frames/s: " + Folder("real") +
             "/frame-0000\\.bmp to frame-0003\\.bmp\n",
         nullptr},
        {capture + "-n 2 --unplug-after 1" + Frames(), 1,
         "z40k: the camera: unplugged after 1 frame \\(" + Folder("out") + "/frame-0000\\.bmp\\)\n", nullptr},
    });
    EXPECT_EQ(fs::file_size(dir_ / "new" / "frame-0002.bmp"), 54u + 14745600u);
    for (const char* name : {"frame-0000.bmp", "frame-0003.bmp"})
        EXPECT_EQ(fs::file_size(dir_ / "real" / name), 54u + 14745600u) << name;

    // "-" is standard output for the trace too: JSON Lines there, and no file named "-".
    const e2e::Outcome traced = Run(capture + Frames() + " --trace -");
    EXPECT_EQ(traced.ExitCode, 0) << traced.Err;
    EXPECT_EQ(traced.Out.rfind("{\"t_us\":", 0), 0u) << traced.Out.substr(0, 80);
    EXPECT_NE(traced.Out.find("\"event\":\"frame\""), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "-"));
}

} // namespace
