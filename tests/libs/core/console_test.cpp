// StandardOutput and StandardInput in a child process with redirected streams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child.h"

namespace {

using namespace testing_support;

ChildResult Console(const std::string& mode, ChildOptions options = {},
                    std::vector<std::string> more = {}) {
    options.env.push_back("LC_ALL=C");
    more.insert(more.begin(), mode);
    return RunChild(CONSOLE_PROGRAM, more, options);
}

TEST(StandardOutput, ValuesWholeWithoutSeparatorsAndDirectionTwoToStandardError) {
    ChildResult r = Console("output");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "a60b\r\nd0 d1 d3 d4\r\n0.1 \xD5\xE6\xBC\xD9|\r\n");
    EXPECT_EQ(r.err, "to error-5");
}

TEST(StandardInput, LinesTrimmedButNeverEmptiedAndEndOfInputEmptyEveryTime) {
    ChildOptions options;
    options.input = std::string("abc\n") + "ab\r\n" + "\t\n" + "\n" + "  x  \n" + "last";
    ChildResult r = Console("echo", options);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              "[abc] 616263\n"
              "[ab] 6162\n"
              "[\t] 09\n"
              "[\n] 0A\n"
              "[  x  ] 2020782020\n"
              "[last] 6C617374\n"
              "end null null\n");
}

// Lines read ahead reach a program that works between its reads, every one before the end.
TEST(StandardInput, EveryLineReachesAProgramThatWorksBetweenItsReads) {
    ChildOptions options;
    options.input = "a\nb\nc\n";
    ChildResult r = Console("echo", options, {"700"});  // 0.7 s of work after each line
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "[a] 61\n[b] 62\n[c] 63\nend null null\n");
}

TEST(StandardInput, ALongLineComesInTwoReads) {
    ChildOptions options;
    options.input = std::string(3000, 'q') + "\n";
    ChildResult r = Console("echo", options);
    const std::string first = "[" + std::string(2048, 'q') + "] ";
    const std::string second = "[" + std::string(952, 'q') + "] ";
    ASSERT_EQ(r.out.find(first), 0u);
    EXPECT_NE(r.out.find("\n" + second), std::string::npos);
    EXPECT_NE(r.out.find("end null null\n"), std::string::npos);
}

// The input ends only once the line is in the output: until then the program waits in its read,
// and the flush at its end has not come.
TEST(StandardOutput, ALineIsInARedirectedOutputBeforeTheProcessEnds) {
    ChildOptions options;
    options.watch = {"written before the end\r\n"};
    options.closeInputOnceSeen = true;
    options.closeInputAfter = 15;  // the latest: a line that only the end's flush writes
    ChildResult r = Console("hold", options);
    ASSERT_FALSE(r.timedOut);
    ASSERT_GE(r.seenAt[0], 0);
    EXPECT_LT(r.seenAt[0], options.closeInputAfter) << "the line came with the end's flush";
    EXPECT_EQ(r.out, "written before the end\r\n");
}

#ifndef _WIN32
TEST(ConsoleUtf8, GbkIsWrittenAsUtf8AndUtf8IsReadAsGbk) {
    ChildOptions options;
    options.env = {"LC_ALL=C.UTF-8"};
    options.input = "中文\n\xFF\xFE\n";  // the second line does not convert: bytes pass unchanged
    ChildResult r = RunChild(CONSOLE_PROGRAM, {"echo"}, options);
    EXPECT_EQ(r.out, "[中文] D6D0CEC4\n[\xFF\xFE] FFFE\nend null null\n");
}

// Standard output that is the journal's stream: each line begins with its priority, which the
// journal takes off (a failure's at warning, every other at info, also one that itself begins
// with "<", and the line a failure's text began), an address's password as ***; the same bytes
// anywhere else.
TEST(StandardOutput, EachLineInTheJournalCarriesItsPriorityAndNowhereElse) {
    ChildResult r = Console("journal");
    EXPECT_EQ(r.out,
              "<6>Success\xA3\xA1http://a/\r\n<4>Faild\xA3\xA1http://b/\r\n<6><3>x\n"
              "<6>lf\r\n<4>cut in three\r\n<4>Faild\xA3\xA1http://u:***@c/\r\n");
    ChildOptions options;
    options.input = "";
    r = Console("elsewhere", options);
    EXPECT_EQ(r.out,
              "Success\xA3\xA1http://a/\r\nFaild\xA3\xA1http://b/\r\n<3>x\nlf\r\n"
              "cut in three\r\nFaild\xA3\xA1http://u:secret@c/\r\n");
    options.env = {"JOURNAL_STREAM=not a stream"};
    r = Console("output", options);
    EXPECT_EQ(r.out.find('<'), std::string::npos) << r.out;
}

TEST(StandardInput, KeyReadWithoutEchoEndsAtEnter) {
    ChildResult r =
        RunChild(WEBMON_PYTHON, {WEBMON_FIXTURES "/pty_run.py", "61620d", CONSOLE_PROGRAM, "keys"});
    EXPECT_NE(r.out.find("keys [ab] 6162"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ab\r\nkeys"), std::string::npos) << "the keys are not echoed";
    r = RunChild(WEBMON_PYTHON, {WEBMON_FIXTURES "/pty_run.py", "0d", CONSOLE_PROGRAM, "keys"});
    EXPECT_NE(r.out.find("keys [] \r\n"), std::string::npos) << "Enter alone: the empty text";
    // After a line read, and before another: every key typed, none echoed, and the line read
    // after them gets the next line ("first", then "secret" as keys, then "last1").
    r = RunChild(WEBMON_PYTHON,
                 {WEBMON_FIXTURES "/pty_run.py", "66697273740d,7365637265740d,6c617374310d",
                  CONSOLE_PROGRAM, "linekeys"});
    EXPECT_NE(r.out.find("line1=[first]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("keys=[secret]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line2=[last1]"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("secret"), r.out.find("keys=[secret]") + 6) << "a key echoed: " << r.out;
}

TEST(StandardInput, KeyReadWithoutEchoStopsAtItsMostBytes) {
    std::string typed;
    for (int i = 0; i < 2100; ++i) typed += "61";  // 2100 keys and no Enter
    ChildResult r =
        RunChild(WEBMON_PYTHON, {WEBMON_FIXTURES "/pty_run.py", typed, CONSOLE_PROGRAM, "keys"});
    EXPECT_NE(r.out.find("keys [" + std::string(2049, 'a') + "] "), std::string::npos)
        << r.out.substr(0, 200);
}
#endif

}  // namespace
