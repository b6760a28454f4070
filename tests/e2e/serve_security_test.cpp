// `z40k serve` attacked as a hostile web page and a hostile local client would, on the loopback
// interface only: smuggled requests, rebound names, slow and stalled clients, unbounded bodies and
// headers, malformed requests, and Ctrl-C while all of that goes on. Each test starts a server of its
// own, opens at most a hundred connections and ends within seconds.
#ifdef Z40K_HAVE_SERVE

#include "tests/e2e/http_client.h"
#include "tests/e2e/run_z40k.h"
#include "tests/e2e/serve_process.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// The bound the API keeps under any load; a sanitizer build runs the server several times slower, so it
// gets twice the time there.
constexpr std::chrono::milliseconds ANSWER_BOUND = e2e::SANITIZED ? 2000ms : 1000ms;

class ServeSecurity : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = e2e::MakeTestFolder("z40k-e2e-serve-security");
        // The ideal bus: the crowd must not starve frames that come at the camera's own 15 a second.
        ASSERT_TRUE(server_.Start(
            {"--bus", "ideal", "--registry", (dir_ / "z40k.reg").string(), "--drive-c", dir_.string()}));
        port_ = server_.Port();
        for (int i = 0; i < 200 && Stats().value("frames", 0) == 0; ++i)
            std::this_thread::sleep_for(50ms);
    }
    void TearDown() override { fs::remove_all(dir_); }

    json Stats() { return json::parse(e2e::Http(port_, "GET", "/api/stats").Body, nullptr, false); }

    long Exposure() {
        const json all = json::parse(e2e::Http(port_, "GET", "/api/properties").Body, nullptr, false);
        for (const json& p : all.is_array() ? all : json::array()) {
            if (p["name"] == "exposure")
                return p["value"];
        }
        return -1;
    }

    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

    // How long one request took to be answered on a connection of its own (ANSWER_BOUND * 3 when it was
    // not), and its status.
    std::chrono::milliseconds Timed(const std::string& Request, int* Status) {
        const auto start = Clock::now();
        e2e::HttpConnection connection(port_, ANSWER_BOUND * 3);
        connection.Send(Request);
        *Status = connection.Read().Status;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        return *Status != 0 ? took : ANSWER_BOUND * 3;
    }

    fs::path dir_;
    e2e::ServeProcess server_;
    int port_ = 0;
};

// Connections that hold the server as an attacker's would: clients sending a request a byte at a time,
// stream viewers that never read, and connections left idle after an answer.
class Crowd {
  public:
    Crowd(int Port, int Slow, int Stalled, int Idle) : port_(Port) {
        for (int i = 0; i < Stalled; ++i) {
            auto viewer = std::make_unique<e2e::HttpConnection>(Port, 1000ms, 4096);
            viewer->Send(e2e::HttpRequest(Port, "GET", "/stream.mjpg?scale=1"));
            open_.push_back(std::move(viewer));
        }
        for (int i = 0; i < Idle; ++i) {
            auto idle = std::make_unique<e2e::HttpConnection>(Port, 1000ms);
            idle->Send(e2e::HttpRequest(Port, "GET", "/api/stats"));
            idle->Read();
            open_.push_back(std::move(idle));
        }
        for (int i = 0; i < Slow; ++i)
            slow_.push_back(std::make_unique<e2e::HttpConnection>(Port, 1000ms));
        trickle_ = std::thread([this] { Trickle(); });
    }
    ~Crowd() {
        stop_ = true;
        trickle_.join();
    }

  private:
    // A byte to every slow client each 250 ms, of a request whose end never comes.
    void Trickle() {
        const std::string request = "GET /api/stats HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                    "\r\nX-Pad: " + std::string(4096, 'a');
        for (size_t at = 0; !stop_ && at < request.size(); ++at) {
            for (auto& s : slow_)
                s->Send(request.substr(at, 1));
            std::this_thread::sleep_for(250ms);
        }
    }

    int port_;
    std::vector<std::unique_ptr<e2e::HttpConnection>> open_;
    std::vector<std::unique_ptr<e2e::HttpConnection>> slow_;
    std::atomic<bool> stop_{false};
    std::thread trickle_;
};

// A refused request's connection is closed at once: the body it carried, which a cross-site page can
// make any bytes it likes, is never read as the next request. The body follows once the answer is in,
// as a large one would arrive after the server has seen the headers.
TEST_F(ServeSecurity, ARefusalClosesItsConnectionAndNothingItCarriedRuns) {
    const std::string smuggled =
        e2e::HttpRequest(port_, "PUT", "/api/properties/exposure", R"({"value": 1999})");
    const std::string length = "Content-Length: " + std::to_string(smuggled.size()) + "\r\n";
    const std::string rebound = "Host: attacker.example:" + std::to_string(port_) + "\r\n";
    struct Case {
        std::string Head;
        int Status;
    };
    const Case cases[] = {
        // A page's cross-site form post: text/plain, its body the request to smuggle.
        {"POST /api/stream/start HTTP/1.1\r\nHost: " + Host() +
             "\r\nOrigin: http://attacker.example\r\nContent-Type: text/plain\r\n" + length + "\r\n",
         403},
        {"POST /api/stream/start HTTP/1.1\r\n" + rebound + length + "\r\n", 403},
        {"GET /api/stats HTTP/1.1\r\n" + rebound + "\r\n", 403},
        {"PUT /api/properties/gain HTTP/1.1\r\nHost: " + Host() + "\r\nContent-Length: 5000\r\n\r\n", 413},
    };
    for (const Case& c : cases) {
        e2e::HttpConnection connection(port_, 3000ms);
        connection.Send(c.Head);
        EXPECT_EQ(connection.Read().Status, c.Status) << c.Head;
        connection.Send(smuggled);
        std::string rest;
        EXPECT_TRUE(connection.ClosedByServer(&rest)) << c.Head;
        EXPECT_EQ(rest.find("HTTP/1."), std::string::npos) << "a second answer: " << rest.substr(0, 60);
    }
    EXPECT_EQ(Exposure(), 750) << "no smuggled request ran";
}

// DNS rebinding sends the attacker's own name: only address literals that lead here and "localhost"
// pass, and a state change must come from the page's own origin.
TEST_F(ServeSecurity, OnlyThisServersOwnNamesAndItsOwnPageGetThrough) {
    const std::string port = std::to_string(port_);
    const std::pair<std::string, int> hosts[] = {
        {"127.0.0.1:" + port, 200},
        {"localhost:" + port, 200},
        {"LocalHost:" + port, 200},
        {"127.0.0.2:" + port, 200},
        {"[::1]:" + port, 200},
        {"127.attacker.example:" + port, 403},
        {"127.0.0.1.nip.example:" + port, 403},
        {"attacker.example:" + port, 403},
        {"localhost.:" + port, 403},
        {"127.0.0.1:1", 403},
        {"127.0.0.1", 403},
        {"127.0.0.1:+" + port, 403},
        {"[127.0.0.1]:" + port, 403},
        {"localhost:" + port + "0", 403},
    };
    for (const auto& [host, status] : hosts)
        EXPECT_EQ(e2e::Http(port_, "GET", "/api/stats", "", {{"Host", host}}).Status, status) << host;
    EXPECT_EQ(e2e::Http(port_, "GET", "/api/stats", "", {{"Host", ""}}).Status, 400) << "no Host at all";

    const std::pair<std::string, int> origins[] = {
        {"http://127.0.0.1:" + port, 200},
        {"http://attacker.example", 403},
        {"null", 403},
        {"http://127.0.0.1:" + port + ".attacker.example", 403},
        {"https://127.0.0.1:" + port, 403},
    };
    for (const auto& [origin, status] : origins) {
        const e2e::HttpAnswer answer =
            e2e::Http(port_, "PUT", "/api/properties/gain", R"({"value": 0})", {{"Origin", origin}});
        EXPECT_EQ(answer.Status, status) << origin;
    }
    EXPECT_EQ(e2e::Http(port_, "PUT", "/api/properties/gain", R"({"value": 9})",
                        {{"Host", "127.attacker.example:" + port},
                         {"Origin", "http://127.attacker.example:" + port}})
                  .Status,
              403);
    EXPECT_EQ(
        e2e::Http(port_, "POST", "/api/stream/stop", "", {{"Origin", "http://attacker.example"}}).Status,
        403);
    EXPECT_EQ(Stats()["state"], "running");
}

// A request trickling in a byte at a time keeps the connection only until its deadline, however steady
// the trickle.
TEST_F(ServeSecurity, ARequestMustArriveWholeWithinItsDeadline) {
    e2e::HttpConnection slow(port_, 100ms);
    const std::string request =
        "GET /api/stats HTTP/1.1\r\nHost: " + Host() + "\r\nX-Pad: " + std::string(200, 'a');
    const auto start = Clock::now();
    bool closed = false;
    for (size_t at = 0; at < request.size() && Clock::now() - start < 14s && !closed; ++at) {
        closed = !slow.Send(request.substr(at, 1)) || slow.ClosedByServer();
        std::this_thread::sleep_for(150ms);
    }
    const auto took = Clock::now() - start;
    EXPECT_TRUE(closed) << "still open after "
                        << std::chrono::duration_cast<std::chrono::seconds>(took).count() << " s";
    EXPECT_GE(took, 9s) << "closed before its deadline, after "
                        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

// Viewers past the limit are refused and let go at once, counted exactly however many come together,
// and the API answers within its bound while they come.
TEST_F(ServeSecurity, ViewersPastTheLimitAreTurnedAwayAtOnce) {
    constexpr int COMING = 40;
    constexpr int LIMIT = 16;
    std::vector<std::unique_ptr<e2e::HttpConnection>> viewers;
    for (int i = 0; i < COMING; ++i)
        viewers.push_back(std::make_unique<e2e::HttpConnection>(port_, 3000ms, 4096));
    // Every request sent before any answer is read, so that the server takes them all at once.
    for (auto& v : viewers)
        v->Send(e2e::HttpRequest(port_, "GET", "/stream.mjpg?scale=4"));
    std::atomic<int> admitted{0};
    std::atomic<int> refusedAndClosed{0};
    std::vector<std::thread> readers;
    for (auto& v : viewers) {
        readers.emplace_back([&, connection = v.get()] {
            const int status = connection->Read([](const char*, size_t) { return false; }).Status;
            admitted += status == 200;
            refusedAndClosed += status == 503 && connection->ClosedByServer();
        });
    }
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(admitted, LIMIT);
    EXPECT_EQ(refusedAndClosed, COMING - LIMIT);
    int status = 0;
    EXPECT_LT(Timed(e2e::HttpRequest(port_, "GET", "/api/stats"), &status).count(), ANSWER_BOUND.count());
    EXPECT_EQ(status, 200);
    EXPECT_EQ(Stats()["viewers"], LIMIT);
}

// A body is bounded whatever its framing, and one the server cannot read as sent (compressed, or framed
// two ways) is refused.
TEST_F(ServeSecurity, BodiesAreBoundedWhateverTheirFraming) {
    const std::string put = "PUT /api/properties/exposure HTTP/1.1\r\nHost: " + Host() + "\r\n";
    const std::string padded = "{\"value\": 1999, \"pad\": \"" + std::string(5000, 'x') + "\"}";
    auto chunk = [](const std::string& Bytes) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", Bytes.size());
        return size + Bytes + "\r\n";
    };
    const std::pair<std::string, int> cases[] = {
        {put + "Transfer-Encoding: chunked\r\n\r\n" + chunk(padded.substr(0, 2500)) +
             chunk(padded.substr(2500)) + "0\r\n\r\n",
         413},
        {put + "Content-Encoding: gzip\r\nContent-Length: 15\r\n\r\n{\"value\": 1999}", 415},
        {put + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunk(R"({"value": 1999})") + "0\r\n\r\n", 400},
        {put + "Transfer-Encoding: identity\r\n\r\n" + padded, 400},
        {put + "Content-Length: 15\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk(R"({"value": 1999})") +
             "0\r\n\r\n",
         400},
    };
    for (const auto& [request, status] : cases) {
        e2e::HttpConnection connection(port_, 3000ms);
        connection.Send(request);
        EXPECT_EQ(connection.Read().Status, status) << request.substr(0, 120);
    }
    // A chunked body that never ends, 64 MiB offered: the server stops reading it, and holds none of it.
    const long before = server_.RssKib();
    e2e::HttpConnection endless(port_, 3000ms);
    endless.Send(put + "Transfer-Encoding: chunked\r\n\r\n");
    const std::string piece = chunk(std::string(65536, 'x'));
    size_t sent = 0;
    while (sent < (64u << 20) && endless.Send(piece))
        sent += piece.size();
    EXPECT_LT(sent, 64u << 20) << "the server read all of an endless body";
    EXPECT_LT(server_.RssKib() - before, 16 * 1024) << "KiB held after an endless body";
    EXPECT_EQ(Exposure(), 750);
}

// Request and header lines, their count and their total are bounded before the server buffers them.
TEST_F(ServeSecurity, RequestLinesAndHeadersAreBounded) {
    auto withHeaders = [&](int Count, size_t Length) {
        std::string request = "GET /api/stats HTTP/1.1\r\nHost: " + Host() + "\r\n";
        for (int i = 0; i < Count; ++i)
            request += "X-" + std::to_string(i) + ": " + std::string(Length, 'h') + "\r\n";
        return request + "\r\n";
    };
    const std::pair<std::string, int> cases[] = {
        {withHeaders(98, 10), 200}, // within every bound
        {"GET /api/stats?" + std::string(9000, 'q') + " HTTP/1.1\r\nHost: " + Host() + "\r\n\r\n", 414},
        {withHeaders(1, 9000), 431},
        {withHeaders(101, 10), 431},
        {withHeaders(40, 1000), 431},
    };
    for (const auto& [request, status] : cases) {
        e2e::HttpConnection connection(port_, 3000ms);
        connection.Send(request);
        EXPECT_EQ(connection.Read().Status, status)
            << request.substr(0, 60) << "... " << request.size() << " bytes";
    }
    // A header line of 64 MiB: refused and closed long before its end.
    const long before = server_.RssKib();
    e2e::HttpConnection endless(port_, 3000ms);
    endless.Send("GET /api/stats HTTP/1.1\r\nHost: " + Host() + "\r\nX-Long: ");
    const std::string piece(65536, 'h');
    size_t sent = 0;
    while (sent < (64u << 20) && endless.Send(piece))
        sent += piece.size();
    EXPECT_LT(sent, 64u << 20) << "the server read all of a 64 MiB header line";
    EXPECT_LT(server_.RssKib() - before, 16 * 1024) << "KiB held after a 64 MiB header line";
}

// Requests no browser sends: each is answered with a 4xx, none changes anything, and the page cannot be
// framed by another site.
TEST_F(ServeSecurity, MalformedRequestsGetA4xxAndChangeNothing) {
    const e2e::HttpAnswer page = e2e::Http(port_, "GET", "/", "", {{"Range", "bytes=0-99999999"}});
    const e2e::HttpAnswer whole = e2e::Http(port_, "GET", "/");
    EXPECT_TRUE(page.Status == 200 || page.Status == 206) << page.Status;
    EXPECT_LE(page.Body.size(), whole.Body.size());
    EXPECT_EQ(page.Header("content-range").find("99999999"), std::string::npos)
        << page.Header("content-range");
    EXPECT_NE(whole.Header("content-security-policy").find("frame-ancestors 'none'"), std::string::npos);
    EXPECT_EQ(whole.Header("x-frame-options"), "DENY");

    const std::string value = R"({"value": 1999})";
    const std::string requests[] = {
        e2e::HttpRequest(port_, "PUT", "/api/properties/\xff\xfe", value),
        e2e::HttpRequest(port_, "PUT", "/api/properties/%ff%fe", value),
        e2e::HttpRequest(port_, "PUT", "/api/properties/exposure%00x", value),
        e2e::HttpRequest(port_, "PUT", std::string("/api/properties/exposure\0x", 26), value),
        e2e::HttpRequest(port_, "PUT", "/api/properties/exposure%zz", value),
        e2e::HttpRequest(port_, "PUT", "/api/properties/expo\x01sure", value),
        e2e::HttpRequest(port_, "PUT", "/api/properties/exposure",
                         std::string(R"({"value": 1999})") + '\0' + "x"),
        e2e::HttpRequest(port_, "PUT", "/api/properties/exposure", value,
                         {{"Host", Host()}, {"Host", "evil:1"}}),
        e2e::HttpRequest(port_, "PUT", "/api/properties/exposure", value,
                         {{"Origin", "http://" + Host()}, {"Origin", "http://attacker.example"}}),
        "PUT /api/properties/exposure HTTP/1.1\r\nHost: " + Host() +
            "\r\nContent-Length: 15\r\nContent-Length: 0\r\n\r\n" + value,
        "PUT /api/properties/exposure HTTP/1.1\r\nHost: " + Host() +
            "\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\nf\r\n" + value +
            "\r\n0\r\n\r\n",
    };
    for (const std::string& request : requests) {
        e2e::HttpConnection connection(port_, 3000ms);
        connection.Send(request);
        const int status = connection.Read().Status;
        EXPECT_TRUE(status >= 400 && status < 500) << status << " for " << request.substr(0, 50);
    }
    EXPECT_EQ(Exposure(), 750);
}

// Stalled viewers, slow clients and idle connections at once, while a client reads the statistics and
// sets a property every 100 ms: every answer within the bound, frames all along, and the memory the
// crowd took given back when it goes.
TEST_F(ServeSecurity, TheApiAnswersWithinItsBoundUnderACrowd) {
    // The memory to come back to is the server's once it has served a crowd for a moment: the encoder, the
    // frames kept for reuse and what the allocator keeps of freed pictures stay from then on, and a
    // second crowd must not add to them.
    {
        Crowd warm(port_, 0, 30, 0);
        std::this_thread::sleep_for(1s);
    }
    std::this_thread::sleep_for(500ms);
    const long before = server_.RssKib();
    const uint64_t framesBefore = Stats()["frames"];
    std::chrono::milliseconds slowest{0};
    int answered = 0;
    int asked = 0;
    {
        Crowd crowd(port_, 40, 30, 20);
        for (const auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(100ms)) {
            int status = 0;
            const std::string request =
                asked % 2 == 0 ? e2e::HttpRequest(port_, "GET", "/api/stats")
                               : e2e::HttpRequest(port_, "PUT", "/api/properties/exposure",
                                                  "{\"value\": " + std::to_string(700 + asked % 7) + "}");
            slowest = std::max(slowest, Timed(request, &status));
            answered += status == 200;
            ++asked;
        }
    }
    EXPECT_LT(slowest.count(), ANSWER_BOUND.count()) << "ms for the slowest answer";
    EXPECT_EQ(answered, asked);
    EXPECT_GE(Stats()["frames"].get<uint64_t>(), framesBefore + 30) << "frames kept coming";
    if (!e2e::SANITIZED) {
        std::this_thread::sleep_for(1s);
        EXPECT_LT(server_.RssKib() - before, 16 * 1024) << "KiB still held after the crowd went";
    }
}

// Ctrl-C ends the program within a second whatever its clients are doing, saving the settings.
TEST_F(ServeSecurity, CtrlCEndsTheProgramWithinASecondWhateverClientsDo) {
    ASSERT_EQ(e2e::Http(port_, "PUT", "/api/properties/exposure", R"({"value": 1234})").Status, 200);
    Crowd crowd(port_, 30, 20, 10);
    e2e::HttpConnection snapshot(port_, 100ms);
    snapshot.Send(e2e::HttpRequest(port_, "GET", "/snapshot.png"));
    std::this_thread::sleep_for(500ms);
    std::chrono::milliseconds took{0};
    EXPECT_EQ(server_.Interrupt(5s, &took), 0);
    EXPECT_LT(took.count(), 1000) << "ms from Ctrl-C to the end";
    EXPECT_NE(e2e::ReadText(dir_ / "z40k.reg").find("\"Exposure Time\"=dword:000004d2"), std::string::npos)
        << "the settings were saved";
}

} // namespace

#endif // Z40K_HAVE_SERVE
