#include "host/rig/session.h"

#include "host/bus/periodic_schedule.h"
#include "host/bus/replay_device.h"
#include "host/bus/usbpcap_writer.h"
#include "host/cameralib/trace_json.h"
#include "host/kernel/kernel_host.h"
#include "host/rig/inf_install.h"
#include "host/rig/pe_loader.h"
#include "host/rig/rig.h"
#include "host/simcam/usb_ids.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <strings.h>
#include <unistd.h>

namespace rig {
namespace {

// The registry at the start of a session: the file when it exists; when it does not, an empty registry
// for a session that will write the file (whose folder must then take it, found out now rather than
// after every frame was taken), and a refusal for one that only reads.
bool LoadRegistry(const SessionOptions& Options, std::string* Error) {
    const std::string& file = Options.Registry;
    if (file.empty())
        return true;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        if (!Options.SavesRegistry) {
            *Error = "cannot read the registry " + file + ": " + std::strerror(ENOENT);
            return false;
        }
        std::filesystem::path folder = std::filesystem::path(file).parent_path();
        if (folder.empty())
            folder = ".";
        if (!std::filesystem::is_directory(folder, ec) || ::access(folder.c_str(), W_OK) != 0) {
            *Error = "cannot write the registry " + file + ": " + folder.string() +
                     " is not a folder that can be written";
            return false;
        }
        return true;
    }
    std::string reason;
    if (!host::RegistryLoadFile(file, &reason)) {
        *Error = "cannot read the registry " + file + ": " + reason;
        return false;
    }
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
        std::ifstream in(Options.Inf, std::ios::binary);
        if (!in) {
            *Error = "cannot read the INF " + Options.Inf;
            return false;
        }
        Out->Name = Options.Inf;
        Out->Text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!Options.DriverImage.empty())
        Out->Files["z40k.sys"] = Options.DriverImage;
    return true;
}

// The driver the installed service names: the copied image, or, with no image given, the driver linked in,
// which is z40k.sys.
bool InstalledEntry(const SessionOptions& Options, const InstalledDriver& Installed, pe::LoadedDriver* Image,
                    bool* ImageLoaded, PDRIVER_INITIALIZE* Entry, std::string* Error) {
    const std::string name = Installed.ImagePath.substr(Installed.ImagePath.rfind('\\') + 1);
    if (Options.DriverImage.empty()) {
        if (strcasecmp(name.c_str(), "z40k.sys") != 0) {
            *Error = "the INF installs " + Installed.ImagePath + ", not the z40k.sys built into this program";
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
        !InstalledEntry(Options, installed, &parts_->Image, &parts_->ImageLoaded, &entry, Error))
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
        *Error = "cannot write the registry " + options.Registry + ": " + reason;
        return false;
    }
    return true;
}

} // namespace rig
