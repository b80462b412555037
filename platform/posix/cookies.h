// The session's cookies held to their bounds (platform/fetch_phases.h): libcurl's cookie list
// read, the oldest past a bound expired (cookies.cpp; which ones go, cookie_bound.cpp decides).
#pragma once

#include "platform/posix/inet_handles.h"

namespace plat::posix {

// Applied within the transfer whose response set cookies, once its head is in.
void BoundSessionCookies(Request* r);

}  // namespace plat::posix
