// Win32 console text: standard output and error, and the typed line, in UTF-16.
//
// The texts are GBK, which a console shows as Chinese only under code page 936. So a stream
// that is a console is written in UTF-16 (WriteConsoleW) and read so (ReadConsoleW), converted
// from and to code page 936: webmon reads right whatever the console's code page. A redirected
// stream keeps its bytes exactly, through the C streams as before. A console write that fails
// hands what it could not write to the C stream.
//
// The console's other jobs have files of their own: console_mode.cpp (QuickEdit and the crash
// filter), console_events.cpp (control events, logoff and shutdown), console_wait.cpp (waiting
// while dispatching) and console_read.cpp (the line and key reads).
#include "platform/win32/win32_internal.h"
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console_input.h"
#include "platform/platform.h"

namespace plat {
namespace win32 {

namespace {
constexpr DWORD kConsolePiece = 8192;  // UTF-16 units a console call takes at once
constexpr wchar_t kCtrlZ = 0x1A;
constexpr std::size_t kPipePiece = 4096;  // bytes a redirected write takes at once
std::atomic<std::uint64_t> g_piecesWritten{0};
}  // namespace

std::uint64_t TextsWritten() { return g_piecesWritten.load(); }

void InitConsole() {
    InitConsoleEvents();
    InitConsoleMode();
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

void ConsoleWrite(Stream stream, const char* text) {
    FILE* f = stream == Stream::Error ? stderr : stdout;
    input::WriteBegins();  // also while this waits for the stream's lock
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
        // A log or a pipe gets each line at once, in pieces that each tell the end that the
        // output still moves (a slow reader is no stopped one).
        for (std::size_t left = std::strlen(text); left > 0;) {
            const std::size_t piece = std::min<std::size_t>(left, win32::kPipePiece);
            std::fwrite(text, 1, piece, f);
            std::fflush(f);
            win32::g_piecesWritten.fetch_add(1);
            text += piece;
            left -= piece;
        }
    }
    win32::g_piecesWritten.fetch_add(1);
    _unlock_file(f);
    input::WriteEnds();
}

}  // namespace plat
