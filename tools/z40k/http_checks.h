// The checks a request of the live view's HTTP server passes before anything runs: whether its Host names
// this server (a page of another site that pointed its own name at this address, DNS rebinding, sends
// that name), whether a state change comes from this server's own page, and what its path says once
// decoded. Plain functions of strings, so that every rule is visible in one place.
#pragma once

#include <string>

namespace z40k {
namespace http {

// Whether Host (the header's value) names the server listening on Bind:Port. Names other than
// "localhost" are never trusted; an address literal must be Bind itself, or any loopback literal when
// Bind is a loopback address, or any literal at all when Bind is every address ("0.0.0.0", "::"). The
// port must be Port (a Host without one means 80).
bool HostAllowed(const std::string& Host, const std::string& Bind, int Port);

// Whether Address is a loopback address literal (127.0.0.0/8 or ::1, as inet_pton reads them) or
// "localhost".
bool IsLoopback(const std::string& Address);

// Whether a request that changes state may run: a browser sends Origin with every cross-site PUT and
// POST, so one with no Origin is not a page's; one that has it must be this server's own page, the origin
// "http://" + the Host it was sent to.
bool OriginAllowed(bool HasOrigin, const std::string& Origin, const std::string& Host);

// The path of a request target as sent (no query), with its percent escapes decoded into *Decoded. False
// with *Error set for a malformed escape or a byte, sent or decoded, outside printable ASCII: no name this
// server knows has one, and a path that holds one is answered 400 rather than looked up.
bool DecodePath(const std::string& Raw, std::string* Decoded, std::string* Error);

} // namespace http
} // namespace z40k
