// Child processes for tests on Linux: posix_spawn with the streams redirected.
#include "support/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace testing_support {

// The descriptor is never inherited: a child that another thread starts meanwhile must not hold
// the file open for writing (webmon refuses a web.txt that another process writes).
void WriteFile(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

std::string HostPath(const std::string& path) { return path; }

void detail::Run(const std::string& program, const std::vector<std::string>& args,
                 const ChildOptions& options, const ChildFiles& files,
                 std::chrono::steady_clock::time_point start, ChildResult* into) {
    ChildResult& result = *into;
    const std::string &inPath = files.in, &outPath = files.out, &errPath = files.err;
    int inPipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const bool piped = options.holdInputOpen || options.closeInputAfter > 0;
    if (options.inputClosed) {
        posix_spawn_file_actions_addclose(&actions, 0);
    } else if (piped) {
        // Close-on-exec: a child that another thread starts meanwhile must not hold this pipe
        // (dup2 gives the child its own end without the flag).
        if (pipe2(inPipe, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
        posix_spawn_file_actions_addclose(&actions, inPipe[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
    }
    int outPipe[2] = {-1, -1};
    if (options.output.piped) {
        if (pipe2(outPipe, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (!options.workDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workDir.c_str());
    }
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        if (!detail::Overridden(*e, options.env)) envStrings.emplace_back(*e);
    }
    for (const std::string& e : options.env) envStrings.push_back(e);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (inPipe[0] >= 0) close(inPipe[0]);
    if (outPipe[1] >= 0) close(outPipe[1]);
    std::thread reader;
    std::atomic<bool> ended{false};
    if (outPipe[0] >= 0) {  // the reader owns the pipe's end, and closes it when it leaves
        reader = std::thread([&, from = outPipe[0]] {
            ReadOutput(
                options.output, outPath, start, ended,
                [from](char* into, std::size_t size) {
                    return static_cast<long>(read(from, into, size));
                },
                &result);
            close(from);
        });
    }
    const auto since = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (spawned == 0 && options.closeInputAfter > 0) {
        signal(SIGPIPE, SIG_IGN);
        bool written = false;
        int status = 0;
        // Until the input's end is due, or every watched text has appeared (when that ends it).
        while (since() < options.closeInputAfter) {
            if (!written && since() >= options.writeInputAfter) {
                if (write(inPipe[1], options.input.data(), options.input.size()) < 0) {}
                written = true;
            }
            if (waitpid(pid, &status, WNOHANG) == pid) {  // ended before its input did
                result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                spawned = -1;
                break;
            }
            const bool all = detail::Watch(outPath, options, since(), &result);
            if (written && all && options.closeInputOnceSeen) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(inPipe[1]);
        inPipe[1] = -1;
    }
    if (spawned == 0) {
        int status = 0;
        const auto limit = start + std::chrono::duration<double>(options.timeoutSeconds);
        for (;;) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            detail::Watch(outPath, options, since(), &result);
            if (std::chrono::steady_clock::now() > limit) {
                result.timedOut = true;
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (inPipe[1] >= 0) close(inPipe[1]);
    ended.store(true);
    if (reader.joinable()) reader.join();
}

}  // namespace testing_support
