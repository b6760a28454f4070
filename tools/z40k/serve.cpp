// z40k serve: the camera's live picture and its controls in a browser. One capture feeds every viewer;
// the controls are built from what the driver reports and changed through its property requests while
// frames keep flowing. The HTTP API under the page is documented in the README.
#include "tools/z40k/commands.h"
#include "tools/z40k/device_properties_cli.h"
#include "tools/z40k/frame_stream.h"
#include "tools/z40k/http_checks.h"
#include "tools/z40k/http_server.h"
#include "tools/z40k/interrupt.h"
#include "tools/z40k/messages.h"
#include "tools/z40k/output_paths.h"
#include "tools/z40k/serve_api.h"
#include "tools/z40k/serve_live.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

struct ServeOptions {
    std::string Bind = "127.0.0.1";
    int Port = 8040;
    z40k::LiveOptions Live;
    std::vector<std::string> Sets;
};

// Ctrl-C and SIGTERM are taken by the main thread, which then stops the server, the stream (saving the
// settings) and the pin as on any other way out; a second one ends the program at once, whatever the
// first is waiting for.
class SignalWatch {
  public:
    SignalWatch() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1);
        // Blocked before any other thread starts, so that every thread inherits the mask and only the
        // waits here take them.
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        signal(SIGPIPE, SIG_IGN);
    }
    void WaitForFirst() {
        int signal = 0;
        do
            sigwait(&set_, &signal);
        while (signal == SIGUSR1);
        second_ = std::thread([this] {
            int again = 0;
            sigwait(&set_, &again);
            if (again != SIGUSR1)
                std::_Exit(z40k::EXIT_INTERRUPTED);
        });
    }
    ~SignalWatch() {
        if (second_.joinable()) {
            pthread_kill(second_.native_handle(), SIGUSR1);
            second_.join();
        }
        pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
    }

  private:
    sigset_t set_;
    std::thread second_;
};

int RunServe(ServeOptions& Options) {
    SignalWatch signals;
    z40k::http::Server server;
    std::string error;
    const bool v6 = Options.Bind.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + Options.Bind + "]" : Options.Bind;
    if (!server.Listen(Options.Bind, Options.Port, &error)) {
        z40k::PrintError(host + ":" + std::to_string(Options.Port), "cannot listen: " + error);
        return EXIT_RUNTIME_FAILURE;
    }
    z40k::LiveCamera camera;
    bool started = camera.Start(Options.Live, &error);
    if (started) {
        z40k::AddServeRoutes(server, camera);
        started = server.Start(&error);
    }
    if (!started) {
        z40k::PrintError(error);
        camera.Shutdown(&error);
        return EXIT_RUNTIME_FAILURE;
    }
    std::printf("z40k: listening on http://%s:%d/\n", host.c_str(), server.Port());
    std::fflush(stdout);
    if (z40k::http::IsLoopback(Options.Bind))
        z40k::PrintError(host, "only this machine can connect; --bind ADDRESS to change that");
    else
        z40k::PrintWarning(host, "other machines can connect");
    signals.WaitForFirst();
    server.Stop();
    if (!camera.Shutdown(&error)) {
        z40k::PrintError(error);
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
        ->check(z40k::WholeNumber(0, 65535))
        ->capture_default_str();
    cmd->add_option("--scene", options->Live.Scene, "what the camera sees: chart, or a BMP or PNG file")
        ->capture_default_str();
    cmd->add_option("--registry", options->Live.Registry,
                    "registry file (.reg) the settings are loaded from and saved to at every stop");
    cmd->add_option("--drive-c", options->Live.DriveC, "host folder that stands in for C:\\");
    cmd->add_flag("--mono", options->Live.Mono, "grey pictures (the camera's colour output switched off)");
    cmd->add_option("--camera-fps", options->Live.CameraFps, "frames per second the camera sends")
        ->check(z40k::Decimal(1, 60))
        ->capture_default_str();
    cmd->add_option("--set", options->Sets, "set a property before the stream starts, e.g. exposure=1200")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    cmd->add_option("--pcap", options->Live.Pcap,
                    "record the USB traffic into this file (USBPcap, for Wireshark)");
    cmd->add_option("--bus", options->Live.Bus, "faithful: USB 2.0 high speed; ideal: no limits")
        ->check(z40k::OneOf({"faithful", "ideal"}))
        ->capture_default_str();
    cmd->callback([options, ExitCode]() {
        ParsePropertyAssignments(options->Sets, &options->Live.Assignments);
        if (!options->Live.DriveC.empty())
            z40k::PrepareOutputFolder(options->Live.DriveC, "drive C", false, false);
        if (z40k::IsStandardOutput(options->Live.Pcap))
            throw z40k::UsageError("--pcap -", "the recording is written to a file; name one");
        if (!options->Live.Pcap.empty())
            z40k::CheckOutputFile(options->Live.Pcap, "recording");
        *ExitCode = RunServe(*options);
    });
    return cmd;
}
