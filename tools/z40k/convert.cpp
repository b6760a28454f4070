// z40k convert: one raw frame (or a de-interlaced dump) through the driver's own conversion, to a file.
#include "tools/z40k/commands.h"
#include "tools/z40k/image_files.h"

#include "camera/frame_geometry.h"
#include "imaging/raw_frame.h"
#include "platform/host/kernel_host.h"
#include "properties/settings.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr LONG CAPTURE_WIDTH = 2560;
constexpr LONG CAPTURE_HEIGHT = 1920;
constexpr ULONG CAPTURE_FRAME_BYTES = CAPTURE_WIDTH * CAPTURE_HEIGHT * 3; // 14,745,600

struct ConvertOptions {
    std::string Input;
    std::string Output;
    bool Mono = false;
    bool AutoWhiteBalance = false;
    std::string Gains;
    std::string Layout = "raw";
    bool Json = false;
    std::string DriveC = "./drive-c";
};

int Fail(int Code, const std::string& Message) {
    std::cerr << "z40k convert: " << Message << "\n";
    return Code;
}

// "B,G,R": three whole numbers of 32 bits each, as the property set accepts them.
bool ParseGains(const std::string& Text, ULONG Gains[3]) {
    std::stringstream in(Text);
    std::string part;
    int n = 0;
    while (std::getline(in, part, ',')) {
        if (n == 3 || part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        errno = 0;
        const unsigned long long value = std::strtoull(part.c_str(), nullptr, 10);
        if (errno != 0 || value > 0xFFFFFFFFull)
            return false;
        Gains[n++] = ULONG(value);
    }
    return n == 3 && Text.back() != ',';
}

// Only a regular file of exactly a raw frame's size is read: a folder, a device such as /dev/zero or a
// FIFO is refused before anything is read from it.
bool ReadRawInput(const std::string& Path, const std::string& What, std::vector<uint8_t>* Bytes,
                  std::string* Error) {
    struct stat info;
    if (::stat(Path.c_str(), &info) != 0) {
        *Error = "cannot read " + Path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *Error = Path + " is not a regular file; a " + What + " is a file of " +
                 std::to_string(RAW_FRAME_BYTES) + " bytes";
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) != RAW_FRAME_BYTES) {
        *Error = Path + " is " + std::to_string(info.st_size) + " bytes; a " + What + " is " +
                 std::to_string(RAW_FRAME_BYTES);
        return false;
    }
    std::FILE* file = std::fopen(Path.c_str(), "rb");
    if (file == nullptr) {
        *Error = "cannot read " + Path + ": " + std::strerror(errno);
        return false;
    }
    Bytes->resize(RAW_FRAME_BYTES);
    const bool whole = std::fread(Bytes->data(), 1, Bytes->size(), file) == Bytes->size();
    std::fclose(file);
    if (!whole) {
        *Error = "cannot read " + Path + " whole";
        return false;
    }
    return true;
}

int RunConvert(const ConvertOptions& Options) {
    z40k::ImageFormat format;
    if (!z40k::ImageFormatFromPath(Options.Output, &format))
        return Fail(EXIT_USAGE, "OUTPUT must end in .bmp, .png or .raw: " + Options.Output);
    if (format == z40k::ImageFormat::Png && !z40k::PngSupported())
        return Fail(EXIT_USAGE, "this build cannot write PNG files");
    ULONG gains[3] = {0, 0, 0};
    if (!Options.Gains.empty() && !ParseGains(Options.Gains, gains))
        return Fail(EXIT_USAGE, "--gains takes three whole numbers B,G,R: " + Options.Gains);

    std::string error;
    std::vector<uint8_t> input;
    if (!ReadRawInput(Options.Input, Options.Layout == "dump" ? "dump" : "raw frame", &input, &error))
        return Fail(EXIT_RUNTIME_FAILURE, error);

    host::ResetKernel();
    host::FilesSetDriveC(Options.DriveC);

    // A device as initialise-device leaves it (no stored settings), with the capture format's geometry
    // as bandwidth allocation sets it, then the options.
    DeviceContext context;
    std::memset(&context, 0, sizeof(context));
    InitializeSettings(nullptr, &context);
    context.FormatWidth = CAPTURE_WIDTH;
    context.FormatHeight = CAPTURE_HEIGHT;
    if (SetWindowFromFormat(&context, CAPTURE_WIDTH, CAPTURE_HEIGHT) != STATUS_SUCCESS)
        return Fail(EXIT_RUNTIME_FAILURE, "the driver refused the capture window");
    if (Options.Mono)
        context.ColorEnable = 0;
    if (Options.AutoWhiteBalance)
        context.AutoWhiteBalance = 1;
    if (!Options.Gains.empty()) {
        context.BlueGain = gains[0];
        context.GreenGain = gains[1];
        context.RedGain = gains[2];
    }

    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, 0);
    ULONG bytesReturned = 0;
    if (Options.Layout == "dump") {
        // Already de-interlaced: the dump is the scratch frame, and only the conversion step runs.
        bytesReturned =
            ConvertDeinterlacedFrame(&context, input.data(), input.data() + (input.size() & ~size_t(1)),
                                     frame.data(), frame.data() + frame.size());
    } else {
        const NTSTATUS status = CamProcessRawVideoFrameEx(
            nullptr, &context, nullptr, frame.data(), ULONG(frame.size()), input.data(), ULONG(input.size()),
            0, &bytesReturned, ULONG(input.size()), 0);
        if (status != STATUS_SUCCESS)
            return Fail(EXIT_RUNTIME_FAILURE, "the raw-frame callback failed");
    }

    if (!z40k::WriteImageFile(Options.Output, format, frame.data(), frame.size(), CAPTURE_WIDTH,
                              CAPTURE_HEIGHT, &error))
        return Fail(EXIT_RUNTIME_FAILURE, error);

    if (Options.Json) {
        nlohmann::json out = {{"bytes_returned", bytesReturned},
                              {"blue_gain", context.BlueGain},
                              {"green_gain", context.GreenGain},
                              {"red_gain", context.RedGain}};
        std::cout << out.dump() << std::endl;
    }
    return 0;
}

} // namespace

CLI::App* AddConvertCommand(CLI::App& App, int* ExitCode) {
    auto options = std::make_shared<ConvertOptions>();
    CLI::App* command = App.add_subcommand(
        "convert", "Convert a raw frame into a picture through the driver's raw-frame entry point");
    command->add_option("INPUT", options->Input, "raw frame (5,926,912 bytes) or de-interlaced dump")
        ->required();
    command->add_option("OUTPUT", options->Output, "picture to write: .bmp, .png or .raw (the frame buffer)")
        ->required();
    command->add_flag("--mono", options->Mono, "grey output (colour off)");
    command->add_flag("--awb", options->AutoWhiteBalance, "balance the frame's own blue and red gains");
    command->add_option("--gains", options->Gains, "channel gains B,G,R, 128 = 1.0");
    command->add_option("--layout", options->Layout, "INPUT layout: raw (default) or dump")
        ->check(CLI::IsMember({"raw", "dump"}));
    command->add_flag("--json", options->Json, "print bytes_returned and the gains after the frame as JSON");
    command->add_option("--drive-c", options->DriveC, "host folder standing for C:\\ (default ./drive-c)");
    command->callback([options, ExitCode] { *ExitCode = RunConvert(*options); });
    return command;
}
