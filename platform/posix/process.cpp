// POSIX stand-ins for the process, its heap, modules, COM and Windows Sockets; and the one way
// out of the process, ExitProcess.
//
// Every way webmon ends on Linux, and its exit status:
//  1. The end of input: the start-up routine returns and RunProgram ends the process: 0.
//  2. The output's reader gone (a write to standard output or error meets EPIPE: the pipe or
//     socket closed; or, while webmon waits for input, poll tells the same; console.cpp): 0,
//     as at the end of input.
//  3. A fatal error (a runtime error, memory run out, the worker that cannot start): its text on
//     standard error, then 255 (-1). Once BeginFatalEnd is said, every other end, on any thread,
//     is that error's 255.
//  4. A signal that ends by default (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, the faults): the
//     terminal's mode back, then the signal's own end. SIGPIPE and SIGXFSZ are ignored: they
//     come back as the write's error (2, or an output error that is ignored).
//  5. An exception that nobody catches, on any thread: the terminal's mode back, the C++
//     library's report, then abort (4).
//  6. SIGKILL: no code of webmon's runs.
// 1 to 3 go through ExitProcess; 4 and 5 through the handlers that InitWaysOut installs.
//
// Where Linux has no counterpart the stand-in keeps what the runtime relies on:
//  - the heap is the C library's; a request above 2 GB fails as it does in a 32-bit process;
//  - COM and Windows Sockets need no start-up.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>

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
std::atomic<bool> g_fatal{false};  // BeginFatalEnd's
}  // namespace

void BeginFatalEnd() { g_fatal.store(true); }
bool FatalEndUnderWay() { return g_fatal.load(); }

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
    posix::RestoreTerminal();
    // The streams' locks are taken and kept until the end: a text under way on another thread
    // ends whole first (it waits for the stream's reader, as any write does), and none starts
    // after it. A writer whose reader has left lets go of its lock before it comes here.
    flockfile(stdout);
    std::fflush(stdout);
    flockfile(stderr);
    std::fflush(stderr);
    if (FatalEndUnderWay()) code = -1;  // also when the error came while this waited
    // The end by the system call itself: a wrapped _exit (a sanitizer's, say) may flush the
    // streams once more, or wait for a lock another thread holds.
    syscall(SYS_exit_group, LeakCheckedExitCode(code));
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
