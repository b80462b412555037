// The fetch: one HTTP/1.0 GET through the platform's WinINet entry points.
#include "libs/internet/http_session.h"

#include <cstring>
#include <string>
#include <vector>

#include "libs/internet/internet_library.h"
#include "runtime/value.h"

namespace inet {
namespace {

constexpr char kAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr char kAcceptType[] = "Accept: */* \r\n";
constexpr char kHeaders[] = "Accept: */*\r\n\r\n";
constexpr std::uint32_t kHeadersLength = 15;
constexpr std::uint32_t kCanonicalSize = 2084;

// Closes the per-fetch handles, request first, on every way out.
struct FetchHandles {
    plat::InetHandle connection = nullptr;
    plat::InetHandle request = nullptr;
    ~FetchHandles() {
        if (request) plat::InternetCloseHandle(request);
        if (connection) plat::InternetCloseHandle(connection);
    }
};

// The parsed parts of an address.
struct Target {
    std::int32_t scheme = plat::kSchemeUnknown;
    std::uint16_t port = 0;
    char host[256] = "";
    char user[128] = "";
    char password[128] = "";
    char path[2048] = "";
};

bool Parse(const char* address, Target* target) {
    std::vector<char> canonical(kCanonicalSize);
    std::uint32_t length = kCanonicalSize;
    if (!plat::InternetCanonicalizeUrlA(address, canonical.data(), &length, plat::kIcuNoEncode)) {
        if (plat::GetLastError() != plat::kErrorInsufficientBuffer) return false;
        canonical.resize(length + 1);
        if (!plat::InternetCanonicalizeUrlA(address, canonical.data(), &length,
                                            plat::kIcuNoEncode)) {
            return false;
        }
    }
    plat::UrlComponents parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = target->host;
    parts.dwHostNameLength = sizeof target->host;
    parts.lpszUrlPath = target->path;
    parts.dwUrlPathLength = sizeof target->path;
    parts.lpszUserName = target->user;
    parts.dwUserNameLength = sizeof target->user;
    parts.lpszPassword = target->password;
    parts.dwPasswordLength = sizeof target->password;
    if (!plat::InternetCrackUrlA(canonical.data(), 0, 0, &parts)) return false;
    target->scheme = parts.nScheme;
    target->port = parts.nPort;
    return true;
}

// The object name: the path cut before its first '#', stepping over double-byte characters.
void CutFragment(char* path) {
    for (char* p = path; *p; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80 && p[1] != '\0') {
            ++p;
        } else if (*p == '#') {
            *p = '\0';
            return;
        }
    }
}

}  // namespace

std::int32_t ReadChunkFor(const char* contentLength) {
    const std::int32_t value = contentLength ? rt::ParseInt32(contentLength) : 0;
    if (value <= 0) return kDefaultChunk;
    return value >= kMaxChunk ? kMaxChunk : value + 1;
}

bool HttpSession::Open() {
    if (session_) return true;
    session_ = plat::InternetOpenA(kAgent, plat::kInternetOpenTypeDirect, nullptr, nullptr, 0);
    if (!session_) return false;
    // Explicit time-outs: some WinINet builds never time out a silent receive.
    plat::InternetSetOptionA(session_, plat::kOptionConnectTimeout, &timeouts_.connectMs, 4);
    plat::InternetSetOptionA(session_, plat::kOptionSendTimeout, &timeouts_.sendMs, 4);
    plat::InternetSetOptionA(session_, plat::kOptionReceiveTimeout, &timeouts_.receiveMs, 4);
    return true;
}

void HttpSession::Close() {
    if (session_) plat::InternetCloseHandle(session_);
    session_ = nullptr;
}

bool HttpSession::Fetch(const char* address, rt::ByteBuffer& body) {
    body.Resize(0);
    if (!address || address[0] == '\0') return false;
    // A control byte (a lone CR or LF from a line of web.txt, say) could split the request
    // line; such an address is refused on every platform, whatever its WinINet would do.
    for (const char* p = address; *p; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    Target target;
    if (!Parse(address, &target)) return false;
    std::uint32_t service = static_cast<std::uint32_t>(target.scheme);
    std::uint32_t flags = plat::kFlagReload | plat::kFlagNoCacheWrite;
    if (target.scheme == plat::kSchemeHttp) {
        service = plat::kInternetServiceHttp;
    } else if (target.scheme == plat::kSchemeHttps) {
        service = plat::kInternetServiceHttp;
        flags |= plat::kFlagSecure;
    }
    if (!Open()) return false;

    FetchHandles h;
    h.connection = plat::InternetConnectA(session_, target.host, target.port, target.user,
                                          target.password, service, 0, 0);
    if (!h.connection) return false;
    const plat::ProxyInfo proxy{0, nullptr, nullptr};  // the system's configured proxy
    plat::InternetSetOptionA(session_, plat::kOptionProxy, &proxy, sizeof proxy);
    plat::InternetSetOptionA(h.connection, plat::kOptionProxyUsername, "", 1);
    plat::InternetSetOptionA(h.connection, plat::kOptionProxyPassword, "", 1);
    CutFragment(target.path);
    const char* acceptTypes[] = {kAcceptType, nullptr};
    h.request = plat::HttpOpenRequestA(h.connection, "GET", target.path, "HTTP/1.0", nullptr,
                                       acceptTypes, flags, 0);
    if (!h.request) return false;
    // Again on the request: some WinINet builds take a request's time-outs only from itself.
    plat::InternetSetOptionA(h.request, plat::kOptionSendTimeout, &timeouts_.sendMs, 4);
    plat::InternetSetOptionA(h.request, plat::kOptionReceiveTimeout, &timeouts_.receiveMs, 4);
    if (!plat::HttpSendRequestA(h.request, kHeaders, kHeadersLength, nullptr, 0)) return false;

    char lengthText[32];
    std::uint32_t lengthSize = sizeof lengthText;
    const bool known = plat::HttpQueryInfoA(h.request, plat::kQueryContentLength, lengthText,
                                            &lengthSize, nullptr);
    if (known) lengthText[lengthSize < sizeof lengthText ? lengthSize : sizeof lengthText - 1] = 0;
    const std::int32_t chunk = ReadChunkFor(known ? lengthText : nullptr);

    rt::ByteBuffer block(Pool());
    if (!block.Allocate(chunk)) return false;
    for (;;) {
        std::uint32_t got = 0;
        if (!plat::InternetReadFile(h.request, block.data(), static_cast<std::uint32_t>(chunk),
                                    &got)) {
            return false;
        }
        if (got == 0) return true;
        // A chunk that cannot be kept would leave a hole in the body: stop with the intact
        // prefix instead (also when the body would pass what a signed 32-bit size can count).
        if (!body.Append(block.data(), static_cast<std::int32_t>(got))) return false;
    }
}

}  // namespace inet
