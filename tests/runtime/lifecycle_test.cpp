// The whole life of a program in a child process: start-up, commands through the service
// table, cleanup routines, library end messages, exit codes, fatal errors on either thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child.h"
#include "support/platform_facts.h"

namespace {

using namespace testing_support;

// GBK texts of the error box.
const std::string kBoxHead = "\xD4\xCB\xD0\xD0\xCA\xB1\xB3\xF6\xB4\xED!\r\n\r\n";
const std::string kCodePart = "\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB\xA3\xBA";
const std::string kTextPart = "\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xBA";
const std::string kCaption = "[\xB4\xED\xCE\xF3]";
const std::string kIndexBelowOne =
    "\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xD2\xFD\xD3\xC3\xCF\xC2\xB1\xEA\xB1\xD8\xD0\xEB\xB4\xF3"
    "\xD3\xDA\xB5\xC8\xD3\xDA"
    "1";

ChildResult RunProgram(const std::vector<std::string>& args, ChildOptions options = {}) {
    return RunChild(LIFECYCLE_PROGRAM, args, options);
}

TEST(Lifecycle, NormalLifeRunsCommandsCleanupsAndLibraryEndsOnceThenExitsZero) {
    ChildResult r = RunProgram({"life"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              "library start\n"
              "entry\n"
              "twice 42 tag 0\n"
              "greeting hello\n"
              "nothing 0 0\n"
              "constant words\n"
              "directory set yes\n"
              "cleanup A\n"  // registration order, the duplicate ignored
              "cleanup B\n"
              "library end 0\n"  // after the cleanups; the silent library gets nothing
              "exit step 0\n"
              "second shutdown done\n");  // the second shutdown repeats nothing
    EXPECT_EQ(r.err, "");
}

TEST(Lifecycle, RuntimeErrorOnMainThreadShowsCodeAndMessageSkipsCleanupAndExitsMinusOne) {
    ChildResult r = RunProgram({"error-main", "4"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, kExitMinusOne);
    EXPECT_EQ(r.err,
              kCaption + kBoxHead + kCodePart + "4\r\n\r\n" + kTextPart + kIndexBelowOne + "\r\n");
    // Cleanup routines are discarded; the libraries are still told of the end.
    EXPECT_EQ(r.out, "library start\nentry\nlibrary end 0\n");
}

TEST(Lifecycle, UnknownErrorCodeShowsTheBareBox) {
    ChildResult r = RunProgram({"error-main", "12"});
    EXPECT_EQ(r.exitCode, kExitMinusOne);
    EXPECT_EQ(r.err, kCaption + kBoxHead);
}

TEST(Lifecycle, LibraryFatalErrorHasNoCodePart) {
    ChildResult r = RunProgram({"fatal-text"});
    EXPECT_EQ(r.exitCode, kExitMinusOne);
    EXPECT_EQ(r.err, kCaption + kBoxHead + kTextPart + "library says no\r\n");
}

TEST(Lifecycle, ExhaustedHeapReportsTheSizeAndEnds) {
    ChildResult r = RunProgram({"alloc-fail"});
    EXPECT_EQ(r.exitCode, kExitMinusOne);
    // 分配 -1 字节内存失败!
    EXPECT_EQ(r.err, kCaption + kBoxHead + kTextPart +
                         "\xB7\xD6\xC5\xE4 -1 \xD7\xD6\xBD\xDA\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC!"
                         "\r\n");
}

TEST(Lifecycle, AContainerThatCannotGrowEndsLikeTheServicesWithTheSizeAskedFor) {
    ChildOptions options;
    options.env = {"ASAN_OPTIONS=allocator_may_return_null=1"};  // else the sanitizer ends it
    ChildResult r = RunProgram({"container-fail"}, options);
    EXPECT_EQ(r.exitCode, kExitMinusOne);
    const std::string size = std::to_string(std::vector<char>().max_size());
    // 分配 <size> 字节内存失败! (After the address sanitizer's own warnings, in that build.)
    const std::string box = kCaption + kBoxHead + kTextPart + "\xB7\xD6\xC5\xE4 " + size +
                            " \xD7\xD6\xBD\xDA\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC!\r\n";
    ASSERT_GE(r.err.size(), box.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - box.size()), box);
    EXPECT_EQ(r.out, "library start\nentry\nnothrow null\nlibrary end 0\n");
}

TEST(Lifecycle, ExitServiceRunsShutdownAndEndsWithItsCode) {
    ChildResult r = RunProgram({"exit", "7"});
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.out, "library start\nentry\ncleanup A\ncleanup B\nlibrary end 0\n");
}

TEST(Lifecycle, RuntimeErrorOnAWorkerEndsTheProcessWhileMainBlocksOnInput) {
    ChildOptions options;
    options.holdInputOpen = true;
    options.timeoutSeconds = 15;
    ChildResult r = RunProgram({"error-worker", "1"}, options);
    ASSERT_FALSE(r.timedOut) << "the process waited for the main thread";
    EXPECT_EQ(r.exitCode, kExitMinusOne);
    EXPECT_LT(r.seconds, 5.0);
    EXPECT_NE(r.err.find(kCodePart + "1\r\n"), std::string::npos);
    EXPECT_EQ(r.out.find("cleanup"), std::string::npos);
    EXPECT_EQ(r.out.find("input ended"), std::string::npos);
}

TEST(Lifecycle, TheInputsEndWhileAWorkersBoxIsUpIsTheFatalEnd) {
    ChildOptions options;
    // The box stays up 2 s; the input ends once it is up, however slowly the process started.
    options.watch = {"box up"};
    options.closeInputOnceSeen = true;
    options.closeInputAfter = 10;
    ChildResult r = RunProgram({"error-worker-input-ends", "1"}, options);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, kExitMinusOne) << r.out;
    EXPECT_NE(r.err.find(kCodePart + "1\r\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("cleanup"), std::string::npos) << r.out;
    ASSERT_GE(r.seenAt[0], 0) << r.out;
    EXPECT_LT(r.seconds - r.seenAt[0], 5.0);
}

// Every way out gives the console back as the user had it, also the ways that pass by the
// runtime: an exception that nobody catches (the C++ library's report, then abort) on either
// thread, abort, and a fatal error on another thread; each while the console is held (a key
// read waits on the other thread: on Linux that turns the terminal's echo and line editing
// off, on Windows QuickEdit is off the whole time).
struct WayOut {
    const char* mode;
    const char* said;  // on standard error, before the end
};
const WayOut kWaysOut[] = {
    {"throw-main", "nobody catches this"},
    {"throw-worker", "nobody catches this"},
    {"abort-worker", ""},
    {"error-key", "\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB\xA3\xBA"},  // 错误代码：
};

#ifdef _WIN32
TEST(Lifecycle, EveryWayOutGivesTheUserTheirConsoleModeBack) {
    ::FreeConsole();
    ASSERT_TRUE(::AllocConsole()) << ::GetLastError();
    const HANDLE input =
        ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(input, INVALID_HANDLE_VALUE);
    const DWORD userMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                           ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS;
    for (const WayOut& way : kWaysOut) {
        SCOPED_TRACE(way.mode);
        ASSERT_TRUE(::SetConsoleMode(input, userMode));
        ChildResult r = RunProgram({way.mode});
        ASSERT_FALSE(r.timedOut);
        // abort's end: code 3, the C runtime's; a fatal error's: -1.
        EXPECT_EQ(r.exitCode, std::string(way.mode) == "error-key" ? kExitMinusOne : 3);
        EXPECT_NE(r.err.find(way.said), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("key read"), std::string::npos);
        DWORD mode = 0;
        ::GetConsoleMode(input, &mode);
        EXPECT_EQ(mode & ENABLE_QUICK_EDIT_MODE, static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE))
            << "the user's mode given back";
    }
    ::CloseHandle(input);
}
#else
TEST(Lifecycle, EveryWayOutGivesTheUserTheirTerminalModeBack) {
    struct Row {
        WayOut way;
        const char* typed;  // hex, typed at 0.5 s
        const char* end;    // as pty_run.py tells it
    };
    std::vector<Row> rows;
    for (const WayOut& way : kWaysOut) {
        // abort's end: SIGABRT; a fatal error's: -1.
        rows.push_back(
            {way, "", std::string(way.mode) == "error-key" ? "[exit 255 " : "[exit -6 "});
    }
    // Linux's own: Ctrl+C typed (SIGINT) while the key read waits, and a worker's crash (SIGSEGV;
    // a sanitizer's build reports and ends it its own way).
    rows.push_back({{"key", ""}, "03", "[exit -2 "});
    rows.push_back({{"crash-worker", ""}, "", "[exit "});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.way.mode);
        ChildResult r = RunChild(
            WEBMON_PYTHON,
            {WEBMON_FIXTURES "/pty_run.py", "--modes", row.typed, LIFECYCLE_PROGRAM, row.way.mode},
            {});
        ASSERT_FALSE(r.timedOut);
        EXPECT_NE(r.out.find(row.end), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" echo 1 icanon 1]"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(row.way.said), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("key read"), std::string::npos) << r.out;
    }
}

TEST(Lifecycle, ErrorBoxGoesToStandardErrorOnLinux) {
    ChildOptions options;
    options.env = {"LC_ALL=C"};
    ChildResult r = RunProgram({"error-main-real", "1"}, options);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err.rfind(kBoxHead + kCodePart + "1\r\n\r\n" + kTextPart, 0), 0u) << r.err;
}

TEST(Lifecycle, ErrorBoxIsUtf8InAUtf8Locale) {
    ChildOptions options;
    options.env = {"LC_ALL=C.UTF-8"};
    ChildResult r = RunProgram({"error-main-real", "1"}, options);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.err.rfind("运行时出错!\r\n\r\n错误代码：1\r\n", 0), 0u) << r.err;
}
#endif

}  // namespace
