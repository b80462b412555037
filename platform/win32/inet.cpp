// WinINet: the real entry points, run asynchronously so that every wait has an end.
//
// Every session is opened with INTERNET_FLAG_ASYNC and a status callback. A call that answers
// ERROR_IO_PENDING (HttpSendRequestA, InternetReadFile) is waited for here, so each entry point
// returns what its synchronous form would. The wait ends at the request's deadline (a read's
// also after the receive time-out); the request's WinINet handle is then closed, which is how
// WinINet cancels a pending call, and no call is made on it again.
//
// Invariants:
//  1. Every InetHandle of this side is a Handle. Its WinINet handle is null once a wait closed
//     it; no WinINet call is ever made with a closed one.
//  2. A request's Call is its WinINet context. WinINet's callbacks may reach it until the
//     handle's closing notice, which frees it; nothing else frees it, and nothing here touches
//     it once its handle is closed. A pending call reads into and sends from the Call's own
//     storage, never the caller's, so a call cancelled at the deadline writes into nothing that
//     the caller has freed.
//  3. One thread uses a request at a time. Callbacks come on WinINet's threads; the Call's
//     event orders a completion's writes before the waiter's reads.
#include "platform/win32/win32_internal.h"
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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
    HANDLE done = nullptr;           // set when a pending call completes
    INTERNET_ASYNC_RESULT result{};  // its answer
    DWORD got = 0;                   // a pending read's count, written by WinINet
    std::vector<char> block;         // a pending read's bytes, written by WinINet
    std::string headers;             // what a pending send sends
    std::string body;
};

struct Handle {
    HINTERNET raw = nullptr;  // null once a wait closed it at the deadline
    Call* call = nullptr;     // requests only (invariant 2)
    bool pending = false;     // a call of this request has not completed
    Clock::time_point deadline = Clock::time_point::max();  // InternetSetDeadline's
    DWORD receiveMs = INFINITE;  // a read's longest silence; inherited as WinINet does
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
        call->result = *static_cast<const INTERNET_ASYNC_RESULT*>(info);
        ::SetEvent(call->done);
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

// Closes the request's WinINet handle with its call pending: the call is cancelled, and the
// closing notice frees the Call (invariant 2).
void Abandon(Handle* h) {
    HINTERNET raw = h->raw;
    h->raw = nullptr;
    h->call = nullptr;
    h->pending = false;
    ::InternetCloseHandle(raw);
}

// After a call answered ERROR_IO_PENDING: its answer, or false with ERROR_INTERNET_TIMEOUT
// once until has passed, the request then closed.
bool Await(Handle* h, Clock::time_point until) {
    h->pending = true;
    if (::WaitForSingleObject(h->call->done, MillisecondsUntil(until)) != WAIT_OBJECT_0) {
        Abandon(h);
        ::SetLastError(ERROR_INTERNET_TIMEOUT);
        return false;
    }
    h->pending = false;
    if (h->call->result.dwResult) return true;
    ::SetLastError(h->call->result.dwError);
    return false;
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
    if (option == kOptionReceiveTimeout && length == sizeof(DWORD)) {
        const DWORD ms = *static_cast<const DWORD*>(buffer);
        AsHandle(handle)->receiveMs = ms == 0 ? INFINITE : ms;  // 0 would end every read at once
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
    Call* call = new Call();
    handle->raw = ::HttpOpenRequestA(parent, verb, object, version, referrer, acceptTypes, flags,
                                     reinterpret_cast<DWORD_PTR>(call));
    // A failed open may or may not have sent a closing notice for call: it is left alone.
    if (!handle->raw) return nullptr;
    call->done = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!call->done) {
        ::InternetCloseHandle(handle->raw);  // its closing notice frees call
        return nullptr;
    }
    handle->call = call;
    return handle.release();
}

bool HttpSendRequestA(InetHandle request, const char* headers, std::uint32_t headersLength,
                      const void* body, std::uint32_t bodyLength) {
    Handle* h = AsHandle(request);
    if (!Raw(request) || !h->call) return false;
    Call* call = h->call;
    // WinINet's length -1: the headers end at their zero byte.
    if (headers)
        call->headers.assign(headers, headersLength == ~0u ? std::strlen(headers) : headersLength);
    if (body) call->body.assign(static_cast<const char*>(body), bodyLength);
    ::ResetEvent(call->done);
    if (::HttpSendRequestA(h->raw, headers ? call->headers.data() : nullptr,
                           headers ? static_cast<DWORD>(call->headers.size()) : 0,
                           body ? call->body.data() : nullptr, body ? bodyLength : 0)) {
        return true;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    return Await(h, h->deadline);
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
    Call* call = h->call;
    if (call->block.size() < count) call->block.resize(count);
    // A read that completes later with no bytes is taken for the body's end only when the next
    // read says so too: a completion notice that no read of ours is waiting for (wine has been
    // seen to send one) must not cut a body short. A read that ends at once says so for sure.
    for (int emptyCompletions = 0;;) {
        call->got = 0;
        ::ResetEvent(call->done);
        if (!::InternetReadFile(h->raw, call->block.data(), count, &call->got)) {
            if (::GetLastError() != ERROR_IO_PENDING) return false;
            const Clock::time_point silence =
                h->receiveMs == INFINITE ? Clock::time_point::max()
                                         : Clock::now() + std::chrono::milliseconds(h->receiveMs);
            if (!Await(h, std::min(h->deadline, silence))) return false;
            if (call->got == 0 && ++emptyCompletions < 2) continue;
        }
        break;
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
    // With no call pending, WinINet no longer writes the read block: it goes now rather than
    // with the closing notice.
    if (h->call && !h->pending) std::vector<char>().swap(h->call->block);
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
