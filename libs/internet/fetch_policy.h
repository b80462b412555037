// The rules of a fetch, once, for every build: which addresses, which redirects, whose
// credentials, how long and how much. Pure: no platform call, so tables test every rule.
//
// Invariants:
//  1. Only http and https are ever connected to; every other scheme fails before any connection.
//  2. A fetch makes at most 1 + kMaxRedirects requests (which ends every redirect loop) and
//     never follows a redirect from https down to http. An address may come round again: a
//     site that sets a cookie on the way and sends the client back is no loop.
//  3. Credentials from the address go to the address's own origin (scheme, host, port) only.
//  4. Every fetch ends: each request has connect, send and idle receive time-outs and a bound
//     on its head, and the whole fetch has a deadline and a body limit, past which it stops
//     with the prefix read.
#pragma once

#include <cstdint>
#include <string>

namespace inet {

// ---- Limits ----------------------------------------------------------------------------------

constexpr std::uint32_t kConnectTimeoutMs = 60000;  // to open the connection
constexpr std::uint32_t kSendTimeoutMs = 30000;     // to send the request
constexpr std::uint32_t kReceiveTimeoutMs = 30000;  // of silence while receiving
// From the request sent to its head complete: far above any live page's head (a line every
// 10 s for a minute passes), and a head without end fails within two minutes.
constexpr std::uint32_t kHeadTimeoutMs = 90000;
constexpr std::uint32_t kFetchDeadlineMs = 300000;  // the whole fetch: hops, headers and body
constexpr std::int32_t kBodyLimit = 256 << 20;      // bytes of body kept; the read stops there
constexpr int kMaxRedirects = 10;                   // hops after the first request
constexpr std::int32_t kMaxReservedBody = 8 << 20;  // room set aside on a declared length

struct Limits {
    std::uint32_t connectMs = kConnectTimeoutMs;
    std::uint32_t sendMs = kSendTimeoutMs;
    std::uint32_t receiveMs = kReceiveTimeoutMs;
    std::uint32_t headMs = kHeadTimeoutMs;
    std::uint32_t deadlineMs = kFetchDeadlineMs;
    std::int32_t bodyBytes = kBodyLimit;
};

// ---- Addresses -------------------------------------------------------------------------------

// False for a null or empty address and for one that holds a CR or LF (either could split the
// request): such an address is never requested. Every other byte, a tab or a blank included,
// is the canonical form's to decide on, as WinINet's is on Windows.
bool IsAcceptableAddress(const char* address);

// The schemes that are fetched: http and https (the platform's scheme numbers).
bool IsFetchedScheme(std::int32_t scheme);

// The object name: the path cut before its first '#', stepping over double-byte characters.
void CutFragment(char* path);
std::string WithoutFragment(const std::string& address);

// Who credentials belong to. Hosts compare without regard to ASCII case.
struct Origin {
    std::int32_t scheme = 0;  // the platform's scheme number
    std::string host;
    std::uint16_t port = 0;  // as cracked; 0 is the scheme's default
};
bool SameOrigin(const Origin& a, const Origin& b);

// ---- Redirects -------------------------------------------------------------------------------

bool IsRedirectStatus(std::uint32_t status);

// The absolute address that a Location value names, resolved against the absolute address base
// (absolute, scheme-relative, absolute-path, relative and query-only forms), without its
// fragment. "." and ".." segments stay for the canonical form to remove. False when location
// is not an acceptable address, or base is not absolute.
bool ResolveLocation(const std::string& base, const std::string& location, std::string* out);

// What to do with a redirect response.
enum class Hop {
    Follow,  // request the next address
    Page,    // no usable Location: the response is the page
    Fail,    // the fetch fails: too many hops, another scheme, or https down to http
};

// Decides one redirect: from the absolute address `current` to the Location value `location`,
// after `requests` requests of this fetch (the first included). On Follow, *next is the
// address to request, without its fragment.
Hop DecideRedirect(int requests, const std::string& current, const std::string& location,
                   std::string* next);

}  // namespace inet
