// Win32 console input: the line read and the key read without echo.
//
// Invariants:
//  1. Each read runs on a thread of its own while the main thread waits dispatching
//     (console_wait.cpp); an end event answers "end" at once (console_events.cpp).
//  2. Once a line has been read the next is read ahead, so that the end of input is seen while
//     the main thread is held in a write (a full pipe, a console that scrolls no more, the
//     worker holding the stream): the main thread ends webmon as always, and should it not
//     within kEndOfInputGraceMs, the reading thread ends the process, with code 0. (So a
//     program that reads lines must not also read keys: this one reads lines only.)
#include "platform/win32/win32_internal.h"
#include <conio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace plat {
namespace win32 {

namespace {
constexpr DWORD kEndOfInputGraceMs = 500;  // how long the end of input leaves the main thread

// One line read by a thread of its own.
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
}  // namespace win32

namespace {
// What ReadConsoleLine read beyond the caller's buffer; the next call hands it out first, as
// the C stream's buffer would. Only the main thread reads lines.
std::string g_typedRest;
std::shared_ptr<win32::LineRead> g_nextRead;  // the line read ahead (invariant 2)
}  // namespace

bool ConsoleReadLine(char* buffer, int size) {
    if (size <= 0) return false;
    if (g_typedRest.empty()) {
        if (::WaitForSingleObject(win32::InputEnded(), 0) == WAIT_OBJECT_0) return false;
        // The line read ahead (invariant 2), or one read now.
        std::shared_ptr<win32::LineRead> read = std::move(g_nextRead);
        if (!read) read = win32::StartLineRead(size);
        if (!win32::WaitDispatching(read->done)) return false;  // the console's end
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
