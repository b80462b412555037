// Which cookies go to keep a session within its bounds (platform/posix/cookie_bound.h), and the
// bounds the program ships with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fetch_phases.h"
#include "platform/posix/cookie_bound.h"

namespace {

using plat::posix::BoundCookies;
using plat::posix::KeptCookie;

// Cookies of hosts given as a string, one letter a cookie, oldest first: "aab" is two of host
// a then one of b. The answer as the same letters with their places, "a0 a1".
std::vector<KeptCookie> Cookies(const std::string& hosts) {
    std::vector<KeptCookie> cookies;
    for (std::size_t i = 0; i < hosts.size(); ++i) cookies.push_back({std::string(1, hosts[i]), i});
    return cookies;
}
std::string Gone(const std::vector<KeptCookie>& cookies, std::size_t perHost, std::size_t inAll) {
    std::string gone;
    for (std::size_t at : BoundCookies(cookies, perHost, inAll)) {
        gone += (gone.empty() ? "" : " ") + cookies[at].host + std::to_string(at);
    }
    return gone;
}

TEST(CookieBound, TheOldestGoPastEitherBound) {
    const struct {
        const char* hosts;
        std::size_t perHost, inAll;
        const char* gone;
    } rows[] = {
        {"", 2, 3, ""},
        {"aab", 2, 3, ""},                 // within both
        {"aaab", 2, 4, "a0"},              // a host past its bound: its oldest
        {"abaa", 2, 4, "a0"},              // whatever the others between
        {"aabbc", 2, 4, "a0"},             // all past: the oldest of all
        {"aaaabbc", 2, 3, "a0 a1 a2 a3"},  // the host's bound first, then all's, oldest on
        {"abcabc", 5, 3, "a0 b1 c2"},      // all's bound alone
        {"aaaaa", 1, 1, "a0 a1 a2 a3"},    // the newest stays
        {"adebe", 1, 4, "e2"},             // a host's excess counts first: nothing more goes
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Gone(Cookies(row.hosts), row.perHost, row.inAll), row.gone) << row.hosts;
    }
    // Ages, not places, order them: the list libcurl gives is in no order of age.
    const std::vector<KeptCookie> shuffled = {{"a", 7}, {"a", 3}, {"a", 5}};
    EXPECT_EQ(Gone(shuffled, 2, 10), "a1");
}

// The bounds that ship: 50 a host, as WinINet keeps, and 3,000 in all (the README says so).
TEST(CookieBound, TheShippedBounds) {
    EXPECT_EQ(plat::kCookiesPerHost, 50u);
    EXPECT_EQ(plat::kCookiesInAll, 3000u);
    EXPECT_EQ(plat::kHeadBytesMax, 4u << 20);
}

}  // namespace
