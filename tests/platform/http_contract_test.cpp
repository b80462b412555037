// The platform's HTTP entry points, the same contract on both builds, called directly against
// the fixture servers (tests/fixtures/servers.py): platform/*/inet.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/fixture_servers.h"
#include "support/platform_facts.h"

namespace {

using testing_support::Env;
using testing_support::Pattern;

// A GET of path on the HTTP fixture through the platform's calls alone, on a session opened
// with accessType; the body, or "<failed>". pauseMs: a wait after the first read, as a reader
// that falls behind. host: another name for the fixture's address. user: a user name, sent
// with the password "secret" should a challenge ask.
std::string PlatformGet(const std::string& path, std::uint32_t accessType, std::uint32_t receiveMs,
                        int pauseMs, const char* headers = nullptr, std::uint32_t headersLength = 0,
                        std::string host = "", const char* user = "") {
    plat::InetHandle session = plat::InternetOpenA("test", accessType, nullptr, nullptr, 0);
    if (!session) return "<failed>";
    plat::InternetSetOptionA(session, plat::kOptionReceiveTimeout, &receiveMs, 4);
    const std::string server = Env("WEBMON_HTTP");
    if (host.empty()) host = server.substr(0, server.find(':'));
    const auto port = static_cast<std::uint16_t>(std::stoi(server.substr(server.find(':') + 1)));
    std::string body = "<failed>";
    plat::InetHandle connection = plat::InternetConnectA(
        session, host.c_str(), port, user, *user ? "secret" : "", plat::kInternetServiceHttp, 0, 0);
    plat::InetHandle request =
        connection ? plat::HttpOpenRequestA(connection, "GET", path.c_str(), "HTTP/1.0", nullptr,
                                            nullptr, plat::kFlagReload, 0)
                   : nullptr;
    if (request && plat::HttpSendRequestA(request, headers, headersLength, nullptr, 0)) {
        std::string read;
        std::vector<char> chunk(65536);
        std::uint32_t got = 0;
        bool ok;
        while ((ok = plat::InternetReadFile(request, chunk.data(), 65536, &got)) && got > 0) {
            if (read.empty() && pauseMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            }
            read.append(chunk.data(), got);
        }
        if (ok) body = read;
    }
    if (request) plat::InternetCloseHandle(request);
    if (connection) plat::InternetCloseHandle(connection);
    plat::InternetCloseHandle(session);
    return body;
}

// A call on a handle that it cannot take fails at once, with WinINet's error for it, before
// anything of the handle is used: a request never sent has nothing to read, and a handle of
// another kind is none of the call's.
TEST(PlatformHttp, ACallOnAHandleItCannotTakeFailsAtOnce) {
    constexpr std::uint32_t kIncorrectType = 12018;   // ERROR_INTERNET_INCORRECT_HANDLE_TYPE
    constexpr std::uint32_t kIncorrectState = 12019;  // ERROR_INTERNET_INCORRECT_HANDLE_STATE
    plat::InetHandle session =
        plat::InternetOpenA("test", plat::kInternetOpenTypeDirect, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    plat::InetHandle connection =
        plat::InternetConnectA(session, "127.0.0.1", 80, "", "", plat::kInternetServiceHttp, 0, 0);
    ASSERT_NE(connection, nullptr);
    plat::InetHandle request = plat::HttpOpenRequestA(connection, "GET", "/", "HTTP/1.0", nullptr,
                                                      nullptr, plat::kFlagReload, 0);
    ASSERT_NE(request, nullptr);
    // A handle that a call wrongly hands out is closed at once.
    const auto made = [](plat::InetHandle handle) {
        if (handle) plat::InternetCloseHandle(handle);
        return handle != nullptr;
    };
    char buffer[16];
    std::uint32_t got = 1;
    std::uint32_t size = sizeof buffer;
    const struct {
        const char* name;
        std::function<bool()> call;
        std::uint32_t error;
    } rows[] = {
        {"a read of a request never sent",
         [&] { return plat::InternetReadFile(request, buffer, sizeof buffer, &got); },
         kIncorrectState},
        {"a read of a connection",
         [&] { return plat::InternetReadFile(connection, buffer, sizeof buffer, &got); },
         kIncorrectType},
        {"a send of a connection",
         [&] { return plat::HttpSendRequestA(connection, nullptr, 0, nullptr, 0); },
         kIncorrectType},
        {"a send of a session",
         [&] { return plat::HttpSendRequestA(session, nullptr, 0, nullptr, 0); }, kIncorrectType},
        {"a query of a connection",
         [&] {
             return plat::HttpQueryInfoA(connection, plat::kQueryContentLength, buffer, &size,
                                         nullptr);
         },
         kIncorrectType},
        {"a request opened on a session",
         [&] {
             return made(plat::HttpOpenRequestA(session, "GET", "/", "HTTP/1.0", nullptr, nullptr,
                                                plat::kFlagReload, 0));
         },
         kIncorrectType},
        {"a connection made on a request",
         [&] {
             return made(plat::InternetConnectA(request, "127.0.0.1", 80, "", "",
                                                plat::kInternetServiceHttp, 0, 0));
         },
         kIncorrectType},
    };
    for (const auto& row : rows) {
        got = 1;
        EXPECT_FALSE(row.call()) << row.name;
        EXPECT_EQ(plat::GetLastError(), row.error) << row.name;
        if (std::string(row.name).find("read") != std::string::npos) {
            EXPECT_EQ(got, 0u) << row.name << ": a failed read tells no bytes";
        }
    }
    plat::InternetCloseHandle(request);
    plat::InternetCloseHandle(connection);
    plat::InternetCloseHandle(session);
}

// One rule on both builds: a headers length of all ones reads up to the zero byte.
TEST(PlatformHttp, AHeadersLengthOfAllOnesMeansUpToTheZeroByte) {
    const char headers[] = "X-Webmon: yes\r\n";
    const struct {
        std::uint32_t length;
        bool sent;
    } rows[] = {{plat::kHeadersToZero, true}, {sizeof headers - 1, true}, {0, false}};
    for (const auto& row : rows) {
        const std::string echo =
            PlatformGet("/echo", plat::kInternetOpenTypeDirect, 5000, 0, headers, row.length);
        EXPECT_EQ(echo.find("X-Webmon: yes") != std::string::npos, row.sent)
            << "length " << row.length << ":\n"
            << echo;
    }
}

// A host name is looked up as its bytes stand, never turned into an international name first:
// in UTF-8 or in GBK, these name no host (libcurl would take the first for xn--fsqu00a.localhost,
// which it finds on the loopback), and fail on both builds.
TEST(PlatformHttp, AHostNameOfOtherThanAsciiIsLookedUpAsItStands) {
    // In a UTF-8 character set, as webmon takes the user's on Linux (a Windows C runtime that
    // has no such locale keeps its own).
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C.UTF-8");
    for (const char* host : {"\xE4\xBE\x8B\xE5\xAD\x90.localhost", "\xC0\xFD\xD7\xD3.localhost"}) {
        EXPECT_EQ(PlatformGet("/ok", plat::kInternetOpenTypeDirect, 5000, 0, nullptr, 0, host),
                  "<failed>")
            << host;
    }
    std::setlocale(LC_CTYPE, before.c_str());
}

// The bytes wait in the socket while the reader is behind: a pause longer than the receive
// time-out is no silence of the server's.
TEST(PlatformHttp, AReaderThatFallsBehindStillGetsTheWholeBody) {
    const std::string body =
        PlatformGet("/bytes/3000000", plat::kInternetOpenTypeDirect, 500, 1500);
    EXPECT_EQ(body.size(), 3000000u);
    EXPECT_TRUE(body == Pattern(3000000)) << "the bytes in order";
}

// A body ends as HTTP has it (RFC 9112, 2.2 and 6.3), WinINet's reading on both builds: empty
// lines before a status line are skipped, also after an interim response; chunked counts only
// as the last transfer coding, over every Transfer-Encoding line, and a body under any other
// last coding is read to the close. Nothing past a response's end is its body.
TEST(PlatformHttp, ABodyEndsAsHttpHasIt) {
    const bool wine = testing_support::RunningUnderWine();
    const struct {
        const char* name;  // of the fixture's /framing/ route
        const char* body;
        const char* wine;  // where wine's WinINet reads it otherwise, what it reads
    } rows[] = {
        // Wine's WinINet takes the empty line for a status line, drops it, and reads the rest,
        // the head included, as the body (as it reads a response of no status line).
        {"after-empty-line", "body", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody"},
        {"interim-then-empty-line", "not found here", nullptr},
        {"chunked-after-empty-line", "hello world",
         "\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n"
         "0\r\n\r\nstray"},
        {"chunked-then-deflate", "body read to the close", nullptr},
        {"deflate", "body read to the close", nullptr},
        // Wine's WinINet takes the first Transfer-Encoding line alone and reads chunks: none.
        {"chunked-then-identity", "body read to the close", ""},
        // Chunks that break, or that the close cuts short, fail the read: never a body cut
        // where it broke, also where libcurl would read to the close. Wine's WinINet takes
        // only a value of exactly "chunked" for chunks and reads these to the close.
        {"chunked-with-parameter-broken", "<failed>", "5\r\nhelloXXXXX the rest"},
        {"chunked-with-parameter-cut", "<failed>", "5\r\nhello\r\n6\r\n wo"},
        // A 101 that nobody asked for is the response, its body as its head says; a folded
        // Transfer-Encoding is one line (wine's WinINet reads no chunked there and keeps the
        // chunks as they came: a page on both builds).
        {"switching-protocols", "body", nullptr},
        {"chunked-folded", "body", "4\r\nbody\r\n0\r\n\r\n"},
        // A chunk size of 17 digits, leading zeros: libcurl drops the connection at the 17th,
        // so Linux fails it however the bytes come (the README's table of differences).
        {"chunk-size-zeros", "<failed>", "body"},
        // Lengths that differ and a size line that is no size (RFC 9112, 6.3 and 7.1) fail the
        // read on Linux; wine's WinINet reads on (the README's table of differences).
        {"lengths-differ", "<failed>", "hello"},
        {"chunk-size-junk", "<failed>", "body"},
    };
    for (const auto& row : rows) {
        const char* expected = wine && row.wine ? row.wine : row.body;
        EXPECT_EQ(PlatformGet(std::string("/framing/") + row.name, plat::kInternetOpenTypeDirect,
                              5000, 0),
                  expected)
            << row.name;
    }
    // A 401 after an empty line, which libcurl hands over as a body and answers no challenge
    // of, ends where its head says, also with credentials and its connection held open (it was
    // held until the silence limit). Wine's WinINet reads it as a body to the close.
    EXPECT_EQ(PlatformGet("/framing/challenge-after-empty-line?hold=10",
                          plat::kInternetOpenTypeDirect, 1000, 0, nullptr, 0, "", "user"),
              wine ? "<failed>" : "");
}

// Bytes past a response's end are none of the next response's (RFC 9112, 6.3: a client must not
// take them for a response): a kept-alive 204 with 15 bytes after it, then another request on
// the same session, which reads its own answer. The bytes come with the 204, after it, or after
// the next request has gone (the server answers it only once they are sent).
TEST(PlatformHttp, BytesPastAResponsesEndAreNotTheNextOnes) {
    const std::string server = Env("WEBMON_HTTP");
    const std::string host = server.substr(0, server.find(':'));
    const auto port = static_cast<std::uint16_t>(std::stoi(server.substr(server.find(':') + 1)));
    for (const char* wait : {"0", "0.2", "1", "0.05&whole=1"}) {
        plat::InetHandle session =
            plat::InternetOpenA("test", plat::kInternetOpenTypeDirect, nullptr, nullptr, 0);
        ASSERT_NE(session, nullptr);
        std::string bodies;
        for (std::string path : {std::string("/stray-after?wait=") + wait, std::string("/ok")}) {
            plat::InetHandle connection = plat::InternetConnectA(
                session, host.c_str(), port, "", "", plat::kInternetServiceHttp, 0, 0);
            ASSERT_NE(connection, nullptr);
            plat::InetHandle request = plat::HttpOpenRequestA(connection, "GET", path.c_str(),
                                                              "HTTP/1.0", nullptr, nullptr, 0, 0);
            ASSERT_NE(request, nullptr);
            std::string body = "<failed>";
            if (plat::HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
                char chunk[4096];
                std::uint32_t got = 0;
                bool ok;
                body.clear();
                while ((ok = plat::InternetReadFile(request, chunk, sizeof chunk, &got)) && got > 0)
                    body.append(chunk, got);
                if (!ok) body = "<failed>";
            }
            bodies += "[" + body + "]";
            plat::InternetCloseHandle(request);
            plat::InternetCloseHandle(connection);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the bytes are in
        }
        plat::InternetCloseHandle(session);
        if (testing_support::RunningUnderWine()) {
            // Wine's WinINet sends the next request down the same connection and reads the
            // bytes in front of its answer: their line is its status line, the head its body.
            // Bytes that come with the 204's head it drops, or not, as they arrive: not asked.
            if (std::string(wait) == "0" || std::string(wait).find("whole") != std::string::npos) {
                continue;
            }
            EXPECT_NE(bodies.find("Content-Length: 11\r\n\r\nhello world]"), std::string::npos)
                << "bytes " << wait << " s past the end: " << bodies;
        } else {
            EXPECT_EQ(bodies, "[][hello world]") << "bytes " << wait << " s past the end";
        }
    }
}

#ifndef _WIN32
// Linux only: wine's WinINet reads its proxy elsewhere.
void SetEnv(const char* name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
}

TEST(PlatformHttp, ADirectSessionNeverAsksTheEnvironmentsProxy) {
    SetEnv("http_proxy", "http://" + Env("WEBMON_PROXY"));
    EXPECT_EQ(PlatformGet("/ok", plat::kInternetOpenTypeDirect, 30000, 0), "hello world");
    EXPECT_EQ(PlatformGet("/ok", plat::kInternetOpenTypePreconfig, 30000, 0),
              "via proxy: hello world")
        << "the configured one";
    SetEnv("http_proxy", "");
}

#endif

}  // namespace
