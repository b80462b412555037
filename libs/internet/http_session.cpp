// The fetch: HTTP/1.0 GETs through the platform's WinINet entry points, one request per hop,
// under the rules of fetch_policy.h.
#include "libs/internet/http_session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "platform/check.h"
#include "runtime/memory.h"
#include "runtime/value.h"

namespace inet {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr char kAcceptType[] = "Accept: */* \r\n";
constexpr char kHeaders[] = "Accept: */*\r\n\r\n";
constexpr std::uint32_t kHeadersLength = sizeof kHeaders - 1;
// The longest address WinINet takes (INTERNET_MAX_URL_LENGTH) and its zero: the first size
// asked for an address's canonical form and for a Location; a longer one asks for more.
constexpr std::uint32_t kAddressSize = 2084;
constexpr std::uint32_t kOptionSize = sizeof(std::uint32_t);  // a time-out option's length

// Closes the per-request handles, request first, on every way out.
struct RequestHandles {
    plat::InetHandle connection = nullptr;
    plat::InetHandle request = nullptr;
    ~RequestHandles() {
        if (request) plat::InternetCloseHandle(request);
        if (connection) plat::InternetCloseHandle(connection);
    }
};

std::uint32_t StatusOf(plat::InetHandle request) {
    std::uint32_t status = 0;
    std::uint32_t size = sizeof status;
    if (!plat::HttpQueryInfoA(request, plat::kQueryStatusCode | plat::kQueryFlagNumber, &status,
                              &size, nullptr)) {
        return 0;
    }
    return status;
}

std::string LocationOf(plat::InetHandle request) {
    std::vector<char> text(kAddressSize);
    std::uint32_t size = kAddressSize;
    if (!plat::HttpQueryInfoA(request, plat::kQueryLocation, text.data(), &size, nullptr)) {
        if (plat::GetLastError() != plat::kErrorInsufficientBuffer) return "";
        text.resize(size + 1);
        size = static_cast<std::uint32_t>(text.size());
        if (!plat::HttpQueryInfoA(request, plat::kQueryLocation, text.data(), &size, nullptr)) {
            return "";
        }
    }
    return std::string(text.data(), std::min<std::size_t>(size, text.size()));
}

std::uint32_t MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<std::uint32_t>(left);
}

}  // namespace

std::int32_t ReadChunkFor(const char* contentLength) {
    const std::int32_t value = contentLength ? rt::ParseInt32(contentLength) : 0;
    if (value <= 0) return kDefaultChunk;
    return value >= kMaxChunk ? kMaxChunk : value + 1;
}

bool ParseAddress(const std::string& address, Target* target) {
    std::vector<char> canonical(kAddressSize);
    std::uint32_t length = kAddressSize;
    if (!plat::InternetCanonicalizeUrlA(address.c_str(), canonical.data(), &length,
                                        plat::kIcuNoEncode)) {
        if (plat::GetLastError() != plat::kErrorInsufficientBuffer) return false;
        canonical.resize(length + 1);
        length = static_cast<std::uint32_t>(canonical.size());
        if (!plat::InternetCanonicalizeUrlA(address.c_str(), canonical.data(), &length,
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
    target->canonical = canonical.data();
    target->scheme = parts.nScheme;
    target->port = parts.nPort;
    return true;
}

AddressUse JudgeAddress(const char* address, Target* target) {
    if (!IsAcceptableAddress(address)) return AddressUse::Unfit;
    if (!ParseAddress(address, target)) return AddressUse::Unparsed;
    if (!IsFetchedScheme(target->scheme)) return AddressUse::SchemeNotFetched;
    // Nothing can be asked of no host: said here, not left to the connection to fail.
    return target->host[0] == '\0' ? AddressUse::NoHost : AddressUse::Requested;
}

bool HttpSession::Open() {
    if (session_) return true;
    session_ = open_(kAgent, plat::kInternetOpenTypeDirect, nullptr, nullptr, 0);
    if (!session_) return false;  // the next fetch tries again
    // Explicit time-outs: some WinINet builds never time out a silent receive.
    plat::InternetSetOptionA(session_, plat::kOptionConnectTimeout, &limits_.connectMs,
                             kOptionSize);
    plat::InternetSetOptionA(session_, plat::kOptionSendTimeout, &limits_.sendMs, kOptionSize);
    plat::InternetSetOptionA(session_, plat::kOptionReceiveTimeout, &limits_.receiveMs,
                             kOptionSize);
    return true;
}

void HttpSession::Close() {
    if (session_) plat::InternetCloseHandle(session_);
    session_ = nullptr;
}

bool HttpSession::Fetch(const char* address, rt::BinBuilder& body) {
    rt::RecoverableAllocations recoverable;
    try {
        if (!body.Restart()) return false;
        return FetchHops(address, body);
    } catch (const std::bad_alloc&) {
        return false;  // the handles were closed on the way out, request first; the body stays
    }
}

bool HttpSession::FetchHops(const char* address, rt::BinBuilder& body) {
    // Parsed before anything is opened: a scheme that is not fetched costs no network at all.
    Target target;
    if (JudgeAddress(address, &target) != AddressUse::Requested) return false;
    if (!Open()) return false;

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limits_.deadlineMs);
    const Origin home = target.origin();
    const std::string user = target.user;  // the address's credentials, for home only
    const std::string password = target.password;
    int requests = 0;
    for (;;) {
        ++requests;
        RequestHandles h;
        // Invariants 1 and 2 of fetch_policy.h, where the request leaves the library.
        WEBMON_ASSERT(IsFetchedScheme(target.scheme));
        WEBMON_ASSERT(requests <= 1 + kMaxRedirects);
        const bool atHome = SameOrigin(target.origin(), home);  // invariant 3
        h.connection = plat::InternetConnectA(
            session_, target.host, target.port, atHome ? user.c_str() : "",
            atHome ? password.c_str() : "", plat::kInternetServiceHttp, 0, 0);
        if (!h.connection) return false;
        const plat::ProxyInfo proxy{plat::kInternetOpenTypePreconfig, nullptr, nullptr};
        plat::InternetSetOptionA(session_, plat::kOptionProxy, &proxy, sizeof proxy);
        plat::InternetSetOptionA(h.connection, plat::kOptionProxyUsername, "", 1);
        plat::InternetSetOptionA(h.connection, plat::kOptionProxyPassword, "", 1);

        std::uint32_t flags =
            plat::kFlagReload | plat::kFlagNoCacheWrite | plat::kFlagNoAutoRedirect;
        if (target.scheme == plat::kSchemeHttps) flags |= plat::kFlagSecure;
        CutFragment(target.path);
        const char* acceptTypes[] = {kAcceptType, nullptr};
        h.request = plat::HttpOpenRequestA(h.connection, "GET", target.path, "HTTP/1.0", nullptr,
                                           acceptTypes, flags, 0);
        if (!h.request) return false;
        // Again on the request: some WinINet builds take a request's time-outs only from itself.
        plat::InternetSetOptionA(h.request, plat::kOptionSendTimeout, &limits_.sendMs, kOptionSize);
        plat::InternetSetOptionA(h.request, plat::kOptionReceiveTimeout, &limits_.receiveMs,
                                 kOptionSize);
        const std::uint32_t left = MillisecondsUntil(deadline);
        if (left == 0) return false;
        plat::InternetSetDeadline(h.request, left);
        plat::InternetSetHeadLimit(h.request, limits_.headMs);
        if (!plat::HttpSendRequestA(h.request, kHeaders, kHeadersLength, nullptr, 0)) return false;

        if (IsRedirectStatus(StatusOf(h.request))) {
            std::string next;
            switch (DecideRedirect(requests, target.canonical, LocationOf(h.request), &next)) {
            case Hop::Fail: return false;
            case Hop::Follow:
                target = Target{};
                if (!ParseAddress(next, &target) || !IsFetchedScheme(target.scheme)) return false;
                continue;
            case Hop::Page: break;  // no usable Location: this response is the page
            }
        }
        return ReadBody(h.request, body, deadline);
    }
}

bool HttpSession::ReadBody(plat::InetHandle request, rt::BinBuilder& body,
                           std::chrono::steady_clock::time_point deadline) {
    char lengthText[32];
    std::uint32_t lengthSize = sizeof lengthText;
    const bool known =
        plat::HttpQueryInfoA(request, plat::kQueryContentLength, lengthText, &lengthSize, nullptr);
    if (known) lengthText[lengthSize < sizeof lengthText ? lengthSize : sizeof lengthText - 1] = 0;
    const std::int32_t chunk = ReadChunkFor(known ? lengthText : nullptr);
    const std::int32_t declared = known ? std::max(rt::ParseInt32(lengthText), 0) : 0;
    const std::int32_t limit = limits_.bodyBytes;
    // The body's room, from its declared length: the server's word sets aside at most
    // kMaxReservedBody, and past that the body grows as its bytes arrive.
    if (declared > 0) body.Reserve(std::min({declared, limit, kMaxReservedBody}));

    // A body stops at its declared length, where an honest one ends: nothing grows ahead of
    // the read that finds the end. Past it, the body is one of unknown length: a server that
    // declares less than it sends is read in full blocks and grows by doubling like any other.
    const auto reachedDeclared = [&] { return declared > 0 && body.size() >= declared; };
    const auto readSize = [&] {
        return declared > 0 && body.size() > declared ? kMaxChunk : chunk;
    };
    // Doubling within the limit and, short of the declared length, within it: a body of n bytes
    // moves O(log n) times. False when the heap refuses even the least room.
    const auto grow = [&](std::int32_t least) {
        std::int64_t target = std::max<std::int64_t>(2 * std::int64_t{body.capacity()},
                                                     std::int64_t{body.size()} + least);
        if (declared > 0 && body.size() < declared)
            target = std::min<std::int64_t>(target, declared);
        target = std::min<std::int64_t>(target, limit);
        return body.Reserve(static_cast<std::int32_t>(target)) || body.Reserve(body.size() + least);
    };

    rt::ByteBuffer spill(*pool_);  // where a read goes when the body has no room in place
    for (;;) {
        if (MillisecondsUntil(deadline) == 0) return false;  // the deadline keeps what was read
        const std::int32_t room = limit - body.size();       // what the limit still lets in
        if (body.capacity() == body.size() && room > 0 && !reachedDeclared()) {
            grow(std::min(chunk, room));  // a room the heap refuses leaves the spill
        }
        std::uint32_t got = 0;
        const std::int32_t free = body.capacity() - body.size();
        if (free > 0 && room > 0) {
            const auto ask = static_cast<std::uint32_t>(std::min({readSize(), free, room}));
            if (!plat::InternetReadFile(request, body.end(), ask, &got)) return false;
            if (got == 0) return true;
            if (!body.Commit(static_cast<std::int32_t>(got))) return false;
            WEBMON_ASSERT(body.size() <= limit);  // invariant 4 of fetch_policy.h
            continue;
        }
        // No room in place: bytes past a declared length, past the limit, or past what the heap
        // gave. They are kept as far as the limit allows; past it the read stops, as a broken
        // connection does, with the prefix.
        const std::int32_t probe = readSize();
        if (spill.capacity() < probe && !spill.Allocate(probe)) return false;
        if (!plat::InternetReadFile(request, spill.data(), static_cast<std::uint32_t>(probe),
                                    &got)) {
            return false;
        }
        if (got == 0) return true;
        const std::int32_t keep =
            static_cast<std::int32_t>(std::min<std::int64_t>(room, static_cast<std::int64_t>(got)));
        // A block that cannot be kept would leave a hole in the body: stop with the intact
        // prefix instead. Kept bytes land in doubled room, where the next reads go in place.
        if (keep > 0) {
            if (body.capacity() - body.size() < keep && !grow(keep)) return false;
            std::memcpy(body.end(), spill.data(), static_cast<std::size_t>(keep));
            if (!body.Commit(keep)) return false;
        }
        WEBMON_ASSERT(body.size() <= limit);  // invariant 4 of fetch_policy.h
        if (keep < static_cast<std::int64_t>(got)) return false;
    }
}

}  // namespace inet
