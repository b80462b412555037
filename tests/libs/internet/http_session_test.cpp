// The internet library against real servers on 127.0.0.1 (tests/fixtures/servers.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "libs/internet/internet_library.h"
#include "runtime/errors.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "support/fixture_servers.h"
#include "support/platform_facts.h"

namespace {

using namespace rt;

using testing_support::Env;
using testing_support::Http;
using testing_support::Pattern;
#ifndef _WIN32
std::string Https(const std::string& path) { return "https://" + Env("WEBMON_HTTPS") + path; }

void SetEnv(const char* name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
}
#endif

class Internet : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inet::kInternetLibrary.notify(kLibStart, reinterpret_cast<std::uintptr_t>(&NotifySystem),
                                      0);
    }
    void SetUp() override {
        ASSERT_FALSE(Env("WEBMON_HTTP").empty()) << "run under tests/fixtures/servers.py";
    }

    // HttpReadFile as program code calls it; "<empty>" for the empty byte set.
    static std::string Read(const char* address, int count = 1) {
        ArgInfo args[3] = {TextArg(address), IntArg(5), TextArg("ignored")};
        ArgInfo result{};
        inet::HttpReadFile(&result, count, args);
        void* bin = ArgPtr<void>(result);
        if (!bin) return "<empty>";
        std::string body(reinterpret_cast<const char*>(BinBytes(bin)),
                         static_cast<std::size_t>(BinLength(bin)));
        SvcFree(bin);
        return body;
    }
    static std::string Read(const std::string& address) { return Read(address.c_str()); }

    // A fetch's result and body, read into a byte set as HttpReadFile reads it, so that every
    // limit is tested as the program meets it.
    static bool Fetch(const std::string& address, std::string* body,
                      inet::HttpSession& session = inet::State().http) {
        rt::BinBuilder builder(inet::Pool());
        const bool ok = session.Fetch(address.c_str(), builder);
        *body = Taken(builder);
        return ok;
    }
    // The builder's bytes, its byte set freed.
    static std::string Taken(rt::BinBuilder& builder) {
        void* bin = builder.Finish();
        std::string bytes(reinterpret_cast<const char*>(BinBytes(bin)),
                          static_cast<std::size_t>(BinLength(bin)));
        SvcFree(bin);
        return bytes;
    }
};

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
         {"\t" + Http("/ok"), "http://" + Env("WEBMON_HTTP") + "/o\tk", Http("/ok") + "\t"}) {
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

std::string Elapsed(std::chrono::steady_clock::time_point start) {
    return std::to_string(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
    EXPECT_LT(Seconds(start), 1.0) << Elapsed(start);
    EXPECT_EQ(Read(Http("/two-locations")), "hello world") << "the first Location";
}

// A site that sets 60 new cookies on every visit: at most 50 go back to it, the newest.
TEST_F(Internet, ASiteKeepsAtMostFiftyCookiesTheNewest) {
    int most = 0;
    std::string last;
    for (int visit = 0; visit < 40; ++visit) {
        last = Read(Http("/cookie-flood?n=60&visit=" + std::to_string(visit)));
        most = std::max(most, std::atoi(last.c_str()));
    }
    if (testing_support::RunningUnderWine()) {
        // Wine's WinINet keeps every cookie: the last visit sends back all 2,340 before it.
        EXPECT_EQ(last.substr(0, last.find(' ')), "2340") << last;
        return;
    }
    EXPECT_EQ(most, 50);
    int count = 0, lowest = 0, highest = 0;
    ASSERT_EQ(std::sscanf(last.c_str(), "%d %d %d", &count, &lowest, &highest), 3) << last;
    EXPECT_EQ(count, 50);
    EXPECT_GE(lowest, 38 * 60) << "the oldest went first: only the last visit's remain";
    EXPECT_LE(highest, 38 * 60 + 59);
}

// Past 3,000 cookies in all, over more hosts than 3,000 / 50 (libcurl takes every *.localhost
// name for the loopback): the oldest go first, whatever their host, and a host keeps its newest.
TEST_F(Internet, PastThreeThousandCookiesInAllTheOldestGoWhateverTheirHost) {
    if (testing_support::RunningUnderWine()) {
        GTEST_SKIP() << "wine resolves no *.localhost name, and its WinINet bounds no cookie";
    }
    const std::string server = Env("WEBMON_HTTP");
    const std::string port = server.substr(server.rfind(':'));
    const auto visit = [&](int host, int cookies) {
        return Read("http://h" + std::to_string(host) + ".localhost" + port + "/cookie-flood?n=" +
                    std::to_string(cookies) + "&visit=" + std::to_string(host));
    };
    // A host's cookies count together, whether set for the host alone or for its domain.
    const std::string domain = "http://d.localhost" + port + "/cookie-flood?domain=1";
    Read(domain + "&n=40&visit=0");  // (libcurl takes no more than 50 from one response)
    Read(domain + "&n=40&visit=1");
    const std::string sent = Read(domain + "&n=0&visit=0");
    EXPECT_EQ(sent.substr(0, sent.find(' ')), "50") << sent;

    for (int host = 0; host < 70; ++host) visit(host, 50);  // 3,500 cookies, 50 a host
    // The 500 oldest went: all of hosts 0 to 9 (and any an earlier test left, older still).
    EXPECT_EQ(visit(9, 0), "0 -1 -1");
    EXPECT_EQ(visit(10, 0), "50 500 549");
    EXPECT_EQ(visit(69, 0), "50 3450 3499");
}

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
    EXPECT_LT(Seconds(start), 1.0) << Elapsed(start);
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

// A session opened afresh with shorter limits, back to the usual ones after each test.
class Limited : public Internet {
protected:
    void TearDown() override { Use(inet::Limits{}); }
    // The time-outs apply to the session opened next: the one open now is closed first.
    void Use(const inet::Limits& limits) {
        inet::State().http.Close();
        inet::State().http.SetLimits(limits);
        start_ = std::chrono::steady_clock::now();
    }
    std::chrono::steady_clock::time_point start_;
};

// Servers that never stop, against a deadline of 2 s and a body limit of 1 MiB.
class Bounded : public Limited {
protected:
    void SetUp() override {
        Limited::SetUp();
        inet::Limits quick;
        quick.deadlineMs = 2000;
        quick.bodyBytes = kLimit;
        Use(quick);
    }
    void ExpectEndedByTheDeadline() {
        EXPECT_GT(Seconds(start_), 1.5) << Elapsed(start_);
        EXPECT_LT(Seconds(start_), 4.5) << Elapsed(start_);
    }
    // Less than a second of CPU (a spin over a two-second fetch takes two). Linux only: the
    // Windows C runtime's clock counts wall time.
    static void ExpectLittleCpuSince(std::clock_t cpu) {
#ifndef _WIN32
        EXPECT_LT(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 1.0) << "CPU seconds";
#else
        (void)cpu;
#endif
    }
    static constexpr int kLimit = 1 << 20;
};

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

// The receive time-out counts silence, not the time a read takes: 1 s here.
class SlowPages : public Limited {
protected:
    void SetUp() override {
        Limited::SetUp();
        inet::Limits quick;
        quick.receiveMs = 1000;
        Use(quick);
    }
};

// Each phase of a fetch ends at its own limit, never at the deadline: servers that stop in every
// phase, against 2 s to connect (with TLS), 1 s to send, 1 s of silence, 5 s for a whole head
// and a deadline of 9 s.
TEST_F(SlowPages, EachPhaseEndsAtItsOwnLimit) {
    inet::Limits limits;
    limits.connectMs = 2000;
    limits.sendMs = 1000;
    limits.receiveMs = 1000;
    limits.deadlineMs = 9000;
    limits.headMs = 5000;
    const struct {
        const char* name;
        std::string address;
        bool page;
        double least, most;  // seconds
    } rows[] = {
        {"a connection that never comes up (a full backlog)", "http://" + Env("WEBMON_FULL") + "/",
         false, 1.8, 3.5},
        {"https accepted, no handshake ever", "https://" + Env("WEBMON_SILENT") + "/", false, 1.8,
         3.5},
        {"http accepted, the request never answered", "http://" + Env("WEBMON_SILENT") + "/", false,
         0.8, 2.5},
        {"the whole head, then silence", Http("/silent-head?seconds=6"), false, 0.8, 2.5},
        // Each line within the silence limit, the head in all three times longer: live.
        {"a head a line every 0.4 s for 3.2 s", Http("/slow-head?lines=8&pause=0.4"), true, 3.0,
         6.0},
        // Every line live, the head without end: its bound of 5 s, well before the deadline.
        {"a head a line every 0.1 s, never complete", Http("/drip/header"), false, 4.8, 7.5},
    };
    for (const auto& row : rows) {
        Use(limits);
        std::string body;
        EXPECT_EQ(Fetch(row.address, &body), row.page) << row.name << ", " << Elapsed(start_);
        EXPECT_GT(Seconds(start_), row.least) << row.name << ", " << Elapsed(start_);
        EXPECT_LT(Seconds(start_), row.most) << row.name << ", " << Elapsed(start_);
        if (row.page) {
            EXPECT_EQ(body, "slow head") << row.name;
        }
    }
}

// 8,000 bytes at 4,000 a second: never a second of silence, but a whole block (the declared
// length + 1) takes two.
TEST_F(SlowPages, ABodySlowerThanABlockPerTimeOutArrivesWhole) {
    std::string body;
    EXPECT_TRUE(Fetch(Http("/slow?n=8000&rate=4000"), &body)) << Elapsed(start_);
    EXPECT_TRUE(body == std::string(8000, 's')) << body.size() << " bytes";
}

TEST_F(SlowPages, ASilenceLongerThanTheTimeOutFailsWithWhatArrived) {
    std::string body;
    EXPECT_FALSE(Fetch(Http("/silent?seconds=6"), &body));
    EXPECT_LT(Seconds(start_), 5.0) << Elapsed(start_);
    EXPECT_EQ(body, "start");
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

TEST_F(Internet, HttpsWithTheTestCaAndWithAnUntrustedCertificate) {
    SetEnv("SSL_CERT_FILE", Env("WEBMON_CA"));
    EXPECT_EQ(Read(Https("/ok")), "hello world");
    EXPECT_EQ(Read("https://" + Env("WEBMON_UNTRUSTED") + "/ok"), "<empty>");
    SetEnv("SSL_CERT_FILE", "");
    EXPECT_EQ(Read(Https("/ok")), "<empty>") << "the test CA is not in the system store";
}

TEST_F(Internet, TheProxyComesFromTheEnvironment) {
    SetEnv("http_proxy", "http://" + Env("WEBMON_PROXY"));
    EXPECT_EQ(Read(Http("/ok")), "via proxy: hello world");
    SetEnv("no_proxy", "127.0.0.1");
    EXPECT_EQ(Read(Http("/ok")), "hello world");
    SetEnv("no_proxy", "");
    SetEnv("http_proxy", "");
    EXPECT_EQ(Read(Http("/ok")), "hello world");
}

TEST_F(Internet, ANonAsciiHostFails) {
    EXPECT_EQ(Read("http://\xD6\xD0\xCE\xC4.example/"), "<empty>");
}
#endif

}  // namespace
