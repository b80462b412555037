// Child processes and temporary folders for tests, on POSIX and on Windows.
#include "support/child.h"

#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace testing_support {

namespace fs = std::filesystem;

std::string MakeTempDir() {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    static std::mt19937_64 rng(std::random_device{}() ^
                               static_cast<unsigned long long>(
                                   std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::path dir = fs::temp_directory_path() / ("webmon-test-" + std::to_string(rng()));
    fs::create_directories(dir);
    return dir.string();
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// The handle is never inherited: a child that another thread starts meanwhile must not hold
// the file open for writing (webmon refuses a web.txt that another process writes).
void WriteFile(const std::string& path, const std::string& bytes) {
#ifdef _WIN32
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
#endif
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace {
// True when entry ("NAME=value") names a variable that one of the extra entries sets.
bool Overridden(const std::string& entry, const std::vector<std::string>& extra) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (const std::string& e : extra) {
        if (e.compare(0, name.size(), name) == 0) return true;
    }
    return false;
}
}  // namespace

std::string HostPath(const std::string& path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        std::string windows = "Z:" + path;
        for (char& c : windows) {
            if (c == '/') c = '\\';
        }
        return windows;
    }
#endif
    return path;
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options) {
    ChildResult result;
    const std::string dir = MakeTempDir();
    const std::string inPath = dir + "/in", outPath = dir + "/out", errPath = dir + "/err";
    WriteFile(inPath, options.input);
    const auto start = std::chrono::steady_clock::now();
#ifdef _WIN32
    // A child inherits every inheritable handle of the moment: the handles of one start, made
    // and closed under this lock, never reach a child that another thread starts.
    static std::mutex starting;
    std::unique_lock<std::mutex> hold(starting);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in = nullptr, inWrite = nullptr;
    const bool piped = options.holdInputOpen || options.closeInputAfter > 0;
    if (piped) {
        CreatePipe(&in, &inWrite, &inherit, 1 << 16);
        SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    } else {
        in = CreateFileA(inPath.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0,
                         nullptr);
    }
    HANDLE out = nullptr, outRead = nullptr;
    if (options.outputUnread) {
        CreatePipe(&outRead, &out, &inherit, 4096);
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    } else {
        out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                          0, nullptr);
    }
    HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    const std::string path = HostPath(program);
    std::string commandLine = "\"" + path + "\"";
    for (const std::string& a : args) commandLine += " \"" + a + "\"";
    std::string environment;
    if (!options.env.empty()) {
        for (char* e = GetEnvironmentStringsA(); *e; e += std::strlen(e) + 1) {
            if (Overridden(e, options.env)) continue;
            environment += e;
            environment.push_back('\0');
        }
        for (const std::string& e : options.env) {
            environment += e;
            environment.push_back('\0');
        }
        environment.push_back('\0');
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                             environment.empty() ? nullptr : environment.data(),
                             options.workDir.empty() ? nullptr : options.workDir.c_str(), &si, &pi);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    hold.unlock();
    if (ok && options.closeInputAfter > 0) {
        if (options.writeInputAfter > 0) {
            WaitForSingleObject(pi.hProcess, static_cast<DWORD>(options.writeInputAfter * 1000));
        }
        DWORD written = 0;
        ::WriteFile(inWrite, options.input.data(), static_cast<DWORD>(options.input.size()),
                    &written, nullptr);
        WaitForSingleObject(
            pi.hProcess,
            static_cast<DWORD>((options.closeInputAfter - options.writeInputAfter) * 1000));
        CloseHandle(inWrite);
        inWrite = nullptr;
    }
    if (ok) {
        DWORD waited =
            WaitForSingleObject(pi.hProcess, static_cast<DWORD>(options.timeoutSeconds * 1000));
        if (waited != WAIT_OBJECT_0) {
            result.timedOut = true;
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, INFINITE);
        }
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        result.exitCode = static_cast<int>(code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    if (inWrite) CloseHandle(inWrite);
    if (outRead) CloseHandle(outRead);
#else
    int inPipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const bool piped = options.holdInputOpen || options.closeInputAfter > 0;
    if (piped) {
        // Close-on-exec: a child that another thread starts meanwhile must not hold this pipe
        // (dup2 gives the child its own end without the flag).
        if (pipe2(inPipe, O_CLOEXEC) != 0) return result;
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
        posix_spawn_file_actions_addclose(&actions, inPipe[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
    }
    int outPipe[2] = {-1, -1};
    if (options.outputUnread) {
        if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
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
        if (!Overridden(*e, options.env)) envStrings.emplace_back(*e);
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
    if (spawned == 0 && options.closeInputAfter > 0) {
        signal(SIGPIPE, SIG_IGN);
        const auto writeAt = start + std::chrono::duration<double>(options.writeInputAfter);
        const auto closeAt = start + std::chrono::duration<double>(options.closeInputAfter);
        bool written = false;
        int status = 0;
        while (std::chrono::steady_clock::now() < closeAt) {
            if (!written && std::chrono::steady_clock::now() >= writeAt) {
                if (write(inPipe[1], options.input.data(), options.input.size()) < 0) {}
                written = true;
            }
            if (waitpid(pid, &status, WNOHANG) == pid) {  // ended before its input did
                close(inPipe[1]);
                inPipe[1] = -1;
                result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                spawned = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (inPipe[1] >= 0) close(inPipe[1]);
        inPipe[1] = -1;
    }
    if (spawned == 0) {
        int status = 0;
        const auto limit = start + std::chrono::duration<double>(options.timeoutSeconds);
        for (;;) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
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
    if (outPipe[0] >= 0) close(outPipe[0]);
#endif
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    RemoveTree(dir);
    return result;
}

}  // namespace testing_support
