// The end of the process races the worker: input ends at random moments while the worker is
// in a request or in its wait. Every run must end at once with code 0, without a crash, a hang
// or a sanitizer report (this suite also runs under the address and thread sanitizers).
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/monitor/webmon_fixture.h"

namespace webmon_test {
namespace {

TEST_F(Webmon, EndingAtRandomMomentsIsAlwaysCleanAndImmediate) {
    WebTxt("1\r\n" + Http("/ok") + "\r\n" + Http("/bytes/200000") + "\r\n" +
           Http("/silent?seconds=3") + "\r\n" + Closed() + "\r\n" + Http("/empty") + "\r\n");
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> moment(0.05, 1.5);
    constexpr int kRuns = 50, kAtOnce = 5;  // five webmons at a time: the same 50 moments
    std::vector<double> ends;
    for (int run = 0; run < kRuns; ++run) ends.push_back(moment(rng));
    std::vector<ChildResult> results(kRuns);
    std::vector<std::thread> runners;
    for (int first = 0; first < kAtOnce; ++first) {
        runners.emplace_back([&, first] {
            for (int run = first; run < kRuns; run += kAtOnce) {
                ChildOptions options;
                options.timeoutSeconds = 30;
                results[run] = Run("line\n", ends[run], options);
            }
        });
    }
    for (std::thread& t : runners) t.join();
    for (int run = 0; run < kRuns; ++run) {
        const ChildResult& r = results[run];
        const std::string seen = "run " + std::to_string(run) + " ending at " +
                                 std::to_string(ends[run]) + " s, over after " +
                                 std::to_string(r.seconds) + " s, output \"" + FirstBytes(r.out) +
                                 "\"";
        ASSERT_FALSE(r.timedOut) << seen;
        EXPECT_EQ(r.exitCode, 0) << seen << "\n" << r.err;
        EXPECT_LT(r.seconds, ends[run] + 3.0) << seen;
        EXPECT_EQ(r.err, "") << seen;
        EXPECT_EQ(r.out.rfind(Banner("1"), 0), 0u) << seen;
    }
}

// Webmons started at the same moment from one folder all read its web.txt: one reading the
// file is no writer of it, even as it reuses the descriptor's number for its sockets.
TEST_F(Webmon, WebmonsStartedTogetherFromOneFolderAllMonitor) {
    WebTxt("1\r\n" + Http("/ok") + "\r\n" + Closed() + "\r\n");
    constexpr int kAtOnce = 8, kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<ChildResult> results(kAtOnce);
        std::vector<std::thread> runners;
        for (int i = 0; i < kAtOnce; ++i) {
            runners.emplace_back([&, i] { results[i] = Run("", 0.8); });
        }
        for (std::thread& t : runners) t.join();
        for (int i = 0; i < kAtOnce; ++i) {
            EXPECT_EQ(results[i].out.rfind(Banner("1"), 0), 0u)
                << "round " << round << ", webmon " << i << ": \"" << FirstBytes(results[i].out)
                << "\"";
        }
    }
}

// A reader that stops reading: the worker's writes block with the stream's lock held, and the
// end of input must still end webmon at once, also when a line typed meanwhile has the main
// thread wait for that lock to answer it.
TEST_F(Webmon, EndOfInputEndsWhileOutputIsBlocked) {
    std::string lines = "1\r\n";
    const std::string address = Closed() + "/" + std::string(200, 'x');
    for (int i = 0; i < 400; ++i) lines += address + "\r\n";  // far more than a pipe holds
    WebTxt(lines);
    const struct {
        const char* what;
        const char* input;
        double typedAt;  // seconds after the start: the pipe is full long before
    } kRows[] = {
        {"no line", "", 0},
        {"a line typed once the output is blocked", "line\n", 2.0},
    };
    for (const auto& row : kRows) {
        ChildOptions options;
        options.outputUnread = true;
        options.timeoutSeconds = 30;
        options.writeInputAfter = row.typedAt;
        ChildResult r = Run(row.input, 3.0, options);
        EXPECT_FALSE(r.timedOut) << row.what;
        EXPECT_EQ(r.exitCode, 0) << row.what;
        EXPECT_LT(r.seconds, 3.0 + 1.5) << row.what;
    }
}

}  // namespace
}  // namespace webmon_test
