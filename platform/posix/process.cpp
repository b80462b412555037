// POSIX stand-ins for the process, its heap, modules, COM and Windows Sockets.
//
// Where Linux has no counterpart the stand-in keeps what the runtime relies on:
//  - the heap is the C library's; a request above 2 GB fails as it does in a 32-bit process;
//  - COM and Windows Sockets need no start-up.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/console_input.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define WEBMON_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WEBMON_LEAK_CHECK 1
#endif
#endif
#if WEBMON_LEAK_CHECK
#include <sanitizer/lsan_interface.h>

// Blocks kept on purpose until the process ends, by the function that makes them:
//  - the hidden owner window's record: a worker that loaded the handle may still send to it
//    while the process ends (window.cpp).
extern "C" const char* __lsan_default_suppressions() { return "leak:CreateHiddenOwnerWindow\n"; }
// A run without leaks writes nothing of the checker's: its output is the program's.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

namespace plat {

namespace posix {
namespace {
thread_local std::uint32_t t_lastError = 0;
}
void SetLastError(std::uint32_t code) { t_lastError = code; }

}  // namespace posix

std::uint32_t GetLastError() { return posix::t_lastError; }

// ---- Process ---------------------------------------------------------------------------------

std::string ExecutablePath() {
    std::string path(PATH_MAX, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return "";
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool SetCurrentDirectory(const char* path) {
    if (!path || path[0] == '\0') return false;
    return chdir(posix::NativePath(path).c_str()) == 0;
}

namespace {
// Standard descriptors that start closed are opened on the null device before any other code
// of the program runs (the earliest constructor): the next file or socket opened would take
// the number, and the console's reads and writes would reach it (the TLS library's
// configuration read as typed lines, say, or the usage text written into a connection).
// Closed input then reads as the end of input, closed output takes every byte.
__attribute__((constructor(101))) void HoldStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);  // the lowest free number: fd itself
        if (opened > fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
}  // namespace

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

namespace {
std::atomic<bool> g_flushed{false};
// Flushes the standard streams and keeps their locks until the process has ended: a text under
// way ends whole before the flush, and none starts after it, so the end cuts no line.
void FlushAndHold() {
    flockfile(stdout);
    std::fflush(stdout);
    flockfile(stderr);
    std::fflush(stderr);
    g_flushed.store(true);
}
void* FlushStreams(void*) {
    FlushAndHold();
    return nullptr;
}
// FlushAndHold without a thread to run it on: only when no other thread holds a stream.
bool TryFlushAndHold() {
    if (ftrylockfile(stdout) != 0) return false;
    if (ftrylockfile(stderr) != 0) {
        funlockfile(stdout);
        return false;
    }
    FlushAndHold();  // the locks are recursive: taken once more, and all kept
    return true;
}
}  // namespace

namespace {
// The leak checker's exit code: a run that leaked ends with it, whatever the program's code was.
[[maybe_unused]] constexpr std::int32_t kLeakedExitCode = 23;

// In the address sanitizer's builds, the leak check that _exit would skip runs here, so that a
// whole run of the program (an end-to-end test) fails when it leaked; the report goes to
// standard error. What is kept on purpose is named in __lsan_default_suppressions below.
std::int32_t LeakCheckedExitCode(std::int32_t code) {
#if WEBMON_LEAK_CHECK
    if (__lsan_do_recoverable_leak_check() != 0) return kLeakedExitCode;
#endif
    return code;
}
std::atomic<bool> g_ending{false};
}  // namespace

bool posix::ProcessEnding() { return g_ending.load(); }
void posix::MarkProcessEnding() { g_ending.store(true); }

// ---- Ways out: the terminal's mode put back ----------------------------------------------------

namespace {
std::atomic<int> g_terminal{-1};  // the descriptor whose mode is held, or -1
termios g_terminalMode;           // its mode to put back, written before g_terminal
std::terminate_handler g_previousTerminate = nullptr;

// The signals that end the process by default, each with the action that was there before.
constexpr int kEndingSignals[] = {SIGABRT, SIGINT, SIGTERM, SIGHUP, SIGQUIT,
                                  SIGSEGV, SIGBUS, SIGFPE,  SIGILL};
struct sigaction g_previousAction[sizeof kEndingSignals / sizeof kEndingSignals[0]];

// The mode back, then the action that was there before: raised again for a signal sent (by
// kill, raise or abort: si_code 0 or below), met again for a fault when the faulting
// instruction runs once more.
void OnEndingSignal(int signal, siginfo_t* info, void*) {
    posix::RestoreTerminal();
    for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
        if (kEndingSignals[i] != signal) continue;
        sigaction(signal, &g_previousAction[i], nullptr);
        const bool fault =
            signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL;
        if (!fault || !info || info->si_code <= 0) raise(signal);  // delivered once this returns
    }
}

// An exception that nobody catches, on any thread: the mode back, then the handling that was
// there before (the C++ library's report, then abort).
[[noreturn]] void OnTerminate() {
    posix::RestoreTerminal();
    if (g_previousTerminate) g_previousTerminate();
    std::abort();
}
}  // namespace

void posix::HoldTerminal(int fd, const TerminalMode& saved) {
    g_terminalMode = saved.mode;
    g_terminal.store(fd);
}
void posix::ReleaseTerminal() { g_terminal.store(-1); }
void posix::RestoreTerminal() {
    const int fd = g_terminal.exchange(-1);
    if (fd >= 0) tcsetattr(fd, TCSANOW, &g_terminalMode);
}

void posix::InitWaysOut() {
    g_previousTerminate = std::set_terminate(OnTerminate);
    for (std::size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
        struct sigaction action {};
        action.sa_sigaction = OnEndingSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_SIGINFO;
        sigaction(kEndingSignals[i], &action, &g_previousAction[i]);
        if (g_previousAction[i].sa_handler == SIG_IGN) {
            sigaction(kEndingSignals[i], &g_previousAction[i], nullptr);  // ignored stays so
        }
    }
}

void ExitProcess(std::int32_t code) {
    g_ending.store(true);
    posix::RestoreTerminal();
    // The streams are flushed on a thread of their own (or, with none to spare, here as soon as
    // no other thread holds them): a reader that stopped reading leaves a write blocked, maybe
    // another thread's holding the stream's lock, and such a stream must not keep the process
    // alive. The end waits while the streams' reader takes bytes, and kStillMs once it takes
    // none; what the streams could not take then is left behind: the process is ending.
    pthread_t flusher;
    const bool threaded = pthread_create(&flusher, nullptr, FlushStreams, nullptr) == 0;
    if (threaded) pthread_detach(flusher);
    std::uint64_t mark = input::OutputMark();
    auto movedAt = input::StillSince();
    while (!g_flushed.load() && !(!threaded && TryFlushAndHold())) {
        usleep(1000);
        const std::uint64_t now = input::OutputMark();
        if (now != mark) {
            mark = now;
            movedAt = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - movedAt >=
                   std::chrono::milliseconds(input::kStillMs)) {
            break;
        }
    }
    // The end by the system call itself: a wrapped _exit (a sanitizer's, say) may flush the
    // streams once more and wait on a stream that is blocked or held.
    syscall(SYS_exit_group, g_flushed.load() ? LeakCheckedExitCode(code) : code);
    _exit(code);
}

bool IsPathLeadByte(unsigned char) { return false; }

// ---- Heap ------------------------------------------------------------------------------------

namespace {
constexpr std::uint32_t kLargestBlock = 0x7FFFFFFFu;  // what a 32-bit process could ever hold
int g_heapToken;
}  // namespace

HeapHandle GetProcessHeap() { return &g_heapToken; }

void* HeapAlloc(HeapHandle, std::uint32_t size) {
    if (size > kLargestBlock) return nullptr;
    return std::malloc(size ? size : 1);
}

void* HeapReAlloc(HeapHandle, void* block, std::uint32_t size) {
    if (size > kLargestBlock) return nullptr;
    return std::realloc(block, size ? size : 1);
}

void HeapFree(HeapHandle, void* block) { std::free(block); }

// ---- Modules ---------------------------------------------------------------------------------

ModuleHandle LoadLibrary(const char* fileName) {
    return dlopen(posix::NativePath(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(ModuleHandle module, const char* name, std::uint16_t) {
    return name ? dlsym(module, name) : nullptr;  // ELF has no export ordinals
}

void FreeLibrary(ModuleHandle module) { dlclose(module); }

const char* const* SystemLibraryNames() {
    static const char* const names[] = {"libc.so.6", nullptr};
    return names;
}

// ---- COM and Windows Sockets -----------------------------------------------------------------

bool OleInitialize() { return true; }
void OleUninitialize() {}
bool WsaStartup11() { return true; }
void WsaCleanup() {}

}  // namespace plat
