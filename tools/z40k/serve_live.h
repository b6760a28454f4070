// The camera behind `z40k serve`: brought up once, its capture pin run on the real clock by a thread of
// its own, the latest frame shared with every viewer, JPEGs encoded at most once per frame and scale,
// and property requests and stream control taken from any thread.
#pragma once

#include "tools/z40k/device_properties_cli.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace rig {
class Session;
}

namespace z40k {

struct LiveOptions {
    std::string Registry; // loaded at start, saved at every stop
    std::string DriveC;
    std::string Scene = "chart";
    bool Mono = false;
    double CameraFps = 15;
    std::string Bus = "faithful";                // "ideal": no USB 2.0 limits, the camera at its own pace
    std::string Pcap;                            // record the USB traffic into this file (USBPcap)
    std::vector<PropertyAssignment> Assignments; // applied in order before the pin first runs
};

// One converted frame as the driver wrote it: RGB24, bottom row first.
struct LiveFrame {
    uint64_t Number = 0; // frames delivered since the program started, from 1
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Pixels;
};

struct LiveJpeg {
    uint64_t Number = 0; // the frame's number
    std::vector<uint8_t> Bytes;
};

struct LiveStats {
    uint64_t Frames = 0;  // frames delivered
    uint64_t Dropped = 0; // frames the library dropped
    double Fps = 0;       // frames delivered per second over the last two seconds
    bool Running = false;
    std::string Error; // the last failed read, if the stream is in trouble
};

// The answer to a property set, as the HTTP API reports it.
struct PropertyChange {
    enum Outcome { Applied, Unknown, ReadOnly, OutOfRange, Refused } Result = Unknown;
    NTSTATUS Status = 0; // Refused: the driver's status
    long Value = 0;      // Applied and Refused: the value the driver now holds
    std::string Message;
};

class LiveCamera {
  public:
    LiveCamera();
    ~LiveCamera(); // Shutdown

    // Brings the camera up, applies the options' properties and runs the pin. False with *Error set.
    bool Start(const LiveOptions& Options, std::string* Error);
    // Stops the stream if it runs (saving the settings), closes the pin, removes the camera. Idempotent.
    // False with *Error set when the stop or the save failed.
    bool Shutdown(std::string* Error);

    // Stream control. Stop saves the driver's settings to the registry file, as capture does.
    bool Run(std::string* Error);
    bool Stop(std::string* Error);

    nlohmann::json Properties();
    // One property as Properties lists it; null for a name the driver does not publish.
    nlohmann::json Property(const std::string& Name);
    bool HasProperty(const std::string& Name) const;
    PropertyChange SetProperty(const std::string& Name, long long Value, bool Automatic);

    LiveStats Stats(); // Fps 0 while stopped
    std::shared_ptr<const LiveFrame> LatestFrame();

    // A viewer of one scale; while one exists, every new frame is encoded at that scale (once, for all
    // its viewers).
    class Viewer {
      public:
        ~Viewer();
        // The newest JPEG if it is newer than the last one this viewer took, else null (also at shutdown).
        std::shared_ptr<const LiveJpeg> TryNext();

      private:
        friend class LiveCamera;
        Viewer(LiveCamera* Camera, int Scale) : camera_(Camera), scale_(Scale) {}
        LiveCamera* camera_;
        int scale_;
        uint64_t last_ = 0;
    };
    // A viewer, counted in at once if fewer than Limit watch: null with *Refusal set when Limit do, the
    // scale is not offered or the camera is shutting down.
    std::unique_ptr<Viewer> Watch(int Scale, unsigned Limit, std::string* Refusal);
    unsigned Viewers(); // viewers now watching
    // Called, from the encoding thread, each time a new JPEG is there for the viewers of a scale. Set
    // before the first viewer watches.
    void SetJpegListener(std::function<void()> Listener);

  private:
    struct Encoding {
        unsigned Viewers = 0;
        std::shared_ptr<const LiveJpeg> Latest;
        std::thread Thread;
    };

    void CaptureLoop();
    void EncodeLoop(int Scale);
    std::shared_ptr<LiveFrame> FreeFrame();
    bool StopLocked(std::string* Error);                          // with control_ held
    bool BringUp(const LiveOptions& Options, std::string* Error); // with control_ held
    unsigned ViewersLocked() const;                               // with mutex_ held

    // Start, Run, Stop, the property requests and Shutdown take turns here. The capture loop's reads do
    // not: the stream class takes a read while a property request or a stop is under way, and a stop
    // completes the read it finds pending. Set up by Start and taken down by Shutdown once the capture
    // loop has ended: the camera, the filter and the pin.
    std::mutex control_;
    std::unique_ptr<rig::Session> session_;
    streamclass::Filter* filter_ = nullptr; // the session's camera's
    size_t camera_ = 0;
    std::unique_ptr<streamclass::Pin> pin_;
    LiveOptions options_;
    int width_ = 0;
    int height_ = 0;
    size_t frameBytes_ = 0;

    // The shared state of frames, stream and viewers.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    bool running_ = false;
    bool quitting_ = false;
    uint64_t frames_ = 0;
    uint64_t dropped_ = 0;
    std::string readError_;
    std::deque<std::chrono::steady_clock::time_point> recent_; // delivery times, last two seconds
    std::shared_ptr<LiveFrame> latest_;
    std::vector<std::shared_ptr<LiveFrame>> pool_;
    std::map<int, Encoding> encodings_;
    std::function<void()> jpegListener_;
    std::thread capture_;
};

} // namespace z40k
