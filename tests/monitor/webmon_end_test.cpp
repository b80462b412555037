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

// The output's reader decides: every line read is answered and reaches a reader that keeps
// reading, however slowly, and webmon then ends within 3 s of the last byte read; while the
// reader reads nothing webmon waits, the input ended or not, as any program does; once the
// reader leaves (its end closed) webmon ends within 3 s, 0, also while its input goes on, and
// while it writes nothing (its worker waiting out a 60 s period, no line coming in). An input
// far past the read-ahead's 64 KiB is read no further meanwhile: memory stays bounded.
// With no thread to spare (Linux: a user limited to three, the main thread, the worker and the
// reader), the end still comes.
TEST_F(Webmon, TheOutputsReaderHoldsWebmonAndItsLeavingEndsIt) {
    std::string lines, fewer;
    for (int i = 0; i < 1000; ++i) lines += "line " + std::to_string(i) + "\n";
    for (int i = 0; i < 300; ++i) fewer += "line " + std::to_string(i) + "\n";
    std::string pastTheBound;
    while (pastTheBound.size() < 4 * 1024 * 1024) pastTheBound += "y\n";
    std::string goesOn;  // fits the input pipe: the test never waits to write it
    while (goesOn.size() < 60000) goesOn += "y\n";
    const std::string failing = "1\r\n" + Closed() + "\r\n";
    const std::string quiet = "1000\r\n" + Closed() + "\r\n";
    const std::string waits = "60\r\n" + Closed() + "\r\n";  // one pass, then 60 s of wait
    const auto reader = [](std::size_t piece, double every, double stopsAfter, double leavesAfter,
                           const std::string& leavesOnce, int count) {
        return testing_support::OutputReader{true,        piece,      every, stopsAfter,
                                             leavesAfter, leavesOnce, count};
    };
    const double never = 1e9;
    const struct {
        const char* what;
        const std::string& webTxt;
        std::string input;
        double endAt;  // the end of input; 0: the input is a file, which ends where it ends
        testing_support::OutputReader output;
        int answers;  // usage texts read, at least; -1: all the lines of the input
        bool noThreadToSpare;
    } kRows[] = {
        {"a slow reader, 700 bytes every 0.1 s", quiet, fewer, 1.0,
         reader(700, 0.1, never, never, "", 0), -1, false},
        {"a reader that empties the pipe every 1.5 s", quiet, lines, 1.0,
         reader(0, 1.5, never, never, "", 0), -1, false},
        {"a reader that stops, then closes", quiet, lines, 1.0, reader(0, 0, 0, 8, "", 0), 0,
         false},
        {"4 MB of lines from a file, a reader that stops, then closes", quiet, pastTheBound, 0,
         reader(0, 0, 0, 5, "", 0), 0, false},
        {"a reader that closes after five answers, the input going on", quiet, goesOn, 60,
         reader(0, 0, never, never, kUsage, 5), 5, false},
        {"a reader that closes after the first failure, no input", failing, "", 60,
         reader(0, 0, never, never, kFaild, 1), 0, false},
        {"a reader that leaves during a 60 s period wait, the input open", waits, "", 60,
         reader(0, 0, never, never, Closing(1), 1), 0, false},
#if !defined(_WIN32) && !defined(__SANITIZE_THREAD__)
        // (Not under the thread sanitizer: its own thread takes the one left for the worker.)
        {"no thread to spare, a reader that stops, then closes", quiet, lines, 1.0,
         reader(0, 0, 0, 5, "", 0), 0, true},
        {"no thread to spare, a reader that leaves during a 60 s period wait", waits, "", 60,
         reader(0, 0, never, never, Closing(1), 1), 0, true},
#endif
    };
    for (const auto& row : kRows) {
        WebTxt(row.webTxt);
        ChildOptions options;
        options.output = row.output;
        options.timeoutSeconds = 60;
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
        std::size_t usage = 0;
        for (auto at = r.out.find(kUsage); at != std::string::npos;
             at = r.out.find(kUsage, at + kUsage.size())) {
            ++usage;
        }
        const std::string seen =
            std::string(row.what) + ": over after " + std::to_string(r.seconds) +
            " s, last read at " + std::to_string(r.lastReadAt) + " s, left at " +
            std::to_string(r.leftAt) + " s, " + std::to_string(usage) + " answers";
        EXPECT_FALSE(r.timedOut) << seen;
        EXPECT_EQ(r.exitCode, 0) << seen << ": " << r.err.substr(0, 300);
        if (row.answers < 0) {
            EXPECT_EQ(usage, static_cast<std::size_t>(
                                 std::count(row.input.begin(), row.input.end(), '\n')))
                << seen;
        } else {
            EXPECT_GE(usage, static_cast<std::size_t>(row.answers)) << seen;
        }
        if (row.output.leavesAfter == never && row.output.leavesOnceSeen.empty()) {
            EXPECT_LT(r.seconds, r.lastReadAt + 3.0) << seen;
        } else {
            // A reader that stopped holds webmon, past its end of input, until it leaves.
            EXPECT_GE(r.leftAt, 0) << seen << ": webmon ended before its reader left";
            EXPECT_LT(r.seconds, r.leftAt + 3.0) << seen;
        }
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
        options.timeoutSeconds = 60;
        if (row.slowReader) {  // the end comes once the line is under way, not before it began
            options.output.piped = true;  // 1,024 bytes every 10 ms: 100 KB a second
            options.output.piece = 1024;
            options.output.every = 0.01;
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
