#include "host/rig/session.h"

#include "host/bus/periodic_schedule.h"
#include "host/bus/replay_device.h"
#include "host/bus/usbpcap_writer.h"
#include "host/cameralib/trace_json.h"
#include "host/kernel/kernel_host.h"
#include "host/rig/inf_file.h"
#include "host/rig/inf_install.h"
#include "host/rig/pe_loader.h"
#include "host/rig/rig.h"
#include "host/simcam/usb_ids.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

namespace rig {
namespace {

// "FILE: ACTION: WHY" from the kernel's "FILE: WHY"; a reason that names a line of the file
// ("FILE:3: ...") says what is wrong with it already.
std::string RegistryFileError(const std::string& File, const char* Action, const std::string& Reason) {
    const std::string prefix = File + ": ";
    if (Reason.compare(0, prefix.size(), prefix) != 0)
        return Reason;
    return prefix + Action + ": " + Reason.substr(prefix.size());
}

// The registry at the start of a session: the file when it exists; when it does not, an empty registry
// for a session that will write the file (whose folder must then exist and take it, found out now rather
// than after every frame was taken; it is not made), and a refusal for one that only reads.
bool LoadRegistry(const SessionOptions& Options, std::string* Error) {
    const std::string& file = Options.Registry;
    if (file.empty())
        return true;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        if (!Options.SavesRegistry) {
            *Error = file + ": cannot read the registry: " + std::strerror(ENOENT);
            return false;
        }
        const int reason = FolderRefusesFiles(std::filesystem::path(file).parent_path().string());
        if (reason != 0) {
            *Error = file + ": cannot write the registry: " + std::strerror(reason);
            return false;
        }
        return true;
    }
    std::string reason;
    if (!host::RegistryLoadFile(file, &reason)) {
        *Error = RegistryFileError(file, "cannot read the registry", reason);
        return false;
    }
    return true;
}

// An INF's text: only a regular file of at most INF_FILE_LIMIT bytes, since a device or a FIFO named
// there could be read without end.
bool ReadInfFile(const std::string& File, std::string* Text, std::string* Error) {
    const std::string what = File + ": cannot read the INF: ";
    struct stat info;
    if (::stat(File.c_str(), &info) != 0) {
        *Error = what + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode) || uint64_t(info.st_size) > INF_FILE_LIMIT) {
        *Error =
            what + (S_ISREG(info.st_mode) ? "larger than " + std::to_string(INF_FILE_LIMIT >> 20) + " MiB"
                                          : std::string("not a regular file"));
        return false;
    }
    std::ifstream in(File, std::ios::binary);
    if (!in) {
        *Error = what + std::strerror(errno);
        return false;
    }
    // One byte more than its size is asked for: getting it means the file grew after the check.
    Text->assign(size_t(info.st_size) + 1, '\0');
    in.read(&(*Text)[0], std::streamsize(Text->size()));
    if (in.bad() || size_t(in.gcount()) > size_t(info.st_size)) {
        *Error = what + "it changed while it was read";
        return false;
    }
    Text->resize(size_t(in.gcount()));
    return true;
}

BusOptions BusesFor(const SessionOptions& Options, bus::UsbPcapWriter* Recorder) {
    BusOptions buses;
    buses.Model = Options.Bus == BusMode::Ideal ? bus::BusModel::Ideal : bus::BusModel::HighSpeed;
    buses.Shared = Options.Bus == BusMode::Shared;
    buses.Recorder = Recorder;
    return buses;
}

// The INF the options name, or the built-in one; the driver image, when given, is the package's z40k.sys.
bool InfOf(const SessionOptions& Options, InfSource* Out, std::string* Error) {
    *Out = BuiltInInf();
    if (!Options.Inf.empty()) {
        Out->Name = Options.Inf;
        if (!ReadInfFile(Options.Inf, &Out->Text, Error))
            return false;
    }
    if (!Options.DriverImage.empty())
        Out->Files["z40k.sys"] = Options.DriverImage;
    return true;
}

// The driver the installed service names: the copied image, or, with no image given, the driver linked in,
// which is z40k.sys.
bool InstalledEntry(const SessionOptions& Options, const InfSource& Inf, const InstalledDriver& Installed,
                    pe::LoadedDriver* Image, bool* ImageLoaded, PDRIVER_INITIALIZE* Entry,
                    std::string* Error) {
    const std::string name = Installed.ImagePath.substr(Installed.ImagePath.rfind('\\') + 1);
    if (Options.DriverImage.empty()) {
        if (strcasecmp(name.c_str(), "z40k.sys") != 0) {
            *Error =
                Inf.Name + ": installs " + Installed.ImagePath + ", not the z40k.sys built into this program";
            return false;
        }
        *Entry = DriverEntry;
        return true;
    }
    std::string reason;
    if (Installed.DriverFile.empty() ||
        !pe::LoadDriver(Installed.DriverFile, Options.Target, Image, &reason)) {
        *Error = Options.DriverImage + ": " +
                 (Installed.DriverFile.empty() ? "not the file the service loads" : reason);
        return false;
    }
    *ImageLoaded = true;
    *Entry = Image->DriverEntry;
    return true;
}

FrameRecord FromLibrary(const cameralib::FrameRecord& Frame) {
    return FrameRecord{Frame.TimeUs, Frame.Index, Frame.Bytes, Frame.Dropped, Frame.Still, Frame.Packets};
}

} // namespace

int FolderRefusesFiles(const std::string& Folder) {
    const std::string folder = Folder.empty() ? std::string(".") : Folder;
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    return ::access(folder.c_str(), W_OK) != 0 ? errno : 0;
}

bool BootHost(const SessionOptions& Options, std::string* Error) {
    host::ResetKernel();
    host::PoolSetLookaside(Options.Lookaside);
    host::ClockSetMode(Options.VirtualClock ? host::ClockMode::Virtual : host::ClockMode::Real);
    host::SetWindowsTarget(Options.Target);
    if (!Options.DriveC.empty())
        host::FilesSetDriveC(Options.DriveC);
    return LoadRegistry(Options, Error);
}

bool ValidPacketSize(uint32_t Bytes) {
    uint16_t unused = 0;
    return bus::EncodeMaxPacketSize(Bytes, &unused);
}

struct Session::Parts {
    SessionOptions Options;
    // Outlives the rig, whose buses feed it to the last request of the last camera.
    bus::UsbPcapWriter Recording;
    std::shared_ptr<const bus::UsbRecording> Replay;
    const bus::ReplayDevice* Player = nullptr; // the rig owns it
    // Released last, after the rig has unloaded the driver from it.
    pe::LoadedDriver Image;
    bool ImageLoaded = false;
    std::unique_ptr<Rig> Cameras;

    ~Parts() {
        Cameras.reset();
        std::string unused;
        Recording.Close(&unused);
        host::RegistrySetObserver(nullptr);
        host::FilesSetFailureObserver(nullptr);
        streamclass::SetSrbObserver(nullptr);
        if (ImageLoaded)
            pe::UnloadDriver(&Image);
    }
};

std::string HexBytes(const std::vector<uint8_t>& Bytes) {
    return cameralib::HexBytes(Bytes);
}

Session::Session() : parts_(new Parts) {}

Session::~Session() = default;

bool Session::Open(const SessionOptions& Options, std::string* Error) {
    parts_->Options = Options;
    InfSource inf;
    InstalledDriver installed;
    PDRIVER_INITIALIZE entry = nullptr;
    if (!InfOf(Options, &inf, Error) || !BootHost(Options, Error) ||
        !InstallFromInf(inf, simcam::UsbHardwareId(), host::DriverKeyPath(), &installed, Error) ||
        !InstalledEntry(Options, inf, installed, &parts_->Image, &parts_->ImageLoaded, &entry, Error))
        return false;
    if (!Options.Replay.empty() && !bus::LoadUsbPcap(Options.Replay, &parts_->Replay, Error))
        return false;
    if (!Options.Pcap.empty() && !parts_->Recording.Open(Options.Pcap, Options.PcapLimit, Error))
        return false;
    parts_->Cameras =
        std::make_unique<Rig>(entry, BusesFor(Options, Options.Pcap.empty() ? nullptr : &parts_->Recording));
    return true;
}

NTSTATUS Session::Plug(const CameraOptions& Options, size_t* Index, const AddedCall& Added) {
    if (parts_->Replay != nullptr) {
        if (parts_->Cameras->Cameras() != 0)
            return STATUS_NOT_SUPPORTED;
        auto player = std::make_unique<bus::ReplayDevice>(parts_->Replay);
        parts_->Player = player.get();
        return parts_->Cameras->PlugDevice(std::move(player), Index, Added);
    }
    simcam::CameraConfig config;
    config.DataPacketSize = Options.PacketSize;
    config.FramesPerSecond = Options.FramesPerSecond;
    config.NeverReady = Options.NeverReady;
    Rig::AddedCall added;
    if (Added)
        added = [Added](streamclass::Filter& Filter, simcam::SimulatedCamera&) { Added(Filter); };
    return parts_->Cameras->Plug(config, Index, added);
}

size_t Session::Cameras() const {
    return parts_->Cameras == nullptr ? 0 : parts_->Cameras->Cameras();
}

streamclass::Filter& Session::FilterOf(size_t Index) {
    return parts_->Cameras->FilterOf(Index);
}

void Session::SetScene(size_t Index, simcam::Scene Picture) {
    parts_->Cameras->SetScene(Index, std::move(Picture));
}

void Session::PlayRawFrame(size_t Index, std::vector<uint8_t> Frame) {
    if (simcam::SimulatedCamera* camera = parts_->Cameras->CameraOf(Index))
        camera->SetRawFrame(std::move(Frame));
}

std::string Session::BandwidthRefusal(size_t Index) {
    bus::Port* port = parts_->Cameras->PortOf(Index);
    return port == nullptr ? std::string() : port->BandwidthRefusal();
}

uint64_t Session::ReplaySkipped() const {
    return parts_->Replay == nullptr ? 0 : parts_->Replay->Skipped;
}

uint64_t Session::ReplayRecords() const {
    return parts_->Replay == nullptr ? 0 : parts_->Replay->Records;
}

std::string Session::ReplayIdle() const {
    return parts_->Player == nullptr ? std::string() : parts_->Player->Idle();
}

std::string Session::RecordingStopped() const {
    return parts_->Recording.Stopped();
}

bool Session::CloseRecording(std::string* Error) {
    return parts_->Recording.Close(Error);
}

CameraCounters Session::Counters(size_t Index) {
    const CameraStatistics stats = parts_->Cameras->Statistics(Index);
    CameraCounters counters;
    counters.FramesSent = stats.Camera.FramesSent;
    counters.PacketsLost = stats.Camera.PacketsLost;
    counters.FramesDelivered = stats.Stream.FramesDelivered;
    counters.FramesDropped = stats.Stream.FramesDropped;
    return counters;
}

NTSTATUS Session::Unplug(size_t Index) {
    return parts_->Cameras->Unplug(Index);
}

NTSTATUS Session::Remove(size_t Index) {
    return parts_->Cameras->Remove(Index);
}

void Session::OnFrame(size_t Index, std::function<void(const FrameRecord&)> Observer) {
    parts_->Cameras->SetFrameObserver(
        Index, [Observer](const cameralib::FrameRecord& Frame) { Observer(FromLibrary(Frame)); });
}

void Session::OnRawFrame(size_t Index,
                         std::function<void(uint64_t Index, const uint8_t* Data, size_t Length)> Observer) {
    parts_->Cameras->SetRawFrameObserver(Index, std::move(Observer));
}

void Session::OnBandwidthCall(size_t Index, std::function<void()> Observer) {
    parts_->Cameras->SetBandwidthCallObserver(Index, std::move(Observer));
}

void Session::OnRegistryWrite(std::function<void(const RegistryWrite&)> Observer) {
    if (!Observer) {
        host::RegistrySetObserver(nullptr);
        return;
    }
    host::RegistrySetObserver(
        [Observer](const std::string& Key, const std::string& Name, const host::RegistryValue& Value) {
            Observer(RegistryWrite{Key, Name, Value.Type, Value.Data});
        });
}

void Session::OnFileFailure(std::function<void(const FileFailure&)> Observer) {
    if (!Observer) {
        host::FilesSetFailureObserver(nullptr);
        return;
    }
    host::FilesSetFailureObserver([Observer](const host::FileFailure& Failure) {
        Observer(FileFailure{Failure.Name, Failure.HostPath, Failure.Call, Failure.Status, Failure.Errno});
    });
}

void Session::OnSrbCompleted(std::function<void(const streamclass::SrbEvent&)> Observer) {
    streamclass::SetSrbObserver(std::move(Observer));
}

void Session::TakeRequestRecords(PVOID DeviceExtension,
                                 const std::function<void(int64_t TimeUs, const std::string& Json)>& Line) {
    rig::TakeRequestRecords(DeviceExtension, Line);
}

int64_t Session::NowMicroseconds() const {
    return host::ClockNowMicroseconds();
}

bool Session::SaveSettings(std::string* Error) {
    const SessionOptions& options = parts_->Options;
    if (!options.SavesRegistry || options.Registry.empty())
        return true;
    std::string reason;
    if (!host::RegistrySaveFile(options.Registry, &reason)) {
        *Error = RegistryFileError(options.Registry, "cannot write the registry", reason);
        return false;
    }
    return true;
}

} // namespace rig
