// Win32 console: standard output and error, line and key input, and the console's own ends.
//
// The texts are GBK, which a console shows as Chinese only under code page 936. So a stream
// that is a console is written in UTF-16 (WriteConsoleW) and read so (ReadConsoleW), converted
// from and to code page 936: webmon reads right whatever the console's code page. A redirected
// stream keeps its bytes exactly, through the C streams as before.
//
// A console left open for months:
//  1. QuickEdit is off while webmon runs (the user's mode comes back at its end): a selection
//     made with the mouse would hold every thread that writes to the console, the worker's
//     result lines among them, until it ends. Text is still copied with the window menu's
//     Edit > Mark.
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
constexpr DWORD kEndGraceMs = 3000;  // how long an end event leaves the main thread to end it

// Set once by an end event (point 3), never reset: every read from then on answers "end".
HANDLE InputEnded() {
    static const HANDLE ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ended;
}
// The input console's mode before QuickEdit was turned off, to be put back at the end.
HANDLE g_modeConsole = nullptr;
DWORD g_savedMode = 0;

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

// Runs work on a thread of its own while this thread waits for it, dispatching the messages
// that arrive meanwhile (point 2). False when the input ended first: the work is left running,
// and keeps its state alive itself.
bool RunWhileDispatching(std::function<void()> work) {
    if (::WaitForSingleObject(InputEnded(), 0) == WAIT_OBJECT_0) return false;
    auto* job = new Job(std::make_shared<std::function<void()>>(std::move(work)));
    HANDLE thread = ::CreateThread(nullptr, 0, RunJob, job, 0, nullptr);
    if (!thread) {  // no thread to spare: the read blocks here, as a plain read does
        (**job)();
        delete job;
        return true;
    }
    const HANDLE waited[] = {thread, InputEnded()};
    bool finished = true;
    for (;;) {
        const DWORD woke = ::MsgWaitForMultipleObjects(2, waited, FALSE, INFINITE, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_OBJECT_0 + 1) {
            finished = false;
            break;
        }
        if (woke == WAIT_OBJECT_0 + 2) {
            g_dispatchingForConsole = true;
            DispatchWaiting();
            g_dispatchingForConsole = false;
            continue;
        }
        ::WaitForSingleObject(thread, INFINITE);  // the wait failed: a plain one
        break;
    }
    ::CloseHandle(thread);
    return finished;
}
}  // namespace

void InitConsole() {
    InputEnded();
    ::SetConsoleCtrlHandler(OnControl, TRUE);
    if (HANDLE watcher = ::CreateThread(nullptr, 0, WatchSession, nullptr, 0, nullptr)) {
        ::CloseHandle(watcher);
    }
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (IsConsole(input) && ::GetConsoleMode(input, &mode) &&
        ::SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE)) {
        g_modeConsole = input;
        g_savedMode = mode;
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
        struct Read {
            win32::ConsoleRead how = win32::ConsoleRead::End;
            std::string typed;
            std::string streamed;  // a redirected input's line, as fgets reads it
            bool got = false;
        };
        const auto read = std::make_shared<Read>();
        const bool done = win32::RunWhileDispatching([read, size] {
            read->how = win32::ReadConsoleLine(::GetStdHandle(STD_INPUT_HANDLE), &read->typed);
            if (read->how != win32::ConsoleRead::NotAConsole) return;
            read->streamed.resize(static_cast<std::size_t>(size));
            read->got = std::fgets(read->streamed.data(), size, stdin) != nullptr;
        });
        if (!done) return false;  // the console's end (point 3)
        switch (read->how) {
        case win32::ConsoleRead::NotAConsole:
            if (read->got) std::strcpy(buffer, read->streamed.c_str());  // at most size bytes
            return read->got;
        case win32::ConsoleRead::End: return false;
        case win32::ConsoleRead::Line: g_typedRest = std::move(read->typed); break;
        }
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
