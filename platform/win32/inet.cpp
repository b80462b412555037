// WinINet: the real entry points, with the platform interface's own types checked against them.
#include "platform/win32/win32_internal.h"
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
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
static_assert(static_cast<int>(kSchemeHttps) == static_cast<int>(INTERNET_SCHEME_HTTPS) &&
              static_cast<int>(kSchemeHttp) == static_cast<int>(INTERNET_SCHEME_HTTP));

namespace {

// The deadline watchdog: one thread, started with the first deadline, that closes each armed
// request handle whose time has come; closing a handle is WinINet's way to end a call blocked
// on it in another thread. Its lock orders that close against the caller's own, so a handle is
// closed once: by the watchdog when it fired, else by the caller.
class Watchdog {
public:
    void Arm(HINTERNET handle, std::uint32_t milliseconds) {
        std::lock_guard<std::mutex> hold(lock_);
        Disarm(handle);
        armed_.push_back({handle, Clock::now() + std::chrono::milliseconds(milliseconds), false});
        if (!started_) {
            std::thread([this] { Run(); }).detach();
            started_ = true;
        }
        wake_.notify_one();
    }
    // Forgets handle; true when the watchdog has closed it already.
    bool Forget(HINTERNET handle) {
        std::lock_guard<std::mutex> hold(lock_);
        return Disarm(handle);
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Armed {
        HINTERNET handle;
        Clock::time_point due;
        bool fired;   // the watchdog closed the handle
    };

    bool Disarm(HINTERNET handle) {
        auto it = std::find_if(armed_.begin(), armed_.end(),
                               [&](const Armed& a) { return a.handle == handle; });
        if (it == armed_.end()) return false;
        const bool fired = it->fired;
        armed_.erase(it);
        return fired;
    }

    void Run() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (Armed& a : armed_) {
                if (a.fired) continue;
                if (a.due <= now) {
                    a.fired = true;
                    ::InternetCloseHandle(a.handle);
                } else {
                    next = std::min(next, a.due);
                }
            }
            if (next == Clock::time_point::max()) {
                wake_.wait(hold);
            } else {
                wake_.wait_until(hold, next);
            }
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<Armed> armed_;
    bool started_ = false;
};

// Never destroyed: the process ends without static destructors, maybe inside a fetch.
Watchdog& TheWatchdog() {
    static Watchdog* watchdog = new Watchdog();
    return *watchdog;
}

}  // namespace

InetHandle InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxy,
                         const char* bypass, std::uint32_t flags) {
    return ::InternetOpenA(agent, accessType, proxy, bypass, flags);
}

bool InternetSetOptionA(InetHandle handle, std::uint32_t option, const void* buffer,
                        std::uint32_t length) {
    return ::InternetSetOptionA(handle, option, const_cast<void*>(buffer), length) != 0;
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
                            std::uint32_t flags, std::uintptr_t context) {
    return ::InternetConnectA(session, host, port, user, password, service, flags, context);
}

InetHandle HttpOpenRequestA(InetHandle connection, const char* verb, const char* object,
                            const char* version, const char* referrer, const char** acceptTypes,
                            std::uint32_t flags, std::uintptr_t context) {
    return ::HttpOpenRequestA(connection, verb, object, version, referrer, acceptTypes, flags,
                              context);
}

bool HttpSendRequestA(InetHandle request, const char* headers, std::uint32_t headersLength,
                      const void* body, std::uint32_t bodyLength) {
    return ::HttpSendRequestA(request, headers, headersLength, const_cast<void*>(body),
                              bodyLength) != 0;
}

bool HttpQueryInfoA(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length,
                    std::uint32_t* index) {
    DWORD n = *length;
    DWORD i = index ? *index : 0;
    BOOL ok = ::HttpQueryInfoA(request, level, buffer, &n, index ? &i : nullptr);
    *length = n;
    if (index) *index = i;
    return ok != 0;
}

bool InternetReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t* got) {
    DWORD n = 0;
    BOOL ok = ::InternetReadFile(request, buffer, count, &n);
    *got = n;
    return ok != 0;
}

bool InternetCloseHandle(InetHandle handle) {
    if (TheWatchdog().Forget(handle)) return true;  // closed at its deadline already
    return ::InternetCloseHandle(handle) != 0;
}

void InternetSetDeadline(InetHandle request, std::uint32_t milliseconds) {
    TheWatchdog().Arm(request, milliseconds);
}

}  // namespace plat
