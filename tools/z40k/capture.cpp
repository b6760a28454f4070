// z40k capture: what a capture application does with the camera, on the simulated one. The driver is
// loaded into the host platform, the camera added and initialised (settings from the registry file),
// the capture pin opened with the format intersection offers, run, and frames read through the whole
// path: packets framed by the driver, raw frames assembled by the library, converted by the driver into
// the read requests' buffers. Then the pin stops (the driver saves its settings), closes, and the
// driver unloads.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"

#include "host/rig/library_view.h"
#include "host/rig/pe_loader.h"
#include "host/rig/rig.h"
#include "host/kernel/kernel_host.h"
#include "host/streamclass/client.h"
#include "host/simcam/sensor.h"
#include "host/simcam/simulated_camera.h"
#include "tools/z40k/capture_pin.h"
#include "tools/z40k/frame_stream.h"
#include "tools/z40k/image_files.h"
#include "tools/z40k/interrupt.h"
#include "tools/z40k/trace_writer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {

struct CaptureOptions {
    unsigned Frames = 1;
    std::string Directory = "./z40k-frames";
    std::string Format = "bmp";
    bool Mono = false;
    std::string Registry;
    std::string DriveC;
    std::vector<std::string> Scenes; // one per camera; the last serves the cameras after it
    unsigned PacketSize = 512;
    unsigned Buffers = 3;     // reads kept queued
    double CameraFps = 15;    // the simulated camera's pace
    unsigned Cameras = 1;     // cameras plugged in and captured at once
    unsigned UnplugAfter = 0; // pull the camera out after this many frames (0: never)
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

// One camera's capture: its pin, its buffers and the reads queued in them, and what it has written.
struct CameraCapture {
    size_t Index = 0;
    std::string Prefix; // "frame", or "cam0-frame" with more than one camera
    std::unique_ptr<streamclass::Pin> Pin;
    PVOID Extension = nullptr; // the camera's device extension while it is plugged in
    std::vector<std::vector<uint8_t>> Buffers;
    std::deque<std::pair<size_t, std::unique_ptr<streamclass::PendingRead>>> Reads; // buffer, read
    unsigned Captured = 0;
    bool Unplugged = false;
    uint64_t DroppedAtUnplug = 0; // the library's count, kept: its record goes with the camera
};

// Brings the rig's camera Index up to a running capture pin with the format the driver offers for its
// first range. *Format gets the format.
void StartCamera(rig::Rig& Rig, CameraCapture& Camera, const CaptureOptions& Options, simcam::Scene Scene,
                 z40k::TraceWriter& Trace, KS_DATAFORMAT_VIDEOINFOHEADER* Format) {
    streamclass::Filter& filter = Rig.FilterOf(Camera.Index);
    z40k::CapturePin pin;
    std::string error;
    if (!z40k::OpenCapturePin(filter, &pin, &error))
        throw Failure{error};
    *Format = pin.Format;
    Camera.Pin = std::move(pin.Pin);
    if (Rig.LibraryOf(Camera.Index) == nullptr)
        throw Failure{"the camera class library lost the camera"};
    Camera.Extension = filter.DeviceExtension();
    Rig.CameraOf(Camera.Index).SetScene(std::move(Scene));
    if (Trace.IsOpen()) {
        rig::SetFrameObserver(Camera.Extension,
                              [&Trace](const rig::FrameRecord& Frame) { Trace.Frame(Frame); });
        rig::SetBandwidthCallObserver(Camera.Extension, [&Trace]() { Trace.Flush(); });
    }
    ApplyCaptureProperties(filter, Options);
}

// Keeps the camera's free buffers queued as reads.
void QueueReads(CameraCapture& Camera, const std::vector<bool>& Free) {
    for (size_t i = 0; i < Camera.Buffers.size(); ++i) {
        if (!Free[i])
            continue;
        std::vector<uint8_t>& buffer = Camera.Buffers[i];
        Camera.Reads.emplace_back(i, Camera.Pin->QueueRead(buffer.data(), static_cast<ULONG>(buffer.size())));
    }
}

uint64_t DroppedFrames(const std::vector<CameraCapture>& Cameras) {
    uint64_t dropped = 0;
    for (const CameraCapture& camera : Cameras)
        dropped += camera.Unplugged ? camera.DroppedAtUnplug
                                    : rig::StreamStatisticsOf(camera.Extension).FramesDropped;
    return dropped;
}

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
    if (Options.Scenes.size() > Options.Cameras)
        throw Failure{"more --scene options than cameras"};

    // The driver binary is checked and mapped before anything is written.
    PDRIVER_INITIALIZE driverEntry = DriverEntry;
    // Released when the capture ends, after the rig (declared later) has unloaded the driver from it.
    struct ImageGuard {
        pe::LoadedDriver Image;
        ~ImageGuard() { pe::UnloadDriver(&Image); }
    } loaded;
    pe::LoadedDriver& image = loaded.Image;
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
    // One scene per camera: the last one given serves the cameras after it.
    std::vector<simcam::Scene> scenes;
    for (unsigned i = 0; i < Options.Cameras; ++i) {
        const std::string& name = Options.Scenes.empty()
                                      ? std::string("chart")
                                      : Options.Scenes[std::min<size_t>(i, Options.Scenes.size() - 1)];
        scenes.push_back(LoadSceneOption(name));
    }

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
    config.FramesPerSecond = Options.CameraFps;
    rig::Rig rig(driverEntry);
    std::vector<CameraCapture> cameras(Options.Cameras);
    KS_DATAFORMAT_VIDEOINFOHEADER videoFormat = {};
    for (unsigned i = 0; i < Options.Cameras; ++i) {
        size_t index = 0;
        const NTSTATUS status =
            rig.Plug(config, &index, [&trace, i](streamclass::Filter& Filter, simcam::SimulatedCamera&) {
                if (i == 0)
                    trace.FollowDevice(Filter.DeviceExtension());
            });
        cameras[i].Index = index;
        cameras[i].Prefix = Options.Cameras > 1 ? "cam" + std::to_string(i) + "-frame" : "frame";
        if (!NT_SUCCESS(status)) {
            streamclass::Filter& filter = rig.FilterOf(index);
            if (!filter.Loaded())
                throw Failure{"the driver did not load (" + StatusHex(status) + ")"};
            if (filter.DeviceExtension() == nullptr)
                throw Failure{"the camera could not be added (" + StatusHex(status) + ")"};
            if (!filter.Initialized())
                throw Failure{"the camera did not become ready (" + StatusHex(status) + ")"};
            throw Failure{"the camera's streams could not be read (" + StatusHex(status) + ")"};
        }
        StartCamera(rig, cameras[i], Options, std::move(scenes[i]), trace, &videoFormat);
    }
    const int width = videoFormat.VideoInfoHeader.bmiHeader.biWidth;
    const int height = std::abs(videoFormat.VideoInfoHeader.bmiHeader.biHeight);
    const size_t frameSize = size_t(width) * size_t(height) * 3;

    // Raw frames are written as the library's frame worker hands them on, one for each frame it
    // delivers, in order; the name follows the frames captured.
    unsigned rawWritten = 0;
    std::mutex rawMutex;
    std::string rawError;
    if (Options.SaveRaw) {
        rig::SetRawFrameObserver(cameras[0].Extension, [&](uint64_t, const uint8_t* Data, size_t Length) {
            const std::string path = Options.Directory + "/" + FrameName("raw", rawWritten++, "bin");
            std::string error;
            const bool written =
                z40k::WriteImageFile(path, z40k::ImageFormat::Raw, Data, Length, 0, 0, &error);
            std::lock_guard<std::mutex> lock(rawMutex);
            if (rawError.empty() && !written)
                rawError = "cannot write " + path + ": " + error;
        });
    }

    Progress progress(Options.Frames * Options.Cameras);
    for (CameraCapture& camera : cameras) {
        const NTSTATUS status = camera.Pin->SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(status))
            throw Failure{"the capture pin did not run (" + StatusHex(status) + ")"};
    }
    progress.Start();

    // Zero-filled once: the few pixels at the edges that the colour conversion leaves alone are never
    // written by any frame of the run, so they stay black. Several reads stay queued, so that frames
    // arriving while a picture is written have a buffer to go to.
    for (CameraCapture& camera : cameras) {
        const size_t buffers = std::min<size_t>(Options.Buffers, std::max(Options.Frames, 1u));
        camera.Buffers.assign(buffers, std::vector<uint8_t>(videoFormat.DataFormat.SampleSize));
        QueueReads(camera, std::vector<bool>(buffers, true));
    }
    std::string failure;
    unsigned total = 0;
    for (bool more = true; more && failure.empty();) {
        more = false;
        for (CameraCapture& camera : cameras) {
            if (camera.Captured >= Options.Frames || camera.Unplugged || !failure.empty() ||
                z40k::Interrupted())
                continue;
            more = true;
            auto [bufferIndex, read] = std::move(camera.Reads.front());
            camera.Reads.pop_front();
            const NTSTATUS status = read->Wait();
            read.reset();
            if (!NT_SUCCESS(status)) {
                failure = "frame " + std::to_string(camera.Captured) + " could not be read (" +
                          StatusHex(status) + ")";
                break;
            }
            {
                std::lock_guard<std::mutex> lock(rawMutex);
                if (!rawError.empty()) {
                    failure = rawError;
                    break;
                }
            }
            std::vector<uint8_t>& buffer = camera.Buffers[bufferIndex];
            const std::string path = Options.Directory + "/" +
                                     FrameName(camera.Prefix.c_str(), camera.Captured, extension.c_str());
            std::string error;
            // Pictures are the whole image; the raw format is the request's buffer as the driver filled it.
            const size_t length = format == z40k::ImageFormat::Raw ? buffer.size() : frameSize;
            if (pipe != nullptr) {
                if (!pipe->Write(buffer.data(), length, &error)) {
                    failure = error; // none when the reader has had all it wanted
                    more = false;
                    break;
                }
            } else if (!z40k::WriteImageFile(path, format, buffer.data(), length, width, height, &error)) {
                failure = "cannot write " + path + ": " + error;
                break;
            }
            ++camera.Captured;
            ++total;
            progress.Update(total, DroppedFrames(cameras));
            if (Options.UnplugAfter != 0 && camera.Captured == Options.UnplugAfter) {
                // Pulled out: the reads still queued come back failed, the frames written stay.
                camera.DroppedAtUnplug = rig::StreamStatisticsOf(camera.Extension).FramesDropped;
                camera.Unplugged = true;
                rig.Unplug(camera.Index);
                camera.Extension = nullptr;
                failure = "the camera was unplugged after " + std::to_string(camera.Captured) + " frames";
                break;
            }
            if (camera.Captured + camera.Reads.size() < Options.Frames) {
                std::vector<bool> free(camera.Buffers.size(), false);
                free[bufferIndex] = true;
                QueueReads(camera, free);
            }
        }
    }
    if (failure.empty())
        progress.Finish();
    else
        progress.Update(total, DroppedFrames(cameras));

    // Stop even after a failure, so the camera is left idle and the driver's settings are saved. Reads
    // still queued come back cancelled.
    NTSTATUS stopStatus = STATUS_SUCCESS;
    for (CameraCapture& camera : cameras) {
        if (camera.Pin == nullptr || !camera.Pin->IsOpen())
            continue;
        const NTSTATUS status = camera.Pin->SetState(KSSTATE_STOP);
        if (NT_SUCCESS(stopStatus))
            stopStatus = status;
        camera.Reads.clear();
        camera.Pin->Close();
    }
    for (CameraCapture& camera : cameras) {
        camera.Reads.clear();
        camera.Pin.reset();
    }
    if (!failure.empty())
        throw Failure{failure};
    if (!NT_SUCCESS(stopStatus))
        throw Failure{"the camera did not stop cleanly; settings not saved (" + StatusHex(stopStatus) + ")"};
    cameras.clear();
    for (size_t i = rig.Cameras(); i-- > 0;)
        rig.Remove(i);

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
        throw InterruptedCapture{total};
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
    cmd->add_option("--scene", options->Scenes,
                    "what the camera sees: chart (default), or a BMP or PNG file; once per camera");
    cmd->add_option("--buffers", options->Buffers,
                    "reads kept queued, so frames are not lost while one is written")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    cmd->add_option("--camera-fps", options->CameraFps,
                    "the simulated camera's frame rate (the driver still advertises 15)")
        ->check(CLI::Range(0.1, 1000.0))
        ->capture_default_str();
    cmd->add_option("--cameras", options->Cameras, "cameras streaming at once through the one driver")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    cmd->add_option("--unplug-after", options->UnplugAfter, "pull the camera out after this many frames");
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
        if (!ParsePropertyAssignments("capture", options->Sets, &options->Assignments)) {
            *ExitCode = EXIT_USAGE;
            return;
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
