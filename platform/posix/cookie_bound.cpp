// Which cookies go: oldest first, past the bound of their host, then of all (cookie_bound.h).
#include "platform/posix/cookie_bound.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

namespace plat::posix {

std::vector<std::size_t> BoundCookies(const std::vector<KeptCookie>& cookies, std::size_t perHost,
                                      std::size_t inAll) {
    std::vector<std::size_t> byAge(cookies.size());
    std::iota(byAge.begin(), byAge.end(), std::size_t{0});
    std::stable_sort(byAge.begin(), byAge.end(),
                     [&](std::size_t a, std::size_t b) { return cookies[a].age < cookies[b].age; });
    // First each host's bound, then all's over what is left: counted the other way round, a
    // cookie would go for the bound of all that a host's excess, gone later, brings within.
    std::unordered_map<std::string, std::size_t> ofHost;
    for (const KeptCookie& c : cookies) ++ofHost[c.host];
    std::vector<bool> going(cookies.size(), false);
    std::vector<std::size_t> gone;
    for (std::size_t at : byAge) {  // oldest first
        std::size_t& count = ofHost[cookies[at].host];
        if (count > perHost) {
            going[at] = true;
            gone.push_back(at);
            --count;
        }
    }
    std::size_t kept = cookies.size() - gone.size();
    for (std::size_t at : byAge) {
        if (kept <= inAll) break;
        if (going[at]) continue;
        gone.push_back(at);
        --kept;
    }
    return gone;
}

}  // namespace plat::posix
