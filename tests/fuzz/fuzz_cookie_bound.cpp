// BoundCookies against its invariants (platform/posix/cookie_bound.h). Input: two bytes for the
// bounds (each 0-15), then one byte a cookie: its host (low 3 bits) and its age (the rest,
// made distinct by its place).
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/cookie_bound.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t perHost = data[0] & 15, inAll = data[1] & 15;
    std::vector<plat::posix::KeptCookie> cookies;
    for (std::size_t i = 2; i < size; ++i) {
        cookies.push_back({std::string(1, static_cast<char>('a' + (data[i] & 7))),
                           static_cast<std::uint64_t>(data[i] >> 3) * 4096 + i});
    }
    const std::vector<std::size_t> gone = plat::posix::BoundCookies(cookies, perHost, inAll);
    std::set<std::size_t> goneSet(gone.begin(), gone.end());
    if (goneSet.size() != gone.size()) std::abort();  // each goes once
    std::map<std::string, std::size_t> ofHost;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        if (!goneSet.count(i)) {
            ++ofHost[cookies[i].host];
            ++kept;
        }
    }
    // 1: within both bounds.
    if (kept > inAll) std::abort();
    for (const auto& [host, count] : ofHost) {
        if (count > perHost) std::abort();
    }
    // 2 and 3: only the oldest go. A kept cookie older than one that went must have been
    // needed: it is of another host, and the one that went went for its host's bound.
    for (std::size_t g : gone) {
        if (g >= cookies.size()) std::abort();
        for (std::size_t k = 0; k < cookies.size(); ++k) {
            if (goneSet.count(k) || cookies[k].age > cookies[g].age) continue;
            if (cookies[k].host == cookies[g].host) std::abort();  // an older one of its host stays
        }
    }
    // Nothing more goes than the bounds need.
    std::map<std::string, std::size_t> all;
    for (const auto& c : cookies) ++all[c.host];
    std::size_t needed = 0, afterHosts = 0;
    for (const auto& [host, count] : all) {
        needed += count > perHost ? count - perHost : 0;
        afterHosts += count > perHost ? perHost : count;
    }
    if (afterHosts > inAll) needed += afterHosts - inAll;
    if (gone.size() != needed) std::abort();
    return 0;
}
