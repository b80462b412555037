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
//  1. Every InetHandle of this side is a Handle of a kind (session, connection or request),
//     checked (As) before a call that takes one kind uses it. Its WinINet handle is null once a
//     wait closed it; no WinINet call is ever made with a closed one.
//  2. A request's Call (inet_call.h) is its WinINet context, shared with the handle's closing
//     notice; every call on the request is an Operation on it, at most one at a time.
//  3. Every phase of a request has its own clock, kept whatever WinINet does with its time-out
//     options (inet_call.cpp): a wait ends at its phase's limit or at the deadline.
#include "platform/win32/inet_call.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

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

using win32::Call;
using win32::Clock;
using win32::LetGo;
using win32::Operation;
using win32::Waited;

// The least a request's read block holds: sized once, it serves every read of the request.
constexpr DWORD kReadBlock = 128 * 1024;

enum class Kind { Session, Connection, Request };

struct Handle {
    explicit Handle(Kind k) : kind(k) {}
    const Kind kind;
    HINTERNET raw = nullptr;  // null once a wait closed it at the deadline
    Call* call = nullptr;     // requests only (invariant 2)
    Clock::time_point deadline = Clock::time_point::max();  // InternetSetDeadline's
    win32::Limits limits;
};

// The handle, of any kind; null (with ERROR_INVALID_HANDLE) for none.
Handle* AnyHandle(InetHandle handle) {
    auto* h = static_cast<Handle*>(handle);
    if (!h) ::SetLastError(ERROR_INVALID_HANDLE);
    return h;
}

// The handle as the kind that a call takes; null for none (ERROR_INVALID_HANDLE) or for one of
// another kind (ERROR_INTERNET_INCORRECT_HANDLE_TYPE), as WinINet answers either, before any
// field of it is trusted.
Handle* As(InetHandle handle, Kind kind) {
    Handle* h = AnyHandle(handle);
    if (h && h->kind != kind) {
        ::SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return h;
}

// A limit as WinINet takes it: 0 would end every wait at once, so it is none.
DWORD LimitOf(DWORD ms) { return ms == 0 ? INFINITE : ms; }

// The WinINet handle of h, or null: with ERROR_INVALID_HANDLE for a handle closed already; a
// null h has its error from As or AnyHandle, which this keeps.
HINTERNET Raw(const Handle* h) {
    if (h && !h->raw) ::SetLastError(ERROR_INVALID_HANDLE);
    return h ? h->raw : nullptr;
}

// When a wait for body bytes that starts now ends: the receive time-out of silence, or the
// deadline, whichever comes first.
Clock::time_point SilenceEnds(const Handle* h) {
    if (h->limits.receiveMs == INFINITE) return h->deadline;
    return std::min(h->deadline, Clock::now() + std::chrono::milliseconds(h->limits.receiveMs));
}

// Closes the request's WinINet handle with its call pending: the call is cancelled, and the
// Handle lets go of its share of the Call; the closing notice has the other (invariant 2).
void Abandon(Handle* h) {
    HINTERNET raw = h->raw;
    Call* call = h->call;
    h->raw = nullptr;
    h->call = nullptr;
    win32::ClosingAwaitingHead(call, h->limits.headMs);
    ::InternetCloseHandle(raw);
    LetGo(call);
}

// What the request's call came to: true when it succeeded. A call still pending at its end is
// cancelled by closing the request's WinINet handle (then false, with ERROR_INTERNET_TIMEOUT).
bool Settle(Handle* h, Waited waited) {
    if (waited == Waited::TimedOut) {
        Abandon(h);
        ::SetLastError(ERROR_INTERNET_TIMEOUT);
    }
    return waited == Waited::Done;
}

// Waits until body bytes have arrived or the body has ended: how many can be read at once
// (0 at the end). The wait counts silence only: it starts afresh at every call.
bool QueryAvailable(Handle* h, DWORD* available) {
    Call* call = h->call;
    call->available = 0;
    Operation query(call, h->limits);
    const BOOL made = ::InternetQueryDataAvailable(h->raw, &call->available, 0, 0);
    if (!Settle(h, query.Outcome(made, made ? 0 : ::GetLastError(), SilenceEnds(h)))) return false;
    // A query answered by a notice gives its count in the notice's dwError; WinINet may also
    // have written it where the call pointed.
    *available =
        query.Pended() && call->result.dwError != 0 ? call->result.dwError : call->available;
    return true;
}

}  // namespace

InetHandle InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxy,
                         const char* bypass, std::uint32_t flags) {
    auto handle = std::make_unique<Handle>(Kind::Session);  // first: a failed new opens nothing
    handle->raw = ::InternetOpenA(agent, accessType, proxy, bypass, flags | INTERNET_FLAG_ASYNC);
    if (!handle->raw) return nullptr;
    if (::InternetSetStatusCallbackA(handle->raw, win32::OnStatus) ==
        INTERNET_INVALID_STATUS_CALLBACK) {
        ::InternetCloseHandle(handle->raw);
        return nullptr;
    }
    return handle.release();
}

bool InternetSetOptionA(InetHandle handle, std::uint32_t option, const void* buffer,
                        std::uint32_t length) {
    Handle* h = AnyHandle(handle);
    HINTERNET raw = Raw(h);
    if (!raw) return false;
    if (!::InternetSetOptionA(raw, option, const_cast<void*>(buffer), length)) return false;
    win32::Limits& limits = h->limits;
    DWORD* kept = option == kOptionReceiveTimeout   ? &limits.receiveMs
                  : option == kOptionConnectTimeout ? &limits.connectMs
                  : option == kOptionSendTimeout    ? &limits.sendMs
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
    Handle* s = As(session, Kind::Session);
    HINTERNET parent = Raw(s);
    if (!parent) return nullptr;
    auto handle = std::make_unique<Handle>(Kind::Connection);
    handle->limits = s->limits;
    // No context: a connection makes no call that is waited for.
    handle->raw = ::InternetConnectA(parent, host, port, user, password, service, flags, 0);
    return handle->raw ? handle.release() : nullptr;
}

InetHandle HttpOpenRequestA(InetHandle connection, const char* verb, const char* object,
                            const char* version, const char* referrer, const char** acceptTypes,
                            std::uint32_t flags, std::uintptr_t) {
    Handle* c = As(connection, Kind::Connection);
    HINTERNET parent = Raw(c);
    if (!parent) return nullptr;
    auto handle = std::make_unique<Handle>(Kind::Request);
    handle->limits = c->limits;
    Call* call = win32::NewCall();
    if (!call) return nullptr;
    handle->raw = ::HttpOpenRequestA(parent, verb, object, version, referrer, acceptTypes, flags,
                                     reinterpret_cast<DWORD_PTR>(call));
    if (!handle->raw) {
        const DWORD error = ::GetLastError();
        win32::LetGoAfterFailedOpen(call);
        ::SetLastError(error);
        return nullptr;
    }
    handle->call = call;  // shared with the closing notice from now on
    return handle.release();
}

bool HttpSendRequestA(InetHandle request, const char* headers, std::uint32_t headersLength,
                      const void* body, std::uint32_t bodyLength) {
    Handle* h = As(request, Kind::Request);
    if (!Raw(h) || !h->call) return false;
    Call* call = h->call;
    if (headers) {
        call->headers.assign(
            headers, headersLength == kHeadersToZero ? std::strlen(headers) : headersLength);
    }
    if (body) call->body.assign(static_cast<const char*>(body), bodyLength);
    Operation send(call, h->limits);
    Enter(call, Phase::Connecting);  // once a request: a second address tried restarts nothing
    const BOOL made = ::HttpSendRequestA(h->raw, headers ? call->headers.data() : nullptr,
                                         headers ? static_cast<DWORD>(call->headers.size()) : 0,
                                         body ? call->body.data() : nullptr, body ? bodyLength : 0);
    if (!Settle(h, send.Outcome(made, made ? 0 : ::GetLastError(), h->deadline))) return false;
    Enter(call, Phase::Body);
    return true;
}

bool HttpQueryInfoA(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length,
                    std::uint32_t* index) {
    HINTERNET raw = Raw(As(request, Kind::Request));
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
    Handle* h = As(request, Kind::Request);
    if (!Raw(h) || !h->call) return false;
    if (h->call->phase.load() == Phase::Idle) {  // never sent: nothing to read, nothing to wait for
        ::SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return false;
    }
    DWORD available = 0;
    if (!QueryAvailable(h, &available)) return false;
    if (available == 0 || count == 0) return true;  // the end of the body
    Call* call = h->call;
    // Sized once, at the first read (inet_call.h, invariant 1): a later read that asks for more takes what
    // the block holds, as a read that finds fewer bytes available does.
    if (call->block.empty()) call->block.resize(std::max<DWORD>(count, kReadBlock));
    const DWORD asked = std::min<DWORD>({available, count, static_cast<DWORD>(call->block.size())});
    call->got = 0;
    // The bytes are there, so WinINet hands them over at once; should it still pend, the wait
    // is one of silence like the query's.
    Operation read(call, h->limits);
    const BOOL made = ::InternetReadFile(h->raw, call->block.data(), asked, &call->got);
    if (!Settle(h, read.Outcome(made, made ? 0 : ::GetLastError(), SilenceEnds(h)))) return false;
    std::memcpy(buffer, call->block.data(), call->got);
    *got = call->got;
    return true;
}

bool InternetCloseHandle(InetHandle handle) {
    Handle* h = AnyHandle(handle);
    if (!h) return false;
    HINTERNET raw = h->raw;
    Call* call = h->call;
    const DWORD headMs = h->limits.headMs;
    delete h;
    if (!raw) return true;  // closed at its deadline already, its Call let go then
    if (call) win32::ClosingAwaitingHead(call, headMs);
    const bool closed = ::InternetCloseHandle(raw) != 0;
    const DWORD error = ::GetLastError();
    if (call) LetGo(call);  // after the close: the block stays while WinINet may write it
    ::SetLastError(error);
    return closed;
}

void InternetSetDeadline(InetHandle request, std::uint32_t milliseconds) {
    if (Handle* h = As(request, Kind::Request)) {
        h->deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
}

void InternetSetHeadLimit(InetHandle request, std::uint32_t milliseconds) {
    if (Handle* h = As(request, Kind::Request)) h->limits.headMs = LimitOf(milliseconds);
}

}  // namespace plat
