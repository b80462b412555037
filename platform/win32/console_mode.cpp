// Win32 console mode: QuickEdit off while webmon runs, and the user's mode back on every way out.
//
// Invariants:
//  1. QuickEdit is off while webmon runs, whenever it has a console, whatever its standard input
//     is (the console's own input, CONIN$, holds the mode): a selection made with the mouse would
//     hold every thread that writes to the console, the worker's result lines among them, until
//     it ends. Text is still copied with the window menu's Edit > Mark.
//  2. The user's mode comes back on every way out: the end, a fatal error, a control event, a
//     crash (an unhandled exception puts it back before Windows' own handling goes on), a C++
//     exception that nobody catches, on any thread (std::terminate: the C++ library's report,
//     then abort), and abort itself (SIGABRT: the C runtime's message, then the end with code
//     3). A forced kill (TerminateProcess, taskkill /F) runs no code of webmon's and leaves it
//     off.
#include "platform/win32/win32_internal.h"

#include <csignal>
#include <cstdlib>
#include <exception>

namespace plat::win32 {

namespace {
// The console input's mode before QuickEdit was turned off, to be put back at the end.
HANDLE g_modeConsole = nullptr;
DWORD g_savedMode = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

// A crash: the user's console mode back, then the handling that was there before (the C
// runtime's, then Windows' own: the report, the end of the process).
LONG WINAPI OnCrash(EXCEPTION_POINTERS* exception) {
    RestoreConsole();
    return g_previousFilter ? g_previousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// The ways out that pass by the filter: the mode back, then the handling that was there before.
std::terminate_handler g_previousTerminate = nullptr;
[[noreturn]] void OnTerminate() {
    RestoreConsole();
    if (g_previousTerminate) g_previousTerminate();
    std::abort();
}
void OnAbort(int) { RestoreConsole(); }  // the C runtime goes on to end the process
}  // namespace

void InitConsoleMode() {
    // The console's own input, not the standard input, which may be a pipe or a file while
    // the output goes to the console window. Kept open until the process ends.
    const HANDLE input =
        ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode) &&
        ::SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE)) {
        g_modeConsole = input;
        g_savedMode = mode;
        g_previousFilter = ::SetUnhandledExceptionFilter(OnCrash);
        g_previousTerminate = std::set_terminate(OnTerminate);
        std::signal(SIGABRT, OnAbort);
    } else if (input != INVALID_HANDLE_VALUE) {
        ::CloseHandle(input);
    }
}

void RestoreConsole() {
    if (g_modeConsole) ::SetConsoleMode(g_modeConsole, g_savedMode | ENABLE_EXTENDED_FLAGS);
}

}  // namespace plat::win32
