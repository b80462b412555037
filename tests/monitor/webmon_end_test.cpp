// The end of the process races the worker: input ends at random moments while the worker is
// in a request or in its wait. Every run must end at once with code 0, without a crash, a hang
// or a sanitizer report (this suite also runs under the address and thread sanitizers).
#include <algorithm>
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
                options.watch = {Banner("1")};  // webmon's own start: when it can see an end
                results[run] = Run("line\n", ends[run], options);
            }
        });
    }
    for (std::thread& t : runners) t.join();
    for (int run = 0; run < kRuns; ++run) {
        const ChildResult& r = results[run];
        // The end counts from the end of input, or from webmon's banner when the process took
        // longer than that to start (a loaded machine's process start, wine's above all, is no
        // part of webmon's end).
        const double started = r.seenAt.empty() ? -1 : r.seenAt[0];
        const double from = std::max(ends[run], started);
        const std::string seen =
            "run " + std::to_string(run) + " ending at " + std::to_string(ends[run]) +
            " s, banner at " + std::to_string(started) + " s, over after " +
            std::to_string(r.seconds) + " s, output \"" + FirstBytes(r.out) + "\"";
        ASSERT_FALSE(r.timedOut) << seen;
        EXPECT_EQ(r.exitCode, 0) << seen << "\n" << r.err;
        EXPECT_GE(started, 0) << seen;
        EXPECT_LT(r.seconds, from + 3.0) << seen;
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
// thread wait for that lock to answer it, and when many lines come before the end (as long as
// they fit the read-ahead's 64 KiB). An input far past that bound is read no further than it,
// as a plain writer blocked in its write reads nothing: webmon stays, its memory bounded.
// With no thread to spare for the end's flusher (Linux: a user limited to three, the main
// thread, the worker and the reader), the end still comes. (Windows has no such limit to set:
// there the end flushes nothing without a thread, each text having been flushed as written.)
TEST_F(Webmon, EndOfInputEndsWhileOutputIsBlocked) {
    std::string lines = "1\r\n";
    const std::string address = Closed() + "/" + std::string(200, 'x');
    for (int i = 0; i < 400; ++i) lines += address + "\r\n";  // far more than a pipe holds
    WebTxt(lines);
    std::string manyLines, pastTheBound;
    for (int i = 0; i < 2000; ++i) manyLines += "line " + std::to_string(i) + "\n";
    while (pastTheBound.size() < 4 * 1024 * 1024) pastTheBound += "y\n";
    const struct {
        const char* what;
        const std::string& input;
        double typedAt;     // seconds after the start: the pipe is full long before
        double endAt;       // the end of input; 0: the input is a file, which ends where it ends
        double endsWithin;  // seconds after the end; 0: webmon stays
        bool noThreadToSpare;
    } kRows[] = {
        {"no line", "", 0, 3.0, 1.5, false},
        {"a line typed once the output is blocked", "line\n", 2.0, 3.0, 1.5, false},
        {"2,000 lines, then the end", manyLines, 0, 2.0, 1.0, false},
        {"4 MB of lines from a file", pastTheBound, 0, 0, 0, false},
#if !defined(_WIN32) && !defined(__SANITIZE_THREAD__)
        // (Not under the thread sanitizer: its own thread takes the one left for the worker.)
        {"no thread to spare", "", 0, 3.0, 1.5, true},
#endif
    };
    for (const auto& row : kRows) {
        ChildOptions options;
        options.outputUnread = true;
        options.timeoutSeconds = row.endsWithin > 0 ? 30 : 4;
        options.writeInputAfter = row.typedAt;
        ChildResult r;
        if (!row.noThreadToSpare) {
            r = Run(row.input, row.endAt, options);
        } else {
            // As a user of its own (the limit counts every process of the user, a second copy
            // of this test's too), limited to three processes.
            const std::string user = std::to_string(200000 + std::random_device{}() % 100000);
            std::filesystem::permissions(
                dir_, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                std::filesystem::perm_options::add);
            options.input = row.input;
            options.closeInputAfter = row.endAt;
            // (The leak checker of a sanitized build stops the world with a thread of its own
            // at the exit, which the limit refuses: it is webmon's end that is looked at here.)
            options.env = {"LC_ALL=C", "LSAN_OPTIONS=detect_leaks=0"};
            r = testing_support::RunChild("/usr/bin/setpriv",
                                          {"--reuid=" + user, "--regid=" + user, "--clear-groups",
                                           "/usr/bin/prlimit", "--nproc=3", exe_},
                                          options);
        }
        if (row.endsWithin == 0) {
            EXPECT_TRUE(r.timedOut)
                << row.what << ": ended after " << r.seconds << " s, code " << r.exitCode;
            EXPECT_EQ(r.err, "") << row.what;
            continue;
        }
        EXPECT_FALSE(r.timedOut) << row.what;
        EXPECT_EQ(r.exitCode, 0) << row.what << ": " << r.err.substr(0, 300);
        EXPECT_LT(r.seconds, row.endAt + row.endsWithin) << row.what;
    }
}

// The end of input loses nothing: every line before it is answered, however many wait in the
// read-ahead, and a line still being written when the main thread ends webmon (the worker's,
// to a slow reader: 100 KB a second) is written whole before the process ends.
TEST_F(Webmon, TheEndOfInputLosesNoAnswerAndCutsNoLine) {
    const std::string longAddress = Closed() + std::string(100000, 'x');
    std::string manyLines;
    for (int i = 0; i < 100000; ++i) manyLines += "l\n";
    const struct {
        const char* what;
        std::string webTxt;
        const std::string& input;
        double endAt;  // 0: the input is a file; the slow reader's ends sooner (below)
        bool slowReader;
        int usageTexts;
    } kRows[] = {
        {"100,000 lines from a file", "1000\r\n" + Closed() + "\r\n", manyLines, 0, false, 100000},
        {"a 100,000-byte address to a slow reader", "1000\r\n" + longAddress + "\r\n", "a\nb\n", 30,
         true, 2},
    };
    for (const auto& row : kRows) {
        WebTxt(row.webTxt);
        ChildOptions options;
        options.outputReadSlowly = row.slowReader;
        options.timeoutSeconds = 60;
        if (row.slowReader) {  // the end comes once the line is under way, not before it began
            options.watch = {kFaild + Closed()};
            options.closeInputOnceSeen = true;
        }
        ChildResult r = Run(row.input, row.endAt, options);
        EXPECT_FALSE(r.timedOut) << row.what;
        EXPECT_EQ(r.exitCode, 0) << row.what;
        std::size_t usage = 0;
        for (auto at = r.out.find(kUsage); at != std::string::npos;
             at = r.out.find(kUsage, at + kUsage.size())) {
            ++usage;
        }
        EXPECT_EQ(usage, static_cast<std::size_t>(row.usageTexts)) << row.what;
        EXPECT_EQ(r.out.size() >= 2 ? r.out.substr(r.out.size() - 2) : r.out, kCrLf)
            << row.what << ": the last line cut";
        if (row.slowReader) {
            EXPECT_NE(r.out.find(kFaild + longAddress + kCrLf), std::string::npos)
                << row.what << ": " << r.seconds << " s, err \"" << r.err.substr(0, 300) << "\", "
                << r.out.size() << " bytes, the line's start at " << r.out.find(kFaild + Closed())
                << ", ending \"" << FirstBytes(r.out.substr(r.out.size() - 200)) << "\"";
        }
    }
}

}  // namespace
}  // namespace webmon_test
