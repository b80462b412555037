// GetRunDirectory and ReadFileBytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/platform.h"
#include "runtime/context.h"
#include "support/child.h"
#include "tests/libs/core/core_fixture.h"

namespace {

using namespace rt;
using namespace testing_support;
using core_test::Call;
using core_test::TakeText;

// The bytes ReadFileBytes returned, freed; "<empty>" for the empty byte set.
std::string Read(const std::string& path) {
    ArgInfo r = Call(core::ReadFileBytes, {TextArg(path.c_str())});
    void* bin = ArgPtr<void>(r);
    if (!bin) return "<empty>";
    EXPECT_EQ(ReadInt32(bin), 1);
    std::string bytes(reinterpret_cast<const char*>(BinBytes(bin)),
                      static_cast<std::size_t>(BinLength(bin)));
    SvcFree(bin);
    return bytes;
}

class Files : public ::testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir_); }
    std::string dir_;
};

TEST_F(Files, EmptyMissingDirectoryAndZeroLengthAllGiveTheEmptyByteSet) {
    EXPECT_EQ(Read(""), "<empty>");
    EXPECT_EQ(Read(dir_ + "/missing.txt"), "<empty>");
    EXPECT_EQ(Read(dir_), "<empty>");
    WriteFile(dir_ + "/zero.txt", "");
    EXPECT_EQ(Read(dir_ + "/zero.txt"), "<empty>");
}

TEST_F(Files, BytesComeBackExactly) {
    const std::string bytes("a\0b\r\n", 5);
    WriteFile(dir_ + "/five.txt", bytes);
    EXPECT_EQ(Read(dir_ + "/five.txt"), bytes);
    std::string big(300000, 'x');
    big[123456] = '\0';
    WriteFile(dir_ + "/big.txt", big);
    EXPECT_EQ(Read(dir_ + "/big.txt"), big);
}

TEST_F(Files, BackslashPathsAndRelativePathsFromTheCurrentDirectory) {
    WriteFile(dir_ + "/web.txt", "30\r\n");
    std::string windowsForm = dir_;
    for (char& c : windowsForm) {
        if (c == '/') c = '\\';
    }
    EXPECT_EQ(Read(windowsForm + "\\web.txt"), "30\r\n");
    const std::string saved = std::filesystem::current_path().string();
    ASSERT_TRUE(plat::SetCurrentDirectory(windowsForm.c_str()));
    EXPECT_EQ(Read("web.txt"), "30\r\n");
    std::filesystem::current_path(saved);
    EXPECT_FALSE(plat::SetCurrentDirectory(""));
}

#ifndef _WIN32
TEST_F(Files, APipeOrADeviceReadsAsEmptyAtOnce) {
    const std::string fifo = dir_ + "/web.txt";
    ASSERT_EQ(RunChild("/usr/bin/mkfifo", {fifo}).exitCode, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(fifo), "<empty>") << "a named pipe with no writer";
    EXPECT_EQ(Read("/dev/zero"), "<empty>");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Another process holding the file open for writing keeps it from being read (Windows share
// mode read-only); one holding it only for reading does not.
TEST_F(Files, AFileOpenForWritingElsewhereReadsAsEmpty) {
    const std::string path = dir_ + "/held.txt";
    WriteFile(path, "content");
    const std::string opened = dir_ + "/opened", done = dir_ + "/done";
    for (const char* mode : {"ab", "rb"}) {
        // The holder says when the file is open, and holds it until the test is done with it.
        std::filesystem::remove(opened);
        std::filesystem::remove(done);
        std::thread holder([&] {
            RunChild(WEBMON_PYTHON, {"-c", "import os, time; f=open('" + path + "','" + mode +
                                               "'); open('" + opened +
                                               "','w').close()\nfor _ in range(600):\n"
                                               "    if os.path.exists('" +
                                               done +
                                               "'): break\n"
                                               "    time.sleep(0.05)"});
        });
        for (int i = 0; i < 400 && !std::filesystem::exists(opened); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(std::filesystem::exists(opened)) << mode;
        EXPECT_EQ(Read(path), std::string(mode) == "ab" ? "<empty>" : "content") << mode;
        WriteFile(done, "");
        holder.join();
    }
    EXPECT_EQ(Read(path), "content") << "readable again once the writer is gone";
}
#endif

TEST(RunDirectory, CopiesTheRecordedDirectory) {
    RuntimeContext& ctx = Context();
    char* saved = ctx.programDirectory;
    ctx.programDirectory = CopyText("C:\\a\\b");
    EXPECT_EQ(TakeText(Call(core::GetRunDirectory, {})), "C:\\a\\b");
    SvcFree(ctx.programDirectory);
    ctx.programDirectory = CopyText("");
    EXPECT_EQ(TakeText(Call(core::GetRunDirectory, {})), "<null>");
    SvcFree(ctx.programDirectory);
    ctx.programDirectory = saved;
}

}  // namespace
