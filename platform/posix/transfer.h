// The transfer engine of the HTTP stand-in: one request's exchange on libcurl's multi
// interface, through the phases of platform/fetch_phases.h (transfer.cpp has its map).
#pragma once

#include <cstdint>
#include <string>

#include "platform/posix/inet_handles.h"

namespace plat::posix {

// Starts the request's transfer to url and waits until its head is in (HttpSendRequestA's
// answer): false, with WinINet's error, when it cannot start or ends before a final head.
bool SendAndAwaitHead(Request* r, const std::string& url);
// Reads body bytes into buffer (InternetReadFile's answer): at most count, waiting for some;
// 0 at the end of the body; false, with WinINet's error, when the transfer failed.
bool ReadBody(Request* r, void* buffer, std::uint32_t count, std::uint32_t* got);

}  // namespace plat::posix
