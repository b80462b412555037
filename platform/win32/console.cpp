// Win32 console: standard output and error, line and key input, and the console's own ends.
//
// The texts are GBK, which a console shows as Chinese only under code page 936. So a stream
// that is a console is written in UTF-16 (WriteConsoleW) and read so (ReadConsoleW), converted
// from and to code page 936: webmon reads right whatever the console's code page. A redirected
// stream keeps its bytes exactly, through the C streams as before.
//
// A console left open for months:
//  1. QuickEdit is off while webmon runs, whenever it has a console, whatever its standard
//     input is (the console's own input, CONIN$, holds the mode): a selection made with the
//     mouse would hold every thread that writes to the console, the worker's result lines among
//     them, until it ends. Text is still copied with the window menu's Edit > Mark. The user's
//     mode comes back on every way out: the end, a fatal error, a control event, and a crash
//     (an unhandled exception puts it back before Windows' own handling goes on). A forced
//     kill (TerminateProcess, taskkill /F) runs no code of webmon's and leaves QuickEdit off.
//  2. The main thread is a COM apartment, which must dispatch window messages while it waits.
//     A blocking read (line or key) runs on a thread of its own, and the main thread waits for
//     its answer and for messages together, dispatching what arrives.
//  3. Ctrl+C, Ctrl+Break and the window's close button (a control event), and logoff and
//     shutdown (WM_ENDSESSION to a window of a thread that always dispatches: Windows sends a
//     program that loads user32 no control event for those) end the input for good: the main
//     thread's read answers "end", and webmon ends the way the end of input ends it. Should the
//     main thread not come to read, the process ends from the event itself, without the
//     libraries' detach either.
//  4. A console write that fails hands what it could not write to the C stream.
//  5. Once a line has been read the next is read ahead, so that the end of input is seen while
//     the main thread is held in a write (a full pipe, a console that scrolls no more, the
//     worker holding the stream): the main thread ends webmon as always, and should it not
//     within kEndOfInputGraceMs, the reading thread ends the process, with code 0. (So a
//     program that reads lines must not also read keys: this one reads lines only.)
#include "platform/win32/win32_internal.h"
#include <conio.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace plat {
namespace win32 {

namespace {
constexpr DWORD kConsolePiece = 8192;  // UTF-16 units a console call takes at once
constexpr wchar_t kCtrlZ = 0x1A;
constexpr DWORD kEndGraceMs = 3000;        // how long an end event leaves the main thread to end it
constexpr DWORD kEndOfInputGraceMs = 500;  // the same for the end of input read ahead (point 5)

// Set once by an end event (point 3), never reset: every read from then on answers "end".
HANDLE InputEnded() {
    static const HANDLE ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ended;
}
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

void EndInput() {
    ::SetEvent(InputEnded());
    ::Sleep(kEndGraceMs);  // the main thread ends the process meanwhile
    plat::ExitProcess(0);
}

BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: EndInput(); return TRUE;
    default: return FALSE;
    }
}

LRESULT CALLBACK SessionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION) return TRUE;
    if (message == WM_ENDSESSION && wParam) EndInput();
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// A hidden top-level window on a thread that does nothing but dispatch, so that it answers
// every broadcast at once; logoff and shutdown reach webmon through it.
DWORD WINAPI WatchSession(LPVOID) {
    WNDCLASSW cls{};
    cls.lpfnWndProc = SessionProc;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.lpszClassName = L"webmon session";
    ::RegisterClassW(&cls);
    if (!::CreateWindowExW(0, cls.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           cls.hInstance, nullptr)) {
        return 1;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}

void DispatchWaiting() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// True while the main thread dispatches in a console wait (main thread only).
bool g_dispatchingForConsole = false;

using Job = std::shared_ptr<std::function<void()>>;
DWORD WINAPI RunJob(LPVOID p) {
    const std::unique_ptr<Job> job(static_cast<Job*>(p));
    (**job)();
    return 0;
}

// Waits for done, dispatching the messages that arrive meanwhile (point 2). False when the
// input ended first.
bool WaitDispatching(HANDLE done) {
    const HANDLE waited[] = {done, InputEnded()};
    for (;;) {
        const DWORD woke = ::MsgWaitForMultipleObjects(2, waited, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke == WAIT_OBJECT_0 + 1) return false;
        if (woke == WAIT_OBJECT_0 + 2) {
            g_dispatchingForConsole = true;
            DispatchWaiting();
            g_dispatchingForConsole = false;
            continue;
        }
        ::WaitForSingleObject(done, INFINITE);  // the wait failed: a plain one
        return true;
    }
}

// Runs work on a thread of its own while this thread waits for it, dispatching. False when the
// input ended first: the work is left running, and keeps its state alive itself.
bool RunWhileDispatching(std::function<void()> work) {
    if (::WaitForSingleObject(InputEnded(), 0) == WAIT_OBJECT_0) return false;
    auto* job = new Job(std::make_shared<std::function<void()>>(std::move(work)));
    HANDLE thread = ::CreateThread(nullptr, 0, RunJob, job, 0, nullptr);
    if (!thread) {  // no thread to spare: the read blocks here, as a plain read does
        (**job)();
        delete job;
        return true;
    }
    const bool finished = WaitDispatching(thread);
    ::CloseHandle(thread);
    return finished;
}

// One line read by a thread of its own (points 2 and 5).
struct LineRead {
    explicit LineRead(int size) : size(size) {}
    ~LineRead() {
        if (done) ::CloseHandle(done);
    }
    const int size;
    HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConsoleRead how = ConsoleRead::End;
    std::string typed;
    std::string streamed;  // a redirected input's line, as fgets reads it
    bool got = false;
};

void ReadOneLine(LineRead& read) {
    read.how = ReadConsoleLine(::GetStdHandle(STD_INPUT_HANDLE), &read.typed);
    if (read.how != ConsoleRead::NotAConsole) return;
    read.streamed.resize(static_cast<std::size_t>(read.size));
    read.got = std::fgets(read.streamed.data(), read.size, stdin) != nullptr;
}

DWORD WINAPI ReadLineJob(LPVOID p) {
    const std::unique_ptr<std::shared_ptr<LineRead>> held(
        static_cast<std::shared_ptr<LineRead>*>(p));
    LineRead& read = **held;
    ReadOneLine(read);
    ::SetEvent(read.done);
    const bool ended =
        read.how == ConsoleRead::End || (read.how == ConsoleRead::NotAConsole && !read.got);
    if (ended) {
        ::Sleep(kEndOfInputGraceMs);  // the main thread ends the process meanwhile
        if (!ProcessEnding()) plat::ExitProcess(0);
    }
    return 0;
}

// A read started on a thread of its own; done at once, read here, when no thread can be made.
std::shared_ptr<LineRead> StartLineRead(int size) {
    auto read = std::make_shared<LineRead>(size);
    auto* held = new std::shared_ptr<LineRead>(read);
    if (HANDLE thread = ::CreateThread(nullptr, 0, ReadLineJob, held, 0, nullptr)) {
        ::CloseHandle(thread);
    } else {
        delete held;
        ReadOneLine(*read);
        ::SetEvent(read->done);
    }
    return read;
}
}  // namespace

void InitConsole() {
    InputEnded();
    ::SetConsoleCtrlHandler(OnControl, TRUE);
    if (HANDLE watcher = ::CreateThread(nullptr, 0, WatchSession, nullptr, 0, nullptr)) {
        ::CloseHandle(watcher);
    }
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
    } else if (input != INVALID_HANDLE_VALUE) {
        ::CloseHandle(input);
    }
}

bool DispatchingForConsole() { return g_dispatchingForConsole; }

void RestoreConsole() {
    if (g_modeConsole) ::SetConsoleMode(g_modeConsole, g_savedMode | ENABLE_EXTENDED_FLAGS);
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

bool WriteConsoleText(HANDLE console, const char* text, std::string* unwritten) {
    std::wstring wide;
    if (unwritten) *unwritten = text;
    if (!IsConsole(console) || !GbkToWide(text, std::strlen(text), &wide)) return false;
    const wchar_t* at = wide.data();
    std::size_t left = wide.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(left, kConsolePiece));
        if (!::WriteConsoleW(console, at, piece, &written, nullptr) || written == 0) {
            if (unwritten && !WideToGbk(at, left, unwritten)) *unwritten = text;
            return false;
        }
        at += written;
        left -= written;
    }
    if (unwritten) unwritten->clear();
    return true;
}

ConsoleRead ReadConsoleLine(HANDLE console, std::string* line) {
    line->clear();
    if (!IsConsole(console)) return ConsoleRead::NotAConsole;
    std::wstring typed;
    wchar_t piece[1024];
    // A line longer than the piece comes in several reads, the last ending with the line end.
    while (typed.empty() || typed.back() != L'\n') {
        DWORD got = 0;
        if (!::ReadConsoleW(console, piece, static_cast<DWORD>(std::size(piece)), &got, nullptr) ||
            got == 0) {
            if (typed.empty()) return ConsoleRead::End;
            break;
        }
        typed.append(piece, got);
    }
    // Ctrl-Z first on a line ends the input, as the C runtime's text mode has it.
    if (typed[0] == kCtrlZ) return ConsoleRead::End;
    if (typed.size() >= 2 && typed.compare(typed.size() - 2, 2, L"\r\n") == 0) {
        typed.erase(typed.size() - 2, 1);  // text mode's line end: LF alone
    }
    if (!WideToGbk(typed.data(), typed.size(), line)) return ConsoleRead::End;
    return ConsoleRead::Line;
}

}  // namespace win32

namespace {
// What ReadConsoleLine read beyond the caller's buffer; the next call hands it out first, as
// the C stream's buffer would. Only the main thread reads lines.
std::string g_typedRest;
std::shared_ptr<win32::LineRead> g_nextRead;  // the line read ahead (point 5)
}  // namespace

void ConsoleWrite(Stream stream, const char* text) {
    FILE* f = stream == Stream::Error ? stderr : stdout;
    _lock_file(f);
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (win32::IsConsole(handle)) {
        std::fflush(f);  // nothing of the C stream's may come after this text
        std::string unwritten;
        if (!win32::WriteConsoleText(handle, text, &unwritten)) {
            std::fprintf(f, "%s", unwritten.c_str());
            std::fflush(f);
        }
    } else {
        std::fprintf(f, "%s", text);
        std::fflush(f);  // a log or a pipe gets each line at once
    }
    _unlock_file(f);
}

bool ConsoleReadLine(char* buffer, int size) {
    if (size <= 0) return false;
    if (g_typedRest.empty()) {
        if (::WaitForSingleObject(win32::InputEnded(), 0) == WAIT_OBJECT_0) return false;
        // The line read ahead (point 5), or one read now.
        std::shared_ptr<win32::LineRead> read = std::move(g_nextRead);
        if (!read) read = win32::StartLineRead(size);
        if (!win32::WaitDispatching(read->done)) return false;  // the console's end (point 3)
        switch (read->how) {
        case win32::ConsoleRead::NotAConsole:
            if (!read->got) return false;
            g_typedRest = read->streamed.c_str();  // as fgets read it, up to its terminator
            break;
        case win32::ConsoleRead::End: return false;
        case win32::ConsoleRead::Line: g_typedRest = std::move(read->typed); break;
        }
        g_nextRead = win32::StartLineRead(size);
    }
    // As fgets: through the line end, at most size - 1 bytes, the rest for the next call.
    const std::size_t end = g_typedRest.find('\n');
    const std::size_t take = std::min(end == std::string::npos ? g_typedRest.size() : end + 1,
                                      static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, g_typedRest.data(), take);
    buffer[take] = '\0';
    g_typedRest.erase(0, take);
    return true;
}

int ConsoleReadKey() {
    const auto key = std::make_shared<int>(-1);
    if (!win32::RunWhileDispatching([key] { *key = _getch(); })) return -1;
    return *key;
}

}  // namespace plat
