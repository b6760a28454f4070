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
#include "platform/usb_types.h"
#include "tools/z40k/frame_stream.h"
#include "tools/z40k/image_files.h"
#include "tools/z40k/interrupt.h"
#include "tools/z40k/output_paths.h"
#include "tools/z40k/picture_writers.h"
#include "tools/z40k/scene_option.h"
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
#include <thread>
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

std::string FrameName(const char* Prefix, uint64_t Index, const char* Extension) {
    char name[64];
    std::snprintf(name, sizeof name, "%s-%04llu.%s", Prefix, static_cast<unsigned long long>(Index),
                  Extension);
    return name;
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

// The combinations of options that cannot work, refused before anything runs.
void CheckCombinations(const CaptureOptions& Options) {
    if (Options.Scenes.size() > Options.Cameras)
        throw z40k::UsageError("--scene", z40k::Count(Options.Scenes.size(), "scene", "scenes") + " for " +
                                              z40k::Count(Options.Cameras, "camera", "cameras") +
                                              "; give it at most once per camera (--cameras)");
    if (Options.UnplugAfter > Options.Frames)
        throw z40k::UsageError("--unplug-after", std::to_string(Options.UnplugAfter) +
                                                     " is after the last frame; with -n " +
                                                     std::to_string(Options.Frames) + " it takes " +
                                                     z40k::RangeText(1, Options.Frames));
    if (Options.Directory.empty())
        throw z40k::UsageError("-o", "an empty name is no folder; - is standard output");
    // With -o - the frames go down a pipe and nothing else may: no folder, no pictures, no raw dumps,
    // and one camera's frames, since nothing in the stream says whose a frame is.
    if (!z40k::IsStandardOutput(Options.Directory)) {
        return;
    }
    if (Options.Format != "raw")
        throw z40k::UsageError("-o -", "standard output takes the raw frame buffers only; add --format raw");
    if (Options.SaveRaw)
        throw z40k::UsageError("-o -", "--save-raw writes files, and -o - writes none");
    if (Options.Cameras > 1)
        throw z40k::UsageError("-o -", "standard output takes one camera's frames; --cameras " +
                                           std::to_string(Options.Cameras) + " would interleave them");
    if (z40k::IsStandardOutput(Options.Trace))
        throw z40k::UsageError("--trace -", "standard output carries the frames with -o -");
}

// A recording plays back as the one camera it recorded, and is made in a file (the recorder replaces it
// whole, so it cannot stream to standard output).
void CheckRecordings(const CaptureOptions& Options) {
    if (z40k::IsStandardOutput(Options.Pcap))
        throw z40k::UsageError("--pcap -", "the recording is written to a file; name one");
    if (!Options.Replay.empty() && (Options.Cameras != 1 || !Options.Scenes.empty()))
        throw z40k::UsageError("--replay",
                               "a recording plays back as one camera, without --cameras or --scene");
}

// "the camera", or "camera 1" of several.
std::string CameraName(unsigned Index, unsigned Cameras) {
    return Cameras > 1 ? "camera " + std::to_string(Index) : std::string("the camera");
}

simcam::Scene LoadScene(const std::string& Name) {
    simcam::Scene scene;
    std::string error;
    if (!z40k::LoadSceneOption(Name, &scene, &error))
        throw z40k::RuntimeError(error);
    return scene;
}

// Shows frames captured, frames dropped and the frame rate on one line of the terminal.
class ProgressLine {
  public:
    explicit ProgressLine(unsigned Total) : total_(Total), live_(::isatty(STDERR_FILENO) != 0) {}
    void Start() { start_ = std::chrono::steady_clock::now(); }
    void Update(unsigned Captured, uint64_t Dropped) {
        updated_ = std::chrono::steady_clock::now();
        captured_ = Captured;
        dropped_ = Dropped;
        if (live_)
            std::fprintf(stderr, "\r%s", Text().c_str());
    }
    // The summary: the last counts, and where the frames went.
    void Finish(const std::string& Where) {
        const std::string text = Where.empty() ? Text() : Text() + ": " + Where;
        std::fprintf(stderr, live_ ? "\r%s\n" : "%s\n", text.c_str());
    }
    // Another message is about to be printed: the live line ends first.
    void Break() {
        if (live_)
            std::fputc('\n', stderr);
    }
    double Rate() const {
        const double seconds = std::chrono::duration<double>(updated_ - start_).count();
        return seconds > 0 ? captured_ / seconds : 0.0;
    }

  private:
    std::string Text() const {
        char text[128];
        std::snprintf(text, sizeof text, "captured %u/%u %s, %llu dropped, %.1f frames/s", captured_, total_,
                      total_ == 1 ? "frame" : "frames", static_cast<unsigned long long>(dropped_), Rate());
        return text;
    }
    unsigned total_;
    bool live_;
    unsigned captured_ = 0;
    uint64_t dropped_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point updated_ = start_; // the rate runs to the last update
};

// One camera's capture: its pin, its buffers and the reads queued in them, and what it has written.
struct CameraCapture {
    unsigned Number = 0; // in the run
    size_t Index = 0;    // in the session
    std::string Prefix;  // "frame", or "cam0-frame" with more than one camera
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
    // After the cameras, so that the writes still running end before their buffers go; none when each
    // picture is written on the reading thread.
    std::unique_ptr<z40k::PictureWriters> Writers;
    KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat = {};
    int Width = 0;
    int Height = 0;
    // Raw frames are written as the library's frame worker hands them on.
    unsigned RawWritten = 0;
    std::mutex RawMutex;
    std::string RawError;
    ProgressLine Counter;
    unsigned Total = 0;
    // Files the driver could not write, told from its threads and reported when the frames are in.
    std::mutex FileFailuresMutex;
    std::vector<rig::FileFailure> FileFailures;
    bool CameraRefused = false;  // a camera's pin did not run while the others' did
    bool RecordingNoted = false; // the recording's stop has been told
};

// A capture that wrote what it could but not for every camera: its reason was told as it happened.
struct PartialCapture {};

// Where the frames went, for the summary: "out/frame-0000.bmp to frame-0002.bmp", "standard output".
// The first and the last camera that took a frame name the range (a camera whose pin did not run took
// none).
std::string FramesWhere(const CaptureRun& Run) {
    if (Run.Pipe != nullptr)
        return "standard output";
    const CameraCapture* first = nullptr;
    const CameraCapture* last = nullptr;
    for (const CameraCapture& camera : Run.Cameras) {
        if (camera.Captured == 0)
            continue;
        first = first == nullptr ? &camera : first;
        last = &camera;
    }
    if (first == nullptr)
        return std::string();
    const char* extension = Run.Options.Format.c_str();
    const std::string firstName =
        Run.Options.Directory + "/" + FrameName(first->Prefix.c_str(), 0, extension);
    if (Run.Total == 1)
        return firstName;
    return firstName + " to " + FrameName(last->Prefix.c_str(), last->Captured - 1, extension);
}

// The picture format, and the pipe with -o -.
void ChooseOutput(CaptureRun& Run) {
    const CaptureOptions& options = Run.Options;
    if (options.Format == "png") {
        if (!z40k::PngSupported())
            throw z40k::UsageError("--format png", "this build cannot write PNG files");
        Run.Format = z40k::ImageFormat::Png;
    } else if (options.Format == "raw") {
        Run.Format = z40k::ImageFormat::Raw;
    }
    if (z40k::IsStandardOutput(options.Directory))
        Run.Pipe = std::make_unique<z40k::StandardOutputFrames>();
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
        throw z40k::RuntimeError(error);
    Run.Session.OnFileFailure([&Run](const rig::FileFailure& Failure) {
        std::lock_guard<std::mutex> lock(Run.FileFailuresMutex);
        Run.FileFailures.push_back(Failure);
    });
    if (Run.Session.ReplaySkipped() != 0)
        z40k::PrintWarning(options.Replay, std::to_string(Run.Session.ReplaySkipped()) + " of its " +
                                               std::to_string(Run.Session.ReplayRecords()) +
                                               " records are malformed and passed over");
    for (unsigned i = 0; i < options.Cameras; ++i) {
        const std::string& name = options.Scenes.empty()
                                      ? std::string("chart")
                                      : options.Scenes[std::min<size_t>(i, options.Scenes.size() - 1)];
        Run.Scenes.push_back(LoadScene(name));
    }
    if (options.Trace.empty())
        return;
    if (!Run.Trace.Open(options.Trace, Run.Session, &error))
        throw z40k::RuntimeError(error);
    z40k::TraceWriter& trace = Run.Trace;
    Run.Session.OnRegistryWrite([&trace](const rig::RegistryWrite& Write) { trace.RegistrySet(Write); });
    Run.Session.OnSrbCompleted([&trace](const streamclass::SrbEvent& Event) { trace.SrbCompleted(Event); });
}

// The camera's bring-up failed: say at which step.
[[noreturn]] void BringUpFailed(streamclass::Filter& Filter, const std::string& Camera, NTSTATUS Status) {
    const std::string status = StatusName(Status);
    if (!Filter.Loaded())
        throw z40k::RuntimeError("the driver", "did not load: " + status);
    if (Filter.DeviceExtension() == nullptr)
        throw z40k::RuntimeError(Camera, "could not be added: " + status);
    if (!Filter.Initialized())
        throw z40k::RuntimeError(Camera, "did not become ready: " + status);
    throw z40k::RuntimeError(Camera, "its streams could not be read: " + status);
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
    capture.Number = I;
    capture.Prefix = Run.Options.Cameras > 1 ? "cam" + std::to_string(I) + "-frame" : "frame";
    streamclass::Filter& filter = Run.Session.FilterOf(capture.Index);
    const std::string name = CameraName(I, Run.Options.Cameras);
    if (!NT_SUCCESS(status))
        BringUpFailed(filter, name, status);
    rig::CapturePin pin;
    const rig::PinOutcome opened = rig::OpenCapturePin(filter, &pin);
    if (opened.Failure != rig::PinFailure::None)
        throw z40k::RuntimeError(name, PinFailureMessage(opened));
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
        throw z40k::RuntimeError(error);
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
            Run.RawError = error;
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
        const std::string name = CameraName(camera.Number, Run.Options.Cameras);
        if (Run.Cameras.size() == 1)
            throw z40k::RuntimeError(name, why);
        // The others go on; this one is told about now and ends the capture's status later.
        z40k::PrintError(name, why);
        Run.CameraRefused = true;
    }
    if (std::none_of(Run.Cameras.begin(), Run.Cameras.end(),
                     [](const CameraCapture& C) { return C.Running; }))
        throw z40k::RuntimeError("the cameras", "none of their capture pins ran");
    Run.Counter.Start();
    for (CameraCapture& camera : Run.Cameras) {
        if (!camera.Running)
            continue;
        const size_t buffers = std::min<size_t>(Run.Options.Buffers, std::max(Run.Options.Frames, 1u));
        camera.Buffers.assign(buffers, std::vector<uint8_t>(Run.VideoFormat.DataFormat.SampleSize));
        QueueReads(camera, std::vector<bool>(buffers, true));
    }
}

// A buffer's token for the picture writers: which camera, which of its buffers.
constexpr size_t BUFFER_TOKENS = 64; // more than --buffers allows

// Writes one frame that has come into buffer Buffer: a picture file (on a writer thread when there are
// any: the buffer is then queued again once the file is written), or down the pipe. False with *Failure
// set when it could not be; a pipe whose reader has had all it wanted fails with no message.
bool WriteFrame(CaptureRun& Run, CameraCapture& Camera, size_t Buffer, std::string* Failure) {
    const std::vector<uint8_t>& buffer = Camera.Buffers[Buffer];
    const bool raw = Run.Format == z40k::ImageFormat::Raw;
    // Pictures are the whole image; the raw format is the request's buffer as the driver filled it.
    const size_t length = raw ? buffer.size() : size_t(Run.Width) * size_t(Run.Height) * 3;
    std::string error;
    if (Run.Pipe != nullptr) {
        if (!Run.Pipe->Write(buffer.data(), length, &error)) {
            *Failure = error;
            return false;
        }
        return true;
    }
    const std::string path = Run.Options.Directory + "/" +
                             FrameName(Camera.Prefix.c_str(), Camera.Captured, Run.Options.Format.c_str());
    auto write = [&Run, &buffer, path, length]() {
        std::string error;
        z40k::WriteImageFile(path, Run.Format, buffer.data(), length, Run.Width, Run.Height, &error);
        return error;
    };
    if (Run.Writers != nullptr) {
        Run.Writers->Write(Camera.Number * BUFFER_TOKENS + Buffer, write);
        *Failure = Run.Writers->Failure();
    } else {
        *Failure = write();
    }
    return Failure->empty();
}

// Queues a read again in every buffer whose picture is written, for a camera that wants more frames.
void RequeueWritten(CaptureRun& Run) {
    for (const size_t token : Run.Writers->TakeFinished()) {
        CameraCapture& camera = Run.Cameras[token / BUFFER_TOKENS];
        if (camera.Unplugged || camera.Captured + camera.Reads.size() >= Run.Options.Frames)
            continue;
        std::vector<bool> free(camera.Buffers.size(), false);
        free[token % BUFFER_TOKENS] = true;
        QueueReads(camera, free);
    }
}

// With every buffer of the camera still being written, waits for one. False when none will come back.
bool AwaitBuffer(CaptureRun& Run, CameraCapture& Camera) {
    while (Camera.Reads.empty()) {
        if (Run.Writers == nullptr || !Run.Writers->WaitForFinished())
            return false;
        RequeueWritten(Run);
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
    z40k::PrintWarning("--pcap " + Run.Options.Pcap, stopped);
}

// Waits for the camera's oldest read and writes its frame; then pulls the camera out when the options
// say so after this many frames, or queues the buffer again. False when the capture must end: *Failure
// says why (empty for a pipe's reader that stopped reading).
bool TakeFrame(CaptureRun& Run, CameraCapture& Camera, std::string* Failure) {
    if (!AwaitBuffer(Run, Camera)) {
        *Failure = Run.Writers != nullptr ? Run.Writers->Failure() : std::string();
        return false;
    }
    auto [bufferIndex, read] = std::move(Camera.Reads.front());
    Camera.Reads.pop_front();
    const NTSTATUS status = read->Wait();
    read.reset();
    if (!NT_SUCCESS(status)) {
        const std::string camera =
            Run.Options.Cameras > 1 ? CameraName(Camera.Number, Run.Options.Cameras) + ", " : "";
        *Failure = camera + "frame " + std::to_string(Camera.Captured) + ": not read: " + StatusName(status);
        const std::string idle = Run.Session.ReplayIdle();
        if (!idle.empty())
            *Failure += " (" + idle + ")";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(Run.RawMutex);
        if (!Run.RawError.empty()) {
            *Failure = Run.RawError;
            return false;
        }
    }
    if (!WriteFrame(Run, Camera, bufferIndex, Failure))
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
        *Failure = CameraName(Camera.Number, Run.Options.Cameras) + ": unplugged after " +
                   z40k::Count(Camera.Captured, "frame", "frames") + " (" + FramesWhere(Run) + ")";
        return false;
    }
    if (Run.Writers != nullptr) {
        RequeueWritten(Run);
    } else if (Camera.Captured + Camera.Reads.size() < Run.Options.Frames) {
        std::vector<bool> free(Camera.Buffers.size(), false);
        free[bufferIndex] = true;
        QueueReads(Camera, free);
    }
    return true;
}

// On the real clock pictures are written on threads of their own, one per core while a buffer is left
// to read into, so that a picture that takes longer than a frame time to deflate does not lose the next
// frames. On the virtual clock the reading thread writes them: the clock counts that thread's work as
// taking no time, so a run repeats exactly.
std::unique_ptr<z40k::PictureWriters> StartWriters(const CaptureRun& Run) {
    const unsigned threads =
        std::min(std::max(std::thread::hardware_concurrency(), 1u), Run.Options.Buffers - 1);
    if (Run.Options.Clock == "virtual" || Run.Pipe != nullptr || threads == 0)
        return nullptr;
    return std::make_unique<z40k::PictureWriters>(threads);
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
        throw z40k::RuntimeError(error);
    if (Run.Trace.IsOpen() && !Run.Trace.Commit(&error))
        throw z40k::RuntimeError(error);
    NoteRecordingStop(Run);
    if (!Run.Session.CloseRecording(&error))
        throw z40k::RuntimeError(error);
}

// Files the driver could not write: it went on without them, and the user is told.
void WarnFileFailures(CaptureRun& Run) {
    std::lock_guard<std::mutex> lock(Run.FileFailuresMutex);
    for (const rig::FileFailure& failure : Run.FileFailures)
        z40k::WarnFileFailure(failure);
    Run.FileFailures.clear();
}

// Output folders and files checked before anything runs: -o made when missing (in a folder that exists),
// --drive-c left for the driver's first file but its folder checked, the recording's folder checked.
// Returns whether -o was made.
bool PrepareFolders(const CaptureOptions& Options) {
    if (!Options.DriveC.empty())
        z40k::PrepareOutputFolder(Options.DriveC, "drive C", false, false);
    if (!Options.Pcap.empty())
        z40k::CheckOutputFile(Options.Pcap, "recording");
    if (z40k::IsStandardOutput(Options.Directory))
        return false;
    return z40k::PrepareOutputFolder(Options.Directory, "the frames", true, true);
}

void RunCapture(const CaptureOptions& Options) {
    CaptureRun run(Options);
    ChooseOutput(run);
    // From here on a signal ends the capture between frames, through the normal stop.
    z40k::InterruptScope interruptScope;
    MadeFolder folder{Options.Directory, PrepareFolders(Options)};
    OpenSession(run);
    run.Cameras.resize(Options.Cameras);
    for (unsigned i = 0; i < Options.Cameras; ++i)
        StartCamera(run, i);
    run.Width = run.VideoFormat.VideoInfoHeader.bmiHeader.biWidth;
    run.Height = std::abs(run.VideoFormat.VideoInfoHeader.bmiHeader.biHeight);
    SaveRawFrames(run);
    run.Writers = StartWriters(run);
    RunPins(run);
    std::string failure = ReadFrames(run);
    if (run.Writers != nullptr) {
        run.Writers->WaitForAll();
        if (failure.empty())
            failure = run.Writers->Failure();
    }
    run.Counter.Update(run.Total, DroppedFrames(run));
    const NTSTATUS stopStatus = StopPins(run);
    WarnFileFailures(run);
    if (!failure.empty())
        throw z40k::RuntimeError(failure);
    if (!NT_SUCCESS(stopStatus))
        throw z40k::RuntimeError("the camera",
                                 "did not stop cleanly; settings not saved: " + StatusName(stopStatus));
    run.Counter.Finish(FramesWhere(run));
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
        ->check(z40k::WholeNumber(1, 1000000000))
        ->capture_default_str();
    Cmd->add_option("-o,--output", Options->Directory,
                    "folder for the pictures, made if missing; - for the raw frames on standard output")
        ->capture_default_str();
    Cmd->add_option("--format", Options->Format, "picture format")
        ->check(z40k::OneOf({"bmp", "png", "raw"}))
        ->capture_default_str();
    Cmd->add_flag("--mono", Options->Mono, "grey pictures (the camera's colour output switched off)");
    Cmd->add_option("--registry", Options->Registry,
                    "registry file (.reg) the settings are loaded from and saved to; created if missing");
    Cmd->add_option("--drive-c", Options->DriveC, "host folder that stands in for C:\\");
    // One value each time, so that a second word is not taken for a second camera's scene.
    Cmd->add_option("--scene", Options->Scenes,
                    "what the camera sees: chart (default), or a BMP or PNG file; once per camera")
        ->allow_extra_args(false);
    Cmd->add_option("--buffers", Options->Buffers,
                    "reads kept queued, so frames are not lost while one is written")
        ->check(z40k::WholeNumber(1, 64))
        ->capture_default_str();
    Cmd->add_option("--camera-fps", Options->CameraFps,
                    "the simulated camera's frame rate (the driver still advertises 15)")
        ->check(z40k::Decimal(rig::CAMERA_FPS_MIN, rig::CAMERA_FPS_MAX))
        ->capture_default_str();
}

// The bytes a microframe a high-speed isochronous pipe may carry: 1 to 3 equal transactions of at most
// 1,024 bytes each, so 1..1024, an even count up to 2048 or a multiple of 3 up to 3072.
static CLI::Validator PacketSizeCheck() {
    const CLI::Validator range = z40k::WholeNumber(1, 3 * USB_HIGH_SPEED_ISOCH_MAX_PACKET);
    return CLI::Validator(
        [range](std::string& Text) {
            std::string why = range(Text);
            if (why.empty() && !rig::ValidPacketSize(static_cast<uint32_t>(std::stoul(Text))))
                why = Text + " is not 1 to 3 equal transactions of at most 1024 bytes; it takes 1..1024, an "
                             "even 1026..2048 or a multiple of 3 in 2049..3072";
            return why;
        },
        "1..3072");
}

// The cameras of the run, its clock, its trace and the driver it loads.
static void AddRunOptions(CLI::App* Cmd, CaptureOptions* Options) {
    Cmd->add_option("--cameras", Options->Cameras, "cameras streaming at once through the one driver")
        ->check(z40k::WholeNumber(1, 8))
        ->capture_default_str();
    Cmd->add_option("--unplug-after", Options->UnplugAfter, "pull the camera out after this many frames")
        ->check(z40k::WholeNumber(1, 1000000000));
    Cmd->add_option("--packet-size", Options->PacketSize,
                    "bytes a microframe the camera's data pipe carries in its capture setting")
        ->check(PacketSizeCheck())
        ->capture_default_str();
    Cmd->add_option(
           "--bus", Options->Bus,
           "faithful: USB 2.0 high speed, a bus per camera; shared: the cameras on one; ideal: no limits")
        ->check(z40k::OneOf({"faithful", "shared", "ideal"}))
        ->capture_default_str();
    Cmd->add_option("--pcap", Options->Pcap,
                    "record the USB traffic into this file (USBPcap, for Wireshark)");
    Cmd->add_option("--pcap-limit", Options->PcapLimitMib, "most MiB the recording may take")
        ->check(z40k::WholeNumber(1, 1 << 20))
        ->capture_default_str();
    Cmd->add_option("--replay", Options->Replay, "play this USBPcap recording back as the camera");
    Cmd->add_option("--clock", Options->Clock, "real: the camera's own pace; virtual: as fast as possible")
        ->check(z40k::OneOf({"real", "virtual"}))
        ->capture_default_str();
    Cmd->add_option("--trace", Options->Trace,
                    "write a JSON Lines trace of the driver's traffic; - for standard output");
    Cmd->add_flag("--save-raw", Options->SaveRaw, "also write each raw frame as the camera sent it");
    Cmd->add_option("--set", Options->Sets, "set a property before capture starts, e.g. exposure=1200")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    Cmd->add_option("--driver", Options->Driver,
                    "load this z40k.sys (i386 driver image; 32-bit build) instead of the built-in driver");
    Cmd->add_option("--windows", Options->Windows,
                    "act as this Windows: its loader refuses a driver that imports what it lacks, and the "
                    "kernel's lookup by name finds only what it exports")
        ->check(z40k::OneOf({"xp", "vista", "7", "10"}))
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
        CheckCombinations(*options);
        CheckRecordings(*options);
        ParsePropertyAssignments(options->Sets, &options->Assignments);
        try {
            RunCapture(*options);
            *ExitCode = 0;
        } catch (const PartialCapture&) {
            *ExitCode = z40k::EXIT_RUNTIME_FAILURE;
        } catch (const InterruptedCapture& i) {
            z40k::PrintError("interrupted", "stopped after " + z40k::Count(i.Frames, "frame", "frames") +
                                                ", the settings and the trace saved");
            *ExitCode = z40k::EXIT_INTERRUPTED;
        }
    });
    return cmd;
}
