// The phases of a request (platform/fetch_phases.h) on both builds, each ending at its own
// limit, and a slow reader or a slow page read whole: through the internet library, as the
// program meets them, against the fixture servers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/libs/internet/internet_fixture.h"

namespace {

using namespace internet_fixture;

// Each phase of a fetch ends at its own limit, never at the deadline: servers that stop in every
// phase, against 2 s to connect (with TLS), 1 s to send, 1 s of silence, 5 s for a whole head
// and a deadline of 9 s.
TEST_F(SlowPages, EachPhaseEndsAtItsOwnLimit) {
    inet::Limits limits;
    limits.connectMs = 2000;
    limits.sendMs = 1000;
    limits.receiveMs = 1000;
    limits.deadlineMs = 9000;
    limits.headMs = 5000;
    const struct {
        const char* name;
        std::string address;
        bool page;
        double least, most;  // seconds
    } rows[] = {
        {"a connection that never comes up (a full backlog)", "http://" + Env("WEBMON_FULL") + "/",
         false, 1.8, 3.5},
        {"https accepted, no handshake ever", "https://" + Env("WEBMON_SILENT") + "/", false, 1.8,
         3.5},
        {"http accepted, the request never answered", "http://" + Env("WEBMON_SILENT") + "/", false,
         0.8, 2.5},
        {"the whole head, then silence", Http("/silent-head?seconds=6"), false, 0.8, 2.5},
        // Each line within the silence limit, the head in all three times longer: live.
        {"a head a line every 0.4 s for 3.2 s", Http("/slow-head?lines=8&pause=0.4"), true, 3.0,
         6.0},
        // Every line live, the head without end: its bound of 5 s, well before the deadline.
        {"a head a line every 0.1 s, never complete", Http("/drip/header"), false, 4.8, 7.5},
    };
    for (const auto& row : rows) {
        Use(limits);
        std::string body;
        EXPECT_EQ(Fetch(row.address, &body), row.page) << row.name << ", " << Elapsed(start_);
        EXPECT_GT(Seconds(start_), row.least) << row.name << ", " << Elapsed(start_);
        EXPECT_LT(Seconds(start_), row.most) << row.name << ", " << Elapsed(start_);
        if (row.page) {
            EXPECT_EQ(body, "slow head") << row.name;
        }
    }
}

// 8,000 bytes at 4,000 a second: never a second of silence, but a whole block (the declared
// length + 1) takes two.
TEST_F(SlowPages, ABodySlowerThanABlockPerTimeOutArrivesWhole) {
    std::string body;
    EXPECT_TRUE(Fetch(Http("/slow?n=8000&rate=4000"), &body)) << Elapsed(start_);
    EXPECT_TRUE(body == std::string(8000, 's')) << body.size() << " bytes";
}

TEST_F(SlowPages, ASilenceLongerThanTheTimeOutFailsWithWhatArrived) {
    std::string body;
    EXPECT_FALSE(Fetch(Http("/silent?seconds=6"), &body));
    EXPECT_LT(Seconds(start_), 5.0) << Elapsed(start_);
    EXPECT_EQ(body, "start");
}

}  // namespace
