// The rules of a fetch, by tables: no server, no platform call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/internet/fetch_policy.h"
#include "platform/platform.h"

namespace {

using inet::Hop;

TEST(AcceptableAddress, ControlBytesAndEmptyAddressesAreNeverRequested) {
    EXPECT_TRUE(inet::IsAcceptableAddress("http://h/a b "));
    EXPECT_TRUE(inet::IsAcceptableAddress(" http://h/\xD6\xD0"));
    for (const char* bad : {"", "http://h/a\r", "http://h/\nGET /x", "http://h/a\tb",
                            "http://h/\x7F", "http://h/\x01"}) {
        EXPECT_FALSE(inet::IsAcceptableAddress(bad)) << bad;
    }
    EXPECT_FALSE(inet::IsAcceptableAddress(nullptr));
}

TEST(Schemes, OnlyHttpAndHttpsAreFetched) {
    EXPECT_TRUE(inet::IsFetchedScheme(plat::kSchemeHttp));
    EXPECT_TRUE(inet::IsFetchedScheme(plat::kSchemeHttps));
    for (std::int32_t other : {plat::kSchemeUnknown, plat::kSchemeDefault, plat::kSchemeFtp,
                               plat::kSchemeGopher, plat::kSchemeFile, plat::kSchemeNews,
                               plat::kSchemeMailto}) {
        EXPECT_FALSE(inet::IsFetchedScheme(other)) << other;
    }
}

TEST(Fragments, CutAtTheFirstHashOutsideDoubleByteCharacters) {
    EXPECT_EQ(inet::WithoutFragment("/a?b#c#d"), "/a?b");
    EXPECT_EQ(inet::WithoutFragment("/a"), "/a");
    EXPECT_EQ(inet::WithoutFragment("/\xB0#x#y"), "/\xB0#x") << "0x23 as a trail byte is kept";
    EXPECT_EQ(inet::WithoutFragment("/a\xB0"), "/a\xB0") << "a lead byte at the end";
}

TEST(Origins, SchemeHostAndPortMustAllMatch) {
    const inet::Origin home{plat::kSchemeHttp, "Example.COM", 80};
    EXPECT_TRUE(inet::SameOrigin(home, {plat::kSchemeHttp, "example.com", 80}));
    EXPECT_FALSE(inet::SameOrigin(home, {plat::kSchemeHttps, "example.com", 80}));
    EXPECT_FALSE(inet::SameOrigin(home, {plat::kSchemeHttp, "example.org", 80}));
    EXPECT_FALSE(inet::SameOrigin(home, {plat::kSchemeHttp, "example.com", 8080}));
    EXPECT_FALSE(inet::SameOrigin(home, {plat::kSchemeHttp, "example.co", 80}));
}

TEST(Redirects, OnlyTheFiveRedirectStatuses) {
    for (std::uint32_t s : {301u, 302u, 303u, 307u, 308u}) EXPECT_TRUE(inet::IsRedirectStatus(s));
    for (std::uint32_t s : {0u, 200u, 300u, 304u, 305u, 306u, 309u, 401u}) {
        EXPECT_FALSE(inet::IsRedirectStatus(s)) << s;
    }
}

TEST(ResolveLocation, EveryReferenceForm) {
    const std::string base = "http://u:p@h:81/a/b/c?q#f";
    const struct {
        const char* location;
        const char* expected;
    } rows[] = {
        {"https://other/x?y#z", "https://other/x?y"},
        {"HTTP://other", "HTTP://other/"},
        {"//other:82/x", "http://other:82/x"},
        {"/x/y?z", "http://u:p@h:81/x/y?z"},
        {"d", "http://u:p@h:81/a/b/d"},
        {"../d?e", "http://u:p@h:81/a/b/../d?e"},
        {"./", "http://u:p@h:81/a/b/./"},
        {"?n=1", "http://u:p@h:81/a/b/c?n=1"},
        {"#only", "http://u:p@h:81/a/b/c?q"},
        {"/\xD6\xD0", "http://u:p@h:81/\xD6\xD0"},
        {"ftp://f/x", "ftp://f/x"},
    };
    for (const auto& row : rows) {
        std::string out;
        EXPECT_TRUE(inet::ResolveLocation(base, row.location, &out)) << row.location;
        EXPECT_EQ(out, row.expected) << row.location;
    }
    std::string out;
    EXPECT_TRUE(inet::ResolveLocation("http://h", "x", &out));
    EXPECT_EQ(out, "http://h/x") << "a base without a path merges under /";
    EXPECT_FALSE(inet::ResolveLocation(base, "", &out));
    EXPECT_FALSE(inet::ResolveLocation(base, "/a\r\nSet-Cookie: x", &out));
    EXPECT_FALSE(inet::ResolveLocation("/relative/base", "x", &out));
}

TEST(DecideRedirect, SchemesDowngradeHopsAndLoops) {
    std::string next;
    std::vector<std::string> visited{"http://h/start"};
    EXPECT_EQ(inet::DecideRedirect(visited, "http://h/start", "/next#x", &next), Hop::Follow);
    EXPECT_EQ(next, "http://h/next");
    EXPECT_EQ(inet::DecideRedirect(visited, "http://h/start", "https://h/up", &next), Hop::Follow)
        << "up to https is fine";
    EXPECT_EQ(inet::DecideRedirect(visited, "https://h/s", "http://h/down", &next), Hop::Fail);
    EXPECT_EQ(inet::DecideRedirect(visited, "HTTPS://h/s", "//h/down", &next), Hop::Follow)
        << "a scheme-relative Location keeps https";
    EXPECT_EQ(inet::DecideRedirect(visited, "http://h/start", "ftp://h/", &next), Hop::Fail);
    EXPECT_EQ(inet::DecideRedirect(visited, "http://h/start", "file:///etc/passwd", &next),
              Hop::Fail);
    EXPECT_EQ(inet::DecideRedirect(visited, "http://h/start", "", &next), Hop::Page);
    EXPECT_EQ(inet::DecideRedirect(visited, "http://h/start", "/start#again", &next), Hop::Fail)
        << "a loop";
    EXPECT_TRUE(inet::Revisits(visited, "http://h/start#frag"));
    EXPECT_FALSE(inet::Revisits(visited, "http://h/start?x"));

    // Ten hops are followed; the eleventh fails.
    std::vector<std::string> chain{"http://h/0"};
    for (int hop = 1; hop <= inet::kMaxRedirects; ++hop) {
        const std::string location = std::string("/") + std::to_string(hop);
        ASSERT_EQ(inet::DecideRedirect(chain, chain.back(), location, &next), Hop::Follow) << hop;
        chain.push_back(next);
    }
    EXPECT_EQ(inet::DecideRedirect(chain, chain.back(), "/11", &next), Hop::Fail);
}

}  // namespace
