// HttpSession: one process-wide internet session and the fetch of one address over it.
//
// Invariants:
//  1. The session handle, once open, lives until the process ends; each fetch opens and closes
//     its own connection and request handles, request first.
//  2. Fetch never reports an error: false, with the body bytes read so far in the buffer.
//  3. Every request has connect, send and receive time-outs, so no fetch waits forever.
//  4. No lock: one thread fetches at a time.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/byte_buffer.h"

namespace inet {

// Read-chunk sizes: the declared length plus one, capped; a default without a usable length.
constexpr std::int32_t kMaxChunk = 102400;
constexpr std::int32_t kDefaultChunk = 10240;
// The chunk for a Content-Length header text (null when the query failed).
std::int32_t ReadChunkFor(const char* contentLength);

struct Timeouts {
    std::uint32_t connectMs = 60000;
    std::uint32_t sendMs = 30000;
    std::uint32_t receiveMs = 30000;
};

class HttpSession {
public:
    bool Open();
    bool Fetch(const char* address, rt::ByteBuffer& body);
    void Close();

    // Test builds shorten the time-outs; they apply to the session opened next.
    void SetTimeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }

private:
    plat::InetHandle session_ = nullptr;  // null until the first fetch opens it
    Timeouts timeouts_;
};

}  // namespace inet
