// WinINet: the real entry points, run asynchronously so that every wait has an end.
//
// Every session is opened with INTERNET_FLAG_ASYNC and a status callback. A call that answers
// ERROR_IO_PENDING (HttpSendRequestA, InternetQueryDataAvailable, InternetReadFile) is waited
// for here, so each entry point returns what its synchronous form would. The wait ends at the
// request's deadline (a wait for body bytes also after the receive time-out of silence); the
// request's WinINet handle is then closed, which is how WinINet cancels a pending call, and no
// call is made on it again.
//
// A body read waits for bytes, never for a full block: it asks InternetQueryDataAvailable,
// which answers once something has arrived (or the body has ended), then reads at most that
// many bytes, which WinINet hands over at once. A read of a whole block would complete only
// when the block is full, so a live page slower than a block per receive time-out would be cut.
//
// Invariants:
//  1. Every InetHandle of this side is a Handle. Its WinINet handle is null once a wait closed
//     it; no WinINet call is ever made with a closed one.
//  2. A request's Call is its WinINet context. WinINet's callbacks may reach it until the
//     handle's closing notice, so it has two owners: that notice and the request's Handle (or,
//     when the open fails, the open itself). It goes with the last of them. A pending call
//     reads into and sends from the Call's own storage, never the caller's, and the read block
//     is sized once, so a call cancelled at the deadline writes into nothing that was freed or
//     moved.
//  3. A request has at most one WinINet call pending. Each call is numbered; the callback
//     records a completion only while a call is awaited, for that call, and a waiter takes only
//     its own call's answer.
//  4. One thread uses a request at a time. Callbacks come on WinINet's threads; a completion
//     writes its answer before it publishes the call's number, which the waiter reads first.
//  5. Every phase of a request has its own clock, kept here whatever WinINet does with its
//     time-out options (see Phase): a wait ends at its phase's limit or at the deadline.
#include "platform/win32/win32_internal.h"
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/check.h"
#include "platform/platform.h"

namespace plat {

static_assert(sizeof(UrlComponents) == sizeof(URL_COMPONENTSA));
static_assert(sizeof(UrlComponents) == 60);
static_assert(offsetof(UrlComponents, nPort) == offsetof(URL_COMPONENTSA, nPort));
static_assert(offsetof(UrlComponents, lpszUrlPath) == offsetof(URL_COMPONENTSA, lpszUrlPath));
static_assert(offsetof(UrlComponents, lpszExtraInfo) == offsetof(URL_COMPONENTSA, lpszExtraInfo));
static_assert(sizeof(ProxyInfo) == sizeof(INTERNET_PROXY_INFO) && sizeof(ProxyInfo) == 12);
static_assert(kIcuNoEncode == ICU_NO_ENCODE && kFlagReload == INTERNET_FLAG_RELOAD &&
              kFlagNoCacheWrite == INTERNET_FLAG_NO_CACHE_WRITE &&
              kFlagSecure == INTERNET_FLAG_SECURE);
static_assert(kOptionConnectTimeout == INTERNET_OPTION_CONNECT_TIMEOUT &&
              kOptionSendTimeout == INTERNET_OPTION_SEND_TIMEOUT &&
              kOptionReceiveTimeout == INTERNET_OPTION_RECEIVE_TIMEOUT &&
              kOptionProxy == INTERNET_OPTION_PROXY &&
              kOptionProxyUsername == INTERNET_OPTION_PROXY_USERNAME &&
              kOptionProxyPassword == INTERNET_OPTION_PROXY_PASSWORD);
static_assert(kQueryContentLength == HTTP_QUERY_CONTENT_LENGTH &&
              kQueryStatusCode == HTTP_QUERY_STATUS_CODE && kQueryLocation == HTTP_QUERY_LOCATION &&
              kQueryFlagNumber == HTTP_QUERY_FLAG_NUMBER);
static_assert(kFlagNoAutoRedirect == INTERNET_FLAG_NO_AUTO_REDIRECT);
static_assert(kInternetOpenTypePreconfig == INTERNET_OPEN_TYPE_PRECONFIG &&
              kInternetOpenTypeDirect == INTERNET_OPEN_TYPE_DIRECT);
static_assert(static_cast<int>(kSchemeHttps) == static_cast<int>(INTERNET_SCHEME_HTTPS) &&
              static_cast<int>(kSchemeHttp) == static_cast<int>(INTERNET_SCHEME_HTTP));

namespace {

using Clock = std::chrono::steady_clock;

// The least a request's read block holds: sized once, it serves every read of the request.
constexpr DWORD kReadBlock = 128 * 1024;

// Where a request is, and which limit its waits keep. The waiter enters Connecting as it sends
// and Body once the send completes; WinINet's notices move it between (OnStatus), forward only:
//   Connecting    from HttpSendRequestA: name lookup, TCP connect, and for https the TLS
//                 handshake. The connect limit, from the send, never restarted: the notices
//                 RESOLVING_NAME, CONNECTING_TO_SERVER and CONNECTED_TO_SERVER come once per
//                 address tried and move nothing. A connection taken from WinINet's pool brings
//                 no such notice; its request simply leaves Connecting at SENDING_REQUEST.
//   Sending       from SENDING_REQUEST, which comes once the connection (and its TLS) is up:
//                 the send limit.
//   AwaitingHead  from REQUEST_SENT: silence here is WinINet's to see, and its receive option
//                 keeps it (wine too). No notice tells of bytes as the head arrives (wine sends
//                 RECEIVING_RESPONSE once, before the first byte, and RESPONSE_RECEIVED after
//                 the last), so a clock of webmon's own could not tell a live head, a line at a
//                 time, from a silent one. What is kept here is a bound on the whole head: the
//                 head limit from REQUEST_SENT, and kHeadBytesMax where RESPONSE_RECEIVED tells
//                 the bytes as they arrive (Windows does, read by read), so that a head without
//                 end costs only what arrives before either.
//   Body          from the send's completion: each wait for body bytes counts silence from its
//                 own start (SilenceEnds); no other limit is consulted.
// A WinINet that sends no SENDING_REQUEST or REQUEST_SENT leaves the request in an earlier
// phase, whose limit is then the one kept: every wait still ends. (The phases are
// platform/fetch_phases.h's, named alike on both builds; Paused and Done are Linux's alone.)

// The context of a request's WinINet handle: where a pending call's answer arrives.
struct Call {
    HANDLE done = nullptr;                    // set when the awaited call completes
    std::atomic<std::uint32_t> awaited{0};    // the call waited for; 0 while none is
    std::uint32_t issued = 0;                 // numbers the request's calls, from 1
    std::atomic<std::uint32_t> answered{0};   // the call whose answer `result` holds
    INTERNET_ASYNC_RESULT result{};           // its answer
    std::atomic<Phase> phase{Phase::Idle};    // moved by Enter only
    std::atomic<Clock::rep> phaseSince{0};    // when the phase's clock last started
    std::atomic<int> owners{2};               // the closing notice and the Handle (invariant 2)
    std::atomic<bool> created{false};         // HANDLE_CREATED came: a closing notice will too
    std::atomic<std::uint64_t> headBytes{0};  // received while AwaitingHead, as WinINet tells
    DWORD available = 0;                      // a query's count, written by WinINet
    DWORD got = 0;                            // a pending read's count, written by WinINet
    std::vector<char> block;                  // a pending read's bytes, written by WinINet
    std::string headers;                      // what a pending send sends
    std::string body;
};

// One owner of the Call lets go; the last frees it.
void LetGo(Call* call) {
    if (call->owners.fetch_sub(1) == 1) {
        ::CloseHandle(call->done);
        delete call;
    }
}

// The one way a request changes phase: forward only, so that a late notice never takes it
// back, nor starts its clock again (a second address's notices). The clock is started before
// the phase moves: a waiter that sees the new phase never pairs it with the old one's start.
void Enter(Call* call, Phase next) {
    Phase now = call->phase.load();
    if (now >= next) return;
    call->phaseSince.store(Clock::now().time_since_epoch().count());
    while (now < next && !call->phase.compare_exchange_weak(now, next)) {}
}

struct Handle {
    HINTERNET raw = nullptr;  // null once a wait closed it at the deadline
    Call* call = nullptr;     // requests only (invariant 2)
    Clock::time_point deadline = Clock::time_point::max();  // InternetSetDeadline's
    // Each inherited from the parent, as WinINet has its options:
    DWORD receiveMs = INFINITE;  // the longest silence awaiting the head and in the body
    DWORD connectMs = INFINITE;  // the longest a connection (and its TLS) may take to come up
    DWORD sendMs = INFINITE;     // the longest the request may take to go out
    DWORD headMs = INFINITE;     // the longest from the request sent to its head complete
};

Handle* AsHandle(InetHandle handle) { return static_cast<Handle*>(handle); }

// A limit as WinINet takes it: 0 would end every wait at once, so it is none.
DWORD LimitOf(DWORD ms) { return ms == 0 ? INFINITE : ms; }

// The WinINet handle of handle, or null (with ERROR_INVALID_HANDLE) when there is none.
HINTERNET Raw(InetHandle handle) {
    Handle* h = AsHandle(handle);
    if (!h || !h->raw) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return h->raw;
}

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
    Call* call = reinterpret_cast<Call*>(context);
    if (!call) return;  // the session and connections have no context
    switch (status) {
    case INTERNET_STATUS_REQUEST_COMPLETE: {
        // WinINet completes only a call that answered ERROR_IO_PENDING; a notice while none is
        // awaited answers nothing of ours (invariant 3).
        const std::uint32_t call_number = call->awaited.exchange(0);
        if (call_number == 0) return;
        call->result = *static_cast<const INTERNET_ASYNC_RESULT*>(info);
        call->answered.store(call_number, std::memory_order_release);  // after the result
        ::SetEvent(call->done);
        return;
    }
    case INTERNET_STATUS_SENDING_REQUEST: Enter(call, Phase::Sending); break;
    case INTERNET_STATUS_REQUEST_SENT: Enter(call, Phase::AwaitingHead); break;
    case INTERNET_STATUS_HANDLE_CREATED: call->created.store(true); return;
    case INTERNET_STATUS_RESPONSE_RECEIVED: {
        if (call->phase.load() != Phase::AwaitingHead || !info) return;
        const DWORD bytes = *static_cast<const DWORD*>(info);
        // Past the bound the waiter takes the head's end; below it nothing changes.
        if (call->headBytes.fetch_add(bytes) + bytes <= kHeadBytesMax) return;
        break;
    }
    case INTERNET_STATUS_HANDLE_CLOSING: LetGo(call); return;  // the handle's last notice
    default: return;
    }
    ::SetEvent(call->done);  // the waiter takes the new phase's limit
}

DWORD MillisecondsUntil(Clock::time_point until) {
    if (until == Clock::time_point::max()) return INFINITE;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return 0;
    return left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
}

// When a wait for body bytes that starts now ends: the receive time-out of silence, or the
// deadline, whichever comes first.
Clock::time_point SilenceEnds(const Handle* h) {
    if (h->receiveMs == INFINITE) return h->deadline;
    return std::min(h->deadline, Clock::now() + std::chrono::milliseconds(h->receiveMs));
}

// Closes the request's WinINet handle with its call pending: the call is cancelled, and the
// Handle lets go of its share of the Call; the closing notice has the other (invariant 2).
void Abandon(Handle* h) {
    HINTERNET raw = h->raw;
    Call* call = h->call;
    h->raw = nullptr;
    h->call = nullptr;
    ::InternetCloseHandle(raw);
    LetGo(call);
}

// When the request's phase, as it stands, has taken its limit; max() where only the caller's
// end counts (the body, whose waits count their own silence); the clock's epoch, long past,
// for a head past its bytes.
Clock::time_point PhaseEnds(const Handle* h, const Call* call) {
    DWORD limit = INFINITE;
    switch (call->phase.load()) {
    case Phase::Connecting: limit = h->connectMs; break;
    case Phase::Sending: limit = h->sendMs; break;
    case Phase::AwaitingHead:
        if (call->headBytes.load() > kHeadBytesMax) return Clock::time_point{};  // past
        limit = h->headMs;
        break;
    default: break;
    }
    if (limit == INFINITE) return Clock::time_point::max();
    return Clock::time_point(Clock::duration(call->phaseSince.load())) +
           std::chrono::milliseconds(limit);
}

// A WinINet call on the request, numbered and awaited before it is made (invariant 3).
class Operation {
public:
    explicit Operation(Handle* h) : h_(h), call_(h->call) {
        WEBMON_ASSERT(h->raw != nullptr && call_ != nullptr);  // invariant 1: never a closed one
        WEBMON_ASSERT(call_->awaited.load() == 0);             // invariant 3: one at a time
        number_ = ++call_->issued;
        if (number_ == 0) number_ = ++call_->issued;  // 0 means "none awaited"
        // No reset of the event (a call into the system for every read): it resets itself
        // when a wait takes it, and a late signal of an earlier call is told apart by number.
        call_->awaited.store(number_);
    }

    // The call's outcome, as its synchronous form would give it: made is what the call
    // returned and error the last error it left, taken at the call. A call that answered
    // ERROR_IO_PENDING is waited for until `until` or its phase's limit; past either, false
    // with ERROR_INTERNET_TIMEOUT, the request then closed.
    bool Outcome(BOOL made, DWORD error, Clock::time_point until) {
        if (made) {
            call_->awaited.store(0);  // it completed at once: no notice will come
            return true;
        }
        if (error != ERROR_IO_PENDING) {
            call_->awaited.store(0);  // failed at once: no notice will come either
            ::SetLastError(error);
            return false;
        }
        pending_ = true;
        const auto ends = [&] { return std::min(until, PhaseEnds(h_, call_)); };
        for (;;) {
            const DWORD waited = ::WaitForSingleObject(call_->done, MillisecondsUntil(ends()));
            if (waited == WAIT_OBJECT_0) {
                if (call_->answered.load(std::memory_order_acquire) == number_) break;
                continue;  // a phase moved, or an earlier call's late answer: not ours
            }
            // The time is up, unless a notice moved the end meanwhile.
            if (waited == WAIT_TIMEOUT && Clock::now() < ends()) continue;
            Abandon(h_);
            ::SetLastError(ERROR_INTERNET_TIMEOUT);
            return false;
        }
        if (call_->result.dwResult) return true;
        ::SetLastError(call_->result.dwError);
        return false;
    }

    // Whether the call completed by a notice rather than at once.
    bool Pended() const { return pending_; }

private:
    Handle* h_;
    Call* call_;
    std::uint32_t number_ = 0;
    bool pending_ = false;
};

// Waits until body bytes have arrived or the body has ended: how many can be read at once
// (0 at the end). The wait counts silence only: it starts afresh at every call.
bool QueryAvailable(Handle* h, DWORD* available) {
    Call* call = h->call;
    call->available = 0;
    Operation query(h);
    const BOOL made = ::InternetQueryDataAvailable(h->raw, &call->available, 0, 0);
    if (!query.Outcome(made, made ? 0 : ::GetLastError(), SilenceEnds(h))) return false;
    // A query answered by a notice gives its count in the notice's dwError; WinINet may also
    // have written it where the call pointed.
    *available =
        query.Pended() && call->result.dwError != 0 ? call->result.dwError : call->available;
    return true;
}

}  // namespace

InetHandle InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxy,
                         const char* bypass, std::uint32_t flags) {
    auto handle = std::make_unique<Handle>();  // first: a new that fails leaves nothing open
    handle->raw = ::InternetOpenA(agent, accessType, proxy, bypass, flags | INTERNET_FLAG_ASYNC);
    if (!handle->raw) return nullptr;
    if (::InternetSetStatusCallbackA(handle->raw, OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
        ::InternetCloseHandle(handle->raw);
        return nullptr;
    }
    return handle.release();
}

bool InternetSetOptionA(InetHandle handle, std::uint32_t option, const void* buffer,
                        std::uint32_t length) {
    HINTERNET raw = Raw(handle);
    if (!raw) return false;
    if (!::InternetSetOptionA(raw, option, const_cast<void*>(buffer), length)) return false;
    DWORD* kept = option == kOptionReceiveTimeout   ? &AsHandle(handle)->receiveMs
                  : option == kOptionConnectTimeout ? &AsHandle(handle)->connectMs
                  : option == kOptionSendTimeout    ? &AsHandle(handle)->sendMs
                                                    : nullptr;
    if (kept && length == sizeof(DWORD)) {
        *kept = LimitOf(*static_cast<const DWORD*>(buffer));
    }
    return true;
}

bool InternetCanonicalizeUrlA(const char* url, char* buffer, std::uint32_t* length,
                              std::uint32_t flags) {
    DWORD n = *length;
    BOOL ok = ::InternetCanonicalizeUrlA(url, buffer, &n, flags);
    *length = n;
    return ok != 0;
}

bool InternetCrackUrlA(const char* url, std::uint32_t urlLength, std::uint32_t flags,
                       UrlComponents* components) {
    return ::InternetCrackUrlA(url, urlLength, flags,
                               reinterpret_cast<URL_COMPONENTSA*>(components)) != 0;
}

InetHandle InternetConnectA(InetHandle session, const char* host, std::uint16_t port,
                            const char* user, const char* password, std::uint32_t service,
                            std::uint32_t flags, std::uintptr_t) {
    HINTERNET parent = Raw(session);
    if (!parent) return nullptr;
    auto handle = std::make_unique<Handle>();
    handle->receiveMs = AsHandle(session)->receiveMs;
    handle->connectMs = AsHandle(session)->connectMs;
    handle->sendMs = AsHandle(session)->sendMs;
    // No context: a connection makes no call that is waited for.
    handle->raw = ::InternetConnectA(parent, host, port, user, password, service, flags, 0);
    return handle->raw ? handle.release() : nullptr;
}

InetHandle HttpOpenRequestA(InetHandle connection, const char* verb, const char* object,
                            const char* version, const char* referrer, const char** acceptTypes,
                            std::uint32_t flags, std::uintptr_t) {
    HINTERNET parent = Raw(connection);
    if (!parent) return nullptr;
    auto handle = std::make_unique<Handle>();
    handle->receiveMs = AsHandle(connection)->receiveMs;
    handle->connectMs = AsHandle(connection)->connectMs;
    handle->sendMs = AsHandle(connection)->sendMs;
    auto call = std::make_unique<Call>();
    call->done = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!call->done) return nullptr;
    handle->raw = ::HttpOpenRequestA(parent, verb, object, version, referrer, acceptTypes, flags,
                                     reinterpret_cast<DWORD_PTR>(call.get()));
    if (!handle->raw) {
        // A handle that WinINet made (HANDLE_CREATED, sent during the open) has its closing
        // notice, which lets go of the other share; one never made has none, and the open lets
        // go of both.
        const DWORD error = ::GetLastError();
        Call* failed = call.release();
        if (!failed->created.load()) LetGo(failed);
        LetGo(failed);
        ::SetLastError(error);
        return nullptr;
    }
    handle->call = call.release();  // shared with the closing notice from now on
    return handle.release();
}

bool HttpSendRequestA(InetHandle request, const char* headers, std::uint32_t headersLength,
                      const void* body, std::uint32_t bodyLength) {
    Handle* h = AsHandle(request);
    if (!Raw(request) || !h->call) return false;
    Call* call = h->call;
    if (headers) {
        call->headers.assign(
            headers, headersLength == kHeadersToZero ? std::strlen(headers) : headersLength);
    }
    if (body) call->body.assign(static_cast<const char*>(body), bodyLength);
    Operation send(h);
    Enter(call, Phase::Connecting);  // once a request: a second address tried restarts nothing
    const BOOL made = ::HttpSendRequestA(h->raw, headers ? call->headers.data() : nullptr,
                                         headers ? static_cast<DWORD>(call->headers.size()) : 0,
                                         body ? call->body.data() : nullptr, body ? bodyLength : 0);
    if (!send.Outcome(made, made ? 0 : ::GetLastError(), h->deadline)) return false;
    Enter(call, Phase::Body);
    return true;
}

bool HttpQueryInfoA(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length,
                    std::uint32_t* index) {
    HINTERNET raw = Raw(request);
    if (!raw) return false;
    DWORD n = *length;
    DWORD i = index ? *index : 0;
    BOOL ok = ::HttpQueryInfoA(raw, level, buffer, &n, index ? &i : nullptr);
    *length = n;
    if (index) *index = i;
    return ok != 0;
}

bool InternetReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t* got) {
    *got = 0;
    Handle* h = AsHandle(request);
    if (!Raw(request) || !h->call) return false;
    if (h->call->phase.load() == Phase::Idle) {  // never sent: nothing to read, nothing to wait for
        ::SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return false;
    }
    DWORD available = 0;
    if (!QueryAvailable(h, &available)) return false;
    if (available == 0 || count == 0) return true;  // the end of the body
    Call* call = h->call;
    // Sized once, at the first read (invariant 2): a later read that asks for more takes what
    // the block holds, as a read that finds fewer bytes available does.
    if (call->block.empty()) call->block.resize(std::max<DWORD>(count, kReadBlock));
    const DWORD asked = std::min<DWORD>({available, count, static_cast<DWORD>(call->block.size())});
    call->got = 0;
    // The bytes are there, so WinINet hands them over at once; should it still pend, the wait
    // is one of silence like the query's.
    Operation read(h);
    const BOOL made = ::InternetReadFile(h->raw, call->block.data(), asked, &call->got);
    if (!read.Outcome(made, made ? 0 : ::GetLastError(), SilenceEnds(h))) return false;
    std::memcpy(buffer, call->block.data(), call->got);
    *got = call->got;
    return true;
}

bool InternetCloseHandle(InetHandle handle) {
    Handle* h = AsHandle(handle);
    if (!h) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    HINTERNET raw = h->raw;
    Call* call = h->call;
    delete h;
    if (!raw) return true;  // closed at its deadline already, its Call let go then
    const bool closed = ::InternetCloseHandle(raw) != 0;
    const DWORD error = ::GetLastError();
    if (call) LetGo(call);  // after the close: the block stays while WinINet may write it
    ::SetLastError(error);
    return closed;
}

void InternetSetDeadline(InetHandle request, std::uint32_t milliseconds) {
    if (Handle* h = AsHandle(request)) {
        h->deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
}

void InternetSetHeadLimit(InetHandle request, std::uint32_t milliseconds) {
    if (Handle* h = AsHandle(request)) h->headMs = LimitOf(milliseconds);
}

}  // namespace plat
