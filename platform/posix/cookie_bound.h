// Which cookies a session lets go to keep within its bounds: a pure decision, so that a table
// and a fuzz target test it whole (posix/cookies.cpp applies it to libcurl's cookies).
//
// Invariants of what BoundCookies answers, for cookies of distinct ages:
//  1. What stays holds at most perHost cookies of each host and at most inAll in all.
//  2. Only the oldest go: the oldest of each host past perHost, then the oldest of all that
//     are left past inAll.
//  3. No more go than the bounds need (none when the cookies are within both).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat::posix {

struct KeptCookie {
    std::string host;   // the domain without a leading dot: a host and its domain count together
    std::uint64_t age;  // smaller is older: the order in which the session took them
};

// The places in cookies of those that go: for the hosts' bound, then for all's, each oldest
// first.
std::vector<std::size_t> BoundCookies(const std::vector<KeptCookie>& cookies, std::size_t perHost,
                                      std::size_t inAll);

}  // namespace plat::posix
