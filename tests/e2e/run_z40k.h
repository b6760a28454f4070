// Runs the built z40k program as a user would and collects what it printed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

struct Outcome {
    int ExitCode;
    std::string Out;
    std::string Err;
};

inline std::string ReadText(const std::filesystem::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& Path) {
    const std::string text = ReadText(Path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The 32-bit word at At in B, little-endian and big-endian.
inline uint32_t Le32(const std::vector<uint8_t>& B, size_t At) {
    return B[At] | B[At + 1] << 8 | B[At + 2] << 16 | uint32_t(B[At + 3]) << 24;
}
inline uint32_t Be32(const std::vector<uint8_t>& B, size_t At) {
    return uint32_t(B[At]) << 24 | B[At + 1] << 16 | B[At + 2] << 8 | B[At + 3];
}

// A fresh, empty folder for the running test, unique to the process and the test's name.
inline std::filesystem::path MakeTestFolder(const std::string& Prefix) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (Prefix + "-" + std::to_string(::getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Runs `z40k Args` with no input; Scratch is a folder for the captured output. With a WorkDir the program
// runs in that folder.
inline Outcome RunZ40k(const std::string& Args, const std::filesystem::path& Scratch,
                       const std::filesystem::path& WorkDir = {}) {
    const std::filesystem::path out = Scratch / "stdout.txt";
    const std::filesystem::path err = Scratch / "stderr.txt";
    const std::string cd = WorkDir.empty() ? "" : "cd '" + WorkDir.string() + "' && ";
    const std::string command =
        cd + "'" + Z40K_BINARY + "' " + Args + " >'" + out.string() + "' 2>'" + err.string() + "' </dev/null";
    const int status = std::system(command.c_str());
    Outcome r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

// A test with a fresh folder of its own, named from Prefix, which z40k's output is captured in.
class FolderTest : public ::testing::Test {
  protected:
    explicit FolderTest(std::string Prefix) : prefix_(std::move(Prefix)) {}
    void SetUp() override { dir_ = MakeTestFolder(prefix_); }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Name inside the test folder, quoted for the command line.
    std::string Path(const std::string& Name) const { return "'" + (dir_ / Name).string() + "'"; }
    Outcome Run(const std::string& Args) { return RunZ40k(Args, dir_); }

    std::filesystem::path dir_;

  private:
    std::string prefix_;
};

} // namespace e2e
