// The phases of a request, named alike on both builds, and the limit each keeps; with the
// bounds that the platform keeps itself, which no WinINet option sets.
//
// A request moves forward through the phases, one way only (Paused and Body in turn on Linux):
//
//   phase         entered when                          its limit
//   Idle          the request is opened                 none: a read fails at once
//   Connecting    it is sent                            the connect time-out, from its start,
//                                                       never restarted by a second address
//   Sending       the connection (and its TLS) is up    the send time-out
//   AwaitingHead  the request has gone out              the receive time-out of silence, and
//                                                       the head limit from its start
//                                                       (InternetSetHeadLimit; kHeadBytesMax,
//                                                       kHeadMemoryMax)
//   Body          the head is complete                  the receive time-out of silence
//   Paused        (Linux) the reader is behind          none: the reader resumes it
//   Done          (Linux) the transfer ended            none
//
// The deadline (InternetSetDeadline) holds in every phase. Windows follows the phases by
// WinINet's status notices (win32/inet.cpp), Linux by libcurl's callbacks (posix/transfer.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

enum class Phase : int { Idle, Connecting, Sending, AwaitingHead, Body, Paused, Done };

// A head past this many bytes fails, where the platform is told of its bytes as they arrive.
constexpr std::uint32_t kHeadBytesMax = 4 << 20;
// Where it is not told (a WinINet may tell the head's bytes only once it is whole, or never),
// what a head costs is bounded all the same: on Windows, the process's own memory grown by
// more than this while it awaits a head fails the head. No real head comes near it.
constexpr std::uint64_t kHeadMemoryMax = 16ull << 20;

// The cookies kept for a session (Linux: WinINet bounds its own): at most this many a host,
// as WinINet keeps, and this many in all, the least that RFC 6265 asks a store to keep; the
// oldest go first.
constexpr std::size_t kCookiesPerHost = 50;
constexpr std::size_t kCookiesInAll = 3000;

}  // namespace plat
