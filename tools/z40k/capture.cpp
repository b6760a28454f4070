// z40k capture: what a capture application does with the camera, on the simulated one. The driver is
// loaded into the host platform, the camera added and initialised (settings from the registry file),
// the capture pin opened with the format intersection offers, run, and frames read through the whole
// path: packets framed by the driver, raw frames assembled by the library, converted by the driver into
// the read requests' buffers. Then the pin stops (the driver saves its settings), closes, and the
// driver unloads.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"

#include "host/rig/session.h"
#include "host/streamclass/client.h"
#include "tools/z40k/frame_stream.h"
#include "tools/z40k/image_files.h"
#include "tools/z40k/interrupt.h"
#include "tools/z40k/trace_writer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
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
    unsigned PacketSize = 3 * 1024;  // the data pipe's bytes per microframe in alternate setting 0
    unsigned Buffers = 3;            // reads kept queued
    double CameraFps = 15;           // the simulated camera's pace
    unsigned Cameras = 1;            // cameras plugged in and captured at once
    unsigned UnplugAfter = 0;        // pull the camera out after this many frames (0: never)
    std::string Clock = "real";
    std::string Bus = "faithful";
    std::string Pcap; // record the buses' traffic into this USBPcap file
    uint64_t PcapLimitMib = 4096;
    std::string Replay; // play this USBPcap recording back instead of the simulated camera
    std::string Trace;
    bool SaveRaw = false;
    bool NeverReady = false;       // a camera whose status word never reads ready (for the tests)
    std::string Driver;            // a z40k.sys to load instead of the driver built into this program
    std::string Windows = "10";    // the Windows the host acts as (xp, vista, 7, 10)
    std::string Inf;               // the INF to install the driver from (empty: the built-in z40k.inf)
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

simcam::Scene LoadSceneOption(const std::string& Name) {
    if (Name == "chart")
        return simcam::BuiltInChart();
    simcam::Scene scene;
    std::string error;
    if (!simcam::LoadScene(Name, &scene, &error))
        throw Failure{"cannot use the scene " + Name + ": " + error};
    return scene;
}

// Shows frames captured, frames dropped and the frame rate on one line of the terminal.
class ProgressLine {
  public:
    explicit ProgressLine(unsigned Total) : total_(Total), live_(::isatty(STDERR_FILENO) != 0) {}
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
    // Another message is about to be printed: the live line ends first.
    void Break() {
        if (live_)
            std::fputc('\n', stderr);
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

// One camera's capture: its pin, its buffers and the reads queued in them, and what it has written.
struct CameraCapture {
    size_t Index = 0;
    std::string Prefix; // "frame", or "cam0-frame" with more than one camera
    std::unique_ptr<streamclass::Pin> Pin;
    std::vector<std::vector<uint8_t>> Buffers;
    std::deque<std::pair<size_t, std::unique_ptr<streamclass::PendingRead>>> Reads; // buffer, read
    unsigned Captured = 0;
    bool Running = false; // its pin runs
    bool Unplugged = false;
    uint64_t DroppedAtUnplug = 0; // the library's count, kept: its record goes with the camera
};

// Everything one capture holds while it runs.
struct CaptureRun {
    explicit CaptureRun(const CaptureOptions& Options)
        : Options(Options), Counter(Options.Frames * Options.Cameras) {}
    const CaptureOptions& Options;
    z40k::ImageFormat Format = z40k::ImageFormat::Bmp;
    std::unique_ptr<z40k::StandardOutputFrames> Pipe; // with -o -
    // Before the session, so that it is still there for the requests the session's end completes.
    z40k::TraceWriter Trace;
    rig::Session Session;
    std::vector<simcam::Scene> Scenes; // one per camera
    std::vector<CameraCapture> Cameras;
    KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat = {};
    int Width = 0;
    int Height = 0;
    // Raw frames are written as the library's frame worker hands them on.
    unsigned RawWritten = 0;
    std::mutex RawMutex;
    std::string RawError;
    ProgressLine Counter;
    unsigned Total = 0;
    bool CameraRefused = false;  // a camera's pin did not run while the others' did
    bool RecordingNoted = false; // the recording's stop has been told
};

// A capture that wrote what it could but not for every camera: its reason was told as it happened.
struct PartialCapture {};

// The picture format, and the output checks that need no camera: refused before anything is written.
void ChooseOutput(CaptureRun& Run) {
    const CaptureOptions& options = Run.Options;
    if (options.Format == "png") {
        if (!z40k::PngSupported())
            throw Failure{"this build cannot write PNG files"};
        Run.Format = z40k::ImageFormat::Png;
    } else if (options.Format == "raw") {
        Run.Format = z40k::ImageFormat::Raw;
    }
    if (options.Scenes.size() > options.Cameras)
        throw Failure{"more --scene options than cameras"};
    // With -o - the frames go down a pipe and nothing else may: no folder, no pictures, no raw dumps.
    if (z40k::IsStandardOutput(options.Directory)) {
        if (Run.Format != z40k::ImageFormat::Raw || options.SaveRaw)
            throw Failure{"-o - writes the frame buffers only: use --format raw, without --save-raw"};
        Run.Pipe = std::make_unique<z40k::StandardOutputFrames>();
    }
}

// The host booted for the capture, the scenes read (the last one given serves the cameras after it),
// and the trace started.
void OpenSession(CaptureRun& Run) {
    const CaptureOptions& options = Run.Options;
    rig::SessionOptions session;
    session.VirtualClock = options.Clock == "virtual";
    session.DriveC = options.DriveC;
    session.Registry = options.Registry;
    session.SavesRegistry = true;
    session.DriverImage = options.Driver;
    session.Bus = options.Bus == "ideal"    ? rig::BusMode::Ideal
                  : options.Bus == "shared" ? rig::BusMode::Shared
                                            : rig::BusMode::Faithful;
    session.Pcap = options.Pcap;
    session.PcapLimit = options.PcapLimitMib << 20;
    session.Replay = options.Replay;
    host::ParseWindowsTarget(options.Windows, &session.Target); // checked as the option was read
    session.Inf = options.Inf;
    std::string error;
    if (!Run.Session.Open(session, &error))
        throw Failure{error};
    if (Run.Session.ReplaySkipped() != 0)
        std::fprintf(stderr,
                     "z40k capture: --replay %s: %llu of its %llu records are malformed and passed over\n",
                     options.Replay.c_str(), static_cast<unsigned long long>(Run.Session.ReplaySkipped()),
                     static_cast<unsigned long long>(Run.Session.ReplayRecords()));
    for (unsigned i = 0; i < options.Cameras; ++i) {
        const std::string& name = options.Scenes.empty()
                                      ? std::string("chart")
                                      : options.Scenes[std::min<size_t>(i, options.Scenes.size() - 1)];
        Run.Scenes.push_back(LoadSceneOption(name));
    }
    if (options.Trace.empty())
        return;
    if (!Run.Trace.Open(options.Trace, Run.Session, &error))
        throw Failure{error};
    z40k::TraceWriter& trace = Run.Trace;
    Run.Session.OnRegistryWrite([&trace](const rig::RegistryWrite& Write) { trace.RegistrySet(Write); });
    Run.Session.OnSrbCompleted([&trace](const streamclass::SrbEvent& Event) { trace.SrbCompleted(Event); });
}

// The camera's bring-up failed: say at which step.
[[noreturn]] void BringUpFailed(streamclass::Filter& Filter, NTSTATUS Status) {
    if (!Filter.Loaded())
        throw Failure{"the driver did not load (" + StatusHex(Status) + ")"};
    if (Filter.DeviceExtension() == nullptr)
        throw Failure{"the camera could not be added (" + StatusHex(Status) + ")"};
    if (!Filter.Initialized())
        throw Failure{"the camera did not become ready (" + StatusHex(Status) + ")"};
    throw Failure{"the camera's streams could not be read (" + StatusHex(Status) + ")"};
}

// Brings camera I up to an open capture pin with the format the driver offers for its first range, its
// scene and properties set, the trace following the first one.
void StartCamera(CaptureRun& Run, unsigned I) {
    rig::CameraOptions camera;
    camera.PacketSize = static_cast<uint16_t>(Run.Options.PacketSize);
    camera.NeverReady = Run.Options.NeverReady;
    camera.FramesPerSecond = Run.Options.CameraFps;
    CameraCapture& capture = Run.Cameras[I];
    z40k::TraceWriter& trace = Run.Trace;
    const NTSTATUS status =
        Run.Session.Plug(camera, &capture.Index, [&trace, I](streamclass::Filter& Filter) {
            if (I == 0)
                trace.FollowDevice(Filter.DeviceExtension());
        });
    capture.Prefix = Run.Options.Cameras > 1 ? "cam" + std::to_string(I) + "-frame" : "frame";
    streamclass::Filter& filter = Run.Session.FilterOf(capture.Index);
    if (!NT_SUCCESS(status))
        BringUpFailed(filter, status);
    rig::CapturePin pin;
    const rig::PinOutcome opened = rig::OpenCapturePin(filter, &pin);
    if (opened.Failure != rig::PinFailure::None)
        throw Failure{PinFailureMessage(opened)};
    Run.VideoFormat = pin.Format;
    capture.Pin = std::move(pin.Pin);
    Run.Session.SetScene(capture.Index, std::move(Run.Scenes[I]));
    if (trace.IsOpen()) {
        Run.Session.OnFrame(capture.Index, [&trace](const rig::FrameRecord& Frame) { trace.Frame(Frame); });
        Run.Session.OnBandwidthCall(capture.Index, [&trace]() { trace.Flush(); });
    }
    // A refused request ends the capture before any frame is read.
    std::string error;
    if (!ApplyStartProperties(filter, Run.Options.Mono, Run.Options.Assignments, &error))
        throw Failure{error};
}

// Each raw frame the first camera delivers goes to a file of its own, named in order.
void SaveRawFrames(CaptureRun& Run) {
    if (!Run.Options.SaveRaw)
        return;
    Run.Session.OnRawFrame(Run.Cameras[0].Index, [&Run](uint64_t, const uint8_t* Data, size_t Length) {
        const std::string path = Run.Options.Directory + "/" + FrameName("raw", Run.RawWritten++, "bin");
        std::string error;
        const bool written = z40k::WriteImageFile(path, z40k::ImageFormat::Raw, Data, Length, 0, 0, &error);
        std::lock_guard<std::mutex> lock(Run.RawMutex);
        if (Run.RawError.empty() && !written)
            Run.RawError = "cannot write " + path + ": " + error;
    });
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

uint64_t DroppedFrames(CaptureRun& Run) {
    uint64_t dropped = 0;
    for (const CameraCapture& camera : Run.Cameras)
        dropped +=
            camera.Unplugged ? camera.DroppedAtUnplug : Run.Session.Counters(camera.Index).FramesDropped;
    return dropped;
}

// Every pin runs, with its reads queued. The buffers are zero-filled once: the few pixels at the edges
// that the colour conversion leaves alone are never written by any frame of the run, so they stay
// black. Several reads stay queued, so that frames arriving while a picture is written have a buffer to
// go to.
void RunPins(CaptureRun& Run) {
    for (CameraCapture& camera : Run.Cameras) {
        const NTSTATUS status = camera.Pin->SetState(KSSTATE_RUN);
        camera.Running = NT_SUCCESS(status);
        if (camera.Running)
            continue;
        std::string why = "the capture pin did not run: " + StatusName(status);
        const std::string refusal = Run.Session.BandwidthRefusal(camera.Index);
        if (!refusal.empty())
            why += " (USBD_STATUS_NO_BANDWIDTH: " + refusal + ")";
        if (Run.Cameras.size() == 1)
            throw Failure{why};
        // The others go on; this one is told about now and ends the capture's status later.
        std::fprintf(stderr, "z40k capture: camera %zu: %s\n", camera.Index, why.c_str());
        Run.CameraRefused = true;
    }
    if (std::none_of(Run.Cameras.begin(), Run.Cameras.end(),
                     [](const CameraCapture& C) { return C.Running; }))
        throw Failure{"no camera's capture pin ran"};
    Run.Counter.Start();
    for (CameraCapture& camera : Run.Cameras) {
        if (!camera.Running)
            continue;
        const size_t buffers = std::min<size_t>(Run.Options.Buffers, std::max(Run.Options.Frames, 1u));
        camera.Buffers.assign(buffers, std::vector<uint8_t>(Run.VideoFormat.DataFormat.SampleSize));
        QueueReads(camera, std::vector<bool>(buffers, true));
    }
}

// Writes one frame that has come into Buffer: a picture file, or down the pipe. False with *Failure set
// when it could not be; a pipe whose reader has had all it wanted fails with no message.
bool WriteFrame(CaptureRun& Run, CameraCapture& Camera, const std::vector<uint8_t>& Buffer,
                std::string* Failure) {
    const bool raw = Run.Format == z40k::ImageFormat::Raw;
    // Pictures are the whole image; the raw format is the request's buffer as the driver filled it.
    const size_t length = raw ? Buffer.size() : size_t(Run.Width) * size_t(Run.Height) * 3;
    std::string error;
    if (Run.Pipe != nullptr) {
        if (!Run.Pipe->Write(Buffer.data(), length, &error)) {
            *Failure = error;
            return false;
        }
        return true;
    }
    const std::string path = Run.Options.Directory + "/" +
                             FrameName(Camera.Prefix.c_str(), Camera.Captured, Run.Options.Format.c_str());
    if (!z40k::WriteImageFile(path, Run.Format, Buffer.data(), length, Run.Width, Run.Height, &error)) {
        *Failure = "cannot write " + path + ": " + error;
        return false;
    }
    return true;
}

// A recording that stopped at its limit (or on a failed write) is told once; the capture goes on.
void NoteRecordingStop(CaptureRun& Run) {
    if (Run.RecordingNoted)
        return;
    const std::string stopped = Run.Session.RecordingStopped();
    if (stopped.empty())
        return;
    Run.RecordingNoted = true;
    Run.Counter.Break();
    std::fprintf(stderr, "z40k capture: --pcap %s: %s\n", Run.Options.Pcap.c_str(), stopped.c_str());
}

// Waits for the camera's oldest read and writes its frame; then pulls the camera out when the options
// say so after this many frames, or queues the buffer again. False when the capture must end: *Failure
// says why (empty for a pipe's reader that stopped reading).
bool TakeFrame(CaptureRun& Run, CameraCapture& Camera, std::string* Failure) {
    auto [bufferIndex, read] = std::move(Camera.Reads.front());
    Camera.Reads.pop_front();
    const NTSTATUS status = read->Wait();
    read.reset();
    if (!NT_SUCCESS(status)) {
        *Failure =
            "frame " + std::to_string(Camera.Captured) + " could not be read (" + StatusHex(status) + ")";
        const std::string idle = Run.Session.ReplayIdle();
        if (!idle.empty())
            *Failure += ": " + idle;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(Run.RawMutex);
        if (!Run.RawError.empty()) {
            *Failure = Run.RawError;
            return false;
        }
    }
    if (!WriteFrame(Run, Camera, Camera.Buffers[bufferIndex], Failure))
        return false;
    ++Camera.Captured;
    ++Run.Total;
    NoteRecordingStop(Run);
    Run.Counter.Update(Run.Total, DroppedFrames(Run));
    if (Run.Options.UnplugAfter != 0 && Camera.Captured == Run.Options.UnplugAfter) {
        // Pulled out: the reads still queued come back failed, the frames written stay.
        Camera.DroppedAtUnplug = Run.Session.Counters(Camera.Index).FramesDropped;
        Camera.Unplugged = true;
        Run.Session.Unplug(Camera.Index);
        *Failure = "the camera was unplugged after " + std::to_string(Camera.Captured) + " frames";
        return false;
    }
    if (Camera.Captured + Camera.Reads.size() < Run.Options.Frames) {
        std::vector<bool> free(Camera.Buffers.size(), false);
        free[bufferIndex] = true;
        QueueReads(Camera, free);
    }
    return true;
}

// Frames from every camera in turn until each has its count, one is pulled out, a signal comes or
// something fails; the failure, if any.
std::string ReadFrames(CaptureRun& Run) {
    std::string failure;
    for (bool more = true; more;) {
        more = false;
        for (CameraCapture& camera : Run.Cameras) {
            if (!camera.Running || camera.Captured >= Run.Options.Frames || camera.Unplugged ||
                z40k::Interrupted())
                continue;
            more = true;
            if (!TakeFrame(Run, camera, &failure))
                return failure;
        }
    }
    return failure;
}

// Stops every pin even after a failure, so the camera is left idle and the driver's settings are saved.
// Reads still queued come back cancelled. The first failed stop's status.
NTSTATUS StopPins(CaptureRun& Run) {
    NTSTATUS stopStatus = STATUS_SUCCESS;
    for (CameraCapture& camera : Run.Cameras) {
        if (camera.Pin == nullptr || !camera.Pin->IsOpen())
            continue;
        const NTSTATUS status = camera.Pin->SetState(KSSTATE_STOP);
        if (NT_SUCCESS(stopStatus))
            stopStatus = status;
        camera.Reads.clear();
        camera.Pin->Close();
    }
    for (CameraCapture& camera : Run.Cameras) {
        camera.Reads.clear();
        camera.Pin.reset();
    }
    return stopStatus;
}

// A capture that stopped cleanly: the cameras removed, the settings and the trace written.
void FinishCapture(CaptureRun& Run) {
    Run.Cameras.clear();
    for (size_t i = Run.Session.Cameras(); i-- > 0;)
        Run.Session.Remove(i);
    std::string error;
    if (!Run.Session.SaveSettings(&error))
        throw Failure{error};
    if (Run.Trace.IsOpen() && !Run.Trace.Commit(&error))
        throw Failure{error};
    NoteRecordingStop(Run);
    if (!Run.Session.CloseRecording(&error))
        throw Failure{error};
}

void RunCapture(const CaptureOptions& Options) {
    CaptureRun run(Options);
    ChooseOutput(run);
    // From here on a signal ends the capture between frames, through the normal stop.
    z40k::InterruptScope interruptScope;
    MadeFolder folder{Options.Directory, run.Pipe == nullptr && PrepareDirectory(Options.Directory)};
    OpenSession(run);
    run.Cameras.resize(Options.Cameras);
    for (unsigned i = 0; i < Options.Cameras; ++i)
        StartCamera(run, i);
    run.Width = run.VideoFormat.VideoInfoHeader.bmiHeader.biWidth;
    run.Height = std::abs(run.VideoFormat.VideoInfoHeader.bmiHeader.biHeight);
    SaveRawFrames(run);
    RunPins(run);
    const std::string failure = ReadFrames(run);
    if (failure.empty())
        run.Counter.Finish();
    else
        run.Counter.Update(run.Total, DroppedFrames(run));
    const NTSTATUS stopStatus = StopPins(run);
    if (!failure.empty())
        throw Failure{failure};
    if (!NT_SUCCESS(stopStatus))
        throw Failure{"the camera did not stop cleanly; settings not saved (" + StatusHex(stopStatus) + ")"};
    folder.Keep = true;
    FinishCapture(run);
    if (z40k::Interrupted())
        throw InterruptedCapture{run.Total};
    if (run.CameraRefused)
        throw PartialCapture{};
}

} // namespace

// The frames, where they go and how they are taken (in the order the help lists them).
static void AddFrameOptions(CLI::App* Cmd, CaptureOptions* Options) {
    Cmd->add_option("-n,--frames", Options->Frames, "frames to capture")
        ->check(CLI::Range(1u, 1000000000u))
        ->capture_default_str();
    Cmd->add_option("-o,--output", Options->Directory,
                    "folder for the pictures; - for the raw frames on standard output")
        ->capture_default_str();
    Cmd->add_option("--format", Options->Format, "picture format")
        ->check(CLI::IsMember({"bmp", "png", "raw"}))
        ->capture_default_str();
    Cmd->add_flag("--mono", Options->Mono, "grey pictures (the camera's colour output switched off)");
    Cmd->add_option("--registry", Options->Registry,
                    "registry file (.reg) the settings are loaded from and saved to; created if missing");
    Cmd->add_option("--drive-c", Options->DriveC, "host folder that stands in for C:\\");
    Cmd->add_option("--scene", Options->Scenes,
                    "what the camera sees: chart (default), or a BMP or PNG file; once per camera");
    Cmd->add_option("--buffers", Options->Buffers,
                    "reads kept queued, so frames are not lost while one is written")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    Cmd->add_option("--camera-fps", Options->CameraFps,
                    "the simulated camera's frame rate (the driver still advertises 15)")
        ->check(CLI::Range(0.1, 1000.0))
        ->capture_default_str();
}

// The cameras of the run, its clock, its trace and the driver it loads.
static void AddRunOptions(CLI::App* Cmd, CaptureOptions* Options) {
    Cmd->add_option("--cameras", Options->Cameras, "cameras streaming at once through the one driver")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    Cmd->add_option("--unplug-after", Options->UnplugAfter, "pull the camera out after this many frames");
    Cmd->add_option("--packet-size", Options->PacketSize,
                    "bytes a microframe the camera's data pipe carries in its capture setting")
        ->check(CLI::Validator(
            [](std::string& Text) {
                unsigned long bytes = 0;
                const bool number = !Text.empty() &&
                                    Text.find_first_not_of("0123456789") == std::string::npos &&
                                    (bytes = std::strtoul(Text.c_str(), nullptr, 10)) <= 65535;
                return number && rig::ValidPacketSize(static_cast<uint32_t>(bytes))
                           ? std::string()
                           : "a high-speed isochronous pipe carries 1 to 3 equal transactions of at most "
                             "1,024 "
                             "bytes a microframe";
            },
            "1..3072"))
        ->capture_default_str();
    Cmd->add_option(
           "--bus", Options->Bus,
           "faithful: USB 2.0 high speed, a bus per camera; shared: the cameras on one; ideal: no limits")
        ->check(CLI::IsMember({"faithful", "shared", "ideal"}))
        ->capture_default_str();
    Cmd->add_option("--pcap", Options->Pcap,
                    "record the USB traffic into this file (USBPcap, for Wireshark)");
    Cmd->add_option("--pcap-limit", Options->PcapLimitMib, "most MiB the recording may take")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 20))
        ->capture_default_str();
    Cmd->add_option("--replay", Options->Replay, "play this USBPcap recording back as the camera");
    Cmd->add_option("--clock", Options->Clock, "real: the camera's own pace; virtual: as fast as possible")
        ->check(CLI::IsMember({"real", "virtual"}))
        ->capture_default_str();
    Cmd->add_option("--trace", Options->Trace, "write a JSON Lines trace of the driver's traffic");
    Cmd->add_flag("--save-raw", Options->SaveRaw, "also write each raw frame as the camera sent it");
    Cmd->add_option("--set", Options->Sets, "set a property before capture starts, e.g. exposure=1200")
        ->type_name("NAME=VALUE");
    Cmd->add_option("--driver", Options->Driver,
                    "load this z40k.sys (i386 driver image; 32-bit build) instead of the built-in driver");
    Cmd->add_option("--windows", Options->Windows,
                    "act as this Windows: its loader refuses a driver that imports what it lacks, and the "
                    "kernel's lookup by name finds only what it exports")
        ->check(CLI::IsMember({"xp", "vista", "7", "10"}))
        ->capture_default_str();
    Cmd->add_option("--inf", Options->Inf,
                    "install the driver from this INF instead of the built-in z40k.inf");
    Cmd->add_flag("--never-ready", Options->NeverReady)->group(""); // a camera that never comes up
}

CLI::App* AddCaptureCommand(CLI::App& App, int* ExitCode) {
    auto options = std::make_shared<CaptureOptions>();
    CLI::App* cmd =
        App.add_subcommand("capture", "capture frames from the simulated camera through the driver");
    AddFrameOptions(cmd, options.get());
    AddRunOptions(cmd, options.get());
    cmd->callback([options, ExitCode]() {
        if (!ParsePropertyAssignments("capture", options->Sets, &options->Assignments)) {
            *ExitCode = EXIT_USAGE;
            return;
        }
        if (!options->Replay.empty() && (options->Cameras != 1 || !options->Scenes.empty())) {
            std::fprintf(stderr, "z40k capture: --replay: a recording plays back as one camera, "
                                 "without --cameras or --scene\n");
            *ExitCode = EXIT_USAGE;
            return;
        }
        try {
            RunCapture(*options);
            *ExitCode = 0;
        } catch (const Failure& f) {
            std::fprintf(stderr, "z40k capture: %s\n", f.Message.c_str());
            *ExitCode = EXIT_RUNTIME_FAILURE;
        } catch (const PartialCapture&) {
            *ExitCode = EXIT_RUNTIME_FAILURE;
        } catch (const InterruptedCapture& i) {
            std::fprintf(stderr, "z40k capture: interrupted after %u frames; stopped and saved\n", i.Frames);
            *ExitCode = z40k::EXIT_INTERRUPTED;
        }
    });
    return cmd;
}
