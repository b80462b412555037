// The handle model of the HTTP stand-in: what a caller's InetHandle is (a Session, a
// Connection or a Request), and what a request holds of its transfer. Used by the entry points
// (inet.cpp), the transfer engine (transfer.cpp) and the cookie bounds (cookies.cpp).
//
// Lifetimes and threads:
//  1. Children are closed before their parents: a request before its connection, a connection
//     before its session. A request reaches its session through its connection when it stops
//     its transfer, so a parent closed first would leave it a dangling path (checked at close).
//  2. One thread uses a session's handles at a time. Pump (transfer.cpp) drives the session's one
//     transfer engine and ends any of its requests whose transfer ended (Phase::Done), also
//     requests other than the one being read; their own InternetReadFile reads that phase
//     later, on the same thread. The session's lock orders the engine's use; the cookies have a
//     lock of their own.
//  3. A request's target points into its caller's block only while InternetReadFile runs.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/check.h"
#include "platform/fetch_phases.h"
#include "platform/platform.h"
#include "platform/posix/http_head.h"

namespace plat::posix {

using Clock = std::chrono::steady_clock;

constexpr long kNoTimeout = 0x7FFFFFFF;  // none: what WinINet makes of a time-out of 0

enum class Kind { Session, Connection, Request };

struct Handle {
    explicit Handle(Kind k) : kind(k) {}
    virtual ~Handle() = default;
    Kind kind;
};

struct Session : Handle {
    Session() : Handle(Kind::Session) {}
    ~Session() override {
        WEBMON_ASSERT(connections == 0);  // invariant 1
        if (multi) curl_multi_cleanup(multi);
        if (cookieKeeper) curl_easy_cleanup(cookieKeeper);
        if (cookies) curl_share_cleanup(cookies);
    }
    // One transfer engine for all the session's requests: building one per request costs more
    // than the request itself on a fast network. The lock keeps its use to one thread at a time.
    CURLM* multi = nullptr;
    std::mutex lock;
    // The cookies that responses set, kept in memory for the session's life (never on disk)
    // and sent with its later requests, as WinINet keeps them.
    CURLSH* cookies = nullptr;
    std::mutex cookieLock;
    // The order in which the cookies arrived (key: domain, path and name), so that a bound
    // drops the oldest first; used by one thread at a time (invariant 2).
    std::unordered_map<std::string, std::uint64_t> cookieAges;
    std::uint64_t cookiesSeen = 0;
    // A handle on the cookies that runs no transfer, for the bounds: libcurl takes no more than
    // 50 cookies in a transfer, so that a transfer's own handle cannot expire any past them.
    CURL* cookieKeeper = nullptr;
    int connections = 0;  // open children (invariant 1)
    std::string agent;
    bool environmentProxy = false;  // the configured proxy was asked for
    // Time-outs: none until the caller sets them (the internet library always does).
    long connectMs = kNoTimeout;
    long sendMs = kNoTimeout;
    long receiveMs = kNoTimeout;
};

struct Connection : Handle {
    explicit Connection(Session* s) : Handle(Kind::Connection), session(s) { ++s->connections; }
    ~Connection() override {
        WEBMON_ASSERT(requests == 0);  // invariant 1
        --session->connections;
    }
    Session* session;
    int requests = 0;  // open children (invariant 1)
    std::string host;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
};

struct Request : Handle {
    explicit Request(Connection* c) : Handle(Kind::Request), connection(c) { ++c->requests; }
    ~Request() override {
        StopTransfer();
        --connection->requests;
    }
    void StopTransfer();  // transfer.cpp: the transfer's libcurl handles go

    Connection* connection;
    std::string object;  // path and query, as given
    bool secure = false;
    std::vector<std::string> headers;  // extra request headers, "Name: value"

    CURLM* multi = nullptr;  // the session's engine while a transfer is on
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char curlError[CURL_ERROR_SIZE] = "";

    // Reads the response to the request last sent, from every byte libcurl hands over: the one
    // judge of its head, its framing and its body.
    ResponseReader reader;
    // The waiting reader's block, while InternetReadFile runs the transfer: body bytes go
    // straight into it. What arrives with no reader waiting, or beyond its block, is pending.
    char* target = nullptr;
    std::size_t targetRoom = 0;
    std::size_t targetGot = 0;
    std::string pending;         // body bytes received and not yet handed out
    std::size_t pendingAt = 0;   // first unread byte of pending
    bool setsCookies = false;    // the response has a Set-Cookie header
    Phase phase = Phase::Idle;   // moved by transfer.cpp's Enter only
    CURLcode result = CURLE_OK;  // how it ended, once Done
    Clock::time_point lastActivity;
    Clock::time_point deadline = Clock::time_point::max();  // InternetSetDeadline's
    long headMs = kNoTimeout;                               // InternetSetHeadLimit's
    Clock::time_point headEnds = Clock::time_point::max();  // from the request sent
};

template <class T>
T* As(InetHandle h, Kind kind) {
    auto* handle = static_cast<Handle*>(h);
    return handle && handle->kind == kind ? static_cast<T*>(handle) : nullptr;
}

}  // namespace plat::posix
