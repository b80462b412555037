// WinINet's HTTP entry points on libcurl: single exchanges, keeping what the library relies on.
//
// The stand-in, file by file:
//   inet.cpp          the entry points, InternetOpenA to InternetCloseHandle, then
//                     InternetSetDeadline and InternetSetHeadLimit: they check the caller's
//                     handles and hand the exchange to the engine;
//   inet_handles.h    the handle model: Session, Connection and Request;
//   transfer.cpp      the transfer engine: phases, limits, libcurl's callbacks;
//   cookies.h, .cpp   the session's cookies held to their bounds (cookie_bound.cpp decides);
//   url.cpp           addresses canonicalized and cracked;
//   http_head.cpp     the one reader of a response: head, framing, body;
//   request_text.cpp  the request's text (accept types, extra headers, target, URL);
//   posix_internal.h  WinINet's error numbers and Fail, which every file answers with.
//
// What the entry points keep of WinINet (the engine's own list is in transfer.cpp):
//  1. Handles are checked before use: a call on a handle of the wrong kind fails with
//     ERROR_INTERNET_INCORRECT_HANDLE_TYPE, a read of a request never sent with
//     ERROR_INTERNET_INCORRECT_HANDLE_STATE.
//  2. Only HTTP, and only GET; hosts that are not ASCII fail as names not resolved.
//  3. Time-outs of 0 mean none, as WinINet has them.
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/inet_handles.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/request_text.h"
#include "platform/posix/transfer.h"

namespace plat {
namespace {

using namespace posix;  // the handle model, the engine, the error numbers and Fail

// The TLS library behind libcurl, checked whole. OpenSSL 3 builds its default context, and the
// locks in it, on first use; an allocation that fails there leaves the context without a lock,
// yet its start-up answers success, and the first https transfer then crashes inside it
// (RAND_status, at a lock of null). Asking for the context answers null instead, and asking
// for its random generator builds that now. Looked up by name in the library that libcurl
// brought: a libcurl on another TLS library has none of these, and nothing to check here.
bool TlsLibraryWhole() {
    using GetContext = void* (*)();
    using GetPrimary = void* (*)(void*);
    using Status = int (*)();
    const auto context =
        reinterpret_cast<GetContext>(dlsym(RTLD_DEFAULT, "OSSL_LIB_CTX_get0_global_default"));
    const auto primary = reinterpret_cast<GetPrimary>(dlsym(RTLD_DEFAULT, "RAND_get0_primary"));
    const auto status = reinterpret_cast<Status>(dlsym(RTLD_DEFAULT, "RAND_status"));
    if (!context || !primary || !status) return true;
    return context() != nullptr && primary(nullptr) != nullptr && status() == 1;
}

// libcurl's start and the TLS library's, once for the process: whether both are whole. Neither
// is tried again: a start that failed once leaves the libraries in no state to be used.
bool GlobalInit() {
    static std::once_flag once;
    static bool whole = false;
    std::call_once(once, [] {
        whole = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK && TlsLibraryWhole();
    });
    return whole;
}

// A time-out as WinINet takes it: 0 (and what no long holds) is none.
long TimeoutOf(std::uint32_t ms) {
    return ms == 0 || ms > static_cast<std::uint32_t>(kNoTimeout) ? kNoTimeout
                                                                  : static_cast<long>(ms);
}

bool IsAscii(const std::string& s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool InternetStartup() { return GlobalInit(); }

InetHandle InternetOpenA(const char* agent, std::uint32_t accessType, const char*, const char*,
                         std::uint32_t) {
    if (!GlobalInit()) return Fail(kErrInternalError), nullptr;
    // A handle is built whole before it is handed out: an allocation that fails on the way (a
    // std::bad_alloc, which the caller's fetch catches) leaves no half-made handle counted.
    auto s = std::make_unique<Session>();
    s->agent = agent ? agent : "";
    s->environmentProxy = accessType == kInternetOpenTypePreconfig;
    return s.release();
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
        const long value = TimeoutOf(ms);
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
    auto c = std::make_unique<Connection>(s);
    c->host = host ? host : "";
    c->port = port;
    c->user = user ? user : "";
    c->password = password ? password : "";
    return c.release();
}

InetHandle HttpOpenRequestA(InetHandle connection, const char* verb, const char* object,
                            const char*, const char*, const char** acceptTypes, std::uint32_t flags,
                            std::uintptr_t) {
    auto* c = As<Connection>(connection, Kind::Connection);
    if (!c) return Fail(kErrIncorrectHandleType), nullptr;
    if (verb && std::strcmp(verb, "GET") != 0) return Fail(kErrInvalidOperation), nullptr;
    auto r = std::make_unique<Request>(c);
    r->object = object ? object : "";
    r->secure = (flags & kFlagSecure) != 0;
    r->headers.push_back(AcceptHeader(acceptTypes));
    return r.release();
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
    return SendAndAwaitHead(r, RequestUrl(r->secure, c->host, c->port, r->object));
}

bool HttpQueryInfoA(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length,
                    std::uint32_t*) {
    auto* r = As<Request>(request, Kind::Request);
    if (!r) return Fail(kErrIncorrectHandleType);
    if (level == (kQueryStatusCode | kQueryFlagNumber)) {
        if (r->reader.head().status == 0) return Fail(kErrHeaderNotFound);
        if (*length < 4) {
            *length = 4;
            return Fail(kErrorInsufficientBuffer);
        }
        const auto status = static_cast<std::uint32_t>(r->reader.head().status);
        std::memcpy(buffer, &status, 4);
        *length = 4;
        return true;
    }
    const std::string* value = nullptr;
    if (level == kQueryContentLength && r->reader.head().hasContentLength) {
        value = &r->reader.head().contentLength;
    };
    if (level == kQueryLocation && r->reader.head().hasLocation) value = &r->reader.head().location;
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
    return ReadBody(r, buffer, count, got);
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
    if (auto* r = As<Request>(request, Kind::Request)) r->headMs = TimeoutOf(milliseconds);
}

}  // namespace plat
