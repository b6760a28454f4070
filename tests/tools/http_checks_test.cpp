// The live view's Host and path rules for the bindings the end-to-end suites cannot try on the loopback
// interface alone: every address, another machine's address, IPv6.
#ifdef Z40K_HAVE_SERVE

#include "tools/z40k/http_checks.h"

#include <gtest/gtest.h>

namespace {

using z40k::http::DecodePath;
using z40k::http::HostAllowed;

TEST(HttpChecks, HostNamesTheServerByItsOwnAddressOrLocalhostOnly) {
    struct Case {
        const char* Bind;
        const char* Host;
        bool Allowed;
    };
    const Case cases[] = {
        {"0.0.0.0", "192.168.1.5:8040", true},
        {"0.0.0.0", "[fe80::1]:8040", true},
        {"0.0.0.0", "localhost:8040", true},
        {"0.0.0.0", "camera.example:8040", false},
        {"0.0.0.0", "192.168.1.5:8041", false},
        {"192.168.1.5", "192.168.1.5:8040", true},
        {"192.168.1.5", "127.0.0.1:8040", false},
        {"192.168.1.5", "localhost:8040", false},
        {"::1", "[::1]:8040", true},
        {"::1", "127.0.0.1:8040", true},
        {"::1", "[::2]:8040", false},
        {"::1", "::1:8040", false},
        {"127.0.0.1", "[::ffff:127.0.0.1]:8040", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HostAllowed(c.Host, c.Bind, 8040), c.Allowed) << c.Bind << " " << c.Host;
    EXPECT_TRUE(HostAllowed("127.0.0.1", "127.0.0.1", 80)) << "no port is port 80";
}

TEST(HttpChecks, PathsDecodeToPrintableAsciiOrAreRefused) {
    struct Case {
        const char* Raw;
        const char* Decoded; // null: refused
    };
    const Case cases[] = {
        {"/api/properties/exposure", "/api/properties/exposure"},
        {"/a%2Fb%41", "/a/bA"},
        {"/a%2", nullptr},
        {"/a%", nullptr},
        {"/a%g0", nullptr},
        {"/a%00", nullptr},
        {"/a%7f", nullptr},
        {"/a%C3%A9", nullptr},
        {"/a b", nullptr},
        {"/a\t", nullptr},
    };
    for (const Case& c : cases) {
        std::string decoded;
        std::string error;
        EXPECT_EQ(DecodePath(c.Raw, &decoded, &error), c.Decoded != nullptr) << c.Raw;
        if (c.Decoded != nullptr) {
            EXPECT_EQ(decoded, c.Decoded);
        } else {
            EXPECT_FALSE(error.empty()) << c.Raw;
        }
    }
}

} // namespace

#endif // Z40K_HAVE_SERVE
