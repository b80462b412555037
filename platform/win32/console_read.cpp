// Win32 console input: the primitives of the shared line input (platform/console_input.cpp)
// and the key read without echo.
//
// Invariants:
//  1. The main thread never blocks in a read: a read in its turn (a line on a console, a key)
//     runs on a thread of its own while the main thread waits dispatching (console_wait.cpp),
//     and a console end event answers "end" at once (console_events.cpp).
//  2. A console's lines are read in their turn, never ahead, so that the key read (_getch, the
//     console's own keyboard) gets every key typed after it and no pending ReadConsoleW takes
//     or echoes one; with standard input a pipe or a file the lines are read ahead, and the
//     keys still come from the console.
//  3. A typed line longer than the caller's buffer keeps its rest for the next read, as the C
//     stream's buffer would; only one read of standard input runs at a time (the reader thread,
//     or the one read in turn), so the rest has one user.
#include "platform/win32/win32_internal.h"
#include <conio.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/console_input.h"
#include "platform/platform.h"

namespace plat {

namespace {
std::string g_typedRest;  // invariant 3
}  // namespace

namespace input {

struct Signal {
    HANDLE event;  // auto-reset
};
Signal* NewSignal() {
    const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event ? new Signal{event} : nullptr;
}
void FreeSignal(Signal* signal) {
    ::CloseHandle(signal->event);
    delete signal;
}
void Raise(Signal* signal) { ::SetEvent(signal->event); }
bool WaitRaised(Signal* signal) { return win32::WaitDispatching(signal->event); }

bool InputIsTerminal() { return win32::IsConsole(::GetStdHandle(STD_INPUT_HANDLE)); }

bool ReadOneLine(std::string* line, int size) {
    if (size <= 1) return false;
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    if (!win32::IsConsole(in)) {
        std::string buffer(static_cast<std::size_t>(size), '\0');
        if (!std::fgets(buffer.data(), size, stdin)) return false;
        *line = buffer.c_str();  // as fgets read it, up to its terminator
        return true;
    }
    if (g_typedRest.empty() &&
        win32::ReadConsoleLine(in, &g_typedRest) != win32::ConsoleRead::Line) {
        return false;
    }
    // As fgets: through the line end, at most size - 1 bytes, the rest for the next read.
    const std::size_t end = g_typedRest.find('\n');
    std::size_t take = end == std::string::npos ? g_typedRest.size() : end + 1;
    if (take > static_cast<std::size_t>(size - 1)) take = static_cast<std::size_t>(size - 1);
    line->assign(g_typedRest, 0, take);
    g_typedRest.erase(0, take);
    return true;
}

bool ReadLineInTurn(std::string* line, int size) {
    struct Read {
        std::string line;
        bool got = false;
    };
    const auto read = std::make_shared<Read>();
    if (!win32::RunWhileDispatching([read, size] { read->got = ReadOneLine(&read->line, size); })) {
        return false;  // a console end event
    }
    *line = std::move(read->line);
    return read->got;
}

bool EndRequested() { return ::WaitForSingleObject(win32::InputEnded(), 0) == WAIT_OBJECT_0; }

}  // namespace input

int ConsoleReadKey() {
    const auto key = std::make_shared<int>(-1);
    if (!win32::RunWhileDispatching([key] { *key = _getch(); })) return -1;
    return *key;
}

}  // namespace plat
