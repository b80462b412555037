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
//     handle's closing notice, which frees it; nothing else frees it, and nothing here touches
//     it once its handle is closed. A pending call reads into and sends from the Call's own
//     storage, never the caller's, so a call cancelled at the deadline writes into nothing that
//     the caller has freed.
//  3. A request has at most one WinINet call pending. Each call is numbered; the callback
//     records a completion only while a call is awaited, for that call, and a waiter takes only
//     its own call's answer.
//  4. One thread uses a request at a time. Callbacks come on WinINet's threads; a completion
//     writes its answer before it publishes the call's number, which the waiter reads first.
//  5. A connection that is coming up ends at the connect time-out, also where WinINet does not
//     keep to its connect option: the waiter learns of it from the connecting notice.
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

// The context of a request's WinINet handle: where a pending call's answer arrives.
struct Call {
    HANDLE done = nullptr;                       // set when the awaited call completes
    std::atomic<std::uint32_t> awaited{0};       // the call waited for; 0 while none is
    std::uint32_t issued = 0;                    // numbers the request's calls, from 1
    std::atomic<std::uint32_t> answered{0};      // the call whose answer `result` holds
    INTERNET_ASYNC_RESULT result{};              // its answer
    std::atomic<Clock::rep> connectingSince{0};  // while connecting: since when; else 0
    DWORD available = 0;                         // a query's count, written by WinINet
    DWORD got = 0;                               // a pending read's count, written by WinINet
    std::vector<char> block;                     // a pending read's bytes, written by WinINet
    std::string headers;                         // what a pending send sends
    std::string body;
};

struct Handle {
    HINTERNET raw = nullptr;  // null once a wait closed it at the deadline
    Call* call = nullptr;     // requests only (invariant 2)
    Clock::time_point deadline = Clock::time_point::max();  // InternetSetDeadline's
    DWORD receiveMs = INFINITE;  // the longest silence in a body; inherited as WinINet does
    DWORD connectMs = INFINITE;  // the longest a connection may take to come up; inherited alike
};

Handle* AsHandle(InetHandle handle) { return static_cast<Handle*>(handle); }

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
    if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
        // WinINet completes only a call that answered ERROR_IO_PENDING; a notice while none is
        // awaited answers nothing of ours (invariant 3).
        const std::uint32_t call_number = call->awaited.exchange(0);
        if (call_number == 0) return;
        call->result = *static_cast<const INTERNET_ASYNC_RESULT*>(info);
        call->answered.store(call_number, std::memory_order_release);  // after the result
        ::SetEvent(call->done);
    } else if (status == INTERNET_STATUS_CONNECTING_TO_SERVER) {
        // The waiter learns that the connect time-out now runs (not every WinINet keeps to the
        // connect option itself).
        call->connectingSince.store(
            std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()));
        ::SetEvent(call->done);
    } else if (status == INTERNET_STATUS_CONNECTED_TO_SERVER) {
        call->connectingSince.store(0);
    } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
        ::CloseHandle(call->done);  // the last callback of the handle
        delete call;
    }
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
// closing notice frees the Call (invariant 2).
void Abandon(Handle* h) {
    HINTERNET raw = h->raw;
    h->raw = nullptr;
    h->call = nullptr;
    ::InternetCloseHandle(raw);
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
    // returned. A call that answered ERROR_IO_PENDING is waited for until `until`; past it,
    // false with ERROR_INTERNET_TIMEOUT, the request then closed.
    bool Outcome(BOOL made, Clock::time_point until) {
        if (made) {
            call_->awaited.store(0);  // it completed at once: no notice will come
            return true;
        }
        if (::GetLastError() != ERROR_IO_PENDING) {
            call_->awaited.store(0);  // failed at once: no notice will come either
            return false;
        }
        pending_ = true;
        for (;;) {
            const DWORD waited = ::WaitForSingleObject(
                call_->done, MillisecondsUntil(std::min(until, ConnectEnds())));
            if (waited == WAIT_OBJECT_0) {
                if (call_->answered.load(std::memory_order_acquire) == number_) break;
                continue;  // a connection began, or an earlier call's late answer: not ours
            }
            // The time is up, unless the connection came up meanwhile.
            if (waited == WAIT_TIMEOUT && Clock::now() < std::min(until, ConnectEnds())) continue;
            Abandon(h_);
            ::SetLastError(ERROR_INTERNET_TIMEOUT);
            return false;
        }
        if (call_->result.dwResult) return true;
        ::SetLastError(call_->result.dwError);
        return false;
    }

    // When a connection that is coming up has taken the connect time-out; max() otherwise.
    Clock::time_point ConnectEnds() const {
        const Clock::rep since = call_->connectingSince.load();
        if (since == 0 || h_->connectMs == INFINITE) return Clock::time_point::max();
        return Clock::time_point(Clock::duration(since)) + std::chrono::milliseconds(h_->connectMs);
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
    if (!query.Outcome(::InternetQueryDataAvailable(h->raw, &call->available, 0, 0),
                       SilenceEnds(h))) {
        return false;
    }
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
    if ((option == kOptionReceiveTimeout || option == kOptionConnectTimeout) &&
        length == sizeof(DWORD)) {
        const DWORD ms = *static_cast<const DWORD*>(buffer);
        // 0 would end every wait at once: it is no limit, as WinINet has it.
        (option == kOptionReceiveTimeout ? AsHandle(handle)->receiveMs
                                         : AsHandle(handle)->connectMs) = ms == 0 ? INFINITE : ms;
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
    auto call = std::make_unique<Call>();
    call->done = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!call->done) return nullptr;
    handle->raw = ::HttpOpenRequestA(parent, verb, object, version, referrer, acceptTypes, flags,
                                     reinterpret_cast<DWORD_PTR>(call.get()));
    if (!handle->raw) {
        // No handle, no closing notice: the context is freed here, now. (An open that pended
        // would bring its handle later, with the context; it never does, but then the context
        // must outlive it.)
        if (::GetLastError() == ERROR_IO_PENDING) {
            call.release();
        } else {
            ::CloseHandle(call->done);
        }
        return nullptr;
    }
    handle->call = call.release();  // the closing notice frees it from now on
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
    return send.Outcome(
        ::HttpSendRequestA(h->raw, headers ? call->headers.data() : nullptr,
                           headers ? static_cast<DWORD>(call->headers.size()) : 0,
                           body ? call->body.data() : nullptr, body ? bodyLength : 0),
        h->deadline);
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
    DWORD available = 0;
    if (!QueryAvailable(h, &available)) return false;
    if (available == 0 || count == 0) return true;  // the end of the body
    Call* call = h->call;
    const DWORD asked = std::min<DWORD>(available, count);
    if (call->block.size() < asked) call->block.resize(asked);
    call->got = 0;
    // The bytes are there, so WinINet hands them over at once; should it still pend, the wait
    // is one of silence like the query's.
    Operation read(h);
    if (!read.Outcome(::InternetReadFile(h->raw, call->block.data(), asked, &call->got),
                      SilenceEnds(h))) {
        return false;
    }
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
    // No call is pending between entry points (a wait that gave up closed the handle), so
    // WinINet no longer writes the read block: it goes now rather than with the closing notice.
    if (h->call) std::vector<char>().swap(h->call->block);
    delete h;
    if (!raw) return true;  // closed at its deadline already
    return ::InternetCloseHandle(raw) != 0;
}

void InternetSetDeadline(InetHandle request, std::uint32_t milliseconds) {
    if (Handle* h = AsHandle(request)) {
        h->deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    }
}

}  // namespace plat
