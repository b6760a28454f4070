#include "tools/z40k/serve_api.h"

#include "tools/z40k/image_files.h"
#include "tools/z40k/serve_encode.h"
#include "tools/z40k/serve_page.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace z40k {

namespace {

using nlohmann::json;

constexpr const char* BOUNDARY = "z40kframe";

// A viewer's picture stream: each part whole, from the JPEG every viewer of its scale shares. A viewer
// still taking one part when the next picture is ready gets the newest after it, so it skips pictures
// and nobody waits for it.
class MjpegStream : public http::BodyStream {
  public:
    explicit MjpegStream(std::unique_ptr<LiveCamera::Viewer> Viewer) : viewer_(std::move(Viewer)) {}

    long Read(char* Buffer, size_t Max) override {
        if (jpeg_ == nullptr) {
            jpeg_ = viewer_->TryNext();
            if (jpeg_ == nullptr)
                return WAIT;
            head_ = std::string("--") + BOUNDARY +
                    "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg_->Bytes.size()) +
                    "\r\nX-Frame-Number: " + std::to_string(jpeg_->Number) + "\r\n\r\n";
            sent_ = 0;
        }
        // The part is its head, the picture and a line end, taken in order over as many calls as it needs.
        const size_t picture = jpeg_->Bytes.size();
        const size_t total = head_.size() + picture + 2;
        size_t copied = 0;
        while (copied < Max && sent_ < total) {
            const char* from;
            size_t left;
            if (sent_ < head_.size()) {
                from = head_.data() + sent_;
                left = head_.size() - sent_;
            } else if (sent_ < head_.size() + picture) {
                from = reinterpret_cast<const char*>(jpeg_->Bytes.data()) + (sent_ - head_.size());
                left = head_.size() + picture - sent_;
            } else {
                static const char lineEnd[] = "\r\n";
                from = &lineEnd[sent_ - head_.size() - picture];
                left = total - sent_;
            }
            const size_t n = std::min(left, Max - copied);
            std::memcpy(Buffer + copied, from, n);
            copied += n;
            sent_ += n;
        }
        if (sent_ == total)
            jpeg_.reset();
        return static_cast<long>(copied);
    }

  private:
    std::unique_ptr<LiveCamera::Viewer> viewer_;
    std::shared_ptr<const LiveJpeg> jpeg_; // the part being sent
    std::string head_;
    size_t sent_ = 0;
};

// The value of a PUT body: {"value": N}, or {"value": "auto"} where the property takes it. Returns the
// HTTP status of a body that is not one (0 when it is).
int ParseValueBody(const std::string& Body, long long* Value, bool* Automatic, std::string* Error) {
    // The parser takes a NUL byte for the end of its input; whatever follows it would be let through.
    if (Body.find('\0') != std::string::npos) {
        *Error = "the body holds bytes after its JSON value";
        return 400;
    }
    const json body = json::parse(Body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("value")) {
        *Error = "the body must be one JSON object {\"value\": N}, with nothing after it";
        return 400;
    }
    const json& value = body["value"];
    *Automatic = false;
    if (value.is_string() && value.get<std::string>() == "auto") {
        *Automatic = true;
        return 0;
    }
    if (value.is_number_unsigned()) {
        const uint64_t v = value.get<uint64_t>();
        *Value = v > uint64_t(INT64_MAX) ? INT64_MAX : static_cast<long long>(v);
        return 0;
    }
    if (value.is_number_integer()) {
        *Value = value.get<long long>();
        return 0;
    }
    if (value.is_number_float()) {
        const double v = value.get<double>();
        if (std::isfinite(v) && v == std::floor(v)) {
            // Beyond any 32-bit value either way; the range check answers it.
            *Value = std::fabs(v) < 9e15 ? static_cast<long long>(v) : (v < 0 ? INT64_MIN : INT64_MAX);
            return 0;
        }
    }
    *Error = "value must be a whole number";
    return 400;
}

http::Reply SetProperty(LiveCamera& Camera, const http::Request& Req) {
    const std::string& name = Req.Name;
    if (!Camera.HasProperty(name))
        return http::ErrorReply(404, "unknown property '" + name + "'");
    long long value = 0;
    bool automatic = false;
    std::string error;
    if (int status = ParseValueBody(Req.Body, &value, &automatic, &error))
        return http::ErrorReply(status, error);
    const PropertyChange change = Camera.SetProperty(name, value, automatic);
    switch (change.Result) {
    case PropertyChange::Applied:
        return http::JsonReply(200, {{"name", name}, {"value", change.Value}});
    case PropertyChange::Refused:
        return http::JsonReply(
            422, {{"name", name}, {"status", StatusName(change.Status)}, {"value", change.Value}});
    case PropertyChange::OutOfRange:
        return http::ErrorReply(422, change.Message);
    case PropertyChange::ReadOnly: {
        http::Reply refusal = http::ErrorReply(405, change.Message);
        refusal.Headers.emplace_back("Allow", "GET");
        return refusal;
    }
    case PropertyChange::Unknown:
        break;
    }
    return http::ErrorReply(404, change.Message);
}

json StatsJson(LiveCamera& Camera) {
    const LiveStats stats = Camera.Stats();
    json body = {{"frames", stats.Frames},
                 {"dropped", stats.Dropped},
                 {"fps", std::round(stats.Fps * 10) / 10},
                 {"state", stats.Running ? "running" : "stopped"},
                 {"viewers", Camera.Viewers()}};
    if (!stats.Error.empty())
        body["error"] = stats.Error;
    return body;
}

http::Reply StreamControl(LiveCamera& Camera, bool Run) {
    std::string error;
    if (!(Run ? Camera.Run(&error) : Camera.Stop(&error)))
        return http::ErrorReply(500, error);
    return http::JsonReply(200, StatsJson(Camera));
}

http::Reply Stream(LiveCamera& Camera, const http::Request& Req) {
    int scale = 1;
    const auto given = Req.Query.find("scale");
    if (given != Req.Query.end()) {
        const std::string& text = given->second;
        scale = text.size() == 1 && text[0] >= '0' && text[0] <= '9' ? text[0] - '0' : 0;
    }
    if (!ValidServeScale(scale))
        return http::ErrorReply(400, "scale must be 1, 2 or 4");
    std::string refusal;
    std::unique_ptr<LiveCamera::Viewer> viewer = Camera.Watch(scale, MAX_STREAMS, &refusal);
    if (viewer == nullptr)
        return http::ErrorReply(503, refusal);
    http::Reply reply;
    reply.ContentType = std::string("multipart/x-mixed-replace; boundary=") + BOUNDARY;
    reply.Headers.emplace_back("Cache-Control", "no-store");
    reply.Stream = std::make_shared<MjpegStream>(std::move(viewer));
    return reply;
}

// A PNG of a full frame takes a good part of a second to make: it is made on a thread of its own.
http::Reply Snapshot(LiveCamera& Camera) {
    std::shared_ptr<const LiveFrame> frame = Camera.LatestFrame();
    if (frame == nullptr)
        return http::ErrorReply(503, "no frame yet");
    http::Reply later;
    later.Later = [frame] {
        std::vector<uint8_t> png;
        std::string error;
        if (!EncodeImage(ImageFormat::Png, frame->Pixels.data(), frame->Width, frame->Height, &png, &error))
            return http::ErrorReply(500, error);
        http::Reply reply;
        reply.ContentType = "image/png";
        reply.Body.assign(png.begin(), png.end());
        reply.Headers.emplace_back("Cache-Control", "no-store");
        reply.Headers.emplace_back("Content-Disposition",
                                   "attachment; filename=\"z40k-" + std::to_string(frame->Number) + ".png\"");
        return reply;
    };
    return later;
}

http::Reply Page() {
    http::Reply reply;
    reply.ContentType = "text/html; charset=utf-8";
    reply.Body = ServePage();
    reply.Headers = {{"Cache-Control", "no-store"},
                     {"Content-Security-Policy",
                      "default-src 'none'; img-src 'self' data:; connect-src 'self'; "
                      "script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                      "frame-ancestors 'none'"},
                     // For browsers that do not know frame-ancestors: no other site may frame the controls.
                     {"X-Frame-Options", "DENY"}};
    return reply;
}

} // namespace

void AddServeRoutes(http::Server& Server, LiveCamera& Camera) {
    Camera.SetJpegListener([&Server] { Server.Wake(); });
    using Req = const http::Request&;
    Server.Route("GET", "/", [](Req) { return Page(); });
    Server.Route("GET", "/api/properties",
                 [&Camera](Req) { return http::JsonReply(200, Camera.Properties()); });
    Server.Route("GET", "/api/properties/*", [&Camera](Req R) {
        json property = Camera.Property(R.Name);
        return property.is_null() ? http::ErrorReply(404, "unknown property '" + R.Name + "'")
                                  : http::JsonReply(200, property);
    });
    Server.Route("PUT", "/api/properties/*", [&Camera](Req R) { return SetProperty(Camera, R); });
    Server.Route("GET", "/api/stats", [&Camera](Req) { return http::JsonReply(200, StatsJson(Camera)); });
    Server.Route("POST", "/api/stream/start", [&Camera](Req) { return StreamControl(Camera, true); });
    Server.Route("POST", "/api/stream/stop", [&Camera](Req) { return StreamControl(Camera, false); });
    Server.Route("GET", "/stream.mjpg", [&Camera](Req R) { return Stream(Camera, R); });
    Server.Route("GET", "/snapshot.png", [&Camera](Req) { return Snapshot(Camera); });
}

} // namespace z40k
