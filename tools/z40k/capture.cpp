// z40k capture: what a capture application does with the camera, on the simulated one. The driver is
// loaded into the host platform, the camera added and initialised (settings from the registry file),
// the capture pin opened with the format intersection offers, run, and frames read through the whole
// path: packets framed by the driver, raw frames assembled by the library, converted by the driver into
// the read requests' buffers. Then the pin stops (the driver saves its settings), closes, and the
// driver unloads.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"

#include "cameralib/streaming.h"
#include "driver/driver_entry.h"
#include "host/pe_loader.h"
#include "platform/host/kernel_host.h"
#include "platform/streamclass/client.h"
#include "simcam/sensor.h"
#include "simcam/simulated_camera.h"
#include "tools/z40k/frame_stream.h"
#include "tools/z40k/image_files.h"
#include "tools/z40k/interrupt.h"
#include "tools/z40k/trace_writer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {

constexpr ULONG CAPTURE_STREAM = 0;

struct CaptureOptions {
    unsigned Frames = 1;
    std::string Directory = "./z40k-frames";
    std::string Format = "bmp";
    bool Mono = false;
    std::string Registry;
    std::string DriveC;
    std::string Scene = "chart";
    unsigned PacketSize = 512;
    std::string Clock = "real";
    std::string Trace;
    bool SaveRaw = false;
    bool NeverReady = false;       // a camera whose status word never reads ready (for the tests)
    std::string Driver;            // a z40k.sys to load instead of the driver built into this program
    std::vector<std::string> Sets; // NAME=VALUE as given
    std::vector<PropertyAssignment> Assignments; // the same, parsed before anything runs
};

// A one-line failure: the message goes to stderr, the command ends with exit status 1.
struct Failure {
    std::string Message;
};

std::string FrameName(const char* Prefix, uint64_t Index, const char* Extension) {
    char name[64];
    std::snprintf(name, sizeof name, "%s-%04llu.%s", Prefix, static_cast<unsigned long long>(Index),
                  Extension);
    return name;
}

// The output folder exists (or is made) and takes files; checked before the camera is touched, so a bad
// folder costs nothing and leaves nothing behind.
// Returns whether the folder had to be made.
bool PrepareDirectory(const std::string& Directory) {
    std::error_code ec;
    const bool existed = std::filesystem::exists(Directory, ec);
    std::filesystem::create_directories(Directory, ec);
    if (ec)
        throw Failure{"cannot create the folder " + Directory + ": " + ec.message()};
    if (!std::filesystem::is_directory(Directory, ec))
        throw Failure{Directory + " is not a folder"};
    if (::access(Directory.c_str(), W_OK) != 0)
        throw Failure{"cannot write to the folder " + Directory + ": " + std::strerror(errno)};
    return !existed;
}

// A folder made for this capture goes again if the capture fails before anything was written to it.
struct MadeFolder {
    std::string Path;
    bool Made = false;
    bool Keep = false;
    ~MadeFolder() {
        std::error_code ec;
        if (Made && !Keep && std::filesystem::is_empty(Path, ec))
            std::filesystem::remove(Path, ec);
    }
};

// A capture that ends by a signal: stopped as a normal stop, then reported with its own exit status.
struct InterruptedCapture {
    unsigned Frames;
};

void LoadRegistry(const std::string& File) {
    if (File.empty())
        return;
    std::error_code ec;
    if (!std::filesystem::exists(File, ec)) {
        // A first run: the registry starts empty and the file is written at the end, so its folder must
        // take it; found out now rather than after every frame was taken.
        std::filesystem::path folder = std::filesystem::path(File).parent_path();
        if (folder.empty())
            folder = ".";
        if (!std::filesystem::is_directory(folder, ec) || ::access(folder.c_str(), W_OK) != 0)
            throw Failure{"cannot write the registry " + File + ": " + folder.string() +
                          " is not a folder that can be written"};
        return;
    }
    std::string error;
    if (!host::RegistryLoadFile(File, &error))
        throw Failure{"cannot read the registry " + File + ": " + error};
}

simcam::Scene LoadSceneOption(const std::string& Name) {
    if (Name == "chart")
        return simcam::BuiltInChart();
    simcam::Scene scene;
    std::string error;
    if (!simcam::LoadScene(Name, &scene, &error))
        throw Failure{"cannot use the scene " + Name + ": " + error};
    return scene;
}

// Property requests the application makes before it runs the pin: grey output, then every --set in
// the order given. A refused request ends the capture before any frame is read.
void ApplyCaptureProperties(streamclass::Filter& Filter, const CaptureOptions& Options) {
    if (Options.Mono) {
        PropertyAssignment grey;
        grey.Property = FindNamedProperty("color");
        grey.Value = 0;
        NTSTATUS status = ApplyProperty(Filter, grey);
        if (!NT_SUCCESS(status))
            throw Failure{"the camera refused grey output (" + StatusName(status) + ")"};
    }
    for (const PropertyAssignment& assignment : Options.Assignments) {
        NTSTATUS status = ApplyProperty(Filter, assignment);
        if (!NT_SUCCESS(status))
            throw Failure{std::string("the camera refused ") + assignment.Property->Name + " = " +
                          std::to_string(assignment.Value) + ": " + StatusName(status)};
    }
}

// Shows frames captured, frames dropped and the frame rate on one line of the terminal.
class Progress {
  public:
    explicit Progress(unsigned Total) : total_(Total), live_(::isatty(STDERR_FILENO) != 0) {}
    void Start() { start_ = std::chrono::steady_clock::now(); }
    void Update(unsigned Captured, uint64_t Dropped) {
        captured_ = Captured;
        dropped_ = Dropped;
        if (live_)
            std::fprintf(stderr, "\r%s", Text().c_str());
    }
    void Finish() {
        if (live_)
            std::fprintf(stderr, "\r%s\n", Text().c_str());
        else
            std::fprintf(stderr, "%s\n", Text().c_str());
    }
    double Rate() const {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        return seconds > 0 ? captured_ / seconds : 0.0;
    }

  private:
    std::string Text() const {
        char text[128];
        std::snprintf(text, sizeof text, "captured %u/%u frames, %llu dropped, %.1f frames/s", captured_,
                      total_, static_cast<unsigned long long>(dropped_), Rate());
        return text;
    }
    unsigned total_;
    bool live_;
    unsigned captured_ = 0;
    uint64_t dropped_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Everything that must be undone however the capture ends: observers that point into this run.
struct Observers {
    ~Observers() {
        host::RegistrySetObserver(nullptr);
        streamclass::SetSrbObserver(nullptr);
    }
};

void RunCapture(const CaptureOptions& Options) {
    z40k::ImageFormat format = z40k::ImageFormat::Bmp;
    if (Options.Format == "png") {
        if (!z40k::PngSupported())
            throw Failure{"this build cannot write PNG files"};
        format = z40k::ImageFormat::Png;
    } else if (Options.Format == "raw") {
        format = z40k::ImageFormat::Raw;
    }
    const std::string extension = Options.Format;

    // The driver binary is checked and mapped before anything is written.
    PDRIVER_INITIALIZE driverEntry = DriverEntry;
    pe::LoadedDriver image;
    if (!Options.Driver.empty()) {
        std::string error;
        if (!pe::LoadDriver(Options.Driver, &image, &error))
            throw Failure{Options.Driver + ": " + error};
        driverEntry = image.DriverEntry;
    }

    // With -o - the frames go down a pipe and nothing else may: no folder, no pictures, no raw dumps.
    std::unique_ptr<z40k::StandardOutputFrames> pipe;
    if (z40k::IsStandardOutput(Options.Directory)) {
        if (format != z40k::ImageFormat::Raw || Options.SaveRaw)
            throw Failure{"-o - writes the frame buffers only: use --format raw, without --save-raw"};
        pipe = std::make_unique<z40k::StandardOutputFrames>();
    }
    // From here on a signal ends the capture between frames, through the normal stop.
    z40k::InterruptScope interruptScope;
    MadeFolder folder{Options.Directory, pipe == nullptr && PrepareDirectory(Options.Directory)};
    host::ResetKernel();
    // The driver takes and frees a 5.9 MB scratch frame for every frame; keeping the freed block for the
    // next one, as a kernel lookaside list would, spares the host a fresh mapping each time.
    host::PoolSetLookaside(true);
    host::ClockSetMode(Options.Clock == "virtual" ? host::ClockMode::Virtual : host::ClockMode::Real);
    if (!Options.DriveC.empty())
        host::FilesSetDriveC(Options.DriveC);
    LoadRegistry(Options.Registry);
    simcam::Scene scene = LoadSceneOption(Options.Scene);

    z40k::TraceWriter trace;
    Observers observers;
    if (!Options.Trace.empty()) {
        std::string error;
        if (!trace.Open(Options.Trace, &error))
            throw Failure{error};
        host::RegistrySetObserver(
            [&trace](const std::string& Key, const std::string& Name, const host::RegistryValue& Value) {
                trace.RegistrySet(Key, Name, Value);
            });
        streamclass::SetSrbObserver(
            [&trace](const streamclass::SrbEvent& Event) { trace.SrbCompleted(Event); });
    }

    simcam::CameraConfig config;
    config.DataPacketSize = static_cast<uint16_t>(Options.PacketSize);
    config.NeverReady = Options.NeverReady;
    simcam::SimulatedCamera camera(config);
    streamclass::Filter filter;

    NTSTATUS status = filter.Load(driverEntry);
    if (!NT_SUCCESS(status))
        throw Failure{"the driver did not load (" + StatusHex(status) + ")"};
    status = filter.AddCamera(&camera);
    if (!NT_SUCCESS(status))
        throw Failure{"the camera could not be added (" + StatusHex(status) + ")"};
    trace.FollowDevice(filter.DeviceExtension());
    status = filter.Initialize();
    if (!NT_SUCCESS(status))
        throw Failure{"the camera did not become ready (" + StatusHex(status) + ")"};
    status = filter.CompleteInitialization();
    if (NT_SUCCESS(status))
        status = filter.ReadStreamInfo();
    if (!NT_SUCCESS(status))
        throw Failure{"the camera's streams could not be read (" + StatusHex(status) + ")"};

    // The capture pin, with the format the driver offers for its first range.
    std::vector<const KS_DATARANGE_VIDEO*> ranges = filter.Ranges(CAPTURE_STREAM);
    if (ranges.empty())
        throw Failure{"the camera offers no capture format"};
    std::vector<uint8_t> formatBytes;
    status = filter.Intersect(CAPTURE_STREAM, &ranges[0]->DataRange, &formatBytes);
    if (!NT_SUCCESS(status) || formatBytes.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
        throw Failure{"no capture format could be agreed (" + StatusHex(status) + ")"};
    KS_DATAFORMAT_VIDEOINFOHEADER videoFormat;
    std::memcpy(&videoFormat, formatBytes.data(), sizeof videoFormat);
    const int width = videoFormat.VideoInfoHeader.bmiHeader.biWidth;
    const int height = std::abs(videoFormat.VideoInfoHeader.bmiHeader.biHeight);
    const size_t frameSize = size_t(width) * size_t(height) * 3;
    if (width <= 0 || height <= 0 || videoFormat.DataFormat.SampleSize < frameSize)
        throw Failure{"the agreed format has no usable picture size"};

    std::unique_ptr<streamclass::Pin> pin = filter.OpenPin(CAPTURE_STREAM, formatBytes, &status);
    if (pin == nullptr)
        throw Failure{"the capture pin did not open (" + StatusHex(status) + ")"};

    cameralib::LibraryDevice* library = cameralib::DeviceFromContext(filter.DeviceExtension());
    if (library == nullptr)
        throw Failure{"the camera class library lost the camera"};
    cameralib::SetScene(library, std::move(scene));
    if (trace.IsOpen()) {
        cameralib::SetFrameObserver(library,
                                    [&trace](const cameralib::FrameRecord& Frame) { trace.Frame(Frame); });
        cameralib::SetBandwidthCallObserver(library, [&trace]() { trace.Flush(); });
    }
    // Raw frames are written as the library hands them on; the name follows the frames captured.
    unsigned captured = 0;
    std::string rawError;
    if (Options.SaveRaw) {
        cameralib::SetRawFrameObserver(library, [&](uint64_t, const uint8_t* Data, size_t Length) {
            const std::string path = Options.Directory + "/" + FrameName("raw", captured, "bin");
            std::string error;
            if (rawError.empty() &&
                !z40k::WriteImageFile(path, z40k::ImageFormat::Raw, Data, Length, 0, 0, &error))
                rawError = "cannot write " + path + ": " + error;
        });
    }

    ApplyCaptureProperties(filter, Options);

    Progress progress(Options.Frames);
    status = pin->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status))
        throw Failure{"the capture pin did not run (" + StatusHex(status) + ")"};
    progress.Start();

    // Zero-filled once: the few pixels at the edges that the colour conversion leaves alone are never
    // written by any frame of the run, so they stay black.
    std::vector<uint8_t> buffer(videoFormat.DataFormat.SampleSize);
    std::string failure;
    for (; captured < Options.Frames && !z40k::Interrupted(); ++captured) {
        ULONG used = 0;
        status = pin->ReadFrame(buffer.data(), static_cast<ULONG>(buffer.size()), &used);
        if (!NT_SUCCESS(status)) {
            failure = "frame " + std::to_string(captured) + " could not be read (" + StatusHex(status) + ")";
            break;
        }
        if (!rawError.empty()) {
            failure = rawError;
            break;
        }
        const std::string path = Options.Directory + "/" + FrameName("frame", captured, extension.c_str());
        std::string error;
        // Pictures are the whole image; the raw format is the request's buffer as the driver filled it.
        const size_t length = format == z40k::ImageFormat::Raw ? buffer.size() : frameSize;
        if (pipe != nullptr) {
            if (!pipe->Write(buffer.data(), length, &error)) {
                failure = error; // none when the reader has had all it wanted
                break;
            }
        } else if (!z40k::WriteImageFile(path, format, buffer.data(), length, width, height, &error)) {
            failure = "cannot write " + path + ": " + error;
            break;
        }
        progress.Update(captured + 1, cameralib::GetStreamStatistics(library).FramesDropped);
    }
    if (failure.empty())
        progress.Finish();

    // Stop even after a failure, so the camera is left idle and the driver's settings are saved.
    NTSTATUS stopStatus = pin->SetState(KSSTATE_STOP);
    pin->Close();
    pin.reset();
    filter.RemoveCamera();
    filter.Unload();
    pe::UnloadDriver(&image);
    if (!failure.empty())
        throw Failure{failure};
    if (!NT_SUCCESS(stopStatus))
        throw Failure{"the camera did not stop cleanly; settings not saved (" + StatusHex(stopStatus) + ")"};

    folder.Keep = true;
    if (!Options.Registry.empty()) {
        std::string error;
        if (!host::RegistrySaveFile(Options.Registry, &error))
            throw Failure{"cannot write the registry " + Options.Registry + ": " + error};
    }
    if (trace.IsOpen()) {
        std::string error;
        if (!trace.Commit(&error))
            throw Failure{error};
    }
    if (z40k::Interrupted())
        throw InterruptedCapture{captured};
}

} // namespace

CLI::App* AddCaptureCommand(CLI::App& App, int* ExitCode) {
    auto options = std::make_shared<CaptureOptions>();
    CLI::App* cmd =
        App.add_subcommand("capture", "capture frames from the simulated camera through the driver");
    cmd->add_option("-n,--frames", options->Frames, "frames to capture")
        ->check(CLI::Range(1u, 1000000000u))
        ->capture_default_str();
    cmd->add_option("-o,--output", options->Directory,
                    "folder for the pictures; - for the raw frames on standard output")
        ->capture_default_str();
    cmd->add_option("--format", options->Format, "picture format")
        ->check(CLI::IsMember({"bmp", "png", "raw"}))
        ->capture_default_str();
    cmd->add_flag("--mono", options->Mono, "grey pictures (the camera's colour output switched off)");
    cmd->add_option("--registry", options->Registry,
                    "registry file (.reg) the settings are loaded from and saved to; created if missing");
    cmd->add_option("--drive-c", options->DriveC, "host folder that stands in for C:\\");
    cmd->add_option("--scene", options->Scene, "what the camera sees: chart, or a BMP or PNG file")
        ->capture_default_str();
    cmd->add_option("--packet-size", options->PacketSize, "data packet size of the camera's isochronous pipe")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    cmd->add_option("--clock", options->Clock, "real: the camera's own pace; virtual: as fast as possible")
        ->check(CLI::IsMember({"real", "virtual"}))
        ->capture_default_str();
    cmd->add_option("--trace", options->Trace, "write a JSON Lines trace of the driver's traffic");
    cmd->add_flag("--save-raw", options->SaveRaw, "also write each raw frame as the camera sent it");
    cmd->add_option("--set", options->Sets, "set a property before capture starts, e.g. exposure=1200")
        ->type_name("NAME=VALUE");
    cmd->add_option("--driver", options->Driver,
                    "load this z40k.sys (i386 driver image; 32-bit build) instead of the built-in driver");
    cmd->add_flag("--never-ready", options->NeverReady)->group(""); // a camera that never comes up
    cmd->callback([options, ExitCode]() {
        for (const std::string& text : options->Sets) {
            PropertyAssignment assignment;
            std::string error;
            if (!ParsePropertyAssignment(text, &assignment, &error)) {
                std::fprintf(stderr, "z40k capture: --set: %s\n", error.c_str());
                *ExitCode = EXIT_USAGE;
                return;
            }
            options->Assignments.push_back(assignment);
        }
        try {
            RunCapture(*options);
            *ExitCode = 0;
        } catch (const Failure& f) {
            std::fprintf(stderr, "z40k capture: %s\n", f.Message.c_str());
            *ExitCode = EXIT_RUNTIME_FAILURE;
        } catch (const InterruptedCapture& i) {
            std::fprintf(stderr, "z40k capture: interrupted after %u frames; stopped and saved\n", i.Frames);
            *ExitCode = z40k::EXIT_INTERRUPTED;
        }
    });
    return cmd;
}
