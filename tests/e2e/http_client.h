// A small HTTP/1.1 client over plain sockets, for the tests of `z40k serve`: it connects to 127.0.0.1
// only, waits at most a given time for every read, and sends exactly the bytes a test gives it, so
// that a test can also send what no well-behaved client would.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct HttpAnswer {
    int Status = 0;                             // 0: no answer
    std::map<std::string, std::string> Headers; // names in lower case
    std::string Body;
    std::string Header(const std::string& Name) const {
        const auto found = Headers.find(Name);
        return found == Headers.end() ? "" : found->second;
    }
};

class HttpConnection {
  public:
    static constexpr size_t MAX_BODY_BYTES = 64 << 20;

    // Timeout bounds every wait, for bytes to come and for room to send; a ReceiveBuffer of some bytes
    // makes a reader whose socket fills at once.
    explicit HttpConnection(int Port, std::chrono::milliseconds Timeout = std::chrono::seconds(10),
                            int ReceiveBuffer = 0)
        : timeout_(Timeout) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit = {static_cast<time_t>(Timeout.count() / 1000),
                         static_cast<suseconds_t>(Timeout.count() % 1000 * 1000)};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (ReceiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(Port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~HttpConnection() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    bool Connected() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool Send(const std::string& Bytes) {
        size_t sent = 0;
        while (fd_ >= 0 && sent < Bytes.size()) {
            const ssize_t n = ::send(fd_, Bytes.data() + sent, Bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += size_t(n);
        }
        return fd_ >= 0;
    }

    // One answer: its status line and headers, then a body framed by Content-Length, by chunks (given to
    // OnData as they come when it is set, until it returns false) or by the connection's end.
    HttpAnswer Read(const std::function<bool(const char*, size_t)>& OnData = nullptr) {
        HttpAnswer answer;
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill())
                return answer;
        if (!ParseHead(buffer_.substr(0, end), &answer))
            return answer;
        buffer_.erase(0, end + 4);
        auto sink = [&](const char* Data, size_t Length) {
            if (OnData)
                return OnData(Data, Length);
            answer.Body.append(Data, Length);
            return answer.Body.size() < MAX_BODY_BYTES; // a stream read by mistake ends here
        };
        if (answer.Header("transfer-encoding") == "chunked")
            ReadChunks(sink);
        else if (!answer.Header("content-length").empty())
            ReadExactly(std::stoul(answer.Header("content-length")), sink);
        else
            ReadToEnd(sink);
        return answer;
    }

    // Whether the server closes the connection (rather than leave it open) within the time limit, with
    // whatever it sent before in *Rest.
    bool ClosedByServer(std::string* Rest = nullptr) {
        while (Fill()) {
        }
        if (Rest != nullptr)
            *Rest = buffer_;
        return closed_;
    }

  private:
    bool Fill() {
        pollfd p = {fd_, POLLIN, 0};
        if (fd_ < 0 || closed_ || ::poll(&p, 1, int(timeout_.count())) <= 0)
            return false;
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk, size_t(n));
        return true;
    }

    static bool ParseHead(const std::string& Head, HttpAnswer* Answer) {
        if (Head.compare(0, 9, "HTTP/1.1 ") != 0 && Head.compare(0, 9, "HTTP/1.0 ") != 0)
            return false;
        Answer->Status = std::atoi(Head.c_str() + 9);
        size_t at = Head.find("\r\n");
        while (at != std::string::npos) {
            const size_t next = Head.find("\r\n", at + 2);
            const std::string line =
                Head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
            const size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            if (colon != std::string::npos)
                Answer->Headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
            at = next;
        }
        return true;
    }

    template <typename Sink> bool ReadExactly(size_t Length, Sink& Take) {
        while (buffer_.size() < Length)
            if (!Fill())
                return false;
        const bool more = Take(buffer_.data(), Length);
        buffer_.erase(0, Length);
        return more;
    }

    template <typename Sink> void ReadChunks(Sink& Take) {
        for (;;) {
            size_t line;
            while ((line = buffer_.find("\r\n")) == std::string::npos)
                if (!Fill())
                    return;
            const size_t size = std::stoul(buffer_.substr(0, line), nullptr, 16);
            buffer_.erase(0, line + 2);
            if (size == 0 || !ReadExactly(size, Take))
                return;
            auto skip = [](const char*, size_t) { return true; };
            if (!ReadExactly(2, skip))
                return;
        }
    }

    template <typename Sink> void ReadToEnd(Sink& Take) {
        bool more = true;
        while (more && Fill()) {
            more = Take(buffer_.data(), buffer_.size());
            buffer_.clear();
        }
    }

    int fd_ = -1;
    std::chrono::milliseconds timeout_;
    std::string buffer_;
    bool closed_ = false;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The bytes of a request: Host names 127.0.0.1:Port unless Headers give one ("Host" with an empty value
// sends none); a body gets its Content-Length.
inline std::string HttpRequest(int Port, const std::string& Method, const std::string& Path,
                               const std::string& Body = "", const HttpHeaders& Headers = {}) {
    std::string head = Method + " " + Path + " HTTP/1.1\r\n";
    bool host = false;
    for (const auto& [name, value] : Headers) {
        host = host || name == "Host";
        if (!value.empty() || name != "Host")
            head += name + ": " + value + "\r\n";
    }
    if (!host)
        head += "Host: 127.0.0.1:" + std::to_string(Port) + "\r\n";
    if (!Body.empty())
        head += "Content-Length: " + std::to_string(Body.size()) + "\r\n";
    return head + "\r\n" + Body;
}

// One request on a connection of its own.
inline HttpAnswer Http(int Port, const std::string& Method, const std::string& Path,
                       const std::string& Body = "", const HttpHeaders& Headers = {}) {
    HttpConnection connection(Port);
    connection.Send(HttpRequest(Port, Method, Path, Body, Headers));
    return connection.Read();
}

} // namespace e2e
