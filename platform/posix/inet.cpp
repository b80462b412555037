// WinINet's HTTP entry points on libcurl: single exchanges, keeping what the library relies on.
//
// The divisions of this file, in order:
//   the handle model  Session, Connection and Request: what a caller's handle is, and the
//                     phases of a request's transfer;
//   the transfer      libcurl's callbacks, StartTransfer, Pump, the ends of a transfer;
//   cookies           the bounds of the session's cookies;
//   the entry points  InternetOpenA to InternetCloseHandle, then InternetSetDeadline.
// Addresses are canonicalized and cracked in url.cpp, response heads read in http_head.cpp,
// and the request's text (accept types, extra headers, target, URL) made in request_text.cpp.
//
// What the stand-in keeps of WinINet:
//  1. HttpSendRequestA returns once the response's headers are in; InternetReadFile then pulls
//     the body: at most the asked count per call, 0 at its end, false when the connection
//     breaks. libcurl's multi interface runs the transfer inside InternetReadFile and writes
//     straight into the caller's block; bytes that arrive with no reader waiting are held, and
//     past a bound the transfer pauses, so memory stays bounded whatever the body's size. A
//     resumed transfer is driven at once, never after a poll's time-out.
//  2. HTTP/1.0, the agent text, one "Accept: */*", no cache, no content decoding; no redirect
//     is followed (the library follows them, one request each). Hosts that are not ASCII fail.
//  3. Certificates verified (the system store, or SSL_CERT_FILE / SSL_CERT_DIR when set); the
//     proxy from the environment once the caller asks for the configured proxy.
//  4. Connect, send and receive time-outs from the session's options: a transfer that brings
//     nothing for the receive time-out fails; so does one still running at its deadline, and
//     one whose head is not complete at its head limit from the connection up.
//  5. Cookies that responses set are kept in memory for the session's life, never on disk, and
//     sent with its later requests (libcurl's cookie engine, shared by the session's transfers),
//     within bounds: 50 a host, as WinINet keeps, and 3,000 in all, the least that RFC 6265
//     asks a cookie store to keep (webmon's choice), the oldest dropped first, applied in the
//     transfer that set them.
//  6. Credentials from the address are sent only in answer to a 401 challenge, by the scheme
//     it names (Basic or Digest), never with the first request.
//
// Lifetimes and threads:
//  7. Children are closed before their parents: a request before its connection, a connection
//     before its session. A request reaches its session through its connection when it stops
//     its transfer, so a parent closed first would leave it a dangling path (checked at close).
//  8. One thread uses a session's handles at a time. Pump drives the session's one transfer
//     engine and ends any of its requests whose transfer ended (Phase::Done), also requests
//     other than the one being read; their own InternetReadFile reads that phase later, on the same
//     thread. The session's lock orders the engine's use; the cookies have a lock of their own.
//  9. A request's target points into its caller's block only while InternetReadFile runs.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <strings.h>

#include "platform/platform.h"
#include "platform/posix/http_head.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/request_text.h"
#include "platform/check.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPauseAt = 256 * 1024;  // unread bytes held before the transfer pauses
constexpr long kPollMs = 100;                 // longest wait for the socket between checks
constexpr long kNoTimeout = 0x7FFFFFFF;       // none: what WinINet makes of a time-out of 0
constexpr unsigned long kAnsweredSchemes = CURLAUTH_BASIC | CURLAUTH_DIGEST;  // challenges

using namespace posix;  // the error numbers and Fail, the request text

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// ---- The handle model -------------------------------------------------------------------------

enum class Kind { Session, Connection, Request };

// Where a request's transfer is. Every move goes through Enter, which checks it against the
// moves allowed (Allowed) and starts the phase's clock; IdleLimit gives each phase its
// time-out of inactivity. Each line names what moves a transfer into its phase.
enum class Phase {
    Idle,          // StartTransfer: no transfer yet, or one that could not start
    Connecting,    // StartTransfer: the connection (and its TLS) comes up: the connect time-out
    AwaitingHead,  // OnConnected: the request goes out and the head comes in: send and receive
    Body,          // HeadComplete, or InternetReadFile resuming: the receive time-out of silence
    Paused,        // OnBody: the reader is behind, libcurl holds the rest in the socket: no limit
    Done,          // End: the transfer ended; `result` says how
};

struct Handle {
    explicit Handle(Kind k) : kind(k) {}
    virtual ~Handle() = default;
    Kind kind;
};

struct Session : Handle {
    Session() : Handle(Kind::Session) {}
    ~Session() override {
        WEBMON_ASSERT(connections == 0);  // invariant 7
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
    // drops the oldest first; used by one thread at a time (invariant 8).
    std::unordered_map<std::string, std::uint64_t> cookieAges;
    std::uint64_t cookiesSeen = 0;
    // A handle on the cookies that runs no transfer, for the bounds: libcurl takes no more than
    // 50 cookies in a transfer, so that a transfer's own handle cannot expire any past them.
    CURL* cookieKeeper = nullptr;
    int connections = 0;  // open children (invariant 7)
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
        WEBMON_ASSERT(requests == 0);  // invariant 7
        --session->connections;
    }
    Session* session;
    int requests = 0;  // open children (invariant 7)
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

    Connection* connection;
    std::string object;  // path and query, as given
    bool secure = false;
    std::vector<std::string> headers;  // extra request headers, "Name: value"

    CURLM* multi = nullptr;  // the session's engine while a transfer is on
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char curlError[CURL_ERROR_SIZE] = "";

    posix::ResponseHead head;  // of the response being received
    // The waiting reader's block, while InternetReadFile runs the transfer: body bytes go
    // straight into it. What arrives with no reader waiting, or beyond its block, is pending.
    char* target = nullptr;
    std::size_t targetRoom = 0;
    std::size_t targetGot = 0;
    std::string pending;        // body bytes received and not yet handed out
    std::size_t pendingAt = 0;  // first unread byte of pending
    bool setsCookies = false;   // the response has a Set-Cookie header
    Phase phase = Phase::Idle;
    CURLcode result = CURLE_OK;  // how it ended, once Done
    Clock::time_point lastActivity;
    Clock::time_point deadline = Clock::time_point::max();  // InternetSetDeadline's
    long headMs = kNoTimeout;                               // InternetSetHeadLimit's
    Clock::time_point headEnds = Clock::time_point::max();  // from the connection up

    void StopTransfer() {
        if (easy) {
            std::lock_guard<std::mutex> hold(connection->session->lock);
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
        }
        if (headerList) curl_slist_free_all(headerList);
        easy = nullptr;
        multi = nullptr;
        headerList = nullptr;
    }
};

template <class T>
T* As(InetHandle h, Kind kind) {
    auto* handle = static_cast<Handle*>(h);
    return handle && handle->kind == kind ? static_cast<T*>(handle) : nullptr;
}

bool IsAscii(const std::string& s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// ---- The transfer ---------------------------------------------------------------------------

// The moves a transfer makes: forward through the phases, Body and Paused in turn, Done from
// any phase but Idle, and Idle again only for the next transfer (StartTransfer).
[[maybe_unused]] bool Allowed(Phase from, Phase to) {
    switch (to) {
    case Phase::Idle: return true;
    case Phase::Connecting: return from == Phase::Idle;
    case Phase::AwaitingHead: return from == Phase::Connecting;
    case Phase::Body:
        return from == Phase::Connecting || from == Phase::AwaitingHead || from == Phase::Paused;
    case Phase::Paused: return from == Phase::Body;
    case Phase::Done: return from != Phase::Idle;
    }
    return false;
}

// The one way a transfer changes phase; its clock of inactivity starts again.
void Enter(Request* r, Phase to) {
    WEBMON_ASSERT(Allowed(r->phase, to));
    r->phase = to;
    r->lastActivity = Clock::now();
}

// Bytes arrived: the clock of inactivity starts again, the phase stays.
void Arrived(Request* r) { r->lastActivity = Clock::now(); }

// Ends the transfer with its result: the one way into Phase::Done.
void End(Request* r, CURLcode result) {
    Enter(r, Phase::Done);
    r->result = result;
}

// The longest inactivity a phase allows, from the session's time-outs.
long IdleLimit(const Session& s, Phase phase) {
    switch (phase) {
    case Phase::Connecting: return s.connectMs;
    case Phase::AwaitingHead: return std::max(s.sendMs, s.receiveMs);
    case Phase::Body: return s.receiveMs;
    default: return kNoTimeout;  // idle, paused by its reader, or done: nothing to wait for
    }
}

// The head is complete: body bytes may come now.
void HeadComplete(Request* r) {
    if (r->phase == Phase::Connecting || r->phase == Phase::AwaitingHead) Enter(r, Phase::Body);
}

// libcurl's callbacks are called from C: nothing may be thrown through them, so an allocation
// that fails there fails the transfer instead (0 bytes taken aborts it).
std::size_t OnHeader(char* data, std::size_t size, std::size_t n, void* user) try {
    auto* r = static_cast<Request*>(user);
    const std::size_t bytes = size * n;
    Arrived(r);
    posix::TakeHeadLine(r->head, data, bytes);
    if (r->head.complete && r->head.status == 401 && !r->connection->user.empty()) {
        // A challenge that libcurl may answer: its body is skipped and the answer's head comes
        // next. Its own head stands should no answer follow (a body, or the end, then comes).
        r->head.complete = false;
        r->head.atResponseStart = true;
    }
    if (r->head.complete) HeadComplete(r);
    constexpr char kSetCookie[] = "set-cookie:";
    constexpr std::size_t kSetCookieLength = sizeof kSetCookie - 1;
    if (bytes > kSetCookieLength && strncasecmp(data, kSetCookie, kSetCookieLength) == 0) {
        r->setsCookies = true;
    }
    return bytes;
} catch (const std::bad_alloc&) {
    return 0;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t n, void* user) try {
    auto* r = static_cast<Request*>(user);
    const std::size_t bytes = size * n;
    if (!r->head.complete) {
        // The body has begun, so libcurl has read the whole head, also one whose lines the
        // head reader did not take for a response: its status is libcurl's.
        long code = 0;
        curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &code);
        if (code > 0) r->head.status = code;
        r->head.complete = true;
        HeadComplete(r);
    }
    Arrived(r);
    std::size_t taken = 0;
    if (r->target && r->pendingAt == r->pending.size()) {  // nothing queued before these bytes
        taken = std::min(bytes, r->targetRoom - r->targetGot);
        std::memcpy(r->target + r->targetGot, data, taken);
        r->targetGot += taken;
        if (taken == bytes) return bytes;
    }
    // A chunk is taken whole or paused whole: a part already taken leaves the rest pending.
    if (taken == 0 && r->pending.size() - r->pendingAt >= kPauseAt) {
        Enter(r, Phase::Paused);
        return CURL_WRITEFUNC_PAUSE;  // the reader is behind: hold the rest in the socket
    }
    if (r->pendingAt > 0 && r->pendingAt >= r->pending.size() / 2) {
        r->pending.erase(0, r->pendingAt);
        r->pendingAt = 0;
    }
    r->pending.append(data + taken, bytes - taken);
    return bytes;
} catch (const std::bad_alloc&) {
    return 0;
}

// Called once the connection is up, before the request goes out: connecting has ended.
int OnConnected(void* user, char*, char*, int, int) {
    auto* r = static_cast<Request*>(user);
    if (r->phase == Phase::Connecting) {
        Enter(r, Phase::AwaitingHead);
        r->headEnds = r->lastActivity + std::chrono::milliseconds(r->headMs);
    }
    return CURL_PREREQFUNC_OK;
}

void LockCookies(CURL*, curl_lock_data, curl_lock_access, void* session) {
    static_cast<Session*>(session)->cookieLock.lock();
}
void UnlockCookies(CURL*, curl_lock_data, void* session) {
    static_cast<Session*>(session)->cookieLock.unlock();
}

bool StartTransfer(Request* r, const std::string& url) {
    r->StopTransfer();
    r->head = posix::ResponseHead{};
    r->pending.clear();
    r->pendingAt = 0;
    r->setsCookies = false;
    Enter(r, Phase::Idle);
    r->result = CURLE_OK;

    const Connection* c = r->connection;
    Session* s = c->session;
    std::lock_guard<std::mutex> hold(s->lock);
    if (!s->multi) s->multi = curl_multi_init();
    if (!s->cookies && (s->cookies = curl_share_init())) {
        curl_share_setopt(s->cookies, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        curl_share_setopt(s->cookies, CURLSHOPT_LOCKFUNC, LockCookies);
        curl_share_setopt(s->cookies, CURLSHOPT_UNLOCKFUNC, UnlockCookies);
        curl_share_setopt(s->cookies, CURLSHOPT_USERDATA, s);
    }
    r->multi = s->multi;
    r->easy = curl_easy_init();
    // A transfer that cannot start leaves no handle: "there is a transfer" is an easy handle.
    const auto cannotStart = [r] {
        if (r->easy) curl_easy_cleanup(r->easy);
        r->easy = nullptr;
        r->multi = nullptr;
        return Fail(kErrCannotConnect);
    };
    if (!r->multi || !r->easy || !s->cookies) return cannotStart();
    CURL* e = r->easy;
    curl_easy_setopt(e, CURLOPT_SHARE, s->cookies);
    curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");  // the cookie engine on, with no file
    curl_easy_setopt(e, CURLOPT_PRIVATE, r);
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);  // one exchange: the library follows
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(e, CURLOPT_USERAGENT, s->agent.c_str());
    curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, s->connectMs);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r->curlError);
    if (!s->environmentProxy) curl_easy_setopt(e, CURLOPT_PROXY, "");
    if (const char* file = std::getenv("SSL_CERT_FILE")) curl_easy_setopt(e, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR")) curl_easy_setopt(e, CURLOPT_CAPATH, dir);
    if (!c->user.empty()) {
        curl_easy_setopt(e, CURLOPT_USERNAME, c->user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, c->password.c_str());
        // More than one scheme: libcurl first asks without them, then answers the server's
        // challenge by the scheme it names, as WinINet does (invariant 6).
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, kAnsweredSchemes);
    }
    for (const std::string& h : r->headers)
        r->headerList = curl_slist_append(r->headerList, h.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headerList);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, r);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, r);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, OnConnected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, r);
    if (curl_multi_add_handle(r->multi, e) != CURLM_OK) return cannotStart();
    Enter(r, Phase::Connecting);
    return true;
}

// Runs the transfer a little: until something arrived, it ended, or a short wait passed. The
// wait is only for a socket with nothing to give: a transfer with data at hand is not kept
// waiting.
void Pump(Request* r) {
    Session* s = r->connection->session;
    std::lock_guard<std::mutex> hold(s->lock);
    const std::size_t before = r->pending.size();
    const std::size_t gotBefore = r->targetGot;
    const Phase phaseBefore = r->phase;
    int running = 0;
    curl_multi_perform(r->multi, &running);
    while (CURLMsg* m = curl_multi_info_read(r->multi, &running)) {
        if (m->msg != CURLMSG_DONE) continue;
        char* owner = nullptr;  // the message may be another request's of the same session
        curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &owner);
        auto* done = reinterpret_cast<Request*>(owner);
        WEBMON_ASSERT(done->connection->session == s);  // invariant 8: the session's own
        End(done, m->data.result);
    }
    if (r->phase == Phase::Done) return;
    const Clock::time_point now = Clock::now();
    const bool headOver = r->phase == Phase::AwaitingHead && now >= r->headEnds;
    if (now >= r->deadline || headOver ||
        now - r->lastActivity > std::chrono::milliseconds(IdleLimit(*s, r->phase))) {
        End(r, CURLE_OPERATION_TIMEDOUT);
        return;
    }
    // Something happened, or the reader must resume the transfer: no wait.
    if (r->pending.size() != before || r->targetGot != gotBefore || r->phase != phaseBefore ||
        r->phase == Phase::Paused) {
        return;
    }
    const Clock::time_point ends =
        r->phase == Phase::AwaitingHead ? std::min(r->deadline, r->headEnds) : r->deadline;
    const auto untilDeadline =
        std::chrono::duration_cast<std::chrono::milliseconds>(ends - now).count() + 1;
    const int wait = static_cast<int>(std::min<long long>(kPollMs, untilDeadline));
    curl_multi_poll(r->multi, nullptr, 0, wait, nullptr);
}

std::uint32_t ErrorFor(CURLcode code) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return kErrTimeout;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kErrNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kErrCannotConnect;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE: return kErrSecureFailure;
    case CURLE_UNSUPPORTED_PROTOCOL: return kErrUnrecognizedScheme;
    default: return kErrConnectionAborted;
    }
}

// ---- Cookies ----------------------------------------------------------------------------------

// The bounds: the oldest cookies of a host past the 50th go, as WinINet has it, then the oldest
// of all past the 3,000th, the least that RFC 6265 asks a store to keep. (libcurl itself
// refuses a cookie whose name and value pass 4,096 bytes, as WinINet does.)
constexpr std::size_t kCookiesPerHost = 50;
constexpr std::size_t kCookiesInAll = 3000;

// One line of libcurl's cookie list (Netscape format): domain, tail match, path, secure,
// expiry, name, value, separated by tabs; "#HttpOnly_" may begin the domain.
enum CookieField { kDomain, kTailMatch, kPath, kSecure, kExpiry, kName, kValue, kCookieFields };
struct CookieLine {
    std::string line;
    std::string host;  // the domain without "#HttpOnly_" and a leading dot
    std::string key;   // domain, path and name: the cookie's identity
    std::uint64_t age = 0;
};

bool ParseCookieLine(const char* text, CookieLine* out) {
    std::string fields[kCookieFields];
    const char* at = text;
    for (int i = 0; i < kCookieFields; ++i) {
        const bool last = i == kCookieFields - 1;
        const char* tab = last ? nullptr : std::strchr(at, '\t');
        if (!last && !tab) return false;
        fields[i] = tab ? std::string(at, tab) : std::string(at);
        at = tab ? tab + 1 : at;
    }
    // Expired by a bound already: gone at libcurl's next look.
    if (fields[kExpiry] == "1") return false;
    std::string host = fields[kDomain];
    constexpr char kHttpOnly[] = "#HttpOnly_";
    if (host.rfind(kHttpOnly, 0) == 0) host.erase(0, sizeof kHttpOnly - 1);
    out->key = host + '\t' + fields[kPath] + '\t' + fields[kName];
    if (!host.empty() && host[0] == '.') host.erase(0, 1);
    out->host = host;
    out->line = text;
    return true;
}

// Expires one cookie: the same line with an expiry in the past, which libcurl removes.
void ExpireCookie(CURL* easy, const CookieLine& cookie) {
    const std::string& line = cookie.line;
    std::size_t at = 0;
    for (int tab = 0; tab < kExpiry; ++tab) at = line.find('\t', at) + 1;
    const std::string expired = line.substr(0, at) + "1" + line.substr(line.find('\t', at));
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, expired.c_str());
}

// Holds the session's cookies to the bounds, within the transfer whose response set cookies.
void BoundCookies(Request* r) {
    Session* s = r->connection->session;
    if (!s->cookieKeeper && (s->cookieKeeper = curl_easy_init())) {
        curl_easy_setopt(s->cookieKeeper, CURLOPT_SHARE, s->cookies);
    }
    CURL* keeper = s->cookieKeeper;
    curl_slist* list = nullptr;
    if (!keeper || curl_easy_getinfo(keeper, CURLINFO_COOKIELIST, &list) != CURLE_OK) return;
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> owned(list,
                                                                            curl_slist_free_all);
    std::vector<CookieLine> cookies;
    std::unordered_map<std::string, std::uint64_t> ages;
    for (curl_slist* item = list; item; item = item->next) {
        CookieLine cookie;
        if (!ParseCookieLine(item->data, &cookie)) continue;
        // A cookie keeps the age it first came with; new ones come in the list's order, which
        // is the order in which libcurl took them.
        auto known = s->cookieAges.find(cookie.key);
        cookie.age = known != s->cookieAges.end() ? known->second : s->cookiesSeen++;
        ages[cookie.key] = cookie.age;
        cookies.push_back(std::move(cookie));
    }
    std::stable_sort(cookies.begin(), cookies.end(),
                     [](const CookieLine& a, const CookieLine& b) { return a.age < b.age; });
    std::unordered_map<std::string, std::size_t> perHost;
    for (const CookieLine& c : cookies) ++perHost[c.host];
    std::size_t kept = cookies.size();
    for (const CookieLine& c : cookies) {  // oldest first
        std::size_t& ofHost = perHost[c.host];
        if (ofHost > kCookiesPerHost || kept > kCookiesInAll) {
            ExpireCookie(keeper, c);
            ages.erase(c.key);
            --ofHost;
            --kept;
        }
    }
    s->cookieAges = std::move(ages);
}

// Waits for the headers of the response to the current transfer.
bool AwaitHeaders(Request* r) {
    while (r->phase == Phase::Connecting || r->phase == Phase::AwaitingHead) Pump(r);
    if (r->setsCookies) BoundCookies(r);
    if (r->head.complete) return true;
    // Ended before any final header: a failure, unless an empty response ended cleanly.
    if (r->result == CURLE_OK && r->head.status == 0) {
        long code = 0;  // a head that libcurl read and the head reader did not
        curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &code);
        r->head.status = code;
    }
    if (r->result == CURLE_OK && r->head.status >= 200) return true;
    return Fail(ErrorFor(r->result == CURLE_OK ? CURLE_RECV_ERROR : r->result));
}

}  // namespace

// ---- Entry points -----------------------------------------------------------------------------

InetHandle InternetOpenA(const char* agent, std::uint32_t accessType, const char*, const char*,
                         std::uint32_t) {
    GlobalInit();
    auto* s = new Session();
    s->agent = agent ? agent : "";
    s->environmentProxy = accessType == kInternetOpenTypePreconfig;
    return s;
}

bool InternetSetOptionA(InetHandle handle, std::uint32_t option, const void* buffer,
                        std::uint32_t length) {
    auto* h = static_cast<Handle*>(handle);
    if (!h || !buffer) return Fail(kErrInvalidOperation);
    if (option == kOptionProxyUsername || option == kOptionProxyPassword) return true;
    auto* s = As<Session>(handle, Kind::Session);
    if (!s) return Fail(kErrIncorrectHandleType);
    switch (option) {
    case kOptionConnectTimeout:
    case kOptionSendTimeout:
    case kOptionReceiveTimeout: {
        if (length < 4) return Fail(kErrorInsufficientBuffer);
        std::uint32_t ms;
        std::memcpy(&ms, buffer, 4);
        long value = ms == 0 || ms > static_cast<std::uint32_t>(kNoTimeout) ? kNoTimeout
                                                                            : static_cast<long>(ms);
        if (option == kOptionConnectTimeout) s->connectMs = value;
        if (option == kOptionSendTimeout) s->sendMs = value;
        if (option == kOptionReceiveTimeout) s->receiveMs = value;
        return true;
    }
    case kOptionProxy: {
        if (length < sizeof(ProxyInfo)) return Fail(kErrorInsufficientBuffer);
        const auto* info = static_cast<const ProxyInfo*>(buffer);
        s->environmentProxy = info->dwAccessType == kInternetOpenTypePreconfig;
        return true;
    }
    default: return Fail(kErrInvalidOperation);
    }
}

InetHandle InternetConnectA(InetHandle session, const char* host, std::uint16_t port,
                            const char* user, const char* password, std::uint32_t service,
                            std::uint32_t, std::uintptr_t) {
    auto* s = As<Session>(session, Kind::Session);
    if (!s) return Fail(kErrIncorrectHandleType), nullptr;
    // Only HTTP: no other protocol is ever reached from here.
    if (service != kInternetServiceHttp) return Fail(kErrInvalidOperation), nullptr;
    auto* c = new Connection(s);
    c->host = host ? host : "";
    c->port = port;
    c->user = user ? user : "";
    c->password = password ? password : "";
    return c;
}

InetHandle HttpOpenRequestA(InetHandle connection, const char* verb, const char* object,
                            const char*, const char*, const char** acceptTypes, std::uint32_t flags,
                            std::uintptr_t) {
    auto* c = As<Connection>(connection, Kind::Connection);
    if (!c) return Fail(kErrIncorrectHandleType), nullptr;
    if (verb && std::strcmp(verb, "GET") != 0) return Fail(kErrInvalidOperation), nullptr;
    auto* r = new Request(c);
    r->object = object ? object : "";
    r->secure = (flags & kFlagSecure) != 0;
    r->headers.push_back(AcceptHeader(acceptTypes));
    return r;
}

bool HttpSendRequestA(InetHandle request, const char* headers, std::uint32_t headersLength,
                      const void*, std::uint32_t) {
    auto* r = As<Request>(request, Kind::Request);
    if (!r) return Fail(kErrIncorrectHandleType);
    // Extra headers: one per line; an empty line ends them; a header replaces one of its name.
    MergeHeaders(r->headers, headers,
                 !headers                          ? 0
                 : headersLength == kHeadersToZero ? std::strlen(headers)
                                                   : headersLength);

    const Connection* c = r->connection;
    if (c->host.empty() || !IsAscii(c->host)) return Fail(kErrNameNotResolved);
    return StartTransfer(r, RequestUrl(r->secure, c->host, c->port, r->object)) && AwaitHeaders(r);
}

bool HttpQueryInfoA(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length,
                    std::uint32_t*) {
    auto* r = As<Request>(request, Kind::Request);
    if (!r) return Fail(kErrIncorrectHandleType);
    if (level == (kQueryStatusCode | kQueryFlagNumber)) {
        if (r->head.status == 0) return Fail(kErrHeaderNotFound);
        if (*length < 4) {
            *length = 4;
            return Fail(kErrorInsufficientBuffer);
        }
        const auto status = static_cast<std::uint32_t>(r->head.status);
        std::memcpy(buffer, &status, 4);
        *length = 4;
        return true;
    }
    const std::string* value = nullptr;
    if (level == kQueryContentLength && r->head.hasContentLength) value = &r->head.contentLength;
    if (level == kQueryLocation && r->head.hasLocation) value = &r->head.location;
    if (!value) return Fail(kErrHeaderNotFound);
    if (*length < value->size() + 1) {
        *length = static_cast<std::uint32_t>(value->size() + 1);
        return Fail(kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, value->c_str(), value->size() + 1);
    *length = static_cast<std::uint32_t>(value->size());
    return true;
}

bool InternetReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t* got) {
    auto* r = As<Request>(request, Kind::Request);
    *got = 0;
    if (!r) return Fail(kErrIncorrectHandleType);
    if (!r->easy) return Fail(kErrIncorrectHandleState);  // never sent: nothing to read
    for (;;) {
        const std::size_t unread = r->pending.size() - r->pendingAt;
        if (unread > 0) {
            const std::size_t n = std::min<std::size_t>(unread, count);
            std::memcpy(buffer, r->pending.data() + r->pendingAt, n);
            r->pendingAt += n;
            *got = static_cast<std::uint32_t>(n);
            return true;
        }
        r->pending.clear();
        r->pendingAt = 0;
        if (r->phase == Phase::Done) {
            if (r->result == CURLE_OK) return true;  // the end of the body: 0 bytes
            return Fail(ErrorFor(r->result));
        }
        // The transfer writes into the caller's block itself: no staging copy.
        r->target = static_cast<char*>(buffer);
        r->targetRoom = count;
        r->targetGot = 0;
        if (r->phase == Phase::Paused) {
            // Resuming hands over what libcurl holds at once, and the next pump reads on.
            Enter(r, Phase::Body);
            std::lock_guard<std::mutex> hold(r->connection->session->lock);
            curl_easy_pause(r->easy, CURLPAUSE_CONT);
        } else {
            Pump(r);
        }
        r->target = nullptr;
        if (r->targetGot > 0) {
            *got = static_cast<std::uint32_t>(r->targetGot);
            return true;
        }
    }
}

bool InternetCloseHandle(InetHandle handle) {
    auto* h = static_cast<Handle*>(handle);
    if (!h) return Fail(kErrIncorrectHandleType);
    delete h;
    return true;
}

void InternetSetDeadline(InetHandle request, std::uint32_t milliseconds) {
    if (auto* r = As<Request>(request, Kind::Request)) {
        r->deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
}

void InternetSetHeadLimit(InetHandle request, std::uint32_t milliseconds) {
    if (auto* r = As<Request>(request, Kind::Request)) {
        r->headMs = milliseconds == 0 || milliseconds > static_cast<std::uint32_t>(kNoTimeout)
                        ? kNoTimeout
                        : static_cast<long>(milliseconds);
    }
}

}  // namespace plat
