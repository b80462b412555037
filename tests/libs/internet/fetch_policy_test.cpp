// The rules of a fetch, by tables: no server, no platform call.
#include <gtest/gtest.h>

#include <string>

#include "libs/internet/fetch_policy.h"
#include "platform/platform.h"

namespace {

using inet::Hop;

TEST(AcceptableAddress, OnlyLineBreaksAndEmptyAddressesAreNeverRequested) {
    for (const char* good : {"http://h/a b ", " http://h/\xD6\xD0", "http://h/a\tb", "\thttp://h/",
                             "http://h/\t", "http://h/\x7F", "http://h/\x01"}) {
        EXPECT_TRUE(inet::IsAcceptableAddress(good)) << good << ": the canonical form's to decide";
    }
    for (const char* bad : {"", "http://h/a\r", "http://h/\nGET /x", "\r\nhttp://h/"}) {
        EXPECT_FALSE(inet::IsAcceptableAddress(bad)) << bad;
    }
    EXPECT_FALSE(inet::IsAcceptableAddress(nullptr));
}

TEST(Schemes, OnlyHttpAndHttpsAreFetched) {
    EXPECT_TRUE(inet::IsFetchedScheme(plat::kSchemeHttp));
    EXPECT_TRUE(inet::IsFetchedScheme(plat::kSchemeHttps));
    for (std::int32_t other :
         {plat::kSchemeUnknown, plat::kSchemeDefault, plat::kSchemeFtp, plat::kSchemeGopher,
          plat::kSchemeFile, plat::kSchemeNews, plat::kSchemeMailto}) {
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

TEST(DecideRedirect, SchemesDowngradeAndHops) {
    std::string next;
    EXPECT_EQ(inet::DecideRedirect(1, "http://h/start", "/next#x", &next), Hop::Follow);
    EXPECT_EQ(next, "http://h/next");
    EXPECT_EQ(inet::DecideRedirect(1, "http://h/start", "https://h/up", &next), Hop::Follow)
        << "up to https is fine";
    EXPECT_EQ(inet::DecideRedirect(1, "https://h/s", "http://h/down", &next), Hop::Fail);
    EXPECT_EQ(inet::DecideRedirect(1, "HTTPS://h/s", "//h/down", &next), Hop::Follow)
        << "a scheme-relative Location keeps https";
    EXPECT_EQ(inet::DecideRedirect(1, "http://h/start", "ftp://h/", &next), Hop::Fail);
    EXPECT_EQ(inet::DecideRedirect(1, "http://h/start", "file:///etc/passwd", &next), Hop::Fail);
    EXPECT_EQ(inet::DecideRedirect(1, "http://h/start", "", &next), Hop::Page);
    EXPECT_EQ(inet::DecideRedirect(2, "http://h/b", "/start", &next), Hop::Follow)
        << "back to an address already requested (a cookie check)";

    // Ten hops are followed; the eleventh fails, which also ends a loop.
    for (int requests = 1; requests <= inet::kMaxRedirects; ++requests) {
        EXPECT_EQ(inet::DecideRedirect(requests, "http://h/x", "/x", &next), Hop::Follow)
            << requests;
    }
    EXPECT_EQ(inet::DecideRedirect(inet::kMaxRedirects + 1, "http://h/x", "/x", &next), Hop::Fail);
}

// The limits the program ships with, as the README states them: a slip (to 0, which both builds
// take for "no limit") fails here, since every other test builds its own shorter limits.
TEST(Limits, TheShippedOnesAreTheReadmes) {
    const inet::Limits shipped;
    EXPECT_EQ(shipped.connectMs, 60u * 1000);
    EXPECT_EQ(shipped.sendMs, 30u * 1000);
    EXPECT_EQ(shipped.receiveMs, 30u * 1000);
    EXPECT_EQ(shipped.headMs, 90u * 1000);
    EXPECT_EQ(shipped.deadlineMs, 300u * 1000);
    EXPECT_EQ(shipped.bodyBytes, 256 << 20);
    EXPECT_EQ(inet::kMaxRedirects, 10);
    EXPECT_EQ(inet::kMaxReservedBody, 8 << 20);
}

}  // namespace
