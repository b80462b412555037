// The internet library against real servers on 127.0.0.1 (tests/fixtures/servers.py): its own
// rules (bodies, redirects, credentials, schemes, deadlines and limits, memory). The platform's
// phases, cookie bounds and transfer are tested beside it, in tests/platform/.
#include "tests/libs/internet/internet_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace internet_fixture;

TEST(ReadChunk, DeclaredLengthPlusOneCappedOrTheDefault) {
    EXPECT_EQ(inet::ReadChunkFor("5"), 6);
    EXPECT_EQ(inet::ReadChunkFor("102399"), 102400);
    EXPECT_EQ(inet::ReadChunkFor("102400"), 102400);
    EXPECT_EQ(inet::ReadChunkFor("150000"), 102400);
    EXPECT_EQ(inet::ReadChunkFor("99999999999"), 102400);
    EXPECT_EQ(inet::ReadChunkFor(" 42"), 43);
    EXPECT_EQ(inet::ReadChunkFor(nullptr), 10240);
    EXPECT_EQ(inet::ReadChunkFor("0"), 10240);
    EXPECT_EQ(inet::ReadChunkFor("-5"), 10240);
    EXPECT_EQ(inet::ReadChunkFor("abc"), 10240);
}

TEST_F(Internet, BodiesOfEveryStatusAreReadWhole) {
    std::string body;
    EXPECT_TRUE(Fetch(Http("/ok"), &body));
    EXPECT_EQ(body, "hello world");
    EXPECT_EQ(Read(Http("/ok")), "hello world");
    EXPECT_EQ(Read(Http("/notfound")), "not found, sorry 404");
    EXPECT_EQ(Read(Http("/notfound")).size(), 20u);
    EXPECT_EQ(Read(Http("/zeros")), std::string("\0abc\0def", 8));
    EXPECT_EQ(Read(Http("/chunked")), "hello world");
}

TEST_F(Internet, AnEmptyBodyIsTheEmptyByteSet) {
    std::string body = "stale";
    EXPECT_TRUE(Fetch(Http("/empty"), &body));
    EXPECT_EQ(body, "");
    EXPECT_EQ(Read(Http("/empty")), "<empty>");
}

TEST_F(Internet, BodiesAroundTheChunkSizesArriveIntact) {
    for (int n : {5, 511, 512, 513, 10240, 10241, 102399, 102400, 150000, 1000000}) {
        EXPECT_EQ(Read(Http("/bytes/" + std::to_string(n))), Pattern(n)) << n;
    }
    EXPECT_EQ(Read(Http("/bytes/30000?length=none")), Pattern(30000));
    // Past a declared length that proves short, the body is one of unknown length.
    for (int declared : {1, 100, 200000}) {
        EXPECT_EQ(Read(Http("/chunked-long?n=300000&length=" + std::to_string(declared))),
                  Pattern(300000))
            << declared;
    }
}

// A declared length sets aside at most 8 MiB: 256 MiB declared and 3 bytes sent cost no more.
TEST_F(Internet, ADeclaredLengthReservesNoMoreThanEightMebibytes) {
    rt::BinBuilder builder(inet::Pool());
    inet::State().http.Fetch(Http("/bytes/3?length=268435456").c_str(), builder);
    EXPECT_EQ(builder.size(), 3);
    EXPECT_LE(builder.capacity(), inet::kMaxReservedBody);
    EXPECT_EQ(Taken(builder), Pattern(3));
}

TEST_F(Internet, ABrokenConnectionKeepsWhatArrived) {
    std::string body;
    const bool ok = Fetch(Http("/broken"), &body);
    // Wine's WinINet takes an early close for the end of the body.
    if (!testing_support::RunningUnderWine()) {
        EXPECT_FALSE(ok);
    }
    EXPECT_EQ(body, std::string(3000, 'x'));
    EXPECT_EQ(Read(Http("/broken")), std::string(3000, 'x'));
}

TEST_F(Internet, TheRequestOnTheWire) {
    const std::string echo = Read(Http("/echo?a=1&b=2#frag"));
    EXPECT_EQ(echo.rfind("GET /echo?a=1&b=2 HTTP/1.0\r\n", 0), 0u) << echo;
    EXPECT_NE(echo.find("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)\n"),
              std::string::npos)
        << echo;
    const auto accept = echo.find("Accept: */*\n");
    EXPECT_NE(accept, std::string::npos) << echo;
    EXPECT_EQ(echo.find("Accept:", accept + 1), std::string::npos) << "one Accept header";
    EXPECT_NE(echo.find("Host: " + Env("WEBMON_HTTP")), std::string::npos) << echo;
    EXPECT_EQ(echo.find("Accept-Encoding"), std::string::npos) << "no content decoding asked";
}

TEST_F(Internet, TabsGoToTheCanonicalFormAndLineBreaksAreNeverRequested) {
    for (const std::string& address :
         {std::string("\t").append(Http("/ok")), "http://" + Env("WEBMON_HTTP") + "/o\tk",
          Http("/ok") + "\t"}) {
        EXPECT_EQ(Read(address), "hello world") << "a pasted tab: " << address;
    }
    const std::string sink = "http://" + Env("WEBMON_SINK");
    for (const std::string& address :
         {sink + "/ok\r", sink + "/ok\nhttp://x/", "\r\n" + sink + "/"}) {
        EXPECT_EQ(Read(address), "<empty>");
    }
    EXPECT_EQ(Read(Http("/sink-count")), "0") << "no request was made";
    EXPECT_EQ(Read(Http("/echo?q=a b")).rfind("GET /echo?q=a%20b HTTP/1.0", 0), 0u);
}

TEST_F(Internet, FailuresGiveTheEmptyByteSet) {
    for (const std::string& address :
         {std::string("ftp://") + Env("WEBMON_CLOSED") + "/x", std::string("mailto:a@b.example"),
          std::string("file:///etc/hostname"), std::string("garbage"), std::string("http://"),
          std::string("http://") + Env("WEBMON_CLOSED") + "/", std::string("")}) {
        std::string body = "stale";
        EXPECT_FALSE(Fetch(address, &body)) << address;
        EXPECT_EQ(body, "") << address;
        EXPECT_EQ(Read(address), "<empty>") << address;
    }
    EXPECT_EQ(Read(nullptr), "<empty>");
}

TEST_F(Internet, AMalformedHeaderLineIsIgnored) { EXPECT_EQ(Read(Http("/odd-header")), "ok"); }

TEST_F(Internet, AResponseEndingAfterItsStatusLineIsAnEmptyPage) {
    std::string body = "stale";
    EXPECT_TRUE(Fetch(Http("/status-only"), &body));
    EXPECT_EQ(body, "");
    EXPECT_EQ(Read(Http("/status-only")), "<empty>");
}

TEST_F(Internet, ExtraArgumentsChangeNothing) {
    EXPECT_EQ(Read(Http("/ok").c_str(), 3), "hello world");
}

TEST_F(Internet, ASmallBodysPoolSlotIsBackInThePool) {
    const int before = inet::Pool().usedCount();
    EXPECT_EQ(Read(Http("/ok")), "hello world");
    EXPECT_EQ(Read(Http("/bytes/100000")).size(), 100000u);
    EXPECT_EQ(inet::Pool().usedCount(), before);
}

TEST_F(Internet, RedirectsAreFollowedByTheLibraryWithinTenHops) {
    for (int code : {301, 302, 303, 307, 308}) {
        EXPECT_EQ(Read(Http("/redirect/" + std::to_string(code) + "?to=" + Http("/ok"))),
                  "hello world")
            << code;
    }
    EXPECT_EQ(Read(Http("/hops/10")), "arrived");
    EXPECT_EQ(Read(Http("/hops/11")), "<empty>") << "an eleventh hop fails the fetch";
}

TEST_F(Internet, LocationsResolveAgainstTheCurrentAddress) {
    const std::string host = Env("WEBMON_HTTP");
    EXPECT_EQ(Read(Http("/redirect/302?to=/ok")), "hello world") << "absolute path";
    EXPECT_EQ(Read(Http("/redirect/302?to=//" + host + "/ok")), "hello world") << "no scheme";
    EXPECT_EQ(Read(Http("/redirect/302?to=../ok")), "hello world") << "relative";
    EXPECT_EQ(Read(Http("/redirect/302?to=/echo%3Fx%3D1%23frag")).rfind("GET /echo?x=1 ", 0), 0u)
        << "a query kept, a fragment dropped";
    EXPECT_EQ(Read(Http("/moved-nowhere")), "no location here")
        << "a redirect status without a Location is the page";
}

TEST_F(Internet, ACookieCheckIsAPageAndALoopEndsAtTheHopLimit) {
    // A -> B, which sets a cookie and sends the client back -> A, which now has its cookie.
    const std::string token =
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    EXPECT_EQ(Read(Http("/cookie-check?t=" + token)), "cookie seen");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(Http("/loop")), "<empty>");
    EXPECT_EQ(Read(Http("/redirect/302?to=" + Http("/redirect/302?to=/loop"))), "<empty>");
    // Ended by the count of hops, not by a time-out (30 s) or the deadline (300 s): a bound far
    // from those and from the 0.1-1.1 s that 22 hops take here (under wine on a loaded machine).
    EXPECT_LT(Seconds(start), 10.0) << Elapsed(start);
    EXPECT_EQ(Read(Http("/two-locations")), "hello world") << "the first Location";
}

// A site that sets 60 new cookies on every visit: at most 50 go back to it, the newest.
TEST_F(Internet, OnlyHttpAndHttpsAreEverConnected) {
    const std::string sink = Env("WEBMON_SINK");
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& address :
         {"ftp://" + sink + "/x", "FTP://" + sink + "/", "gopher://" + sink + "/",
          "foo://" + sink + "/", std::string("file:///etc/hostname"), "file://" + sink + "/x",
          "mailto:a@" + sink, Http("/redirect/302?to=ftp://" + sink + "/"),
          Http("/redirect/301?to=file:///etc/hostname")}) {
        std::string body = "stale";
        EXPECT_FALSE(Fetch(address, &body)) << address;
        EXPECT_EQ(body, "") << address;
    }
    EXPECT_LT(Seconds(start), 10.0) << Elapsed(start) << ": refused without waiting on a time-out";
    EXPECT_EQ(Read(Http("/sink-count")), "0") << "no connection reached the listener";
}

TEST_F(Internet, CredentialsGoToTheirOwnOriginOnly) {
    const std::string host = Env("WEBMON_HTTP");
    const std::string port = host.substr(host.find(':') + 1);
    const std::string basic = "credentials: Basic dXNlcjpzZWNyZXQ=";  // user:secret
    // First: WinINet caches credentials that a host accepted and sends them to it again.
    EXPECT_EQ(Read(Http("/auth")), "no credentials");
    EXPECT_EQ(Read("http://user:secret@" + host + "/auth"), basic);
    EXPECT_EQ(Read("http://user:secret@" + host + "/redirect/302?to=/auth"), basic)
        << "the same origin keeps them";
    EXPECT_EQ(
        Read("http://user:secret@" + host + "/redirect/302?to=http://localhost:" + port + "/auth"),
        "no credentials")
        << "another host never sees them";
}

// Credentials go only in answer to a challenge, by the scheme it names: a server that never
// asks never sees them, even in clear text.
TEST_F(Internet, CredentialsAnswerAChallengeByItsScheme) {
    const std::string at = "http://user:secret@" + Env("WEBMON_HTTP");
    // Wine's WinINet answers no Digest challenge (Windows' does): the 401 page is read.
    const bool wine = testing_support::RunningUnderWine();
    const char* digest = wine ? "digest refused" : "digest accepted";
    const struct {
        std::string address;
        const char* body;
    } rows[] = {
        {at + "/unasked", "none"},
        {at + "/auth", "credentials: Basic dXNlcjpzZWNyZXQ="},  // user:secret
        {at + "/digest", digest},
        {at + "/redirect/302?to=/digest", digest},
        {at + "/digest?to=/ok", wine ? "digest refused" : "hello world"},  // the answer's head
        {"http://user:wrong@" + Env("WEBMON_HTTP") + "/digest", "digest refused"},
        {Http("/digest"), "digest refused"},
    };
    for (const auto& row : rows) EXPECT_EQ(Read(row.address), row.body) << row.address;
}

int g_opens = 0;
plat::InetHandle NoSession(const char*, std::uint32_t, const char*, const char*, std::uint32_t) {
    ++g_opens;
    return nullptr;
}
plat::InetHandle CountedOpen(const char* agent, std::uint32_t access, const char* proxy,
                             const char* bypass, std::uint32_t flags) {
    ++g_opens;
    return plat::InternetOpenA(agent, access, proxy, bypass, flags);
}

TEST_F(Internet, ASessionThatCannotOpenFailsTheFetchAndIsTriedAgainNextTime) {
    inet::HttpSession session(inet::Pool());
    std::string body;
    g_opens = 0;
    session.SetOpen(NoSession);
    EXPECT_FALSE(Fetch(Http("/ok"), &body, session));
    EXPECT_EQ(body, "");
    EXPECT_FALSE(Fetch(Http("/ok"), &body, session));
    EXPECT_EQ(g_opens, 2);
    session.SetOpen(CountedOpen);
    EXPECT_TRUE(Fetch(Http("/ok"), &body, session));
    EXPECT_EQ(body, "hello world");
    EXPECT_TRUE(Fetch(Http("/ok"), &body, session));
    EXPECT_EQ(g_opens, 3) << "an open session is kept";
    session.Close();
}

std::atomic<int> g_grants{0};  // allocations of 2 KB or more still granted
bool RefuseAfterGrants(std::size_t size) { return size >= 2048 && g_grants.fetch_sub(1) <= 0; }
bool RefuseHeapAfterGrants(std::uint32_t size) { return RefuseAfterGrants(size); }

// Memory that runs out inside a fetch, wherever it runs out (the address's buffers, the body's
// blocks, the platform's own), fails that fetch alone: the bytes read are kept, the process
// goes on (a new that failed outside would end it with the box), and the next fetch is whole.
TEST_F(Internet, MemoryThatRunsOutInsideAFetchFailsThatFetchAlone) {
    const rt::HeapSeam seam{RefuseHeapAfterGrants, nullptr, RefuseAfterGrants};
    const std::string whole = Pattern(300000);
    const std::string address = Http("/bytes/300000?length=none");  // a body that grows
    const int before = inet::Pool().usedCount();
    int failed = 0, failedWithPrefix = 0;
    for (int grants = 0; grants < 24; ++grants) {
        rt::BinBuilder builder(inet::Pool());
        g_grants = grants;
        rt::SetHeapSeam(&seam);  // for the fetch alone: the test's own allocations are not in it
        const bool ok = inet::State().http.Fetch(address.c_str(), builder);
        rt::SetHeapSeam(nullptr);
        const std::string body = Taken(builder);
        EXPECT_EQ(whole.compare(0, body.size(), body), 0) << grants << ": a prefix of the body";
        if (!ok) ++failed;
        if (!ok && !body.empty()) ++failedWithPrefix;
    }
    EXPECT_GT(failed, 0);
    EXPECT_GT(failedWithPrefix, 0) << "a fetch that failed after reading kept what it read";
    std::string body;
    EXPECT_TRUE(Fetch(address, &body));
    EXPECT_TRUE(body == whole);
    EXPECT_EQ(inet::Pool().usedCount(), before);
}

TEST_F(Bounded, InterimResponsesForeverEndAtTheDeadline) {
    std::string body = "stale";
    EXPECT_FALSE(Fetch(Http("/drip/continue"), &body));
    EXPECT_EQ(body, "");
    ExpectEndedByTheDeadline();
}

TEST_F(Bounded, HeaderLinesForeverEndAtTheDeadline) {
    std::string body = "stale";
    EXPECT_FALSE(Fetch(Http("/drip/header"), &body));
    EXPECT_EQ(body, "");
    ExpectEndedByTheDeadline();
}

TEST_F(Bounded, ADrippingBodyEndsAtTheDeadlineWithItsPrefix) {
    std::string body;
    EXPECT_FALSE(Fetch(Http("/drip/body"), &body));
    ExpectEndedByTheDeadline();
    EXPECT_GE(body.size(), 5u) << "what arrived before the deadline is kept";
    EXPECT_EQ(body, std::string(body.size(), 'd'));
}

// Closing a request "terminates any pending operations on the handle" (InternetCloseHandle's
// documentation): nothing goes on reading for a fetch cut at its deadline. (Wine kept a worker
// thread reading each such request for as long as its server sent, while a read was pending.)
TEST_F(Bounded, FetchesCutAtTheirDeadlineLeaveNoWorkerBehind) {
    inet::Limits cut;
    cut.deadlineMs = 300;
    Use(cut);
    std::string body;
    EXPECT_FALSE(Fetch(Http("/drip/body"), &body));  // the session's own threads start first
    const int before = testing_support::ThreadsOfThisProcess();
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(Fetch(Http("/drip/body"), &body));
    EXPECT_LT(testing_support::ThreadsOfThisProcess(), before + 5) << "threads before: " << before;
}

// The wait costs no CPU: the transfer sleeps on its socket between its checks of the clocks.
TEST_F(Bounded, ASilentServerEndsAtTheDeadline) {
    const std::clock_t cpu = std::clock();
    std::string body;
    EXPECT_FALSE(Fetch(Http("/silent?seconds=8"), &body));
    ExpectEndedByTheDeadline();
    ExpectLittleCpuSince(cpu);
}

TEST_F(Bounded, AnEndlessBodyStopsAtTheLimitWithItsPrefix) {
    std::string body;
    EXPECT_FALSE(Fetch(Http("/endless"), &body));
    EXPECT_EQ(body.size(), std::size_t{kLimit});
    EXPECT_EQ(body, std::string(body.size(), 'z'));
    EXPECT_LT(Seconds(start_), 1.5) << Elapsed(start_);
}

// A status line in lower case is read as libcurl and WinINet read it; the transfer that waits
// for its reader meanwhile never spins.
TEST_F(Bounded, AStatusLineInLowerCaseIsAPage) {
    const std::clock_t cpu = std::clock();
    std::string body;
    EXPECT_TRUE(Fetch(Http("/lower-status?n=1000000"), &body));
    // Wine's WinINet takes such a response for one without a head: all of it is the body.
    const std::string page(1000000, 'L');
    EXPECT_TRUE(testing_support::RunningUnderWine()
                    ? body.size() > page.size() &&
                          body.compare(body.size() - page.size(), page.size(), page) == 0
                    : body == page)
        << body.size() << " bytes";
    EXPECT_LT(Seconds(start_), 1.5) << Elapsed(start_);
    ExpectLittleCpuSince(cpu);
}

TEST_F(Bounded, ABodyOfExactlyTheLimitIsWhole) {
    std::string body;
    EXPECT_TRUE(Fetch(Http("/bytes/" + std::to_string(kLimit)), &body));
    EXPECT_EQ(body, Pattern(kLimit));
}

#ifndef _WIN32
// Linux only: the stand-in's own rules. (Wine's WinINet trusts only the system store, reads
// its proxy elsewhere, and follows redirects by its own rules.)
TEST_F(Internet, RedirectsNeverGoDownFromHttps) {
    SetEnv("SSL_CERT_FILE", Env("WEBMON_CA"));
    EXPECT_EQ(Read(Https("/redirect/302?to=" + Http("/ok"))), "<empty>") << "never down to http";
    EXPECT_EQ(Read(Http("/redirect/302?to=" + Https("/ok"))), "hello world") << "up is fine";
    SetEnv("SSL_CERT_FILE", "");
}

#endif

}  // namespace
