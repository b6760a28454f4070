// Runs the built z40k program as a user would and collects what it printed.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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

// Runs `z40k Args` with no input; Scratch is a folder for the captured output.
inline Outcome RunZ40k(const std::string& Args, const std::filesystem::path& Scratch) {
    const std::filesystem::path out = Scratch / "stdout.txt";
    const std::filesystem::path err = Scratch / "stderr.txt";
    const std::string command = std::string(Z40K_BINARY) + " " + Args + " >'" + out.string() + "' 2>'" +
                                err.string() + "' </dev/null";
    const int status = std::system(command.c_str());
    Outcome r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return r;
}

} // namespace e2e
