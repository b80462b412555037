// Win32 process, heap, module, COM and Windows Sockets services; and the one way out of the
// process, ExitProcess.
//
// Every way webmon ends on Windows, and its exit code:
//  1. The end of input (Ctrl-Z Enter, the end of a redirected input): the start-up routine
//     returns and RunProgram ends the process: 0.
//  2. The output's reader gone (a write to a pipe fails with ERROR_BROKEN_PIPE or ERROR_NO_DATA;
//     wine: ERROR_PIPE_NOT_CONNECTED; console.cpp; or, while the main thread waits for input, the
//     pipe's state tells it, console_wait.cpp): 0, as at the end of input.
//  3. A fatal error (a runtime error, memory run out, the worker that cannot start): its box,
//     then -1. Once BeginFatalEnd is said, every other end, on any thread, is that error's -1.
//  4. Ctrl+C, Ctrl+Break, the close button, logoff and shutdown end the input (1); should the
//     main thread not end webmon within 3 s, the event's thread does, with 0 (or 3's -1)
//     (console_events.cpp).
//  5. A crash, an exception that nobody catches, abort: the console's mode back, then the C
//     runtime's and Windows' own end (console_mode.cpp).
//  6. TerminateProcess from outside (taskkill /F): no code of webmon's runs.
// 1 to 4 go through ExitProcess.
#include <winsock2.h>
#include "platform/win32/win32_internal.h"
#include <fcntl.h>
#include <io.h>
#include <ole2.h>

#include <cstdio>

#include <atomic>

#include "platform/platform.h"

namespace plat {

std::uint32_t GetLastError() { return ::GetLastError(); }

// ---- Process ---------------------------------------------------------------------------------

namespace {
// The wide name in the ANSI code page, when it holds every character of it: converted back, it
// gives the same name. (A character outside the code page would be best-fit mapped, 'ā' to
// 'a': another folder's name.)
bool ExactlyAnsi(const std::wstring& wide, std::string* ansi) {
    std::wstring back;
    return win32::FromWide(CP_ACP, wide.data(), wide.size(), ansi) &&
           win32::ToWide(CP_ACP, ansi->data(), ansi->size(), &back) && back == wide;
}
}  // namespace

std::string ExecutablePath() {
    // Windows runs programs from paths past MAX_PATH bytes (about 130 Chinese characters in
    // GBK): the name is read whole, as UTF-16 in a buffer that grows until it fits. (Wine's
    // GetModuleFileNameA cuts such a path without saying so; the wide call tells a cut by its
    // length.) A cut path would name another folder, so one that cannot be read whole is no
    // path; nor is one that the ANSI code page cannot hold, where no short form (8.3, ASCII)
    // holds it either.
    constexpr DWORD kLongest = 32768;  // UTF-16 units in the longest path Windows has
    std::wstring wide(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(wide.size());
        const DWORD n = ::GetModuleFileNameW(nullptr, wide.data(), size);
        if (n == 0) return "";
        if (n < size) {
            wide.resize(n);
            break;
        }
        if (size >= kLongest) return "";
        wide.resize(size * 2);
    }
    std::string path;
    if (ExactlyAnsi(wide, &path)) return path;
    // The short form, which may be longer: its size first (with the terminator), then itself.
    const DWORD size = ::GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (size == 0 || size > kLongest) return "";
    std::wstring brief(size, L'\0');
    const DWORD n = ::GetShortPathNameW(wide.c_str(), brief.data(), size);
    if (n == 0 || n >= size) return "";
    brief.resize(n);
    return ExactlyAnsi(brief, &path) ? path : "";
}

bool SetCurrentDirectory(const char* path) { return ::SetCurrentDirectoryA(path) != 0; }

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

namespace {
std::atomic<bool> g_fatal{false};  // BeginFatalEnd's
}  // namespace

void BeginFatalEnd() { g_fatal.store(true); }
bool FatalEndUnderWay() { return g_fatal.load(); }

void ExitProcess(std::int32_t code) {
    win32::RestoreConsole();
    // The streams' locks are taken and kept until the end: a text under way on another thread
    // ends whole first (it waits for the pipe's reader, as any write does), and none starts
    // after it. A writer whose reader has left lets go of its lock before it comes here.
    _lock_file(stdout);
    std::fflush(stdout);
    _lock_file(stderr);
    std::fflush(stderr);
    if (FatalEndUnderWay()) code = -1;  // also when the error came while this waited
    // Immediate: no DLL detach runs while the worker may sit inside WinINet holding its locks.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
    ::ExitProcess(static_cast<UINT>(code));
}

namespace {
// A standard handle that is missing (null: a process started without one, GetStdHandle's
// documented answer) or names nothing (a value the parent passed that is no open handle here,
// which the next handle opened could receive) is set to the null device, before webmon opens
// anything: reads then meet the end of input and writes go nowhere, and never reach a handle
// of webmon's own (the console's input it opens, a connection).
void HoldStandardHandles() {
    for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE handle = ::GetStdHandle(which);
        if (handle && handle != INVALID_HANDLE_VALUE) {
            ::SetLastError(NO_ERROR);
            if (::GetFileType(handle) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR) {
                continue;
            }
        }
        const HANDLE null =
            ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (null != INVALID_HANDLE_VALUE) ::SetStdHandle(which, null);
    }
}
}  // namespace

void InitProcess() {
    HoldStandardHandles();
    // Texts carry their own CR LF: no "\r\r\n" on a redirected output.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    win32::InitConsole();
}

bool IsPathLeadByte(unsigned char lead) { return ::IsDBCSLeadByte(lead) != 0; }

// ---- Heap ------------------------------------------------------------------------------------

HeapHandle GetProcessHeap() { return ::GetProcessHeap(); }
void* HeapAlloc(HeapHandle heap, std::uint32_t size) {
    return ::HeapAlloc(static_cast<HANDLE>(heap), 0, size);
}
void* HeapReAlloc(HeapHandle heap, void* block, std::uint32_t size) {
    return ::HeapReAlloc(static_cast<HANDLE>(heap), 0, block, size);
}
void HeapFree(HeapHandle heap, void* block) { ::HeapFree(static_cast<HANDLE>(heap), 0, block); }

// ---- Modules ---------------------------------------------------------------------------------

ModuleHandle LoadLibrary(const char* fileName) { return ::LoadLibraryA(fileName); }
void* GetProcAddress(ModuleHandle module, const char* name, std::uint16_t ordinal) {
    const char* key = name ? name : MAKEINTRESOURCEA(ordinal);
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), key));
}
void FreeLibrary(ModuleHandle module) { ::FreeLibrary(static_cast<HMODULE>(module)); }
const char* const* SystemLibraryNames() {
    static const char* const names[] = {"Kernel32.dll", "Gdi32.dll",   "User32.dll", "Advapi32.dll",
                                        "Mpr.dll",      "Shell32.dll", nullptr};
    return names;
}

// ---- COM and Windows Sockets -----------------------------------------------------------------

bool OleInitialize() { return SUCCEEDED(::OleInitialize(nullptr)); }
void OleUninitialize() { ::OleUninitialize(); }
bool InternetStartup() { return true; }

bool WsaStartup11() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(1, 1)) {
        ::WSACleanup();
        return false;
    }
    return true;
}
void WsaCleanup() { ::WSACleanup(); }

}  // namespace plat
