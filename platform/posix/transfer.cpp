// The transfer engine: one request's exchange on libcurl's multi interface.
//
// The divisions of this file, in order:
//   phases          Allowed and Enter, the one door between phases (platform/fetch_phases.h),
//                   and IdleLimit, the limit of inactivity each keeps;
//   callbacks       libcurl's: the connection up (Sending), the request sent (AwaitingHead),
//                   head lines and body bytes as they arrive;
//   the engine      StartTransfer and Pump, which runs the transfer a little and keeps the
//                   limits;
//   the exchange    SendAndAwaitHead and ReadBody, what the entry points ask of it.
//
// What it keeps of WinINet:
//  1. The send returns once the response's head is in; the body is then pulled: at most the
//     asked count per read, 0 at its end, false when the connection breaks. The transfer runs
//     inside the read and writes straight into the caller's block; bytes that arrive with no
//     reader waiting are held, and past kPauseAt the transfer pauses, so memory stays bounded
//     whatever the body's size. A resumed transfer is driven at once, never after a poll.
//  2. HTTP/1.0, the agent text, no cache, no content decoding; no redirect is followed (the
//     library follows them, one request each).
//  3. Certificates verified (the system store, or SSL_CERT_FILE / SSL_CERT_DIR when set); the
//     proxy from the environment once the caller asks for the configured proxy.
//  4. Each phase keeps its limit: connecting the connect time-out, sending the send time-out,
//     the head and body the receive time-out of silence, and the head its limit from the
//     request sent; the deadline holds throughout.
//  5. Credentials from the address are sent only in answer to a 401 challenge, by the scheme
//     it names (Basic or Digest), never with the first request.
//  6. One reader judges the response (http_head.h): libcurl makes the connection, TLS, the proxy
//     and the answer to a challenge, and hands over the response's bytes as they came, the
//     head's lines through its header callback and the rest, undecoded, through its write
//     callback, also a whole response when it finds no status line (HTTP/0.9 allowed). Each
//     request libcurl sends starts the reader afresh. The reader ends the transfer where the
//     response ends or breaks; where libcurl ends it first, libcurl says only that no byte
//     more comes, and the reader whether what came is whole.
//  7. Bytes past a response's end are never read as the next response's: no connection is
//     kept for another transfer, so each request has a connection of its own.
#include "platform/posix/transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include <strings.h>

#include "platform/check.h"
#include "platform/posix/cookies.h"
#include "platform/posix/http_head.h"
#include "platform/posix/posix_internal.h"

namespace plat::posix {
namespace {

constexpr std::size_t kPauseAt = 256 * 1024;  // unread bytes held before the transfer pauses
constexpr long kPollMs = 100;                 // longest wait for the socket between checks
constexpr unsigned long kAnsweredSchemes = CURLAUTH_BASIC | CURLAUTH_DIGEST;  // challenges

// ---- Phases ------------------------------------------------------------------------------------

// The moves a transfer makes: forward through the phases, Body and Paused in turn, Done from
// any phase but Idle, and Idle again only for the next transfer (StartTransfer). Each phase
// names what moves a transfer into it:
//   Idle          StartTransfer: no transfer yet, or one that could not start
//   Connecting    StartTransfer
//   Sending       OnConnected: the connection (and its TLS) is up
//   AwaitingHead  OnSent: the request's head has gone out
//   Body          Read: the final head is in; or ReadBody resuming
//   Paused        OnBody: the reader is behind, libcurl holds the rest in the socket
//   Done          End: the transfer ended; `result` says how
[[maybe_unused]] bool Allowed(Phase from, Phase to) {
    switch (to) {
    case Phase::Idle: return true;
    case Phase::Connecting: return from == Phase::Idle;
    case Phase::Sending: return from == Phase::Connecting;
    case Phase::AwaitingHead: return from == Phase::Sending;
    case Phase::Body:
        return from == Phase::Connecting || from == Phase::Sending || from == Phase::AwaitingHead ||
               from == Phase::Paused;
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
    case Phase::Sending: return s.sendMs;
    case Phase::AwaitingHead:
    case Phase::Body: return s.receiveMs;
    default: return kNoTimeout;  // idle, paused by its reader, or done: nothing to wait for
    }
}

bool AwaitingAnswer(Phase phase) {
    return phase == Phase::Connecting || phase == Phase::Sending || phase == Phase::AwaitingHead;
}

// ---- Callbacks ---------------------------------------------------------------------------------

// Hands body bytes to the waiting reader's block, the rest to pending (the reader's sink).
void Deliver(void* user, const char* data, std::size_t bytes) {
    auto* r = static_cast<Request*>(user);
    std::size_t taken = 0;
    if (r->target && r->pendingAt == r->pending.size()) {  // nothing queued before these bytes
        taken = std::min(bytes, r->targetRoom - r->targetGot);
        std::memcpy(r->target + r->targetGot, data, taken);
        r->targetGot += taken;
        if (taken == bytes) return;
    }
    if (r->pendingAt > 0 && r->pendingAt >= r->pending.size() / 2) {
        r->pending.erase(0, r->pendingAt);
        r->pendingAt = 0;
    }
    r->pending.append(data + taken, bytes - taken);
}

// A 401 whose head libcurl read (through its header callback) and may answer with the
// address's credentials: its own head stands only should no answer follow (its body, or the
// end, then comes). One that libcurl handed over as a body it never took for a challenge.
bool MayBeAnswered(const Request* r, bool throughHeader) {
    return throughHeader && r->reader.head().status == 401 && !r->connection->user.empty();
}

// The bytes libcurl hands over, head (throughHeader) or body, to the reader: what it finds ends
// the transfer or lets the body's reader go on. The count taken, 0 to stop libcurl.
std::size_t Read(Request* r, const char* data, std::size_t bytes, bool throughHeader) {
    using State = posix::ResponseReader::State;
    if (r->phase == Phase::Done) return 0;  // ended here already; libcurl is stopped
    Arrived(r);
    r->reader.Take(data, bytes, Deliver, r);
    const State state = r->reader.state();
    if (state == State::Failed) {
        End(r, CURLE_RECV_ERROR);
        return 0;
    }
    if (!r->reader.head().complete || MayBeAnswered(r, throughHeader)) return bytes;
    if (state == State::Done) {
        End(r, CURLE_OK);
        return 0;
    }
    if (AwaitingAnswer(r->phase)) Enter(r, Phase::Body);
    return bytes;
}

// libcurl's callbacks are called from C: nothing may be thrown through them, so an allocation
// that fails there fails the transfer instead (0 bytes taken aborts it).
std::size_t OnHeader(char* data, std::size_t size, std::size_t n, void* user) try {
    auto* r = static_cast<Request*>(user);
    const std::size_t bytes = size * n;
    constexpr char kSetCookie[] = "set-cookie:";
    constexpr std::size_t kSetCookieLength = sizeof kSetCookie - 1;
    if (bytes > kSetCookieLength && strncasecmp(data, kSetCookie, kSetCookieLength) == 0) {
        r->setsCookies = true;
    }
    return Read(r, data, bytes, true);
} catch (const std::bad_alloc&) {
    return 0;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t n, void* user) try {
    auto* r = static_cast<Request*>(user);
    // Bytes are taken whole or paused whole, before any is read: libcurl hands paused bytes
    // over again. Paused only where the reader is behind, with the rest held in the socket.
    if (r->phase == Phase::Body && r->pending.size() - r->pendingAt >= kPauseAt) {
        Enter(r, Phase::Paused);
        return CURL_WRITEFUNC_PAUSE;
    }
    return Read(r, data, size * n, false);
} catch (const std::bad_alloc&) {
    return 0;
}

// Called once the connection is up, before the request goes out: connecting has ended.
int OnConnected(void* user, char*, char*, int, int) {
    auto* r = static_cast<Request*>(user);
    if (r->phase == Phase::Connecting) Enter(r, Phase::Sending);
    return CURL_PREREQFUNC_OK;
}

// libcurl tells what it sent through its debug callback: the request's head going out ends
// the send (a request of webmon's is its head alone, a few hundred bytes). A head too large for
// the socket is told as its first part goes, so the silence limit then counts the rest, with
// the same 30 s. A second request of the transfer (the answer to a challenge) moves no phase;
// what comes next is its answer, read afresh.
int OnSent(CURL*, curl_infotype type, char*, std::size_t, void* user) {
    auto* r = static_cast<Request*>(user);
    if (type != CURLINFO_HEADER_OUT) return 0;
    r->reader = posix::ResponseReader{};
    if (r->phase == Phase::Sending) {
        Enter(r, Phase::AwaitingHead);
        r->headEnds = r->lastActivity + std::chrono::milliseconds(r->headMs);
    }
    return 0;
}

void LockCookies(CURL*, curl_lock_data, curl_lock_access, void* session) {
    static_cast<Session*>(session)->cookieLock.lock();
}
void UnlockCookies(CURL*, curl_lock_data, void* session) {
    static_cast<Session*>(session)->cookieLock.unlock();
}

// ---- The engine ----------------------------------------------------------------------------------

bool StartTransfer(Request* r, const std::string& url) {
    r->StopTransfer();
    r->reader = posix::ResponseReader{};
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
    curl_easy_setopt(e, CURLOPT_HTTP_TRANSFER_DECODING, 0L);  // the bytes as they came (point 6)
    curl_easy_setopt(e, CURLOPT_HTTP09_ALLOWED, 1L);          // a response with no head: read here
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);            // point 7
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, s->connectMs);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r->curlError);
    if (!s->environmentProxy) curl_easy_setopt(e, CURLOPT_PROXY, "");
    if (const char* file = std::getenv("SSL_CERT_FILE")) curl_easy_setopt(e, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR")) curl_easy_setopt(e, CURLOPT_CAPATH, dir);
    // No TLS session kept for resumption: a transfer's handle serves one request, so the cache
    // would never be asked again, and libcurl's storing of a session (as the server's ticket
    // arrives, inside a read) frees twice when a string copy in it fails.
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    if (!c->user.empty()) {
        curl_easy_setopt(e, CURLOPT_USERNAME, c->user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, c->password.c_str());
        // More than one scheme: libcurl first asks without them, then answers the server's
        // challenge by the scheme it names, as WinINet does (point 5).
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
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, OnSent);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, r);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);  // what calls OnSent; nothing is printed
    if (curl_multi_add_handle(r->multi, e) != CURLM_OK) return cannotStart();
    Enter(r, Phase::Connecting);
    return true;
}

// How a transfer that libcurl ended came out: a failure stays one; where libcurl says the
// bytes ended (the close, or the end by its own reading of the head, which may be another's
// than the reader's), the reader says whether the response is whole.
CURLcode Judged(Request* r, CURLcode result) {
    if (result != CURLE_OK && result != CURLE_PARTIAL_FILE) return result;
    return r->reader.End() ? CURLE_OK : CURLE_PARTIAL_FILE;
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
        WEBMON_ASSERT(done->connection->session == s);  // the session's own (inet_handles.h, 2)
        if (done->phase != Phase::Done) End(done, Judged(done, m->data.result));
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

// WinINet's error for the way a transfer ended.
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

// Waits for the headers of the response to the current transfer.
bool AwaitHeaders(Request* r) {
    while (AwaitingAnswer(r->phase)) Pump(r);
    if (r->setsCookies) BoundSessionCookies(r);
    if (r->reader.head().complete) return true;
    return Fail(ErrorFor(r->result == CURLE_OK ? CURLE_RECV_ERROR : r->result));
}

}  // namespace

// ---- The exchange ------------------------------------------------------------------------------

bool SendAndAwaitHead(Request* r, const std::string& url) {
    return StartTransfer(r, url) && AwaitHeaders(r);
}

bool ReadBody(Request* r, void* buffer, std::uint32_t count, std::uint32_t* got) {
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

void Request::StopTransfer() {
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

}  // namespace plat::posix
