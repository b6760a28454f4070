// z40k serve: the camera's live picture and its controls in a browser. One capture feeds every viewer;
// the controls are built from what the driver reports and changed through its property requests while
// frames keep flowing. The HTTP API under the page is documented in the README.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"
#include "tools/z40k/image_files.h"
#include "tools/z40k/serve_encode.h"
#include "tools/z40k/serve_live.h"
#include "tools/z40k/serve_page.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using nlohmann::json;

constexpr size_t MAX_BODY_BYTES = 4096;
constexpr time_t IDLE_TIMEOUT_SECONDS = 5;
// Picture streams hold a worker each for as long as they last; the rest of the workers stay free for
// the API, so a crowd of viewers cannot lock the controls out.
constexpr unsigned MAX_STREAMS = 16;
constexpr unsigned WORKERS = MAX_STREAMS + 8;
// A stream whose camera sends nothing (stopped) checks this often whether its viewer is still there.
constexpr std::chrono::milliseconds STREAM_POLL{500};
constexpr const char* BOUNDARY = "z40kframe";

struct ServeOptions {
    std::string Bind = "127.0.0.1";
    int Port = 8040;
    z40k::LiveOptions Live;
    std::vector<std::string> Sets;
};

void SendJson(httplib::Response& Res, int Status, const json& Body) {
    Res.status = Status;
    Res.set_header("Cache-Control", "no-store");
    Res.set_content(Body.dump(), "application/json");
}

void SendError(httplib::Response& Res, int Status, const std::string& Message) {
    SendJson(Res, Status, {{"error", Message}});
}

// The host part and the port of a Host header ("127.0.0.1:8040", "[::1]:8040", "localhost").
bool SplitHost(const std::string& Header, std::string* Host, int* Port) {
    std::string host = Header;
    std::string port;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos)
            return false;
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
    } else {
        const size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            port = host.substr(colon);
            host = host.substr(0, colon);
        }
    }
    if (port.empty()) {
        *Port = 80;
    } else {
        if (port[0] != ':' || port.size() < 2 || port.size() > 6 ||
            port.find_first_not_of("0123456789", 1) != std::string::npos)
            return false;
        *Port = std::stoi(port.substr(1));
    }
    *Host = host;
    return !host.empty();
}

bool IsIpLiteral(const std::string& Host) {
    unsigned char address[16];
    return inet_pton(AF_INET, Host.c_str(), address) == 1 || inet_pton(AF_INET6, Host.c_str(), address) == 1;
}

bool IsLoopback(const std::string& Host) {
    return Host == "localhost" || Host == "::1" || Host.rfind("127.", 0) == 0;
}

// A request must name the address the server listens on: a page of another site that has pointed its
// own name at this address (DNS rebinding) sends its own name and is turned away. Names other than
// "localhost" are never trusted; a server listening on every address takes any address literal.
bool HostAllowed(const std::string& Header, const std::string& Bind, int Port) {
    std::string host;
    int port = 0;
    if (!SplitHost(Header, &host, &port) || port != Port)
        return false;
    if (host == Bind)
        return true;
    if (IsLoopback(Bind) && IsLoopback(host))
        return true;
    return (Bind == "0.0.0.0" || Bind == "::") && (IsIpLiteral(host) || host == "localhost");
}

// A state change from a page must come from this server's own page.
bool OriginAllowed(const httplib::Request& Req) {
    if (Req.method != "PUT" && Req.method != "POST")
        return true;
    if (!Req.has_header("Origin"))
        return true; // not a browser's cross-site request: browsers send Origin with every PUT and POST
    return Req.get_header_value("Origin") == "http://" + Req.get_header_value("Host");
}

// The value of a PUT body: {"value": N}, or {"value": "auto"} where the property takes it. Returns the
// HTTP status of a body that is not one (0 when it is).
int ParseValueBody(const std::string& Body, long long* Value, bool* Automatic, std::string* Error) {
    const json body = json::parse(Body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("value")) {
        *Error = "the body must be a JSON object {\"value\": N}";
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

void HandleSetProperty(z40k::LiveCamera& Camera, const httplib::Request& Req, httplib::Response& Res) {
    const std::string name = Req.matches[1];
    if (!Camera.HasProperty(name))
        return SendError(Res, 404, "unknown property '" + name + "'");
    long long value = 0;
    bool automatic = false;
    std::string error;
    if (int status = ParseValueBody(Req.body, &value, &automatic, &error))
        return SendError(Res, status, error);
    const z40k::PropertyChange change = Camera.SetProperty(name, value, automatic);
    switch (change.Result) {
    case z40k::PropertyChange::Applied:
        return SendJson(Res, 200, {{"name", name}, {"value", change.Value}});
    case z40k::PropertyChange::Refused:
        return SendJson(Res, 422,
                        {{"name", name}, {"status", StatusName(change.Status)}, {"value", change.Value}});
    case z40k::PropertyChange::OutOfRange:
        return SendError(Res, 422, change.Message);
    case z40k::PropertyChange::ReadOnly:
        return SendError(Res, 405, change.Message);
    case z40k::PropertyChange::Unknown:
        break;
    }
    SendError(Res, 404, change.Message);
}

json StatsJson(z40k::LiveCamera& Camera) {
    const z40k::LiveStats stats = Camera.Stats();
    json body = {{"frames", stats.Frames},
                 {"dropped", stats.Dropped},
                 {"fps", std::round(stats.Fps * 10) / 10},
                 {"state", stats.Running ? "running" : "stopped"},
                 {"viewers", Camera.Viewers()}};
    if (!stats.Error.empty())
        body["error"] = stats.Error;
    return body;
}

void HandleStream(z40k::LiveCamera& Camera, const httplib::Request& Req, httplib::Response& Res) {
    int scale = 1;
    if (Req.has_param("scale")) {
        const std::string text = Req.get_param_value("scale");
        scale = text.size() == 1 && text[0] >= '0' && text[0] <= '9' ? text[0] - '0' : 0;
    }
    if (!z40k::ValidServeScale(scale))
        return SendError(Res, 400, "scale must be 1, 2 or 4");
    if (Camera.Viewers() >= MAX_STREAMS)
        return SendError(Res, 503, "too many viewers");
    std::shared_ptr<z40k::LiveCamera::Viewer> viewer = Camera.Watch(scale);
    if (viewer == nullptr)
        return SendError(Res, 503, "shutting down");
    Res.set_header("Cache-Control", "no-store");
    // Each part is written whole from the JPEG all viewers share; a viewer that is still writing the
    // last one when the next is ready simply gets the newest after it, so it skips and nobody waits.
    Res.set_content_provider(
        std::string("multipart/x-mixed-replace; boundary=") + BOUNDARY,
        [viewer](size_t, httplib::DataSink& Sink) {
            std::shared_ptr<const z40k::LiveJpeg> jpeg = viewer->Next(STREAM_POLL);
            if (jpeg == nullptr)
                return Sink.is_writable();
            const std::string head =
                std::string("--") + BOUNDARY +
                "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg->Bytes.size()) +
                "\r\nX-Frame-Number: " + std::to_string(jpeg->Number) + "\r\n\r\n";
            return Sink.write(head.data(), head.size()) &&
                   Sink.write(reinterpret_cast<const char*>(jpeg->Bytes.data()), jpeg->Bytes.size()) &&
                   Sink.write("\r\n", 2);
        },
        [viewer](bool) mutable { viewer.reset(); });
}

void HandleSnapshot(z40k::LiveCamera& Camera, httplib::Response& Res) {
    std::shared_ptr<const z40k::LiveFrame> frame = Camera.LatestFrame();
    if (frame == nullptr)
        return SendError(Res, 503, "no frame yet");
    std::vector<uint8_t> png;
    std::string error;
    if (!z40k::EncodeImage(z40k::ImageFormat::Png, frame->Pixels.data(), frame->Width, frame->Height, &png,
                           &error))
        return SendError(Res, 500, error);
    Res.set_header("Cache-Control", "no-store");
    Res.set_header("Content-Disposition",
                   "attachment; filename=\"z40k-" + std::to_string(frame->Number) + ".png\"");
    Res.set_content(std::string(png.begin(), png.end()), "image/png");
}

void AddRoutes(httplib::Server& Server, z40k::LiveCamera& Camera) {
    Server.Get("/", [](const httplib::Request&, httplib::Response& Res) {
        Res.set_header("Cache-Control", "no-store");
        Res.set_header("Content-Security-Policy",
                       "default-src 'none'; img-src 'self' data:; connect-src 'self'; "
                       "script-src 'unsafe-inline'; style-src 'unsafe-inline'");
        Res.set_content(z40k::ServePage(), "text/html; charset=utf-8");
    });
    Server.Get("/api/properties", [&Camera](const httplib::Request&, httplib::Response& Res) {
        SendJson(Res, 200, Camera.Properties());
    });
    Server.Put(R"(/api/properties/([^/]+))", [&Camera](const httplib::Request& Req, httplib::Response& Res) {
        HandleSetProperty(Camera, Req, Res);
    });
    Server.Get("/api/stats", [&Camera](const httplib::Request&, httplib::Response& Res) {
        SendJson(Res, 200, StatsJson(Camera));
    });
    Server.Post(R"(/api/stream/(start|stop))",
                [&Camera](const httplib::Request& Req, httplib::Response& Res) {
                    std::string error;
                    const bool ok = Req.matches[1] == "start" ? Camera.Run(&error) : Camera.Stop(&error);
                    if (!ok)
                        return SendError(Res, 500, error);
                    SendJson(Res, 200, StatsJson(Camera));
                });
    Server.Get("/stream.mjpg", [&Camera](const httplib::Request& Req, httplib::Response& Res) {
        HandleStream(Camera, Req, Res);
    });
    Server.Get("/snapshot.png",
               [&Camera](const httplib::Request&, httplib::Response& Res) { HandleSnapshot(Camera, Res); });
}

void Configure(httplib::Server& Server, const ServeOptions& Options, const int* Port) {
    Server.new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
    // The library's default also sets SO_REUSEPORT, which lets a second server bind a port already in use
    // and share its connections; an address in use must be an error here.
    Server.set_socket_options([](int Socket) {
        int yes = 1;
        setsockopt(Socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    Server.set_payload_max_length(MAX_BODY_BYTES);
    Server.set_read_timeout(IDLE_TIMEOUT_SECONDS, 0);
    Server.set_write_timeout(IDLE_TIMEOUT_SECONDS, 0);
    Server.set_keep_alive_timeout(IDLE_TIMEOUT_SECONDS);
    const std::string bind = Options.Bind;
    Server.set_pre_routing_handler([bind, Port](const httplib::Request& Req, httplib::Response& Res) {
        if (!HostAllowed(Req.get_header_value("Host"), bind, *Port)) {
            SendError(Res, 403, "the Host header does not name this server");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!OriginAllowed(Req)) {
            SendError(Res, 403, "requests from another site's pages are refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    Server.set_error_handler([](const httplib::Request&, httplib::Response& Res) {
        if (Res.body.empty())
            SendError(Res, Res.status, Res.status == 404 ? "not found" : "request refused");
    });
}

// Ctrl-C and SIGTERM stop the server from a thread of their own, so that the main thread can stop the
// stream, save the settings and close the pin as on any other way out.
class SignalWatch {
  public:
    SignalWatch() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1);
        // Blocked before any other thread starts, so that every thread inherits the mask and only the
        // watcher takes them.
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        signal(SIGPIPE, SIG_IGN);
    }
    void Start(httplib::Server* Server) {
        thread_ = std::thread([this, Server] {
            int signal = 0;
            sigwait(&set_, &signal);
            if (signal != SIGUSR1)
                Server->stop();
        });
    }
    ~SignalWatch() {
        if (thread_.joinable()) {
            pthread_kill(thread_.native_handle(), SIGUSR1);
            thread_.join();
        }
        pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
    }

  private:
    sigset_t set_;
    std::thread thread_;
};

int RunServe(ServeOptions& Options) {
    SignalWatch signals;
    httplib::Server server;
    int port = Options.Port;
    Configure(server, Options, &port);
    errno = 0;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(Options.Bind)) > 0
                                 : server.bind_to_port(Options.Bind, port);
    if (!bound) {
        const int error = errno;
        std::fprintf(stderr, "z40k serve: cannot listen on %s:%d: %s\n", Options.Bind.c_str(), Options.Port,
                     error != 0 ? std::strerror(error) : "the address is not available");
        return EXIT_RUNTIME_FAILURE;
    }
    z40k::LiveCamera camera;
    std::string error;
    if (!camera.Start(Options.Live, &error)) {
        std::fprintf(stderr, "z40k serve: %s\n", error.c_str());
        camera.Shutdown(&error);
        return EXIT_RUNTIME_FAILURE;
    }
    AddRoutes(server, camera);
    const bool v6 = Options.Bind.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + Options.Bind + "]" : Options.Bind;
    std::printf("z40k serve: listening on http://%s:%d/\n", host.c_str(), port);
    std::fflush(stdout);
    if (IsLoopback(Options.Bind))
        std::fprintf(stderr, "z40k serve: only this machine can connect; --bind ADDRESS to change that\n");
    else
        std::fprintf(stderr, "z40k serve: listening on %s: other machines can connect\n",
                     Options.Bind.c_str());
    signals.Start(&server);
    server.listen_after_bind();
    server.stop();
    if (!camera.Shutdown(&error)) {
        std::fprintf(stderr, "z40k serve: %s\n", error.c_str());
        return EXIT_RUNTIME_FAILURE;
    }
    return 0;
}

} // namespace

CLI::App* AddServeCommand(CLI::App& App, int* ExitCode) {
    auto options = std::make_shared<ServeOptions>();
    CLI::App* cmd = App.add_subcommand("serve", "show the live picture and the controls in a browser");
    cmd->add_option("--bind", options->Bind, "address to listen on")->capture_default_str();
    cmd->add_option("--port", options->Port, "port to listen on (0: any free one)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    cmd->add_option("--scene", options->Live.Scene, "what the camera sees: chart, or a BMP or PNG file")
        ->capture_default_str();
    cmd->add_option("--registry", options->Live.Registry,
                    "registry file (.reg) the settings are loaded from and saved to at every stop");
    cmd->add_option("--drive-c", options->Live.DriveC, "host folder that stands in for C:\\");
    cmd->add_flag("--mono", options->Live.Mono, "grey pictures (the camera's colour output switched off)");
    cmd->add_option("--camera-fps", options->Live.CameraFps, "frames per second the camera sends")
        ->check(CLI::Range(1.0, 60.0))
        ->capture_default_str();
    cmd->add_option("--set", options->Sets, "set a property before the stream starts, e.g. exposure=1200")
        ->type_name("NAME=VALUE");
    cmd->add_option("--pcap", options->Live.Pcap,
                    "record the USB traffic into this file (USBPcap, for Wireshark)");
    cmd->add_flag("--ideal-bus", options->Live.IdealBus,
                  "lift USB 2.0's limits: the camera sends at its own pace");
    cmd->callback([options, ExitCode]() {
        if (!ParsePropertyAssignments("serve", options->Sets, &options->Live.Assignments)) {
            *ExitCode = EXIT_USAGE;
            return;
        }
        *ExitCode = RunServe(*options);
    });
    return cmd;
}
