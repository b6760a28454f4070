// The HTTP server under `z40k serve`, on libmicrohttpd. Its polling threads (epoll) serve every
// connection, so a slow or stalled client costs a socket and a bounded buffer, never a thread; picture
// streams wait for their next frame suspended, and slow answers (a snapshot) are made on a thread of
// their own. On top of what the library bounds (each connection's memory, its idle time, the number of
// connections) it holds what a server facing a hostile web page and a hostile local client needs: a
// deadline for the whole of each request, strict framing (one Content-Length, Transfer-Encoding only
// chunked, no compressed bodies), bounded header lines, header counts and bodies whatever their framing,
// Host and Origin checked before anything runs, and every refusal closing its connection, so that
// nothing a refused request carried is ever read as a request.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace z40k {
namespace http {

constexpr size_t MAX_BODY_BYTES = 4096;
constexpr size_t MAX_LINE_BYTES = 8192; // the request line, and each header line
constexpr size_t MAX_HEADER_COUNT = 100;
constexpr size_t MAX_HEADER_BYTES = 32768; // the header lines together
// A request's line, headers and body must all arrive within this time of the connection's opening or of
// the previous answer's end.
constexpr std::chrono::seconds REQUEST_DEADLINE{10};
// A connection that neither sends nor takes anything for this long is closed.
constexpr unsigned IDLE_TIMEOUT_SECONDS = 5;

struct Request {
    std::string Method;
    std::string Path; // decoded
    std::string Name; // a route taking a name: the decoded part of the path after its prefix
    std::string Host;
    std::string Body;
    std::map<std::string, std::string> Query; // the first value of each argument, as sent
};

// A body sent as it is made, of a length not known ahead (a picture stream).
class BodyStream {
  public:
    virtual ~BodyStream() = default;
    static constexpr long WAIT = 0; // nothing to send yet: asked again after Server::Wake or a short while
    static constexpr long END = -1;
    // Copies up to Max bytes of the body into Buffer; returns how many, WAIT or END.
    virtual long Read(char* Buffer, size_t Max) = 0;
};

struct Reply {
    int Status = 200;
    std::string ContentType = "application/json";
    std::string Body;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::shared_ptr<BodyStream> Stream; // when set, the body (Body is not sent)
    std::function<Reply()> Later;       // when set, made on a thread of its own and sent when done
};

// A JSON answer, and the answer {"error": Message}. Neither is cached by the browser.
Reply JsonReply(int Status, const nlohmann::json& Body);
Reply ErrorReply(int Status, const std::string& Message);

using Handler = std::function<Reply(const Request&)>;

class Server {
  public:
    Server();
    ~Server(); // Stop
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // A Path ending in "/*" takes one name in place of the '*' (no further '/'), given as Request::Name.
    void Route(const std::string& Method, const std::string& Path, Handler Answer);

    // Binds Bind:Port (Port 0: any free one). False with *Error set.
    bool Listen(const std::string& Bind, int Port, std::string* Error);
    int Port() const { return port_; }
    // Starts answering on the bound address. False with *Error set.
    bool Start(std::string* Error);
    // A stream that answered WAIT may have more now.
    void Wake();
    // Closes every connection, after the answers being made on threads of their own are done. Idempotent.
    void Stop();

    // Internal: what the library's callbacks reach.
    struct Link;
    struct Exchange;
    struct StreamBody;

  private:
    struct RouteEntry {
        std::string Method;
        std::string Path;
        Handler Answer;
    };
    friend struct Callbacks;

    Reply Refusal(MHD_Connection* Connection, const char* Method, const char* Url, const char* Version,
                  Exchange* X);
    Reply Dispatch(const char* Method, const std::string& Path, Exchange* X);
    bool Finish(MHD_Connection* Connection, Exchange* X);
    bool Queue(MHD_Connection* Connection, Reply Answer, bool Close);
    void StartLater(MHD_Connection* Connection, Exchange* X, std::function<Reply()> Later);
    void Watch();
    void SetDeadline(MHD_Connection* Connection, bool Armed);
    void ResumeStreamsLocked(); // with mutex_ held

    std::vector<RouteEntry> routes_;
    std::string bind_;
    int port_ = 0;
    int listenFd_ = -1;
    MHD_Daemon* daemon_ = nullptr;

    std::mutex mutex_; // guards what follows
    std::condition_variable changed_;
    bool stopping_ = false;
    std::set<Link*> links_;
    std::set<StreamBody*> streams_;
    unsigned laterRunning_ = 0;
    std::thread watchdog_;
};

} // namespace http
} // namespace z40k
