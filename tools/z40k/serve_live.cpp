#include "tools/z40k/serve_live.h"

#include "host/rig/session.h"
#include "tools/z40k/messages.h"
#include "tools/z40k/output_paths.h"
#include "tools/z40k/scene_option.h"
#include "tools/z40k/serve_encode.h"

#include <cmath>
#include <filesystem>

namespace z40k {

namespace {

// The frame rate is measured over this much of the recent past.
constexpr std::chrono::seconds FPS_WINDOW{2};
// Buffers kept for reuse; frames held longer (a slow snapshot) are replaced, not waited for.
constexpr size_t FRAME_POOL_LIMIT = 8;
// After a failed read the loop waits this long before it tries again, rather than spin on a stream in
// trouble.
constexpr std::chrono::milliseconds READ_RETRY_PAUSE{100};

} // namespace

LiveCamera::LiveCamera() = default;

LiveCamera::~LiveCamera() {
    std::string error;
    Shutdown(&error);
}

// The session booted, the camera plugged in and its capture pin open, with its scene.
bool LiveCamera::BringUp(const LiveOptions& Options, std::string* Error) {
    session_ = std::make_unique<rig::Session>();
    rig::SessionOptions session;
    session.DriveC = Options.DriveC;
    session.Registry = Options.Registry;
    session.SavesRegistry = true;
    session.Bus = Options.Bus == "ideal" ? rig::BusMode::Ideal : rig::BusMode::Faithful;
    session.Pcap = Options.Pcap;
    if (!session_->Open(session, Error))
        return false;
    // The driver goes on without a file it could not write; the user is told at once.
    session_->OnFileFailure(WarnFileFailure);
    simcam::Scene scene;
    if (!LoadSceneOption(Options.Scene, &scene, Error))
        return false;
    rig::CameraOptions camera;
    camera.FramesPerSecond = Options.CameraFps;
    const NTSTATUS status = session_->Plug(camera, &camera_);
    filter_ = &session_->FilterOf(camera_);
    if (!NT_SUCCESS(status)) {
        *Error = "the camera: did not come up: " + StatusName(status);
        return false;
    }
    rig::CapturePin capture;
    const rig::PinOutcome opened = rig::OpenCapturePin(*filter_, &capture);
    if (opened.Failure != rig::PinFailure::None) {
        *Error = "the camera: " + PinFailureMessage(opened);
        return false;
    }
    // The reduced pictures are block means of 4 x 4 pixels at the most.
    if (capture.Width % 4 != 0 || capture.Height % 4 != 0) {
        *Error = "the camera: the agreed format has no usable picture size";
        return false;
    }
    width_ = capture.Width;
    height_ = capture.Height;
    frameBytes_ = capture.Format.DataFormat.SampleSize;
    pin_ = std::move(capture.Pin);
    session_->SetScene(camera_, std::move(scene));
    return true;
}

bool LiveCamera::Start(const LiveOptions& Options, std::string* Error) {
    options_ = Options;
    std::lock_guard<std::mutex> control(control_);
    if (!BringUp(Options, Error) || !ApplyStartProperties(*filter_, Options.Mono, Options.Assignments, Error))
        return false;
    const NTSTATUS status = pin_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        *Error = "the camera: the capture pin did not run: " + StatusName(status);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = true;
        running_ = true;
    }
    capture_ = std::thread(&LiveCamera::CaptureLoop, this);
    return true;
}

bool LiveCamera::Shutdown(std::string* Error) {
    std::map<int, Encoding>* encodings = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quitting_)
            return true;
        quitting_ = true;
        encodings = &encodings_;
    }
    changed_.notify_all();
    if (capture_.joinable())
        capture_.join();
    for (auto& [scale, encoding] : *encodings) {
        if (encoding.Thread.joinable())
            encoding.Thread.join();
    }
    std::lock_guard<std::mutex> control(control_);
    bool ok = true;
    if (pin_ != nullptr) {
        ok = StopLocked(Error);
        pin_->Close();
        pin_.reset();
    }
    if (session_ != nullptr) {
        if (filter_ != nullptr)
            session_->Remove(camera_);
        filter_ = nullptr;
        std::string recording;
        if (!session_->CloseRecording(&recording) && ok) {
            *Error = recording;
            ok = false;
        }
        session_.reset();
    }
    return ok;
}

bool LiveCamera::Run(std::string* Error) {
    std::lock_guard<std::mutex> control(control_);
    if (pin_ == nullptr) {
        *Error = "the camera is not up";
        return false;
    }
    if (running_)
        return true;
    NTSTATUS status = pin_->SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        *Error = "the camera: the capture pin did not run: " + StatusName(status);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
        readError_.clear();
    }
    changed_.notify_all();
    return true;
}

bool LiveCamera::Stop(std::string* Error) {
    std::lock_guard<std::mutex> control(control_);
    if (pin_ == nullptr) {
        *Error = "the camera is not up";
        return false;
    }
    return StopLocked(Error);
}

bool LiveCamera::StopLocked(std::string* Error) {
    if (!running_)
        return true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        recent_.clear(); // a stopped stream has no frame rate
    }
    // The driver saves its settings to the registry when capture stops; the file follows.
    NTSTATUS status = pin_->SetState(KSSTATE_STOP);
    if (!NT_SUCCESS(status)) {
        *Error = "the camera: did not stop cleanly; settings not saved: " + StatusName(status);
        return false;
    }
    return session_->SaveSettings(Error);
}

nlohmann::json LiveCamera::Property(const std::string& Name) {
    const NamedProperty* property = FindNamedProperty(Name);
    std::lock_guard<std::mutex> control(control_);
    if (filter_ == nullptr || property == nullptr)
        return nullptr;
    return PropertyJson(*filter_, *property);
}

nlohmann::json LiveCamera::Properties() {
    std::lock_guard<std::mutex> control(control_);
    if (filter_ == nullptr)
        return nlohmann::json::array();
    return PropertiesDocument(*filter_);
}

bool LiveCamera::HasProperty(const std::string& Name) const {
    return FindNamedProperty(Name) != nullptr;
}

PropertyChange LiveCamera::SetProperty(const std::string& Name, long long Value, bool Automatic) {
    PropertyChange change;
    const NamedProperty* property = FindNamedProperty(Name);
    if (property == nullptr) {
        change.Message = "unknown property " + Name + z40k::Suggestion(Name, PropertyNames(false));
        return change;
    }
    if (!property->CanSet) {
        change.Result = PropertyChange::ReadOnly;
        change.Message = Name + " is read-only";
        return change;
    }
    if (Automatic && !property->TakesAuto) {
        change.Result = PropertyChange::OutOfRange;
        change.Message = Name + " has no automatic mode; " + RangeOf(*property, property->Maximum);
        return change;
    }
    std::lock_guard<std::mutex> control(control_);
    if (filter_ == nullptr) {
        change.Result = PropertyChange::Refused;
        change.Status = STATUS_DEVICE_NOT_READY;
        return change;
    }
    // Where the driver checks the range itself its refusal is the answer; elsewhere it would cut an
    // out-of-range value to the register's bits without a word, so such a value is not sent at all.
    const LONG maximum = PropertyMaximum(*filter_, *property);
    const std::string problem = Automatic ? std::string() : ValueProblem(*property, maximum, Value);
    if (!problem.empty()) {
        change.Result = PropertyChange::OutOfRange;
        change.Message = std::to_string(Value) + " " + problem;
        return change;
    }
    PropertyAssignment assignment;
    assignment.Property = property;
    assignment.Value = Value;
    assignment.Automatic = Automatic;
    change.Status = ApplyProperty(*filter_, assignment);
    change.Result = NT_SUCCESS(change.Status) ? PropertyChange::Applied : PropertyChange::Refused;
    change.Value = static_cast<long>(static_cast<LONG>(static_cast<ULONG>(Value)));
    if (property->CanGet) {
        PropertyReading reading = ReadProperty(*filter_, *property);
        if (NT_SUCCESS(reading.Status))
            change.Value = reading.Value;
    }
    return change;
}

LiveStats LiveCamera::Stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    LiveStats stats;
    stats.Frames = frames_;
    stats.Dropped = dropped_;
    stats.Running = running_;
    stats.Error = readError_;
    const auto now = std::chrono::steady_clock::now();
    while (!recent_.empty() && now - recent_.front() > FPS_WINDOW)
        recent_.pop_front();
    if (running_ && recent_.size() >= 2) {
        const double seconds = std::chrono::duration<double>(recent_.back() - recent_.front()).count();
        if (seconds > 0)
            stats.Fps = double(recent_.size() - 1) / seconds;
    }
    return stats;
}

std::shared_ptr<const LiveFrame> LiveCamera::LatestFrame() {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

std::unique_ptr<LiveCamera::Viewer> LiveCamera::Watch(int Scale, unsigned Limit, std::string* Refusal) {
    if (!ValidServeScale(Scale)) {
        *Refusal = "scale must be 1, 2 or 4";
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quitting_) {
            *Refusal = "shutting down";
            return nullptr;
        }
        // Counted and taken under one lock: viewers arriving together cannot all see room for one more.
        if (ViewersLocked() >= Limit) {
            *Refusal = "too many viewers: " + std::to_string(Limit) + " at most";
            return nullptr;
        }
        Encoding& encoding = encodings_[Scale];
        if (!encoding.Thread.joinable())
            encoding.Thread = std::thread(&LiveCamera::EncodeLoop, this, Scale);
        ++encoding.Viewers;
    }
    changed_.notify_all();
    return std::unique_ptr<Viewer>(new Viewer(this, Scale));
}

void LiveCamera::SetJpegListener(std::function<void()> Listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    jpegListener_ = std::move(Listener);
}

unsigned LiveCamera::Viewers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ViewersLocked();
}

unsigned LiveCamera::ViewersLocked() const {
    unsigned viewers = 0;
    for (const auto& [scale, encoding] : encodings_)
        viewers += encoding.Viewers;
    return viewers;
}

LiveCamera::Viewer::~Viewer() {
    std::lock_guard<std::mutex> lock(camera_->mutex_);
    Encoding& encoding = camera_->encodings_[scale_];
    // The last viewer gone: a later one must not start with a picture from long ago.
    if (--encoding.Viewers == 0)
        encoding.Latest.reset();
}

std::shared_ptr<const LiveJpeg> LiveCamera::Viewer::TryNext() {
    std::lock_guard<std::mutex> lock(camera_->mutex_);
    const Encoding& encoding = camera_->encodings_[scale_];
    if (camera_->quitting_ || encoding.Latest == nullptr || encoding.Latest->Number <= last_)
        return nullptr;
    last_ = encoding.Latest->Number;
    return encoding.Latest;
}

std::shared_ptr<LiveFrame> LiveCamera::FreeFrame() {
    std::lock_guard<std::mutex> lock(mutex_);
    // A buffer only the pool holds is no viewer's, encoder's or snapshot's any more.
    for (const std::shared_ptr<LiveFrame>& frame : pool_) {
        if (frame.use_count() == 1)
            return frame;
    }
    auto frame = std::make_shared<LiveFrame>();
    // Zero-filled once: the edge pixels the colour conversion leaves alone stay black in every frame.
    frame->Pixels.assign(frameBytes_, 0);
    frame->Width = width_;
    frame->Height = height_;
    if (pool_.size() < FRAME_POOL_LIMIT)
        pool_.push_back(frame);
    return frame;
}

void LiveCamera::CaptureLoop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return quitting_ || running_; });
            if (quitting_)
                return;
        }
        std::shared_ptr<LiveFrame> frame = FreeFrame();
        ULONG used = 0;
        const NTSTATUS status =
            pin_->ReadFrame(frame->Pixels.data(), static_cast<ULONG>(frame->Pixels.size()), &used);
        const uint64_t dropped = session_->Counters(camera_).FramesDropped;
        if (!NT_SUCCESS(status)) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                // A stop that came while the read was pending completed it: no trouble to report.
                if (!running_ || quitting_)
                    continue;
                readError_ = "a frame could not be read: " + StatusName(status);
            }
            std::this_thread::sleep_for(READ_RETRY_PAUSE);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frame->Number = ++frames_;
            dropped_ = dropped;
            readError_.clear();
            recent_.push_back(std::chrono::steady_clock::now());
            while (recent_.size() > 2 && recent_.back() - recent_.front() > FPS_WINDOW)
                recent_.pop_front();
            latest_ = frame;
        }
        changed_.notify_all();
    }
}

void LiveCamera::EncodeLoop(int Scale) {
    JpegEncoder encoder;
    uint64_t done = 0;
    for (;;) {
        std::shared_ptr<const LiveFrame> frame;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            Encoding& encoding = encodings_[Scale];
            changed_.wait(lock, [&] {
                return quitting_ || (encoding.Viewers > 0 && latest_ != nullptr && latest_->Number > done);
            });
            if (quitting_)
                return;
            frame = latest_;
        }
        done = frame->Number;
        auto jpeg = std::make_shared<LiveJpeg>();
        jpeg->Number = frame->Number;
        if (!encoder.Encode(frame->Pixels.data(), frame->Width, frame->Height, Scale, &jpeg->Bytes))
            continue;
        frame.reset();
        std::function<void()> listener;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Encoding& encoding = encodings_[Scale];
            if (encoding.Viewers > 0)
                encoding.Latest = std::move(jpeg);
            listener = jpegListener_;
        }
        changed_.notify_all();
        if (listener)
            listener();
    }
}

} // namespace z40k
