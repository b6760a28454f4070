// `z40k serve` as a browser and video tools see it: its HTTP API, its picture streams and its snapshot,
// against the program itself listening on an ephemeral port.
#ifdef Z40K_HAVE_SERVE

#include "tests/e2e/run_z40k.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The scene every test looks at: one flat grey, so that brightness is a number and colour is R = G = B.
constexpr uint8_t GREY = 60;

void WriteGreyScene(const fs::path& Path) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = 64;
    image.height = 48;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(64 * 48 * 3, GREY);
    ASSERT_TRUE(png_image_write_to_file(&image, Path.c_str(), 0, pixels.data(), 0, nullptr));
}

struct Picture {
    unsigned Width = 0;
    unsigned Height = 0;
    std::vector<uint8_t> Rgb; // top row first
};

Picture DecodePng(const std::string& Bytes) {
    Picture picture;
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, Bytes.data(), Bytes.size()))
        return picture;
    image.format = PNG_FORMAT_RGB;
    picture.Rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.Rgb.data(), 0, nullptr))
        return Picture{};
    picture.Width = image.width;
    picture.Height = image.height;
    return picture;
}

// The mean of the picture's middle half (the edges the conversion leaves alone stay black), and whether
// every pixel there has R = G = B.
struct Brightness {
    double Mean = 0;
    bool Grey = true;
};

Brightness Measure(const Picture& P) {
    Brightness b;
    uint64_t sum = 0;
    uint64_t count = 0;
    for (unsigned y = P.Height / 4; y < P.Height * 3 / 4; ++y) {
        for (unsigned x = P.Width / 4; x < P.Width * 3 / 4; ++x) {
            const uint8_t* p = &P.Rgb[(size_t(y) * P.Width + x) * 3];
            b.Grey = b.Grey && p[0] == p[1] && p[1] == p[2];
            sum += p[0] + p[1] + p[2];
            count += 3;
        }
    }
    b.Mean = count ? double(sum) / double(count) : 0;
    return b;
}

// The frame numbers of the parts of a multipart picture stream, as they arrive.
class PartCounter {
  public:
    void Feed(const char* Data, size_t Length) {
        static const std::string tag = "X-Frame-Number: ";
        buffer_.append(Data, Length);
        size_t at;
        while ((at = buffer_.find(tag)) != std::string::npos) {
            const size_t end = buffer_.find("\r\n", at);
            if (end == std::string::npos)
                return;
            Numbers.push_back(std::stoull(buffer_.substr(at + tag.size(), end - at - tag.size())));
            buffer_.erase(0, end);
        }
        // Keep only a tail that may hold the start of a tag split across reads.
        if (buffer_.size() > tag.size())
            buffer_.erase(0, buffer_.size() - tag.size());
    }
    std::vector<uint64_t> Numbers;

  private:
    std::string buffer_;
};

class ServeCommand : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("z40k-e2e-serve-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "c");
        WriteGreyScene(dir_ / "grey.png");
        // On the ideal bus: the camera's 15 frames a second give the tests their pictures quickly.
        pid_ = Launch({"serve", "--port", "0", "--ideal-bus", "--scene", (dir_ / "grey.png").string(),
                       "--registry", (dir_ / "z40k.reg").string(), "--drive-c", (dir_ / "c").string()},
                      &port_);
        // The tests look at pictures: wait for the first one.
        for (int i = 0; i < 200 && port_ > 0 && Stats()["frames"] == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    static void TearDownTestSuite() {
        if (pid_ > 0) {
            ::kill(pid_, SIGINT);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "Ctrl-C ends z40k serve with status 0";
        }
        fs::remove_all(dir_);
    }

    // Starts z40k with Args and reads the port it prints; the caller ends the process.
    static pid_t Launch(const std::vector<std::string>& Args, int* Port) {
        int out[2];
        if (::pipe(out) != 0)
            return -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(Z40K_BINARY)};
            for (const std::string& a : Args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(Z40K_BINARY, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        const size_t colon = line.rfind(':');
        *Port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        return pid;
    }

    static httplib::Client Client() {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(10, 0);
        return client;
    }

    static json Property(const std::string& Name) {
        auto res = Client().Get("/api/properties");
        if (!res || res->status != 200)
            return {};
        for (const json& p : json::parse(res->body)) {
            if (p["name"] == Name)
                return p;
        }
        return {};
    }

    static httplib::Result Put(const std::string& Name, const std::string& Body,
                               const httplib::Headers& Headers = {}) {
        return Client().Put(("/api/properties/" + Name).c_str(), Headers, Body, "application/json");
    }

    static json Stats() { return json::parse(Client().Get("/api/stats")->body); }

    // The brightness of the first snapshot taken two frames or more after the present one: a change made
    // before the call shows in it.
    static Brightness NextSnapshot() {
        const uint64_t now = Stats()["frames"];
        for (int attempt = 0; attempt < 50; ++attempt) {
            auto res = Client().Get("/snapshot.png");
            const std::string name = res ? res->get_header_value("Content-Disposition") : "";
            const size_t dash = name.find("z40k-");
            if (dash != std::string::npos && std::stoull(name.substr(dash + 5)) >= now + 2)
                return Measure(DecodePng(res->body));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "no new frame";
        return {};
    }

    static fs::path dir_;
    static pid_t pid_;
    static int port_;
};

fs::path ServeCommand::dir_;
pid_t ServeCommand::pid_ = -1;
int ServeCommand::port_ = 0;

TEST_F(ServeCommand, PropertiesComeWithTheDriversRangesAndBadRequestsChangeNothing) {
    ASSERT_GT(port_, 0) << "z40k serve did not print its address";
    const json exposure = Property("exposure");
    EXPECT_EQ(exposure["minimum"], 0);
    EXPECT_EQ(exposure["maximum"], 2047) << "the maximum is what the camera's exposure-max answers";
    EXPECT_EQ(exposure["default"], 750);
    EXPECT_EQ(exposure["access"], "rw");
    EXPECT_EQ(Property("brightness")["maximum"], 108);
    EXPECT_EQ(Property("camera-command")["control"], "command");
    EXPECT_FALSE(Property("camera-command").contains("value")) << "set-only";
    EXPECT_EQ(Property("window-width")["access"], "r");
    EXPECT_EQ(Property("window-width")["value"], 2560);

    ASSERT_EQ(Put("exposure", R"({"value": 900})")->status, 200);
    struct Case {
        const char* Name;
        std::string Body;
        int Status;
        const char* DriverStatus; // in the answer, when the driver refused
    };
    const Case cases[] = {
        {"brightness", R"({"value": 200})", 422, "STATUS_INVALID_PARAMETER"},
        {"brightness", R"({"value": -1})", 422, "STATUS_INVALID_PARAMETER"},
        {"exposure", R"({"value": 2048})", 422, nullptr},
        {"exposure", R"({"value": -5})", 422, nullptr},
        {"exposure", R"({"value": 99999999999999999999})", 422, nullptr},
        {"exposure", R"({"value": 1e300})", 422, nullptr},
        {"exposure", R"({"value": "bright"})", 400, nullptr},
        {"exposure", R"({"value": 1.5})", 400, nullptr},
        {"exposure", R"({"value": null})", 400, nullptr},
        {"exposure", R"({"valu)", 400, nullptr},
        {"exposure", R"([900])", 400, nullptr},
        {"exposure", "{\"value\": 1, \"pad\": \"" + std::string(5000, 'x') + "\"}", 413, nullptr},
        {"shutter", R"({"value": 1})", 404, nullptr},
        {"gain-max", R"({"value": 1})", 405, nullptr},
    };
    for (const Case& c : cases) {
        auto res = Put(c.Name, c.Body);
        ASSERT_TRUE(res) << c.Name << " " << c.Body.substr(0, 40);
        EXPECT_EQ(res->status, c.Status) << c.Name << " " << c.Body.substr(0, 40) << ": " << res->body;
        if (c.DriverStatus != nullptr) {
            const json answer = json::parse(res->body);
            EXPECT_EQ(answer["status"], c.DriverStatus);
            EXPECT_EQ(answer["value"], 0) << "the answer carries the value the driver still holds";
        }
    }
    EXPECT_EQ(Property("exposure")["value"], 900) << "no refused request changed the exposure";
    EXPECT_EQ(Property("brightness")["value"], 0);
}

TEST_F(ServeCommand, OnlyThisServersNameAndPagesGetThrough) {
    httplib::Client client = Client();
    auto rebound = client.Get("/api/stats", {{"Host", "attacker.example:" + std::to_string(port_)}});
    ASSERT_TRUE(rebound);
    EXPECT_EQ(rebound->status, 403) << "a DNS-rebound name is refused";
    auto wrongPort = client.Get("/api/stats", {{"Host", "127.0.0.1:1"}});
    EXPECT_EQ(wrongPort->status, 403);
    EXPECT_EQ(client.Get("/api/stats", {{"Host", "localhost:" + std::to_string(port_)}})->status, 200);

    auto crossSite = Put("gain", R"({"value": 9})", {{"Origin", "http://attacker.example"}});
    EXPECT_EQ(crossSite->status, 403);
    EXPECT_EQ(Property("gain")["value"], 0) << "a cross-site request changes nothing";
    const std::string self = "http://127.0.0.1:" + std::to_string(port_);
    EXPECT_EQ(Put("gain", R"({"value": 0})", {{"Origin", self}})->status, 200);
    EXPECT_EQ(client.Post("/api/stream/stop", {{"Origin", "null"}}, "", "text/plain")->status, 403);
    EXPECT_EQ(Stats()["state"], "running");

    EXPECT_EQ(client.Get("/../../etc/passwd")->status, 404) << "nothing is served from the file system";
    EXPECT_EQ(client.Get("/stream.mjpg?scale=3")->status, 400);
    EXPECT_EQ(client.Get("/")->get_header_value("Content-Type"), "text/html; charset=utf-8");
}

TEST_F(ServeCommand, ThePictureFollowsExposureAndColourWithinAFewFrames) {
    auto snapshot = Client().Get("/snapshot.png");
    ASSERT_TRUE(snapshot);
    ASSERT_EQ(snapshot->status, 200);
    EXPECT_EQ(snapshot->get_header_value("Content-Type"), "image/png");
    EXPECT_NE(snapshot->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
    const Picture full = DecodePng(snapshot->body);
    EXPECT_EQ(full.Width, 2560u);
    EXPECT_EQ(full.Height, 1920u);

    ASSERT_EQ(Put("color", R"({"value": 0})")->status, 200);
    ASSERT_EQ(Put("exposure", R"({"value": 750})")->status, 200);
    const Brightness before = NextSnapshot();
    EXPECT_TRUE(before.Grey) << "colour off gives R = G = B";
    EXPECT_NEAR(before.Mean, GREY, 3);

    // The reduced stream shows the same picture: a quarter of the size, the same brightness.
    PartCounter part;
    std::string jpeg;
    Client().Get("/stream.mjpg?scale=4", [&](const char* Data, size_t Length) {
        jpeg.append(Data, Length);
        part.Feed(Data, Length);
        return part.Numbers.size() < 2; // the first part is whole once the second begins
    });
    const size_t start = jpeg.find("\r\n\r\n") + 4;
    tjhandle decoder = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    ASSERT_EQ(tjDecompressHeader3(decoder, reinterpret_cast<const unsigned char*>(jpeg.data() + start),
                                  jpeg.size() - start, &width, &height, &subsampling, &colourspace),
              0);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    Picture quarter{unsigned(width), unsigned(height), std::vector<uint8_t>(size_t(width) * height * 3)};
    ASSERT_EQ(tjDecompress2(decoder, reinterpret_cast<const unsigned char*>(jpeg.data() + start),
                            jpeg.size() - start, quarter.Rgb.data(), width, 0, height, TJPF_RGB, 0),
              0);
    tjDestroy(decoder);
    EXPECT_NEAR(Measure(quarter).Mean, before.Mean, 2);

    ASSERT_EQ(Put("exposure", R"({"value": 1500})")->status, 200);
    const Brightness after = NextSnapshot();
    EXPECT_NEAR(after.Mean, 2 * before.Mean, 0.04 * before.Mean) << "exposure doubled doubles the picture";
    Put("exposure", R"({"value": 750})");
    Put("color", R"({"value": 1})");
}

TEST_F(ServeCommand, EveryViewerGetsFramesWhileSlowAndLeavingViewersCostNothing) {
    constexpr int VIEWERS = 8;
    std::vector<PartCounter> counters(VIEWERS + 2);
    std::atomic<bool> stop{false};
    std::atomic<bool> left{false};
    std::vector<std::thread> threads;
    // Eight viewers, one of them slow (it dwells 300 ms on every full-size picture it receives, far longer
    // than the camera's frame time); one more leaves after its first picture.
    for (int v = 0; v < VIEWERS + 1; ++v) {
        threads.emplace_back([&, v] {
            httplib::Client client = Client();
            const bool slow = v == 0;
            const bool leaving = v == VIEWERS;
            size_t seen = 0;
            client.Get(slow ? "/stream.mjpg?scale=1" : "/stream.mjpg?scale=4",
                       [&](const char* Data, size_t Length) {
                           counters[v].Feed(Data, Length);
                           if (slow && counters[v].Numbers.size() != seen) {
                               seen = counters[v].Numbers.size();
                               std::this_thread::sleep_for(std::chrono::milliseconds(300));
                           }
                           return !stop && !(leaving && !counters[v].Numbers.empty());
                       });
            if (leaving)
                left = true;
        });
    }
    // The count starts once every viewer watches: with the one that leaves gone, all eight that stay are
    // in. A viewer that connects late on a loaded machine misses frames before that, not after.
    for (int wait = 0; wait < 200 && !(left && Stats()["viewers"] == VIEWERS); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t startFrames = Stats()["frames"];
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const json during = Stats();
    stop = true;
    for (std::thread& t : threads)
        t.join();

    const uint64_t captured = during["frames"].get<uint64_t>() - startFrames;
    EXPECT_GE(captured, 5u) << "capture goes on with nine viewers";
    EXPECT_EQ(during["viewers"], VIEWERS) << "the viewer that left is gone";
    // A sanitizer build encodes several times slower, so its viewers see fewer of the frames; the share
    // a viewer keeps up with is pinned in the plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const uint64_t share = captured / 3;
#else
    const uint64_t share = captured * 3 / 4;
#endif
    for (int v = 1; v < VIEWERS; ++v) {
        EXPECT_GE(counters[v].Numbers.size(), share) << "viewer " << v;
        EXPECT_TRUE(std::is_sorted(counters[v].Numbers.begin(), counters[v].Numbers.end())) << "viewer " << v;
    }
    const std::vector<uint64_t>& slow = counters[0].Numbers;
    ASSERT_GE(slow.size(), 2u);
    // Whether the slow viewer's pictures skip numbers depends on how many pictures the loopback socket's
    // buffers absorb before the server sees the viewer fall behind, so it is not pinned here; that the
    // camera and the other viewers went on at full pace is.
    EXPECT_TRUE(std::is_sorted(slow.begin(), slow.end()));
    EXPECT_EQ(counters[VIEWERS].Numbers.size(), 1u);
}

TEST_F(ServeCommand, StopSavesTheSettingsAndStartResumes) {
    ASSERT_EQ(Put("exposure", R"({"value": 1234})")->status, 200);
    httplib::Client client = Client();
    auto stopped = client.Post("/api/stream/stop");
    ASSERT_EQ(stopped->status, 200) << stopped->body;
    EXPECT_EQ(json::parse(stopped->body)["state"], "stopped");
    EXPECT_NE(e2e::ReadText(dir_ / "z40k.reg").find("\"Exposure Time\"=dword:000004d2"), std::string::npos);
    const uint64_t frames = Stats()["frames"];
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(Stats()["frames"].get<uint64_t>(), frames + 1) << "no frames while stopped";

    ASSERT_EQ(client.Post("/api/stream/start")->status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_GT(Stats()["frames"].get<uint64_t>(), frames + 2);
    EXPECT_EQ(Stats()["state"], "running");
    Put("exposure", R"({"value": 750})");
}

TEST(ServeStartup, APortInUseOrAnAddressNotHereIsAOneLineError) {
    const fs::path dir = e2e::MakeTestFolder("z40k-e2e-serve-start");
    httplib::Server holder;
    const int port = holder.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    for (const std::string& args :
         {"serve --port " + std::to_string(port), std::string("serve --bind 192.0.2.1")}) {
        const e2e::Outcome r = e2e::RunZ40k(args, dir);
        EXPECT_EQ(r.ExitCode, 1) << args;
        EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
        EXPECT_NE(r.Err.find("cannot listen"), std::string::npos) << r.Err;
        EXPECT_TRUE(r.Out.empty());
    }
    fs::remove_all(dir);
}

} // namespace

#endif // Z40K_HAVE_SERVE
