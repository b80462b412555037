// The built webmon, end to end: web.txt rules, result lines, passes, the console loop.
#include <string>

#include "tests/monitor/webmon_fixture.h"

namespace webmon_test {
namespace {

// Long enough for a pass over a few local addresses on a loaded machine (under sanitizers or
// wine), far shorter than the periods of the files that use it.
constexpr double kOnePass = 2.5;

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
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
    WebTxt(std::string("\0" "30\r\nhttp://x/\r\n", 14));
    EXPECT_EQ(Run("").out, kEmptyFile);
}

TEST_F(Webmon, OnePassWithPeriodLineSuccessAndFailure) {
    WebTxt("30\r\n" + Http("/ok") + "\r\n" + Closed() + "\r\n");
    ChildResult r = Run("", kOnePass);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, Banner("30") + kSuccess + Http("/ok") + kCrLf + kFaild + Closed() + kCrLf +
                         Closing(1));
}

TEST_F(Webmon, ResultLinesJudgeOnlyTheBody) {
    WebTxt("30\r\n" + Http("/notfound") + "\r\n" + Http("/empty") + "\r\n" + Http("/zeros") +
           "\r\n" + Http("/spaces") + "\r\n" + "ftp://" + Env("WEBMON_CLOSED") + "/\r\n");
    ChildResult r = Run("", kOnePass);
    EXPECT_EQ(r.out, Banner("30") + kSuccess + Http("/notfound") + kCrLf +  // an error page
                         kFaild + Http("/empty") + kCrLf +                    // an empty body
                         kFaild + Http("/zeros") + kCrLf +                    // a zero byte first
                         kSuccess + Http("/spaces") + kCrLf +                 // only spaces
                         kFaild + "ftp://" + Env("WEBMON_CLOSED") + "/" + kCrLf + Closing(1));
}

TEST_F(Webmon, OnlyThePeriodLine) {
    WebTxt("30");
    EXPECT_EQ(Run("", kOnePass).out, Banner("30") + Closing(1));
}

TEST_F(Webmon, FirstLineThatIsNoPositiveNumberIsAnAddress) {
    for (const std::string first : {"0", "-5", "abc"}) {
        WebTxt(first + "\r\n" + Http("/ok") + "\r\n");
        ChildResult r = Run("", kOnePass);
        EXPECT_EQ(r.out, Banner("60") + kFaild + first + kCrLf + kSuccess + Http("/ok") + kCrLf +
                             Closing(1)) << first;
    }
    WebTxt(Http("/ok") + "\r\n");
    EXPECT_EQ(Run("", kOnePass).out, Banner("60") + kSuccess + Http("/ok") + kCrLf + Closing(1));
}

TEST_F(Webmon, LeadingDigitsMakeAPeriod) {
    // A numeric host address on line 1 is read by its leading digits: 127 seconds.
    WebTxt(Env("WEBMON_HTTP") + "/ok\r\n" + Http("/ok") + "\r\n");
    EXPECT_EQ(Run("", kOnePass).out, Banner("127") + kSuccess + Http("/ok") + kCrLf + Closing(1));
}

TEST_F(Webmon, LfOnlyFilesAreOneLine) {
    WebTxt("30\n" + Http("/ok") + "\n");
    EXPECT_EQ(Run("", kOnePass).out, Banner("30") + Closing(1));
    const std::string joined = Http("/ok") + "\n" + Http("/ok");
    WebTxt(joined);
    EXPECT_EQ(Run("", kOnePass).out, Banner("60") + kFaild + joined + kCrLf + Closing(1));
}

TEST_F(Webmon, EmptyLinesAreReportedInTheirPlace) {
    WebTxt("30\r\n" + Http("/ok") + "\r\n\r\n" + Http("/ok") + "\r\n\r\n");
    ChildResult r = Run("", kOnePass);
    EXPECT_EQ(r.out, Banner("30") + kSuccess + Http("/ok") + kCrLf + kEmptyLine + kSuccess +
                         Http("/ok") + kCrLf + kEmptyLine + Closing(1));
}

TEST_F(Webmon, AddressesAreRequestedExactlyAsWritten) {
    WebTxt("30\r\n " + Http("/ok") + "\r\n");
    EXPECT_EQ(Run("", kOnePass).out, Banner("30") + kFaild + " " + Http("/ok") + kCrLf + Closing(1));
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
    ChildResult r = Run("one\n\nthree\n", kOnePass);
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

#ifndef _WIN32
TEST_F(Webmon, Utf8ConsoleInAUtf8Locale) {
    WebTxt("30\r\n");
    ChildOptions options;
    options.env = {"LC_ALL=C.UTF-8"};
    options.input = "中文\n";
    options.closeInputAfter = 1.0;
    ChildResult r = testing_support::RunChild(exe_, {}, options);
    EXPECT_EQ(r.out.rfind("本程序开始运行(运行周期30s)，本程序详细说明可按任意键回车进入\r\n", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("修改web.txt重启本程序即可自动监控网站，成功显示Success,失败显示Faild！\r\n"),
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

}  // namespace
}  // namespace webmon_test
