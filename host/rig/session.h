// One host session, as the z40k program and the component tests bring the machine up around the driver:
// the kernel stand-in reset, its clock, drive C and registry set up, the driver chosen (the one linked in,
// or a z40k.sys through the loader), cameras plugged in through the rig, and at the end the settings
// saved and everything taken down in order. An application reaches everything below through a session
// and the stream class client (host/streamclass/client.h); it needs nothing of the kernel stand-in, the
// camera class library or the simulated camera's insides.
#pragma once

#include "host/kernel/system_routines.h"
#include "host/rig/capture_pin.h"
#include "host/simcam/scene.h"
#include "host/simcam/sensor.h"
#include "host/streamclass/client.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rig {

class Rig;

// The buses a session's cameras are on.
enum class BusMode {
    Faithful, // USB 2.0 high speed, a bus per camera: the camera's rate follows its alternate setting
    Shared,   // USB 2.0 high speed, every camera on one bus: they share its periodic bandwidth
    Ideal,    // no microframes and no reservations: the cameras send at their own pace
};

struct SessionOptions {
    bool VirtualClock = false;
    BusMode Bus = BusMode::Faithful;
    // Everything that crosses the buses is recorded into this USBPcap file (empty: nothing), at most
    // PcapLimit bytes of it.
    std::string Pcap;
    uint64_t PcapLimit = uint64_t{4} << 30;
    // A USBPcap recording the session's one camera plays back instead of a simulated camera.
    std::string Replay;
    std::string DriveC;   // the host folder behind \DosDevices\C:\ (empty: ./drive-c)
    std::string Registry; // the settings' .reg file (empty: none, the registry starts empty)
    // Whether SaveSettings writes the registry file back. A session that saves starts from an empty
    // registry when the file does not exist yet, once its folder is known to take the file; one that
    // only reads refuses a file that does not exist.
    bool SavesRegistry = false;
    std::string DriverImage; // a z40k.sys to load and run instead of the driver linked in (i386 hosts)
    std::string Inf;         // the INF to install from (empty: the project's z40k.inf, built in)
    // The Windows the host acts as: its loader refuses an image importing what that version lacks, and
    // the kernel's lookup by name finds only what it exports.
    host::WindowsTarget Target = host::WindowsTarget::Ten;
    // Freed pool blocks kept for the next allocation of their size, as a lookaside list keeps them: the
    // 5.9 MB scratch frame of every frame then needs no fresh mapping.
    bool Lookaside = true;
};

// The host as a freshly booted machine for a session: the kernel stand-in reset, its clock, drive C and
// the registry as Options say (the driver image aside). False with *Error set when the registry file
// cannot be used. Session::Open starts with it; a test that drives the stack by hand may call it alone.
bool BootHost(const SessionOptions& Options, std::string* Error);

// Why a new file cannot be made in Folder (empty: the current folder), as an errno value: it is missing,
// not a folder, or cannot be written. 0 when it can. Outputs are checked with it before a camera runs, and
// a missing folder is never made for them.
int FolderRefusesFiles(const std::string& Folder);

// The pace a camera may be given. The library fails a read that has waited 16 frame times of the format
// (the driver advertises 15 frames a second: about 1.1 s) for a frame, so a camera slower than one frame
// a second fails every read; well below the top the bus sets the pace, not the camera.
constexpr double CAMERA_FPS_MIN = 1;
constexpr double CAMERA_FPS_MAX = 1000;

// What a camera is like when it is plugged in.
struct CameraOptions {
    // The data pipe's bytes per microframe in alternate setting 0: 1 to 3 transactions of at most
    // 1,024 bytes each (ValidPacketSize); the real camera's 3 x 1,024 by default.
    uint16_t PacketSize = 3 * 1024;
    double FramesPerSecond = 15; // CAMERA_FPS_MIN..CAMERA_FPS_MAX
    bool NeverReady = false; // its status word never says ready
};

// Whether a high-speed isochronous endpoint can carry Bytes per microframe (1 to 3 equal transactions of
// at most 1,024 bytes).
bool ValidPacketSize(uint32_t Bytes);

// One frame the camera class library finished: delivered into a read, or dropped.
struct FrameRecord {
    int64_t TimeUs;
    uint64_t Index;
    uint32_t Bytes; // delivered: what the driver reported; dropped: what was assembled
    bool Dropped;
    bool Still;
    uint32_t Packets; // packets the camera sent it in
};

struct CameraCounters {
    uint64_t FramesSent = 0;      // frames the camera began to send
    uint64_t FramesDelivered = 0; // frames converted into reads
    uint64_t FramesDropped = 0;   // frames lost on the way, spoiled or not taken by a read
    uint64_t PacketsLost = 0;     // packets the camera sent while no transfer waited
};

// A value the driver wrote to the registry.
struct RegistryWrite {
    std::string Key;
    std::string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

// A file below drive C that the driver could not create or write.
struct FileFailure {
    std::string Name;     // as the driver named it: \DosDevices\C:\DS-test.raw
    std::string HostPath; // the host file that stands for it
    std::string Call;     // ZwCreateFile or ZwWriteFile
    NTSTATUS Status;      // what the driver was answered
    int Errno;            // the host's reason
};

// Two lower-case hex digits per byte, in order, as the library's records write data.
std::string HexBytes(const std::vector<uint8_t>& Bytes);

class Session {
  public:
    Session();
    ~Session(); // removes the cameras, unloads the driver and its image, and lets go of every observer
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Boots the host for the session and installs the driver from its INF for the camera's hardware ID:
    // the driver key's and the service key's values, and the driver image (when one is given) copied to
    // where the service's image path names it, from where it is then loaded. False with *Error set (one
    // line, without the program's name) when the registry file, the INF, the driver image, the recording
    // to write or the one to play back cannot be used. Nothing of the driver has run by then.
    bool Open(const SessionOptions& Options, std::string* Error);

    // ---- cameras ----
    // Plugs a camera in and brings it up to its stream information; the driver loads with the first.
    // Added, when given, is called once the camera has its filter, before any request reaches the
    // driver. On failure the camera stays as far as it came: its filter tells how far. With a recording
    // to play back the camera is the recording (Options do not apply), and there is only the one.
    using AddedCall = std::function<void(streamclass::Filter&)>;
    NTSTATUS Plug(const CameraOptions& Options, size_t* Index, const AddedCall& Added = nullptr);
    size_t Cameras() const;
    streamclass::Filter& FilterOf(size_t Index);
    void SetScene(size_t Index, simcam::Scene Picture);
    // A recorded raw frame the camera plays back instead of what its sensor makes of the scene.
    void PlayRawFrame(size_t Index, std::vector<uint8_t> Frame);
    CameraCounters Counters(size_t Index);
    // Why the bus refused the camera's last alternate setting (one line), or empty.
    std::string BandwidthRefusal(size_t Index);
    NTSTATUS Unplug(size_t Index); // pulled out without warning
    NTSTATUS Remove(size_t Index); // an orderly removal

    // ---- observing ----
    // Each is called in whatever thread the event happens in; all are dropped when the session ends.
    void OnFrame(size_t Index, std::function<void(const FrameRecord&)> Observer);
    // The raw frame proper as each delivered frame had it, before the driver converts it.
    void OnRawFrame(size_t Index,
                    std::function<void(uint64_t Index, const uint8_t* Data, size_t Length)> Observer);
    // Around each bandwidth allocation and release (the alternate-setting selections happen inside).
    void OnBandwidthCall(size_t Index, std::function<void()> Observer);
    void OnRegistryWrite(std::function<void(const RegistryWrite&)> Observer);
    void OnSrbCompleted(std::function<void(const streamclass::SrbEvent&)> Observer);
    // A file the driver could not create or write: it goes on without it (the one-time grey dump does),
    // so an application that wants to say so is told here.
    void OnFileFailure(std::function<void(const FileFailure&)> Observer);
    // The library's records of the vendor requests and alternate settings it sent the camera whose device
    // extension this is, since the last call, in time order (as rig::TakeRequestRecords).
    static void TakeRequestRecords(PVOID DeviceExtension,
                                   const std::function<void(int64_t TimeUs, const std::string& Json)>& Line);
    // The host clock's time in microseconds (virtual or real), as the records and events carry it.
    int64_t NowMicroseconds() const;

    // Records of the recording being played back that were malformed and passed over, and all of them.
    uint64_t ReplaySkipped() const;
    uint64_t ReplayRecords() const;
    // Why the recording being played back sends nothing (it has sent everything, or its stream waits
    // for a request that has not come), or empty.
    std::string ReplayIdle() const;

    // ---- the recording ----
    // Why the recording stopped before its end (its size limit, a failed write), or empty.
    std::string RecordingStopped() const;
    // Ends the recording, its file in place; false with *Error set. The session's end does it too, with
    // every camera's last requests in it, when no one did before.
    bool CloseRecording(std::string* Error);

    // ---- ending ----
    // Writes the registry file, when the session saves one; false with *Error set.
    bool SaveSettings(std::string* Error);

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

} // namespace rig
