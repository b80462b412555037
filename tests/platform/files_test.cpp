// The platform's files: only regular files open for reading, and reads that signals cannot
// break (platform/*/files.cpp).
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/child.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/posix/posix_internal.h"
#endif

namespace {

using namespace testing_support;

// The whole content of path through the platform calls; "<refused>" when it does not open.
std::string ReadThrough(const std::string& path) {
    plat::FileHandle file = plat::OpenFileForReading(path.c_str());
    if (!file) return "<refused>";
    std::int32_t length = -1;
    std::string bytes;
    if (plat::FileLength(file, &length) && length >= 0) {
        bytes.resize(static_cast<std::size_t>(length));
        std::uint32_t got = 0;
        if (!plat::ReadFile(file, bytes.data(), static_cast<std::uint32_t>(length), &got)) {
            bytes = "<read failed>";
        } else {
            bytes.resize(got);
        }
    }
    plat::CloseFile(file);
    return bytes;
}

TEST(OpenFileForReading, OnlyARegularFileOpens) {
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/web.txt", std::string("30\r\na\0b", 7));
    EXPECT_EQ(ReadThrough(dir + "/web.txt"), std::string("30\r\na\0b", 7));
    WriteFile(dir + "/empty.txt", "");
    EXPECT_EQ(ReadThrough(dir + "/empty.txt"), "");
    EXPECT_EQ(ReadThrough(dir), "<refused>") << "a directory";
    EXPECT_EQ(ReadThrough(dir + "/missing.txt"), "<refused>");
#ifdef _WIN32
    EXPECT_EQ(ReadThrough("NUL"), "<refused>") << "a device";
#else
    EXPECT_EQ(ReadThrough("/dev/zero"), "<refused>") << "a device";
    EXPECT_EQ(ReadThrough("/dev/null"), "<refused>") << "a device";
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ReadThrough(fifo), "<refused>") << "a named pipe without a writer";
#endif
    RemoveTree(dir);
}

#ifndef _WIN32
int g_lockErrno = 0;
int RefusedLock(int, struct flock*) {
    errno = g_lockErrno;
    return -1;
}

// A file system without locks refuses the read lock itself: that is no writer. A lock that a
// writer holds still keeps the file from being read.
TEST(OpenFileForReading, AFileSystemWithoutLocksStillReads) {
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/web.txt", "30\r\n");
    plat::posix::SetReadLockSeam(RefusedLock);
    for (int no : {ENOLCK, EOPNOTSUPP, EINVAL}) {
        g_lockErrno = no;
        EXPECT_EQ(ReadThrough(dir + "/web.txt"), "30\r\n") << no;
    }
    for (int held : {EAGAIN, EACCES}) {
        g_lockErrno = held;
        EXPECT_EQ(ReadThrough(dir + "/web.txt"), "<refused>") << held;
    }
    plat::posix::SetReadLockSeam(nullptr);
    EXPECT_EQ(ReadThrough(dir + "/web.txt"), "30\r\n");
    RemoveTree(dir);
}

// A process that holds the file open and, when told, puts something else under the same
// descriptor number: the look for writers sees its descriptor, then its flags, and the seam
// runs the change between the two, as another process may at any moment.
enum class Between { Nothing, ASocket, TheFileForWriting };
struct Holder {
    pid_t pid = -1;
    int command = -1, ack = -1;
};
Holder g_holder;

Holder Hold(const std::string& path, int mode, Between between) {
    int command[2], ack[2];
    if (pipe(command) != 0 || pipe(ack) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {  // only async-signal-safe calls from here
        close(command[1]);
        close(ack[0]);
        int fd = open(path.c_str(), mode);
        char c = 0;
        (void)!write(ack[1], "r", 1);
        if (read(command[0], &c, 1) == 1) {
            int other = between == Between::ASocket             ? socket(AF_INET, SOCK_STREAM, 0)
                        : between == Between::TheFileForWriting ? open(path.c_str(), O_RDWR)
                                                                : fd;
            if (other != fd) dup2(other, fd);
            (void)!write(ack[1], "d", 1);
            (void)!read(command[0], &c, 1);
        }
        _exit(0);
    }
    close(command[0]);
    close(ack[1]);
    char c = 0;
    if (read(ack[0], &c, 1) != 1) return {};
    return {pid, command[1], ack[0]};
}

void ChangeHoldersDescriptor(long pid, int) {
    if (pid != g_holder.pid || g_holder.command < 0) return;
    char c = 0;
    (void)!write(g_holder.command, "x", 1);
    (void)!read(g_holder.ack, &c, 1);
    g_holder.command = -1;  // once; the pipe is closed by the test
}

TEST(OpenFileForReading, OnlyAWriterAtTheMomentOfItsFlagsKeepsTheFileShut) {
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/web.txt", "30\r\n");
    const struct {
        const char* name;
        int mode;
        Between between;
        bool refused;
    } rows[] = {
        {"a reader", O_RDONLY, Between::Nothing, false},
        {"a writer", O_WRONLY, Between::Nothing, true},
        {"a reader whose number is a socket by the time of its flags", O_RDONLY, Between::ASocket,
         false},
        {"a reader that has become a writer of the file", O_RDONLY, Between::TheFileForWriting,
         true},
    };
    plat::posix::SetBetweenLooksSeam(ChangeHoldersDescriptor);
    for (const auto& row : rows) {
        g_holder = Hold(dir + "/web.txt", row.mode, row.between);
        ASSERT_GT(g_holder.pid, 0) << row.name;
        const int command = g_holder.command;
        EXPECT_EQ(ReadThrough(dir + "/web.txt"), row.refused ? "<refused>" : "30\r\n") << row.name;
        EXPECT_EQ(g_holder.command, -1) << row.name << ": the holder's descriptor was not seen";
        close(command);
        close(g_holder.ack);
        waitpid(g_holder.pid, nullptr, 0);
    }
    plat::posix::SetBetweenLooksSeam(nullptr);
    RemoveTree(dir);
}

void Interrupted(int) {}

// A signal whose handler does not ask for restarts stops a blocked read with EINTR.
TEST(ReadFully, ASignalBeforeAnyByteIsNoErrorAndTheEndOfInputIsNone) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    struct sigaction action {
    }, saved{};
    action.sa_handler = Interrupted;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);

    char buffer[8] = {};
    std::size_t got = 0;
    std::atomic<int> result{-1};
    std::thread reader(
        [&] { result = plat::posix::ReadFully(pipeEnds[0], buffer, 5, &got) ? 1 : 0; });
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    pause();  // the reader is blocked before any byte
    pthread_kill(reader.native_handle(), SIGUSR1);
    pause();
    ASSERT_EQ(write(pipeEnds[1], "hel", 3), 3);
    pause();  // and blocked again after some
    pthread_kill(reader.native_handle(), SIGUSR1);
    pause();
    EXPECT_EQ(result.load(), -1) << "the read ended before its count";
    ASSERT_EQ(write(pipeEnds[1], "lo!", 3), 3);
    reader.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(buffer, got), "hello");

    // The rest, then the end of input: fewer bytes than asked is still a success.
    close(pipeEnds[1]);
    EXPECT_TRUE(plat::posix::ReadFully(pipeEnds[0], buffer, 8, &got));
    EXPECT_EQ(std::string(buffer, got), "!");
    EXPECT_TRUE(plat::posix::ReadFully(pipeEnds[0], buffer, 8, &got));
    EXPECT_EQ(got, 0u);
    close(pipeEnds[0]);
    sigaction(SIGUSR1, &saved, nullptr);

    // A read error is reported as one.
    EXPECT_FALSE(plat::posix::ReadFully(-1, buffer, 1, &got));
}
#endif

}  // namespace
