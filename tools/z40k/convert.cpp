// z40k convert: one raw frame (or a de-interlaced dump) through the driver's own conversion, to a file.
// The frame takes the path a captured one takes: a camera brought up by the host rig (settings from the
// registry) plays it back, the library assembles it and hands it to the driver's raw-frame callback with
// the buffer of the read the program queued.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"
#include "tools/z40k/image_files.h"
#include "tools/z40k/output_paths.h"

#include "host/rig/session.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

struct ConvertOptions {
    std::string Input;
    std::string Output;
    bool Mono = false;
    bool AutoWhiteBalance = false;
    std::string Gains;
    std::string Layout = "raw";
    bool Json = false;
    std::string DriveC = "./drive-c";
    std::string Registry;
};

constexpr const char* GAIN_NAMES[3] = {"blue-gain", "green-gain", "red-gain"};

// "B,G,R": three whole numbers, each in the range the driver publishes for its channel gain (it would
// store a wider one and saturate the picture with it). Throws the usage error of the first bad one.
void ParseGains(const std::string& Text, ULONG Gains[3]) {
    std::stringstream in(Text);
    std::string part;
    int n = 0;
    while (n < 3 && std::getline(in, part, ',') && !part.empty()) {
        const NamedProperty& gain = *FindNamedProperty(GAIN_NAMES[n]);
        long long value = 0;
        if (!z40k::ParseWholeNumber(part, &value))
            throw z40k::UsageError("--gains",
                                   part + " is not a whole number; " + RangeOf(gain, gain.Maximum));
        const std::string problem = ValueProblem(gain, gain.Maximum, value);
        if (!problem.empty())
            throw z40k::UsageError("--gains", part + " " + problem);
        Gains[n++] = ULONG(value);
    }
    if (n != 3 || !in.eof() || Text.back() == ',')
        throw z40k::UsageError("--gains", Text + " is not three gains B,G,R (128 = 1.0)");
}

// Only a regular file of exactly a raw frame's size is read: a folder, a device such as /dev/zero or a
// FIFO is refused before anything is read from it.
bool ReadRawInput(const std::string& Path, const std::string& What, std::vector<uint8_t>* Bytes,
                  std::string* Error) {
    struct stat info;
    if (::stat(Path.c_str(), &info) != 0) {
        *Error = Path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *Error = Path + ": not a regular file; a " + What + " is a file of " +
                 std::to_string(simcam::RAW_FRAME_SIZE) + " bytes";
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) != simcam::RAW_FRAME_SIZE) {
        *Error = Path + ": " + std::to_string(info.st_size) + " bytes; a " + What + " is " +
                 std::to_string(simcam::RAW_FRAME_SIZE);
        return false;
    }
    std::FILE* file = std::fopen(Path.c_str(), "rb");
    if (file == nullptr) {
        *Error = Path + ": " + std::strerror(errno);
        return false;
    }
    Bytes->resize(simcam::RAW_FRAME_SIZE);
    const bool whole = std::fread(Bytes->data(), 1, Bytes->size(), file) == Bytes->size();
    std::fclose(file);
    if (!whole) {
        *Error = Path + ": cannot be read whole";
        return false;
    }
    return true;
}

// The raw frame a dump came from, as far as the conversion can tell: the dump is the de-interlaced
// scratch frame, whose lines are the mosaic's rows a raw line apart, so the camera's own layout puts them
// back into their fields. The bytes outside the samples carry no picture either way.
std::vector<uint8_t> InterlaceDump(const std::vector<uint8_t>& Dump) {
    std::vector<uint8_t> mosaic(size_t(simcam::SENSOR_WIDTH) * simcam::SENSOR_HEIGHT);
    for (int row = 0; row < simcam::SENSOR_HEIGHT; ++row)
        std::memcpy(&mosaic[size_t(row) * simcam::SENSOR_WIDTH],
                    &Dump[size_t(row) * simcam::RAW_LINE_DISTANCE], simcam::SENSOR_WIDTH);
    return simcam::LayoutRawFrame(mosaic);
}

struct ConvertedFrame {
    std::vector<uint8_t> Frame; // the read's whole buffer
    int Width = 0;
    int Height = 0;
    ULONG BytesReturned = 0;
    ULONG Gains[3] = {0, 0, 0}; // blue, green, red after the frame
};

NTSTATUS SetNamed(streamclass::Filter& Filter, const char* Name, long long Value) {
    PropertyAssignment assignment;
    assignment.Property = FindNamedProperty(Name);
    assignment.Value = Value;
    return ApplyProperty(Filter, assignment);
}

// The options as properties, set before the pin runs as an application would set them.
bool ApplyConvertOptions(streamclass::Filter& Filter, const ConvertOptions& Options, const ULONG Gains[3],
                         std::string* Error) {
    struct Setting {
        bool Wanted;
        const char* Name;
        long long Value;
    } settings[] = {{Options.Mono, "color", 0},
                    {Options.AutoWhiteBalance, "awb", 1},
                    {!Options.Gains.empty(), "blue-gain", Gains[0]},
                    {!Options.Gains.empty(), "green-gain", Gains[1]},
                    {!Options.Gains.empty(), "red-gain", Gains[2]}};
    for (const Setting& setting : settings) {
        NTSTATUS status = STATUS_SUCCESS;
        if (setting.Wanted && !NT_SUCCESS(status = SetNamed(Filter, setting.Name, setting.Value))) {
            *Error = std::string("the camera: refused ") + setting.Name + ": " + StatusName(status);
            return false;
        }
    }
    return true;
}

// One camera on the rig plays Raw back while one read waits for it on the capture pin, with the options
// set as properties before the pin runs, as an application would set them.
bool ConvertOnRig(rig::Session& Session, const ConvertOptions& Options, const ULONG Gains[3],
                  std::vector<uint8_t> Raw, ConvertedFrame* Out, std::string* Error) {
    size_t index = 0;
    NTSTATUS status = Session.Plug(rig::CameraOptions(), &index);
    if (!NT_SUCCESS(status)) {
        *Error = "the camera: did not come up: " + StatusName(status);
        return false;
    }
    streamclass::Filter& filter = Session.FilterOf(index);
    Session.PlayRawFrame(index, std::move(Raw));
    rig::CapturePin pin;
    const rig::PinOutcome opened = rig::OpenCapturePin(filter, &pin);
    if (opened.Failure != rig::PinFailure::None) {
        *Error = "the camera: " + PinFailureMessage(opened);
        return false;
    }
    if (!ApplyConvertOptions(filter, Options, Gains, Error))
        return false;
    status = pin.Pin->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        *Error = "the camera: the capture pin did not run: " + StatusName(status);
        return false;
    }
    // The read is queued before the first frame is due: on the virtual clock the camera sends nothing
    // until this thread waits.
    Out->Frame.assign(pin.Format.DataFormat.SampleSize, 0);
    streamclass::ReadResult result;
    status = pin.Pin->QueueRead(Out->Frame.data(), ULONG(Out->Frame.size()))->Wait(&result);
    if (NT_SUCCESS(status)) {
        for (int i = 0; i < 3; ++i) {
            const PropertyReading reading = ReadProperty(filter, *FindNamedProperty(GAIN_NAMES[i]));
            Out->Gains[i] = static_cast<ULONG>(reading.Value);
            if (!NT_SUCCESS(reading.Status))
                status = reading.Status;
        }
    }
    const NTSTATUS stopped = pin.Pin->SetState(KSSTATE_STOP);
    pin.Pin->Close();
    Session.Remove(index);
    if (!NT_SUCCESS(status) || !NT_SUCCESS(stopped) || result.DataUsed == 0) {
        *Error = "the raw-frame path: failed: " + StatusName(NT_SUCCESS(status) ? stopped : status);
        return false;
    }
    Out->Width = pin.Width;
    Out->Height = pin.Height;
    Out->BytesReturned = result.DataUsed;
    return true;
}

// The checks that need nothing read: the output's format, the gains and the folders the output and
// drive C go in.
z40k::ImageFormat CheckConvertOptions(const ConvertOptions& Options, ULONG Gains[3]) {
    z40k::ImageFormat format;
    if (!z40k::ImageFormatFromPath(Options.Output, &format))
        throw z40k::UsageError(Options.Output, "unknown picture format; OUTPUT ends in .bmp, .png or .raw");
    if (format == z40k::ImageFormat::Png && !z40k::PngSupported())
        throw z40k::UsageError(Options.Output, "this build cannot write PNG files");
    if (!Options.Gains.empty())
        ParseGains(Options.Gains, Gains);
    z40k::CheckOutputFile(Options.Output, "picture");
    z40k::PrepareOutputFolder(Options.DriveC, "drive C", false, false);
    return format;
}

int RunConvert(const ConvertOptions& Options) {
    ULONG gains[3] = {0, 0, 0};
    const z40k::ImageFormat format = CheckConvertOptions(Options, gains);
    std::string error;
    std::vector<uint8_t> input;
    if (!ReadRawInput(Options.Input, Options.Layout == "dump" ? "dump" : "raw frame", &input, &error))
        throw z40k::RuntimeError(error);

    if (Options.Layout == "dump")
        input = InterlaceDump(input);

    rig::Session session;
    rig::SessionOptions sessionOptions;
    sessionOptions.VirtualClock = true;
    sessionOptions.DriveC = Options.DriveC;
    sessionOptions.Registry = Options.Registry; // only read
    if (!session.Open(sessionOptions, &error))
        throw z40k::RuntimeError(error);
    session.OnFileFailure(z40k::WarnFileFailure);

    ConvertedFrame converted;
    if (!ConvertOnRig(session, Options, gains, std::move(input), &converted, &error))
        throw z40k::RuntimeError(error);
    const std::vector<uint8_t>& frame = converted.Frame;

    if (!z40k::WriteImageFile(Options.Output, format, frame.data(), frame.size(), converted.Width,
                              converted.Height, &error))
        throw z40k::RuntimeError(error);

    if (Options.Json) {
        nlohmann::json out = {{"bytes_returned", converted.BytesReturned},
                              {"blue_gain", converted.Gains[0]},
                              {"green_gain", converted.Gains[1]},
                              {"red_gain", converted.Gains[2]}};
        std::cout << out.dump() << std::endl;
    }
    return 0;
}

} // namespace

CLI::App* AddConvertCommand(CLI::App& App, int* ExitCode) {
    auto options = std::make_shared<ConvertOptions>();
    CLI::App* command = App.add_subcommand(
        "convert",
        "Convert a raw frame into a picture through the driver's raw-frame path, as a capture would");
    command->add_option("INPUT", options->Input, "raw frame (5,926,912 bytes) or de-interlaced dump")
        ->required();
    command->add_option("OUTPUT", options->Output, "picture to write: .bmp, .png or .raw (the frame buffer)")
        ->required();
    command->add_flag("--mono", options->Mono, "grey output (colour off)");
    command->add_flag("--awb", options->AutoWhiteBalance, "balance the frame's own blue and red gains");
    command->add_option("--gains", options->Gains,
                        "channel gains B,G,R, 128 = 1.0, each 0.." +
                            std::to_string(CHANNEL_GAIN_CONTROL_MAX));
    command->add_option("--layout", options->Layout, "INPUT layout: raw (default) or dump")
        ->check(z40k::OneOf({"raw", "dump"}));
    command->add_flag("--json", options->Json, "print bytes_returned and the gains after the frame as JSON");
    command->add_option("--drive-c", options->DriveC, "host folder standing for C:\\ (default ./drive-c)");
    command->add_option("--registry", options->Registry,
                        "registry file (.reg) the camera's settings are loaded from (not written)");
    command->callback([options, ExitCode] { *ExitCode = RunConvert(*options); });
    return command;
}
