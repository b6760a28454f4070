#include "tools/z40k/http_checks.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <strings.h>

namespace z40k {
namespace http {

namespace {

constexpr int DEFAULT_HTTP_PORT = 80;

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
        if (host.find(':') == std::string::npos)
            return false; // brackets hold an IPv6 literal only
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string::npos) {
            port = host.substr(colon);
            host = host.substr(0, colon);
        }
    }
    if (port.empty()) {
        *Port = DEFAULT_HTTP_PORT;
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

bool IsLocalhost(const std::string& Host) {
    return strcasecmp(Host.c_str(), "localhost") == 0;
}

bool IsWildcard(const std::string& Bind) {
    return Bind == "0.0.0.0" || Bind == "::";
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

bool Printable(unsigned char C) {
    return C > 0x20 && C < 0x7F;
}

} // namespace

bool IsLoopback(const std::string& Address) {
    if (IsLocalhost(Address))
        return true;
    unsigned char v4[4];
    if (inet_pton(AF_INET, Address.c_str(), v4) == 1)
        return v4[0] == 127;
    unsigned char v6[16];
    static const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return inet_pton(AF_INET6, Address.c_str(), v6) == 1 && std::memcmp(v6, loopback6, sizeof v6) == 0;
}

bool HostAllowed(const std::string& Header, const std::string& Bind, int Port) {
    std::string host;
    int port = 0;
    if (!SplitHost(Header, &host, &port) || port != Port)
        return false;
    if (!IsLocalhost(host) && !IsIpLiteral(host))
        return false;
    if (host == Bind)
        return true;
    if (IsLoopback(Bind) && IsLoopback(host))
        return true;
    return IsWildcard(Bind);
}

bool OriginAllowed(bool HasOrigin, const std::string& Origin, const std::string& Host) {
    return !HasOrigin || Origin == "http://" + Host;
}

bool DecodePath(const std::string& Raw, std::string* Decoded, std::string* Error) {
    std::string out;
    for (size_t i = 0; i < Raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(Raw[i]);
        if (c == '%') {
            const int high = i + 2 < Raw.size() ? HexDigit(Raw[i + 1]) : -1;
            const int low = high >= 0 ? HexDigit(Raw[i + 2]) : -1;
            if (low < 0) {
                *Error = "malformed percent escape in the path";
                return false;
            }
            c = static_cast<unsigned char>(high * 16 + low);
            i += 2;
        }
        if (!Printable(c)) {
            *Error = "the path holds a byte outside printable ASCII";
            return false;
        }
        out += static_cast<char>(c);
    }
    *Decoded = out;
    return true;
}

} // namespace http
} // namespace z40k
