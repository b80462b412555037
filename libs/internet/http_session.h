// HttpSession: one process-wide internet session and the fetch of one address over it.
//
// Invariants:
//  1. The session handle, once open, lives until the process ends; each request of a fetch
//     opens and closes its own connection and request handles, request first.
//  2. Fetch never reports an error: false, with the body bytes read so far in the buffer. Memory
//     that runs out inside a fetch fails that fetch alone, its handles closed.
//  3. The body is read straight into the caller's byte set: no byte of it is copied on the way
//     but where a read finds no room left in place (and, on Windows, from the block WinINet
//     writes into).
//  4. The rules of fetch_policy.h hold for every request: schemes, redirects one hop at a time,
//     credentials, time-outs, the deadline and the body limit.
//  5. No lock: one thread fetches at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "libs/internet/fetch_policy.h"
#include "platform/platform.h"
#include "runtime/byte_buffer.h"
#include "runtime/value.h"

namespace inet {

// Read-chunk sizes: the declared length plus one, capped; a default without a usable length.
constexpr std::int32_t kMaxChunk = 102400;
constexpr std::int32_t kDefaultChunk = 10240;
// The chunk for a Content-Length header text (null when the query failed).
std::int32_t ReadChunkFor(const char* contentLength);

// An address as the platform canonicalizes and cracks it, into buffers of the fixed sizes.
struct Target {
    std::string canonical;  // the whole canonical address
    std::int32_t scheme = plat::kSchemeUnknown;
    std::uint16_t port = 0;  // as cracked: the scheme's default when none is named
    char host[256] = "";
    char user[128] = "";
    char password[128] = "";
    char path[2048] = "";  // path, query and fragment
    Origin origin() const { return Origin{scheme, host, port}; }
};
// Canonicalizes (no encoding) and cracks an address; false when either step fails.
bool ParseAddress(const std::string& address, Target* target);

// Whether a fetch of an address sends a request at all, and if not, why: the first step of
// every fetch, before anything is opened, and what the list check says of each address.
enum class AddressUse {
    Requested,         // parsed, http or https: *target holds it
    Unfit,             // empty, or holds a CR or LF (IsAcceptableAddress)
    Unparsed,          // no canonical form, or it does not crack (no scheme, a bad port...)
    SchemeNotFetched,  // cracked, but its scheme is neither http nor https
    NoHost,            // http or https, but no host to connect to ("http:/a", "http://:80/")
};
AddressUse JudgeAddress(const char* address, Target* target);

class HttpSession {
public:
    // pool: the owning library's, for the session's working storage.
    explicit HttpSession(rt::SmallBlockPool& pool) : pool_(&pool) {}

    bool Open();
    // The body's bytes go into body, which the fetch starts afresh.
    bool Fetch(const char* address, rt::BinBuilder& body);
    void Close();

    // Test builds shorten the limits; the time-outs apply to the session opened next.
    void SetLimits(const Limits& limits) { limits_ = limits; }
    // Test builds put another open in place of the platform's, for the session opened next.
    using OpenFunction = decltype(&plat::InternetOpenA);
    void SetOpen(OpenFunction open) { open_ = open; }

private:
    bool FetchHops(const char* address, rt::BinBuilder& body);

    // Reads the body of the request's response: true at its end, false when the connection
    // broke, the deadline passed or the body limit was reached (the prefix is kept).
    bool ReadBody(plat::InetHandle request, rt::BinBuilder& body,
                  std::chrono::steady_clock::time_point deadline);

    rt::SmallBlockPool* pool_;
    plat::InetHandle session_ = nullptr;  // null until a fetch opens it
    OpenFunction open_ = plat::InternetOpenA;
    Limits limits_;
};

}  // namespace inet
