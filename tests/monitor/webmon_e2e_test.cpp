// The built webmon, end to end: web.txt rules, result lines, passes, the console loop.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/platform_facts.h"
#include "tests/monitor/webmon_fixture.h"

namespace webmon_test {
namespace {

// A fixed run for the rows where what follows a pass matters (a wait that must not wrap) or no
// pass comes (an empty list): long enough for a pass of no address on a loaded machine, far
// shorter than the periods of the lists that use it. Other rows end once their pass is over.
constexpr double kOnePass = 2.5;

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end == std::string::npos ? end : end - at));
        at = end == std::string::npos ? text.size() : end + 2;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Every allocation that start-up, a pass and the end make, failed in turn (webmon built with
// its Nth allocation refused, tests/monitor/failing_webmon.cpp): each run ends with the fatal
// text and -1, or goes on when the allocation was a fetch's to lose ("Faild！"), never by a
// crash or a hang. (How many allocations a run makes varies a little with how the body
// arrives: the most of three runs, and ten more.)
TEST_F(Webmon, EveryAllocationFailedInTurnEndsWithTheFatalTextOrFailsOnlyItsFetch) {
    WebTxt("60\r\n" + Http("/ok") + "\r\n\r\n" + Closed() + "\r\n");
    exe_ = (std::filesystem::path(dir_) /
            ("failing_webmon" + std::string(testing_support::kExeSuffix)))
               .string();
    std::filesystem::copy_file(testing_support::HostPath(FAILING_WEBMON_EXE), exe_);
    // Each run's input ends once its pass is over (or it has ended), at the latest after 30 s:
    // a loaded machine delays a pass, never the verdict.
    constexpr double kPassAtTheLatest = 30;
    ChildOptions counting;
    counting.env = {"WEBMON_FAIL_ALLOCATION=0"};
    counting.watch = {Closing(1)};
    counting.closeInputOnceSeen = true;
    ChildResult plain;
    long count = 0, fewest = 0;
    for (int i = 0; i < 3; ++i) {
        plain = Run("line\n", kPassAtTheLatest, counting);
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        ASSERT_NE(plain.out.find(Closing(1)), std::string::npos) << FirstBytes(plain.out);
        long made = 0;
        ASSERT_EQ(std::sscanf(plain.err.c_str(), "allocations: %ld", &made), 1) << plain.err;
        count = std::max(count, made);
        fewest = i == 0 ? made : std::min(fewest, made);
    }
    ASSERT_GT(count, 10);

    const std::string boxHead = "\xD4\xCB\xD0\xD0\xCA\xB1\xB3\xF6\xB4\xED!\r\n\r\n";  // 运行时出错!
    const std::string allocText =
        "\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xBA"  // 错误信息：
        "\xB7\xD6\xC5\xE4 ";                        // 分配
    const std::string allocEnd = " \xD7\xD6\xBD\xDA\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC!\r\n";
    constexpr long kPast = 10;  // runs past the count: their allocation never comes
    const long last = count + kPast;
    std::vector<ChildResult> results(static_cast<std::size_t>(last) + 1);
    std::atomic<long> next{1};
    std::vector<std::thread> runners;
    for (int i = 0; i < 6; ++i) {
        runners.emplace_back([&] {
            for (long n = next++; n <= last; n = next++) {
                ChildOptions options;
                options.env = {"WEBMON_FAIL_ALLOCATION=" + std::to_string(n)};
                options.watch = {Closing(1)};
                options.closeInputOnceSeen = true;
                options.timeoutSeconds = kPassAtTheLatest + 20;
                results[static_cast<std::size_t>(n)] = Run("line\n", kPassAtTheLatest, options);
            }
        });
    }
    for (std::thread& t : runners) t.join();
    int fatal = 0, lostFetch = 0;
    for (long n = 1; n <= last; ++n) {
        const ChildResult& r = results[static_cast<std::size_t>(n)];
        const std::string seen = "allocation " + std::to_string(n) + " of " +
                                 std::to_string(count) + " failed: exit " +
                                 std::to_string(r.exitCode) + ", error \"" + FirstBytes(r.err) +
                                 "\", output \"" + FirstBytes(r.out) + "\"";
        ASSERT_FALSE(r.timedOut) << seen;
        if (r.exitCode == testing_support::kExitMinusOne) {
            ++fatal;
            EXPECT_EQ(r.err.rfind(boxHead + allocText, 0), 0u) << seen;
            EXPECT_EQ(r.err.size() - std::min(r.err.size(), allocEnd.size()), r.err.rfind(allocEnd))
                << seen;
        } else {
            EXPECT_EQ(r.exitCode, 0) << seen;
            EXPECT_EQ(r.err, "") << seen;
            EXPECT_EQ(r.out.rfind(Banner("60"), 0), 0u) << seen;
            // The usage line and the results may come in either order: lines, not bytes.
            const std::vector<std::string> lines = SortedLines(r.out);
            if (lines != SortedLines(plain.out)) {
                ++lostFetch;
                std::string lost = plain.out;
                const std::string success = kSuccess + Http("/ok");
                lost.replace(lost.find(success), success.size(), kFaild + Http("/ok"));
                EXPECT_EQ(lines, SortedLines(lost)) << seen;
            }
        }
    }
    // Past the fewest a run made, a run may end before its allocation comes (a loaded machine
    // made one counting run 664 where others made about 400).
    EXPECT_GT(fatal, fewest / 2) << "of " << fewest << " to " << count << " allocations";
    std::printf("%ld allocations failed in turn: %d fatal, %d a fetch's alone\n", count, fatal,
                lostFetch);
}

TEST_F(Webmon, WithoutWebTxtEveryLineGetsTheUsageAndEndOfInputEnds) {
    ChildResult r = Run("\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kEmptyFile + kUsage);
    EXPECT_EQ(r.err, "");
    r = Run("a\n\nb\n");
    EXPECT_EQ(r.out, kEmptyFile + kUsage + kUsage + kUsage);
    r = Run("");
    EXPECT_EQ(r.out, kEmptyFile);
}

TEST_F(Webmon, EmptyFilesAndAFileStartingWithAZeroByte) {
    WebTxt("");
    EXPECT_EQ(Run("").out, kEmptyFile);
    WebTxt(
        std::string("\0"
                    "30\r\nhttp://x/\r\n",
                    14));
    EXPECT_EQ(Run("").out, kEmptyFile);
}

TEST_F(Webmon, OnePassWithPeriodLineSuccessAndFailure) {
    WebTxt("30\r\n" + Http("/ok") + "\r\n" + Closed() + "\r\n");
    ChildResult r = RunOnePass();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, Banner("30") + kSuccess + Http("/ok") + kCrLf + kFaild + Closed() + kCrLf +
                         Closing(1));
}

// One pass over addresses, in this order, each with its result line.
TEST_F(Webmon, ResultLinesJudgeOnlyTheBody) {
    const struct {
        std::string address;
        const std::string& verdict;
    } rows[] = {
        {Http("/notfound"), kSuccess},  // an error page
        {Http("/empty"), kFaild},       // an empty body
        {Http("/zeros"), kFaild},       // a zero byte first
        {Http("/spaces"), kSuccess},    // only spaces
        {"ftp://" + Env("WEBMON_CLOSED") + "/", kFaild},
        // A head without end, at loopback speed, fails; what it costs stops with it: a head
        // that comes a line a second for 6 s right after it is a page. Wine's WinINet goes on
        // receiving the closed head, faster than any head's bound, past the 16 MiB its close
        // excuses, so there the slow head's growth is the endless one's: failed.
        {Http("/endless-head"), kFaild},
        {Http("/slow-head?lines=6&pause=1"),
         testing_support::RunningUnderWine() ? kFaild : kSuccess},
    };
    std::string file = "30\r\n";
    std::string expected = Banner("30");
    for (const auto& row : rows) {
        file += row.address + "\r\n";
        expected += row.verdict + row.address + kCrLf;
    }
    WebTxt(file);
    ChildOptions options;
    options.watch = {Closing(1)};
    options.closeInputOnceSeen = true;
    ChildResult r = Run("", 25, options);
    EXPECT_EQ(r.out, expected + Closing(1));
}

TEST_F(Webmon, OnlyThePeriodLine) {
    WebTxt("30");
    EXPECT_EQ(RunOnePass().out, Banner("30") + Closing(1));
}

TEST_F(Webmon, FirstLineThatIsNoPositiveNumberIsAnAddress) {
    for (const std::string first : {"0", "-5", "abc"}) {
        WebTxt(first + "\r\n" + Http("/ok") + "\r\n");
        ChildResult r = RunOnePass();
        EXPECT_EQ(r.out, Banner("60") + kFaild + first + kCrLf + kSuccess + Http("/ok") + kCrLf +
                             Closing(1))
            << first;
    }
    WebTxt(Http("/ok") + "\r\n");
    EXPECT_EQ(RunOnePass().out, Banner("60") + kSuccess + Http("/ok") + kCrLf + Closing(1));
}

// As Notepad saves UTF-8: the mark sets no period of its own and is never requested.
TEST_F(Webmon, AByteOrderMarkAtTheStartIsNoPartOfLineOne) {
    const std::string mark = "\xEF\xBB\xBF";
    WebTxt(mark + "30\r\n" + Http("/ok") + "\r\n");
    EXPECT_EQ(RunOnePass().out, Banner("30") + kSuccess + Http("/ok") + kCrLf + Closing(1));
    WebTxt(mark + Http("/ok") + "\r\n");
    EXPECT_EQ(RunOnePass().out, Banner("60") + kSuccess + Http("/ok") + kCrLf + Closing(1));
}

TEST_F(Webmon, LeadingDigitsMakeAPeriod) {
    // A numeric host address on line 1 is read by its leading digits: 127 seconds.
    WebTxt(Env("WEBMON_HTTP") + "/ok\r\n" + Http("/ok") + "\r\n");
    EXPECT_EQ(RunOnePass().out, Banner("127") + kSuccess + Http("/ok") + kCrLf + Closing(1));
}

TEST_F(Webmon, LfOnlyFilesAreOneLine) {
    WebTxt("30\n" + Http("/ok") + "\n");
    EXPECT_EQ(RunOnePass().out, Banner("30") + Closing(1));
    const std::string joined = Http("/ok") + "\n" + Http("/ok");
    WebTxt(joined);
    EXPECT_EQ(RunOnePass().out, Banner("60") + kFaild + joined + kCrLf + Closing(1));
}

TEST_F(Webmon, EmptyLinesAreReportedInTheirPlace) {
    WebTxt("30\r\n" + Http("/ok") + "\r\n\r\n" + Http("/ok") + "\r\n\r\n");
    ChildResult r = RunOnePass();
    EXPECT_EQ(r.out, Banner("30") + kSuccess + Http("/ok") + kCrLf + kEmptyLine + kSuccess +
                         Http("/ok") + kCrLf + kEmptyLine + Closing(1));
}

TEST_F(Webmon, AddressesAreRequestedExactlyAsWritten) {
    WebTxt("30\r\n " + Http("/ok") + "\r\n");
    EXPECT_EQ(RunOnePass().out, Banner("30") + kFaild + " " + Http("/ok") + kCrLf + Closing(1));
}

TEST_F(Webmon, PassesAreNumberedAndWaitThePeriod) {
    WebTxt("3\r\n" + Http("/ok") + "\r\n");
    const std::string pass = kSuccess + Http("/ok") + kCrLf;
    // Before the period has passed there is one pass; after it, the second.
    EXPECT_EQ(Run("", 1.5).out, Banner("3") + pass + Closing(1));
    EXPECT_EQ(Run("", 4.5).out, Banner("3") + pass + Closing(1) + pass + Closing(2));
}

TEST_F(Webmon, AHugePeriodWaitsInsteadOfWrappingToZero) {
    WebTxt("2147484\r\n");
    ChildResult r = Run("", kOnePass);
    EXPECT_EQ(r.out, Banner("2147484") + Closing(1));
    WebTxt("4294968\r\n");  // would wrap to a wait of 704 ms
    r = Run("", kOnePass);
    EXPECT_EQ(r.out, Banner("4294968") + Closing(1));
}

TEST_F(Webmon, UsageForEveryInputLineWhileMonitoring) {
    WebTxt("30\r\n");
    ChildResult r = RunOnePass("one\n\nthree\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Count(r.out, kUsage), 3);
    EXPECT_EQ(r.out.rfind(Banner("30"), 0), 0u);
    EXPECT_EQ(Count(r.out, Closing(1)), 1);
}

TEST_F(Webmon, ALongInputLineComesInPieces) {
    ChildResult r = Run(std::string(3000, 'x') + "\n");
    EXPECT_EQ(r.out, kEmptyFile + kUsage + kUsage);
}

TEST_F(Webmon, EndOfInputDuringARequestEndsAtOnce) {
    WebTxt("30\r\n" + Http("/silent?seconds=10") + "\r\n");
    ChildResult r = Run("", 1.0);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_LT(r.seconds, 5.0);
    EXPECT_EQ(r.out, Banner("30"));
}

// The process's edges: no standard input at all (on Linux the next file or socket opened would
// take descriptor 0, were it not held on the null device from the start: a library's
// configuration or a connection read as typed lines; on Windows a null handle), and, set by
// prlimit on Linux, no thread to spare for the worker (a fatal end, never
// a run that watches nothing) and a file-size limit on the output file (a write failure like
// any other, not the end by SIGXFSZ). Windows has no limit of either kind to set so.
TEST_F(Webmon, TheProcessesEdgesEndItSoundly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool kSanitized = true;  // a sanitizer maps far more than a small address space
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    constexpr bool kSanitized = true;
#else
    constexpr bool kSanitized = false;
#endif
#else
    constexpr bool kSanitized = false;
#endif
    // 创建监控线程失败!
    const std::string noWorker =
        "\xB4\xB4\xBD\xA8\xBC\xE0\xBF\xD8\xCF\xDF\xB3\xCC\xCA\xA7\xB0\xDC!";
    // An https address too: its TLS library reads a configuration file at its start.
    WebTxt("1\r\n" + Http("/ok") + "\r\nhttps://" + testing_support::Env("WEBMON_HTTPS") +
           "/ok\r\n" + Closed() + "\r\n");
    std::string lines;
    for (int i = 0; i < 20; ++i) lines += "line\n";
    const struct {
        const char* name;
        const char* shell;  // null: webmon run itself; else the Linux shell that runs it as "$0"
                            // (prlimit's sizes in bytes: 28 MiB of address space, 1 KiB files)
        std::string input;
        int runs;
    } kRows[] = {
        {"standard input closed", nullptr, "", 30},  // before: 1 run in 12 read a file or hung
        {"no thread to spare", "exec prlimit --as=29360128 \"$0\"", "", kSanitized ? 0 : 1},
        {"a file-size limit of 1 KiB", "exec prlimit --fsize=1024 \"$0\"", lines, 1},
    };
    for (const auto& row : kRows) {
        if (row.shell && testing_support::kExeSuffix[0] != '\0') continue;  // Windows
        for (int run = 0; run < row.runs; ++run) {
            SCOPED_TRACE(std::string(row.name) + ", run " + std::to_string(run));
            ChildOptions options;
            options.input = row.input;
            options.inputClosed = !row.shell;
            options.env = {"LC_ALL=C"};
            options.timeoutSeconds = 15;
            ChildResult r =
                row.shell ? testing_support::RunChild("/bin/sh", {"-c", row.shell, exe_}, options)
                          : testing_support::RunChild(exe_, {}, options);
            ASSERT_FALSE(r.timedOut) << FirstBytes(r.out);
            if (std::string(row.name) == "no thread to spare") {
                EXPECT_EQ(r.exitCode, 255) << r.err;
                EXPECT_EQ(r.out, Banner("1"));
                EXPECT_NE(r.err.find(noWorker), std::string::npos) << r.err;
            } else if (std::string(row.name) == "standard input closed") {
                EXPECT_EQ(r.exitCode, 0) << r.err;
                EXPECT_EQ(r.out.rfind(Banner("1"), 0), 0u) << FirstBytes(r.out);
                EXPECT_EQ(Count(r.out, kUsage), 0) << "nothing read but the end of input";
            } else {
                EXPECT_EQ(r.exitCode, 0) << "no SIGXFSZ: " << r.err;
                // Every byte up to the limit: the texts whole, but for the one the limit cuts.
                ASSERT_EQ(r.out.size(), 1024u) << FirstBytes(r.out);
                ASSERT_EQ(r.out.rfind(Banner("1"), 0), 0u) << FirstBytes(r.out);
                std::size_t at = Banner("1").size();
                while (at < r.out.size()) {
                    if (r.out.compare(at, kUsage.size(), kUsage) == 0) {
                        at += kUsage.size();
                        continue;
                    }
                    if (kUsage.rfind(r.out.substr(at), 0) == 0) break;  // the usage text, cut
                    const std::size_t end = r.out.find(kCrLf, at);
                    if (end == std::string::npos) break;  // the last text, cut by the limit
                    const std::string line = r.out.substr(at, end - at);
                    EXPECT_TRUE(line.rfind(kSuccess, 0) == 0 || line.rfind(kFaild, 0) == 0 ||
                                line.rfind("Mission accomplished,", 0) == 0)
                        << "a whole line of the worker's: " << FirstBytes(line);
                    at = end + kCrLf.size();
                }
                const std::string rest = r.out.substr(at);
                EXPECT_TRUE(kUsage.rfind(rest, 0) == 0 || rest.find(kCrLf) == std::string::npos)
                    << FirstBytes(rest);
            }
        }
    }
}

// What the limits count, two webmons side by side (each takes about a minute): a page that
// takes 50 s at 3,000 bytes a second, never silent for the 30 s receive time-out though one
// block of it (100 KB) takes 34 s to arrive, is a success; an https host that accepts and never
// answers the handshake fails at the 60 s connect limit, not at the 300 s deadline.
TEST_F(Webmon, ALivePageSucceedsAndASilentHandshakeFailsAtTheConnectLimit) {
    const std::string silent = "https://" + Env("WEBMON_SILENT") + "/";
    const std::string other = testing_support::MakeTempDir();
    const std::string otherExe =
        (std::filesystem::path(other) / std::filesystem::path(exe_).filename()).string();
    std::filesystem::copy_file(exe_, otherExe);
    testing_support::WriteFile(other + "/web.txt", "600\r\n" + silent + "\r\n");
    const std::string slow = Http("/slow?n=150000&rate=3000");
    WebTxt("300\r\n" + slow + "\r\n");  // before the other webmon starts: it holds no file of ours
    // Each input ends once its pass is over (at the latest after 110 s): what is timed is the
    // line, against the limit, not the run, so that a loaded machine (the test command runs
    // suites side by side) delays no end past a fixed moment.
    ChildResult handshake;
    std::thread beside([&] {
        ChildOptions options;
        options.closeInputAfter = 110;
        options.watch = {Banner("600"), Closing(1)};
        options.closeInputOnceSeen = true;
        options.timeoutSeconds = 150;
        options.env.push_back("LC_ALL=C");
        handshake = testing_support::RunChild(otherExe, {}, options);
    });

    ChildOptions options;
    options.watch = {Closing(1)};
    options.closeInputOnceSeen = true;
    options.timeoutSeconds = 150;
    ChildResult r = Run("", 110, options);
    beside.join();
    testing_support::RemoveTree(other);
    EXPECT_EQ(r.out, Banner("300") + kSuccess + slow + kCrLf + Closing(1));
    EXPECT_EQ(handshake.out, Banner("600") + kFaild + silent + kCrLf + Closing(1));
    // The connect limit counts from the request, which starts as the banner is out: the line
    // comes 60 s after it, never before (a second for the polling), and late only by what
    // the machine's load adds.
    ASSERT_EQ(handshake.seenAt.size(), 2u);
    const double failedAfter = handshake.seenAt[1] - handshake.seenAt[0];
    EXPECT_GE(failedAfter, 59.0);
    EXPECT_LE(failedAfter, 80.0);
    std::printf("the silent handshake failed %.1f s after the banner\n", failedAfter);
}

// A folder whose path is longer than the 260 bytes of a classic path buffer. On Windows its
// names are Chinese, two bytes a character in GBK, so that the path is still short in the
// characters that Windows counts and runs programs from.
TEST_F(Webmon, WebTxtBesideTheExecutableInAFolderPastTwoHundredSixtyBytes) {
#ifdef _WIN32
    if (::GetACP() != 936) GTEST_SKIP() << "needs the GBK code page: monitor_gbk_path_test";
    std::string name;
    for (int i = 0; i < 15; ++i) name += "\xBC\xE0\xBF\xD8";  // GBK
    const std::string sep = "\\";
#else
    std::string name;
    for (int i = 0; i < 10; ++i) name += "监控";  // UTF-8
    const std::string sep = "/";
#endif
    std::string deep = dir_;
    while (deep.size() <= 300) {
        deep += sep + name;
#ifdef _WIN32
        ASSERT_TRUE(::CreateDirectoryA(deep.c_str(), nullptr)) << ::GetLastError();
#else
        ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
#endif
    }
    const std::string exe = deep + sep + std::filesystem::path(exe_).filename().string();
    ASSERT_EQ(std::rename(exe_.c_str(), exe.c_str()), 0);
    exe_ = exe;
    testing_support::WriteFile(deep + sep + "web.txt", "30\r\n");
    ChildOptions options;
#ifdef _WIN32
    options.env = {"LC_ALL=" + Env("LC_ALL")};  // wine's code page comes with the locale
#endif
    ChildResult r = Run("", 1.0, options);
    EXPECT_EQ(r.out, Banner("30") + Closing(1)) << r.err << " exit " << r.exitCode;
}

// A folder whose name holds a letter that the ANSI code page lacks ('ā', which code page 1252
// best-fits to 'a') beside the folder of that best fit: webmon reads its own folder's list.
TEST_F(Webmon, WebTxtOfItsOwnFolderWhoseNameIsOutsideTheCodePage) {
    namespace fs = std::filesystem;
    const fs::path own = fs::path(dir_) / fs::path(u8"\u0101"), beside = fs::path(dir_) / "a";
    std::error_code made;
    fs::create_directory(own, made);
    if (made) GTEST_SKIP() << "this locale cannot name the folder: monitor_ansi_path_test";
    fs::create_directory(beside);
    const fs::path exe = own / fs::path(exe_).filename();
    fs::copy_file(exe_, exe);
    std::ofstream(own / "web.txt", std::ios::binary) << "7\r\n";
    std::ofstream(beside / "web.txt", std::ios::binary) << "9\r\n";
    ChildOptions options;
#ifdef _WIN32
    options.wideProgram = exe.wstring();
    options.env = {"LC_ALL=C.UTF-8"};  // wine's code page, and its names of files, by the locale
#else
    exe_ = exe.string();
#endif
    ChildResult r = Run("", 1.0, options);
    EXPECT_EQ(r.out, Banner("7") + Closing(1)) << r.err << " exit " << r.exitCode;
}

#ifdef _WIN32
// The top-level windows of the processes whose image is exe, and whether such a process has
// the hidden owner window among the message-only ones.
struct WindowsOf {
    std::vector<HWND> topLevel;
    bool messageOnlyOwner = false;
};

bool RunsImage(HWND window, const std::string& exe) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return false;
    char image[4096];
    DWORD size = sizeof image;
    const bool ok = ::QueryFullProcessImageNameA(process, 0, image, &size) != 0;
    ::CloseHandle(process);
    return ok && _stricmp(image, exe.c_str()) == 0;
}

struct Search {
    const std::string* exe;
    WindowsOf found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    if (RunsImage(window, *s->exe)) s->found.topLevel.push_back(window);
    return TRUE;
}

WindowsOf FindWindowsOf(const std::string& exe) {
    Search search{&exe, {}};
    ::EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    for (HWND w = nullptr; (w = ::FindWindowExA(HWND_MESSAGE, w, "_QX_HideOwner", nullptr));) {
        if (RunsImage(w, exe)) search.found.messageOnlyOwner = true;
    }
    return search.found;
}

// On a desktop, a broadcast waits for every top-level window; webmon's main thread never
// retrieves messages, so it must have none (its owner window is message-only). Wine makes its
// windows only with a display: the suite runs under a virtual one.
TEST_F(Webmon, NoTopLevelWindowOfARunningWebmonLeavesAMessageUnanswered) {
    WebTxt("30\r\n");
    WindowsOf seen;
    std::vector<HWND> unanswered;
    std::thread probe([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        const std::string exe = std::filesystem::absolute(exe_).string();
        do {  // until webmon has made its first window (wine starts a process slowly)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            seen = FindWindowsOf(exe);
        } while (!seen.messageOnlyOwner && seen.topLevel.empty() &&
                 std::chrono::steady_clock::now() < until);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // and the ones after it
        const bool owner = seen.messageOnlyOwner;
        seen = FindWindowsOf(exe);
        seen.messageOnlyOwner = seen.messageOnlyOwner || owner;
        for (HWND window : seen.topLevel) {
            DWORD_PTR answer = 0;
            if (!::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &answer)) {
                unanswered.push_back(window);
            }
        }
    });
    ChildResult r = Run("", 10.0);
    probe.join();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(seen.messageOnlyOwner) << "the owner window, message-only, while webmon ran";
    EXPECT_EQ(unanswered.size(), 0u) << "of " << seen.topLevel.size() << " top-level windows";
}
#endif

#ifndef _WIN32
TEST_F(Webmon, Utf8ConsoleInAUtf8Locale) {
    WebTxt("30\r\n");
    ChildOptions options;
    options.env = {"LC_ALL=C.UTF-8"};
    options.input = "中文\n";
    options.closeInputAfter = 1.0;
    ChildResult r = testing_support::RunChild(exe_, {}, options);
    EXPECT_EQ(r.out.rfind("本程序开始运行(运行周期30s)，本程序详细说明可按任意键回车进入\r\n", 0),
              0u)
        << r.out;
    EXPECT_NE(
        r.out.find("修改web.txt重启本程序即可自动监控网站，成功显示Success,失败显示Faild！\r\n"),
        std::string::npos);
    EXPECT_NE(r.out.find("Mission accomplished,1\r\n"), std::string::npos);
}

TEST_F(Webmon, WebTxtBesideTheRealExecutableFromAnotherFolderAndThroughALink) {
    namespace fs = std::filesystem;
    const fs::path chinese = fs::path(dir_) / "监控";
    fs::create_directory(chinese);
    fs::rename(exe_, chinese / "webmon");
    testing_support::WriteFile((chinese / "web.txt").string(), "30\r\n");
    fs::create_symlink(chinese / "webmon", fs::path(dir_) / "link");
    ChildOptions options;
    options.env = {"LC_ALL=C"};
    options.closeInputAfter = 1.0;
    options.workDir = "/";
    ChildResult r = testing_support::RunChild(dir_ + "/link", {}, options);
    EXPECT_EQ(r.out, Banner("30") + Closing(1));
}
#endif

#ifndef _WIN32
// ASCII text as UTF-16, as Notepad saves "Unicode": little-endian with its byte order mark,
// or without it, or big-endian.
std::string Utf16(const std::string& ascii, bool bigEndian, bool mark) {
    std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char c : ascii) out += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
    return out;
}

// As the list check shows a line: printable ASCII, other bytes (and '\') as \xHH.
std::string Escaped(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
        }
    }
    return out;
}

// The command a warning gives to fix the list ("To fix: ..." and the like), or "".
std::string FixGiven(const std::string& err) {
    for (const std::string lead : {"To fix: ", "To remove the zero bytes: ", "To convert it: "}) {
        const std::size_t at = err.find(lead);
        if (at == std::string::npos) continue;
        const std::size_t from = at + lead.size();
        return err.substr(from, err.find('\n', from) - from);
    }
    return "";
}

// webmon's one pass as the list check's --show writes it: "period P", then a line each
// ("request" for a success, "refuse" for a failure, "empty"), or "empty" for an empty list.
std::string PassAsShown(const std::string& out) {
    if (out.rfind(kEmptyFile, 0) == 0) return "empty\n";
    if (out.rfind(kBanner1, 0) != 0) return "no banner: " + FirstBytes(out);
    std::size_t at = out.find(kBanner2);
    if (at == std::string::npos) return "no banner: " + FirstBytes(out);
    std::string shown = "period " + out.substr(kBanner1.size(), at - kBanner1.size()) + "\n";
    at += kBanner2.size();
    while (at < out.size() && out.compare(at, Closing(1).size(), Closing(1)) != 0) {
        const std::size_t end = out.find(kCrLf, at);
        if (end == std::string::npos) return shown + "cut: " + FirstBytes(out.substr(at));
        const std::string line = out.substr(at, end - at);
        if (line + kCrLf == kEmptyLine) {
            shown += "empty\n";
        } else if (line.rfind(kSuccess, 0) == 0) {
            shown += "request " + Escaped(line.substr(kSuccess.size())) + "\n";
        } else if (line.rfind(kFaild, 0) == 0) {
            shown += "refuse " + Escaped(line.substr(kFaild.size())) + "\n";
        } else {
            return shown + "unknown: " + FirstBytes(line);
        }
        at = end + 2;
    }
    return shown;
}

// The list check (webmon-check-list, the service's before each start) against webmon itself, on
// the same files: its period and its lines, requested, refused or empty, are webmon's pass
// (every address a row requests is a live page, so that webmon's success is the check's
// "request"); each list that webmon reads as less than was written gets a warning naming the
// file and the cause, and a good one none.
TEST_F(Webmon, TheListCheckReadsEveryListAsWebmonDoes) {
    const std::string ok = Http("/ok");
    const std::string port = Env("WEBMON_CLOSED");  // "127.0.0.1:PORT"
    struct Row {
        std::string bytes;
        std::vector<std::string> warned;  // parts of the warnings, in order; none: no warning
    };
    const std::string utf16 = "5\r\n" + ok + "\r\n";
    const std::string mark = "\xEF\xBB\xBF";  // UTF-8's byte order mark
    const Row rows[] = {
        {"30\r\n" + ok + "\r\n" + ok + "\r\n", {}},
        {mark + "30\r\n" + ok + "\r\n", {}},
        {mark + ok + "\r\n", {}},
        {ok, {}},
        {"30\r\n\r\n" + ok + "\r\n\r\n", {}},
        {"  30\r\n" + ok + "\r\n", {}},
        {"+30\r\n" + ok + "\r\n", {}},
        {"\xA3\xB3\xA3\xB0\r\n" + ok + "\r\n", {}},                  // full-width 30
        {"\xA3\xB1\xA3\xB2\xA1\xA1\xA3\xB3\r\n" + ok + "\r\n", {}},  // "１２　３": 12
        {"30abc\r\n" + ok + "\r\n", {}},
        // A period that is no whole number above 0: said as such, not as an address.
        {"-30\r\n" + ok + "\r\n",
         {"line 1: the period \"-30\" is no whole number", "reads it as an address"}},
        {"\xA3\xAD\xA3\xB1\xA3\xB2\r\n" + ok + "\r\n",  // "－１２": -12, an address
         {"line 1: the period \"\\xa3\\xad", "reads it as an address", "waits 60 s"}},
        {" 0.5 \r\n" + ok + "\r\n", {"the period \" 0.5 \" is no whole number"}},
        {"1.5\r\n" + ok + "\r\n", {"the period \"1.5\" is no whole number", "waits 1 s"}},
        {"0.0.0.0:1/\r\n" + ok + "\r\n",
         {"line 1: webmon never requests \"0.0.0.0:1/\": it has no scheme"}},
        {Utf16(utf16, false, true),
         {"is UTF-16 text", "\"\\xff\\xfe5\"", "iconv -f UTF-16 -t GBK"}},
        {Utf16(utf16, false, false), {"is UTF-16LE text", "iconv -f UTF-16LE -t GBK"}},
        {Utf16(utf16, true, true), {"is UTF-16 text", "iconv -f UTF-16 -t GBK"}},
        {Utf16(utf16, true, false), {"is UTF-16BE text", "nothing at all"}},
        {"30\n" + ok + "\n",
         {"2 line(s)", "end with LF alone", "its period 30 s, and no address",
          "sed -i -e 's/\\r*$/\\r/' -e '$a\\'"}},
        {ok + "\n" + ok, {"end with LF alone", "as one address (\"" + ok + "\\x0a"}},
        {"30\r\n" + ok + "\n" + ok + "\r\n" + ok + "\r\n", {"each run of such lines as one line"}},
        {"30\r\n" + ok + "\r\n" + ok + std::string(1, '\0') + "x\r\n" + ok + "\r\n",
         {"holds a zero byte at byte", "on line 3 of 4",
          "line 3 is cut there and the 1 line(s) after", "sed -i 's/\\x00//g'"}},
        {std::string(1, '\0') + "30\r\n" + ok + "\r\n", {"starts with a zero byte"}},
        {"30\r\n" + port + "/\r\nexample.invalid\r\n" + ok + "\r\n",
         {"line 2: webmon never requests \"" + port + "/\": it has no scheme",
          "write http://" + port + "/",
          "line 3: webmon never requests \"example.invalid\": it has no scheme"}},
        {"30\r\nftp://" + port + "/\r\nmailto:a@b.example\r\n",
         {"line 2", "its scheme ftp: is not one webmon fetches", "line 3",
          "its scheme mailto: is not one webmon fetches"}},
        {"30\r\n " + ok + "\r\n", {"line 2", "it starts with a blank"}},
        // http or https with no host: never requested, whatever the connection would say.
        {"30\r\nhttp:/" + ok.substr(7) + "\r\nhttp:///ok\r\n" + ok + "\r\n",
         {"line 2: webmon never requests \"http:/", "it names no host",
          "line 3: webmon never requests \"http:///ok\": it names no host"}},
        {"30\r\n" + ok + "\r" + ok + "\r\n", {"line 2", "it holds a CR that ends no line"}},
        {"30\r\n", {"holds no address"}},
        {"30\r\n\r\n\r\n", {"holds no address"}},
    };
    const std::string list = dir_ + "/web.txt";
    for (const Row& row : rows) {
        WebTxt(row.bytes);
        ChildOptions onePass;  // ends once the pass has, or after kOnePass (an empty list)
        onePass.watch = {Closing(1)};
        onePass.closeInputOnceSeen = true;
        const std::string pass = PassAsShown(Run("", kOnePass, onePass).out);
        ChildOptions options;
        options.env = {"LC_ALL=C"};
        ChildResult check =
            testing_support::RunChild(WEBMON_CHECK_LIST_EXE, {"--show", list}, options);
        SCOPED_TRACE(FirstBytes(row.bytes));
        EXPECT_EQ(check.exitCode, row.warned.empty() ? 0 : 1);
        std::string shown;  // without the check's line numbers
        for (std::size_t at = 0; at < check.out.size();) {
            std::size_t end = check.out.find('\n', at);
            std::string line = check.out.substr(at, end - at);
            if (line.rfind("line ", 0) == 0) line.erase(0, line.find(' ', 5) + 1);
            shown += line + "\n";
            at = end == std::string::npos ? check.out.size() : end + 1;
        }
        EXPECT_EQ(shown, pass);
        if (row.warned.empty()) {
            EXPECT_EQ(check.err, "");
            continue;
        }
        std::size_t at = 0;
        for (const std::string& part : row.warned) {
            at = check.err.find(part, at);
            ASSERT_NE(at, std::string::npos) << "no \"" << part << "\" in:\n" << check.err;
        }
        EXPECT_NE(check.err.find("the list " + list), std::string::npos) << check.err;
        // The fix a warning gives, run as written, leaves a list the check says nothing of.
        const std::string command = FixGiven(check.err);
        if (command.empty()) continue;
        WebTxt(row.bytes);
        ChildResult fixed = testing_support::RunChild("/bin/sh", {"-c", command}, options);
        EXPECT_EQ(fixed.exitCode, 0) << command << ": " << fixed.err;
        EXPECT_EQ(testing_support::RunChild(WEBMON_CHECK_LIST_EXE, {list}, options).err, "")
            << command;
    }
}

// What is in the way of reading a list is said with its reason; the name it is known by is the
// one the warnings give; a command line it does not take is refused.
TEST_F(Webmon, TheListCheckSaysWhyAListCannotBeRead) {
    namespace fs = std::filesystem;
    const std::string list = dir_ + "/web.txt";
    auto check = [](std::vector<std::string> args) {
        ChildOptions options;
        options.env = {"LC_ALL=C"};
        return testing_support::RunChild(WEBMON_CHECK_LIST_EXE, args, options);
    };
    ChildResult r = check({list});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "webmon: the list " + list +
                         " does not exist: webmon requests nothing. "
                         "An example: /usr/share/doc/webmon/examples/web.txt\n");
    fs::create_symlink(dir_ + "/gone.txt", list);
    r = check({list});
    // (The tests' folders are in /tmp, which a service does not share.)
    const std::string own = dir_.rfind("/tmp/", 0) == 0
                                ? " (for the service, /tmp and /var/tmp are its own: keep the "
                                  "list elsewhere)"
                                : "";
    EXPECT_EQ(r.err, "webmon: the list " + list + " is a link to " + dir_ +
                         "/gone.txt, which does not exist" + own + ": webmon requests nothing\n");
    fs::remove(list);
    WebTxt("");
    EXPECT_EQ(check({list}).err, "webmon: the list " + list +
                                     " is empty: webmon requests nothing until an address is "
                                     "written in it\n");
    // The administrator's name for a copy handed over, and a link followed to its file.
    WebTxt("30\r\n");
    EXPECT_EQ(check({list, "/etc/webmon/web.txt"}).err,
              "webmon: the list /etc/webmon/web.txt holds no address: webmon requests nothing "
              "until one is written in it\n");
    fs::create_symlink(list, dir_ + "/link.txt");
    EXPECT_NE(check({dir_ + "/link.txt"}).err.find("the list " + list + " holds no address"),
              std::string::npos);
    // A folder whose name holds a backslash: its list is the one read, not one a folder deeper.
    fs::create_directories(dir_ + "/a\\b");
    fs::create_directories(dir_ + "/a/b");
    fs::copy_file(list, dir_ + "/a\\b/web.txt");
    EXPECT_EQ(check({dir_ + "/a\\b/web.txt"}).err,
              "webmon: the list " + dir_ +
                  "/a\\b/web.txt holds no address: webmon requests nothing until one is written "
                  "in it\n");
    // A folder whose name holds a blank (an instance "my shop"): each fix is given so that it
    // runs as written, and the check then says nothing.
    const std::string shop = dir_ + "/my shop's/web.txt";
    fs::create_directories(dir_ + "/my shop's");
    for (const std::string& bytes : {std::string("30\nhttp://127.0.0.1/a\n"),
                                     std::string("30\r\nhttp://127.0.0.1/a\0\r\n", 25),
                                     Utf16("30\r\nhttp://127.0.0.1/a\r\n", false, true)}) {
        testing_support::WriteFile(shop, bytes);
        const std::string command = FixGiven(check({shop}).err);
        ChildResult fixed = testing_support::RunChild("/bin/sh", {"-c", command}, {});
        EXPECT_EQ(fixed.exitCode, 0) << command << ": " << fixed.err;
        EXPECT_EQ(check({shop}).err, "") << command;
    }
    // A list above 64 MiB is not read (sparse files: they cost no room); one of 64 MiB is.
    fs::copy_file(list, dir_ + "/huge.txt");
    for (std::uintmax_t size : {(std::uintmax_t{1} << 31) - 129, (std::uintmax_t{64} << 20) + 1}) {
        fs::resize_file(dir_ + "/huge.txt", size);
        r = check({"--show", dir_ + "/huge.txt"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "empty\n");
        EXPECT_EQ(r.err, "webmon: the list " + dir_ + "/huge.txt is " + std::to_string(size) +
                             " bytes, more than a list may be (64 MiB, 67108864 bytes): it is not "
                             "read here. The Debian package's service hands webmon an empty list "
                             "in its place, so webmon requests nothing; webmon started from its "
                             "own folder reads it whole all the same. Keep the list under 64 "
                             "MiB\n");
    }
    fs::resize_file(dir_ + "/huge.txt", std::uintmax_t{64} << 20);
    EXPECT_NE(check({dir_ + "/huge.txt"}).err.find("holds a zero byte at byte 4"),
              std::string::npos);
    fs::remove(dir_ + "/huge.txt");
    // A UTF-8 list whose line ends in a letter: its last byte and the CR are one GBK character
    // to webmon, which joins the line to the next. The fix given converts it; then all is said.
    const std::string utf8 = dir_ + "/utf8.txt";
    for (const std::string& mark : {std::string(), std::string("\xEF\xBB\xBF")}) {
        testing_support::WriteFile(utf8, mark + "http://a/\xE4\xB8\xAD\r\nhttp://a/ok\r\n");
        r = check({utf8});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("1 line(s) of the list " + utf8 +
                             " end in a letter whose last byte "
                             "webmon reads together with the CR"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("LF alone"), std::string::npos) << r.err;
        const std::string command = FixGiven(r.err);
        EXPECT_EQ(testing_support::RunChild("/bin/sh", {"-c", command}, {}).exitCode, 0);
        r = check({"--show", utf8});
        EXPECT_EQ(r.out,
                  "period 60\nline 1 request http://a/\\xd6\\xd0\nline 2 request http://a/ok\n");
        EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err;
    }
    // Hosts that are not ASCII (webmon sends their bytes and no name server knows them), in UTF-8
    // and in GBK, each with its xn-- form; one neither reads as text.
    testing_support::WriteFile(utf8,
                               "30\r\nhttp://\xE5\x95\x86\xE5\xBA\x97.cn/\r\n"
                               "https://B\xC3\xBC"
                               "cher.de:8443/a\r\n"
                               "http://\xC9\xCC\xB5\xEA.cn/\r\nhttp://\xFF\xFF/\r\n");
    r = check({utf8});
    EXPECT_EQ(r.exitCode, 1);
    std::size_t at = 0;
    for (const std::string part :
         {"line 2: the host of \"http://\\xe5", "xn-- form, xn--czrs0t.cn\n", "line 3",
          "xn-- form, xn--bcher-kva.de\n", "line 4", "xn-- form, xn--czrs0t.cn\n", "line 5",
          "xn-- form (IDNA)\n"}) {
        at = r.err.find(part, at);
        ASSERT_NE(at, std::string::npos) << part << " in " << r.err;
    }
    fs::create_directory(dir_ + "/folder");
    EXPECT_NE(check({dir_ + "/folder"}).err.find("is a folder, not a file"), std::string::npos);
    if (geteuid() != 0) {  // root reads whatever the mode
        fs::permissions(list, fs::perms::owner_write);
        r = check({list});
        EXPECT_NE(r.err.find("cannot be read by the service's user (uid " +
                             std::to_string(geteuid()) + "): Permission denied (--w-------, owner"),
                  std::string::npos)
            << r.err;
    }
    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{}, {"--show"}, {"-x", list}, {list, "a", "b"}}) {
        r = check(wrong);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, "usage: webmon-check-list [--show] FILE [NAME]\n");
    }
}
#endif

}  // namespace
}  // namespace webmon_test
