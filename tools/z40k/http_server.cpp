#include "tools/z40k/http_server.h"

#include "tools/z40k/http_checks.h"

#include <microhttpd.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace z40k {
namespace http {

namespace {

using Clock = std::chrono::steady_clock;

// Two polling threads: one answer that takes a while (a property set waits for the driver) leaves the
// other thread's connections going.
constexpr unsigned POLLING_THREADS = 2;
constexpr unsigned MAX_CONNECTIONS = 512;
// What one connection may hold: its request line and headers, the library's records of them and the
// answer's header. A request line or headers beyond it are answered 414 or 431 by the library before
// this program sees them; within it, the limits above are checked on what arrived.
constexpr size_t CONNECTION_MEMORY = 64 * 1024;
// Bytes of a stream's body taken per call.
constexpr size_t STREAM_BLOCK = 128 * 1024;
// A chunked body past the limit is read and dropped up to this much, so that its sender gets the 413;
// more closes the connection at once.
constexpr size_t MAX_DISCARDED_BYTES = 64 * 1024;
// Answers made on threads of their own at once; more are turned away rather than queued.
constexpr unsigned MAX_LATER = 2;
constexpr std::chrono::milliseconds WATCH_PERIOD{100};
// Suspended streams look at their sockets every so many watch periods, so that a viewer who left while
// no frame came is let go.
constexpr unsigned STREAM_CHECK_PERIODS = 5;

struct Header {
    std::string Key;
    std::string Value;
};

MHD_Result CollectHeader(void* Cls, MHD_ValueKind, const char* Key, const char* Value) {
    static_cast<std::vector<Header>*>(Cls)->push_back({Key, Value != nullptr ? Value : ""});
    return MHD_YES;
}

MHD_Result CollectArgument(void* Cls, MHD_ValueKind, const char* Key, const char* Value) {
    static_cast<std::map<std::string, std::string>*>(Cls)->emplace(Key, Value != nullptr ? Value : "");
    return MHD_YES;
}

// The request's header lines against the limits; 0 when they hold, else the status of the refusal.
int HeaderShape(const std::vector<Header>& Headers, std::string* Error) {
    size_t total = 0;
    for (const Header& h : Headers) {
        const size_t line = h.Key.size() + 2 + h.Value.size();
        if (line > MAX_LINE_BYTES) {
            *Error = "header line too long: " + std::to_string(MAX_LINE_BYTES) + " bytes at most";
            return 431;
        }
        total += line;
    }
    if (Headers.size() > MAX_HEADER_COUNT) {
        *Error = "too many header lines: " + std::to_string(MAX_HEADER_COUNT) + " at most";
        return 431;
    }
    if (total > MAX_HEADER_BYTES) {
        *Error = "headers too large: " + std::to_string(MAX_HEADER_BYTES) + " bytes at most";
        return 431;
    }
    return 0;
}

const Header* Find(const std::vector<Header>& Headers, const char* Key) {
    for (const Header& h : Headers) {
        if (strcasecmp(h.Key.c_str(), Key) == 0)
            return &h;
    }
    return nullptr;
}

// How the body is framed, and the headers that decide who may send it, each once: where two copies
// disagree, the library and a proxy in front of it could each believe another one.
int Framing(const std::vector<Header>& Headers, std::string* Error) {
    for (const char* key : {"Content-Length", "Transfer-Encoding", "Host", "Origin"}) {
        int copies = 0;
        for (const Header& h : Headers)
            copies += strcasecmp(h.Key.c_str(), key) == 0;
        if (copies > 1) {
            *Error = std::string("repeated ") + key + " header";
            return 400;
        }
    }
    const Header* encoding = Find(Headers, "Transfer-Encoding");
    if (encoding != nullptr && strcasecmp(encoding->Value.c_str(), "chunked") != 0) {
        *Error = "Transfer-Encoding must be chunked";
        return 400;
    }
    if (encoding != nullptr && Find(Headers, "Content-Length") != nullptr) {
        *Error = "both Content-Length and Transfer-Encoding";
        return 400;
    }
    const Header* content = Find(Headers, "Content-Encoding");
    if (content != nullptr && strcasecmp(content->Value.c_str(), "identity") != 0) {
        *Error = "compressed request bodies are not accepted (Content-Encoding: " + content->Value + ")";
        return 415;
    }
    const Header* length = Find(Headers, "Content-Length");
    if (length != nullptr && (length->Value.size() > 9 || std::stoul("0" + length->Value) > MAX_BODY_BYTES)) {
        *Error = "body too large: " + std::to_string(MAX_BODY_BYTES) + " bytes at most";
        return 413;
    }
    return 0;
}

bool PeerGone(int Fd) {
    char byte;
    const ssize_t n = recv(Fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

int ConnectionFd(MHD_Connection* Connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(Connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info != nullptr ? info->connect_fd : -1;
}

} // namespace

// One connection: its socket and the time its request under way must be in by.
struct Server::Link {
    int Fd = -1;
    Clock::time_point Deadline = Clock::time_point::max();
};

// One request, from its request line to its answer's end.
struct Server::Exchange {
    ~Exchange() {
        if (Worker.joinable())
            Worker.join();
    }
    // The request target as the library holds it, and its length then: a NUL byte in it would end the
    // string the library hands on early.
    const char* Uri = nullptr;
    size_t UriBytes = 0;
    bool Checked = false;
    const RouteEntry* Route = nullptr;
    Request Req;
    bool TooLarge = false;
    size_t Discarded = 0;
    // An answer made on a thread of its own.
    std::thread Worker;
    bool Pending = false;
    Reply Made;
};

// The body of a stream's answer, while the library holds the answer.
struct Server::StreamBody {
    Server* Owner;
    MHD_Connection* Connection;
    std::shared_ptr<BodyStream> Body;
    int Fd;
    bool Suspended = false; // guarded by the owner's mutex
};

Reply JsonReply(int Status, const nlohmann::json& Body) {
    Reply reply;
    reply.Status = Status;
    // A name from the request may hold any bytes; the answer stays valid JSON whatever they are.
    reply.Body = Body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    reply.Headers.emplace_back("Cache-Control", "no-store");
    return reply;
}

Reply ErrorReply(int Status, const std::string& Message) {
    return JsonReply(Status, {{"error", Message}});
}

// The library's callbacks, each handing on to the server given as their closure.
struct Callbacks {
    static void* UriLog(void*, const char* Uri, MHD_Connection*) {
        auto* x = new Server::Exchange;
        x->Uri = Uri;
        x->UriBytes = Uri != nullptr ? std::strlen(Uri) : 0;
        return x;
    }

    // The library decodes nothing: the path is decoded strictly by DecodePath, the query taken as sent.
    static size_t KeepEscapes(void*, MHD_Connection*, char* Text) { return std::strlen(Text); }

    static void Quiet(void*, const char*, va_list) {}

    static MHD_Result Access(void* Cls, MHD_Connection* Connection, const char* Url, const char* Method,
                             const char* Version, const char* Data, size_t* Size, void** Context) {
        Server& server = *static_cast<Server*>(Cls);
        if (*Context == nullptr)
            *Context = new Server::Exchange;
        auto* x = static_cast<Server::Exchange*>(*Context);
        if (!x->Checked) {
            x->Checked = true;
            Reply refusal = server.Refusal(Connection, Method, Url, Version, x);
            if (refusal.Status == 0)
                return MHD_YES;
            return server.Queue(Connection, std::move(refusal), true) ? MHD_YES : MHD_NO;
        }
        if (*Size != 0) {
            if (!x->TooLarge && x->Req.Body.size() + *Size <= MAX_BODY_BYTES) {
                x->Req.Body.append(Data, *Size);
            } else {
                x->TooLarge = true;
                x->Discarded += *Size;
            }
            *Size = 0;
            return x->Discarded <= MAX_DISCARDED_BYTES ? MHD_YES : MHD_NO;
        }
        return server.Finish(Connection, x) ? MHD_YES : MHD_NO;
    }

    static void Completed(void* Cls, MHD_Connection* Connection, void** Context, MHD_RequestTerminationCode) {
        delete static_cast<Server::Exchange*>(*Context);
        *Context = nullptr;
        static_cast<Server*>(Cls)->SetDeadline(Connection, true); // for the next request
    }

    static void Notify(void* Cls, MHD_Connection* Connection, void** Socket,
                       MHD_ConnectionNotificationCode Code) {
        Server& server = *static_cast<Server*>(Cls);
        std::lock_guard<std::mutex> lock(server.mutex_);
        if (Code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* link = new Server::Link;
            link->Fd = ConnectionFd(Connection);
            link->Deadline = Clock::now() + REQUEST_DEADLINE;
            server.links_.insert(link);
            *Socket = link;
            return;
        }
        // Called before the library closes the socket: once the link is gone, the watchdog cannot reach a
        // number the system may already have given to a newer socket.
        auto* link = static_cast<Server::Link*>(*Socket);
        server.links_.erase(link);
        delete link;
        *Socket = nullptr;
    }

    static ssize_t StreamRead(void* Cls, uint64_t, char* Buffer, size_t Max) {
        auto* s = static_cast<Server::StreamBody*>(Cls);
        std::lock_guard<std::mutex> lock(s->Owner->mutex_);
        if (s->Owner->stopping_)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        const long n = s->Body->Read(Buffer, Max);
        if (n > 0)
            return n;
        if (n == BodyStream::END)
            return MHD_CONTENT_READER_END_OF_STREAM;
        if (PeerGone(s->Fd))
            return MHD_CONTENT_READER_END_WITH_ERROR;
        // Checked and suspended under the lock that Wake takes: a frame that comes in between wakes it.
        s->Suspended = true;
        MHD_suspend_connection(s->Connection);
        return 0;
    }

    static void StreamFree(void* Cls) {
        auto* s = static_cast<Server::StreamBody*>(Cls);
        {
            std::lock_guard<std::mutex> lock(s->Owner->mutex_);
            s->Owner->streams_.erase(s);
        }
        delete s;
    }
};

Server::Server() = default;

Server::~Server() {
    Stop();
}

void Server::Route(const std::string& Method, const std::string& Path, Handler Answer) {
    routes_.push_back({Method, Path, std::move(Answer)});
}

bool Server::Listen(const std::string& Bind, int Port, std::string* Error) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(Bind.c_str(), std::to_string(Port).c_str(), &hints, &found);
    if (lookup != 0) {
        *Error = gai_strerror(lookup);
        return false;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int yes = 1;
    // Not SO_REUSEPORT: a second server must not be able to share a port in use.
    const bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                    bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
    const int error = errno;
    freeaddrinfo(found);
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (!ok || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *Error = std::strerror(error);
        if (fd >= 0)
            close(fd);
        return false;
    }
    port_ = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    bind_ = Bind;
    listenFd_ = fd;
    return true;
}

bool Server::Start(std::string* Error) {
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, &Callbacks::Access,
        this, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listenFd_), MHD_OPTION_THREAD_POOL_SIZE,
        static_cast<unsigned>(POLLING_THREADS), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(MAX_CONNECTIONS), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(CONNECTION_MEMORY), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(IDLE_TIMEOUT_SECONDS), MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::Completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::Notify, this, MHD_OPTION_URI_LOG_CALLBACK,
        &Callbacks::UriLog, this, MHD_OPTION_UNESCAPE_CALLBACK, &Callbacks::KeepEscapes, this,
        MHD_OPTION_STRICT_FOR_CLIENT, static_cast<int>(1), MHD_OPTION_EXTERNAL_LOGGER, &Callbacks::Quiet,
        this, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *Error = "the HTTP server did not start";
        return false;
    }
    watchdog_ = std::thread(&Server::Watch, this);
    return true;
}

void Server::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    ResumeStreamsLocked();
}

void Server::ResumeStreamsLocked() {
    for (StreamBody* s : streams_) {
        if (s->Suspended) {
            s->Suspended = false;
            MHD_resume_connection(s->Connection);
        }
    }
}

void Server::Stop() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        // The library must not be stopped with a connection suspended: every stream is woken to end, and
        // every answer being made is waited for (each wakes its connection).
        ResumeStreamsLocked();
        changed_.wait(lock, [&] { return laterRunning_ == 0; });
    }
    changed_.notify_all();
    if (watchdog_.joinable())
        watchdog_.join();
    if (daemon_ != nullptr) {
        const MHD_socket fd = MHD_quiesce_daemon(daemon_);
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
        if (fd != MHD_INVALID_SOCKET)
            listenFd_ = fd;
    }
    if (listenFd_ >= 0)
        close(listenFd_);
    listenFd_ = -1;
}

// The checks of a request whose headers are in, before any of its body is read. A reply of status 0 lets
// it through, with X's request and route filled in.
Reply Server::Refusal(MHD_Connection* Connection, const char* Method, const char* Url, const char* Version,
                      Exchange* X) {
    std::string error;
    if (X->Uri == nullptr || Url != X->Uri || Version != X->Uri + X->UriBytes + 1)
        return ErrorReply(400, "the request line holds a NUL byte");
    if (std::strlen(Method) + X->UriBytes + std::strlen(Version) + 2 > MAX_LINE_BYTES)
        return ErrorReply(414, "request line too long: " + std::to_string(MAX_LINE_BYTES) + " bytes at most");
    std::vector<Header> headers;
    MHD_get_connection_values(Connection, MHD_HEADER_KIND, &CollectHeader, &headers);
    if (int status = HeaderShape(headers, &error))
        return ErrorReply(status, error);
    if (int status = Framing(headers, &error))
        return ErrorReply(status, error);
    const Header* host = Find(headers, "Host");
    if (host == nullptr)
        return ErrorReply(400, "no Host header");
    if (!HostAllowed(host->Value, bind_, port_))
        return ErrorReply(403, "the Host header does not name this server");
    const Header* origin = Find(headers, "Origin");
    const bool changes = std::strcmp(Method, "GET") != 0;
    if (changes && !OriginAllowed(origin != nullptr, origin != nullptr ? origin->Value : "", host->Value))
        return ErrorReply(403, "requests from another site's pages are refused");
    X->Req.Method = Method;
    X->Req.Host = host->Value;
    MHD_get_connection_values(Connection, MHD_GET_ARGUMENT_KIND, &CollectArgument, &X->Req.Query);
    if (!DecodePath(Url, &X->Req.Path, &error))
        return ErrorReply(400, error);
    return Dispatch(Method, X->Req.Path, X);
}

// Finds the route of Path and Method: 404 when no route has the path, 405 naming the methods it takes.
Reply Server::Dispatch(const char* Method, const std::string& Path, Exchange* X) {
    std::string allow;
    for (const RouteEntry& route : routes_) {
        const bool takesName =
            route.Path.size() >= 2 && route.Path.compare(route.Path.size() - 2, 2, "/*") == 0;
        const size_t prefix = route.Path.size() - 1;
        const bool named = takesName && Path.size() > prefix &&
                           Path.compare(0, prefix, route.Path, 0, prefix) == 0 &&
                           Path.find('/', prefix) == std::string::npos;
        if (Path != route.Path && !named)
            continue;
        if (route.Method == Method) {
            X->Route = &route;
            X->Req.Name = named ? Path.substr(prefix) : "";
            Reply passed;
            passed.Status = 0;
            return passed;
        }
        allow += (allow.empty() ? "" : ", ") + route.Method;
    }
    if (allow.empty())
        return ErrorReply(404, "not found: " + Path);
    Reply refusal = ErrorReply(405, std::string(Method) + " is not allowed here; Allow: " + allow);
    refusal.Headers.emplace_back("Allow", allow);
    return refusal;
}

// The whole request is in: answer it.
bool Server::Finish(MHD_Connection* Connection, Exchange* X) {
    if (X->Pending) {
        X->Worker.join();
        X->Pending = false;
        const bool refused = X->Made.Status >= 400;
        return Queue(Connection, std::move(X->Made), refused);
    }
    SetDeadline(Connection, false);
    if (X->TooLarge)
        return Queue(Connection,
                     ErrorReply(413, "body too large: " + std::to_string(MAX_BODY_BYTES) + " bytes at most"),
                     true);
    Reply answer = X->Route->Answer(X->Req);
    if (answer.Later) {
        StartLater(Connection, X, std::move(answer.Later));
        return true;
    }
    const bool refused = answer.Status >= 400;
    return Queue(Connection, std::move(answer), refused);
}

bool Server::Queue(MHD_Connection* Connection, Reply Answer, bool Close) {
    MHD_Response* response = nullptr;
    if (Answer.Stream != nullptr) {
        auto* body = new StreamBody{this, Connection, Answer.Stream, ConnectionFd(Connection)};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            streams_.insert(body);
        }
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, STREAM_BLOCK, &Callbacks::StreamRead,
                                                     body, &Callbacks::StreamFree);
        if (response == nullptr)
            Callbacks::StreamFree(body);
    } else {
        response = MHD_create_response_from_buffer(Answer.Body.size(), const_cast<char*>(Answer.Body.data()),
                                                   MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr)
        return false;
    MHD_add_response_header(response, "Content-Type", Answer.ContentType.c_str());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : Answer.Headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    if (Close)
        MHD_add_response_header(response, "Connection", "close");
    const MHD_Result queued = MHD_queue_response(Connection, static_cast<unsigned>(Answer.Status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

// Runs Later on a thread of its own with the connection suspended, so that no polling thread waits for
// it; the connection comes back to Finish when the answer is made.
void Server::StartLater(MHD_Connection* Connection, Exchange* X, std::function<Reply()> Later) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || laterRunning_ >= MAX_LATER) {
            Queue(Connection, ErrorReply(503, "busy with other answers; try again"), true);
            return;
        }
        ++laterRunning_;
    }
    X->Pending = true;
    MHD_suspend_connection(Connection);
    X->Worker = std::thread([this, Connection, X, Later = std::move(Later)] {
        Reply made = Later();
        std::lock_guard<std::mutex> lock(mutex_);
        X->Made = std::move(made);
        --laterRunning_;
        MHD_resume_connection(Connection);
        changed_.notify_all();
    });
}

void Server::SetDeadline(MHD_Connection* Connection, bool Armed) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(Connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    std::lock_guard<std::mutex> lock(mutex_);
    auto* link = info != nullptr ? static_cast<Link*>(info->socket_context) : nullptr;
    if (link != nullptr)
        link->Deadline = Armed ? Clock::now() + REQUEST_DEADLINE : Clock::time_point::max();
}

// Closes the connections whose request is late, however steadily it trickles in, and lets suspended
// streams look at their sockets now and then.
void Server::Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (unsigned period = 1; !stopping_; ++period) {
        changed_.wait_for(lock, WATCH_PERIOD);
        const Clock::time_point now = Clock::now();
        for (Link* link : links_) {
            if (now > link->Deadline) {
                shutdown(link->Fd, SHUT_RDWR);
                link->Deadline = Clock::time_point::max();
            }
        }
        if (period % STREAM_CHECK_PERIODS != 0)
            continue;
        ResumeStreamsLocked();
    }
}

} // namespace http
} // namespace z40k
