// The session's cookies against their bounds (platform/fetch_phases.h; Linux: posix/cookies.cpp,
// WinINet's own on Windows), through the internet library against the fixture servers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/libs/internet/internet_fixture.h"

namespace {

using namespace internet_fixture;

TEST_F(Internet, ASiteKeepsAtMostFiftyCookiesTheNewest) {
    int most = 0;
    std::string last;
    for (int visit = 0; visit < 40; ++visit) {
        last = Read(Http("/cookie-flood?n=60&visit=" + std::to_string(visit)));
        most = std::max(most, std::atoi(last.c_str()));
    }
    if (testing_support::RunningUnderWine()) {
        // Wine's WinINet keeps every cookie: the last visit sends back all 2,340 before it.
        EXPECT_EQ(last.substr(0, last.find(' ')), "2340") << last;
        return;
    }
    EXPECT_EQ(most, 50);
    int count = 0, lowest = 0, highest = 0;
    ASSERT_EQ(std::sscanf(last.c_str(), "%d %d %d", &count, &lowest, &highest), 3) << last;
    EXPECT_EQ(count, 50);
    EXPECT_GE(lowest, 38 * 60) << "the oldest went first: only the last visit's remain";
    EXPECT_LE(highest, 38 * 60 + 59);
}

// Past 3,000 cookies in all, over more hosts than 3,000 / 50 (libcurl takes every *.localhost
// name for the loopback): the oldest go first, whatever their host, and a host keeps its newest.
TEST_F(Internet, PastThreeThousandCookiesInAllTheOldestGoWhateverTheirHost) {
    if (testing_support::RunningUnderWine()) {
        GTEST_SKIP() << "wine resolves no *.localhost name, and its WinINet bounds no cookie";
    }
    const std::string server = Env("WEBMON_HTTP");
    const std::string port = server.substr(server.rfind(':'));
    const auto visit = [&](int host, int cookies) {
        return Read("http://h" + std::to_string(host) + ".localhost" + port + "/cookie-flood?n=" +
                    std::to_string(cookies) + "&visit=" + std::to_string(host));
    };
    // A host's cookies count together, whether set for the host alone or for its domain.
    const std::string domain = "http://d.localhost" + port + "/cookie-flood?domain=1";
    Read(domain + "&n=40&visit=0");  // (libcurl takes no more than 50 from one response)
    Read(domain + "&n=40&visit=1");
    const std::string sent = Read(domain + "&n=0&visit=0");
    EXPECT_EQ(sent.substr(0, sent.find(' ')), "50") << sent;

    for (int host = 0; host < 70; ++host) visit(host, 50);  // 3,500 cookies, 50 a host
    // The 500 oldest went: all of hosts 0 to 9 (and any an earlier test left, older still).
    EXPECT_EQ(visit(9, 0), "0 -1 -1");
    EXPECT_EQ(visit(10, 0), "50 500 549");
    EXPECT_EQ(visit(69, 0), "50 3450 3499");
}

}  // namespace
