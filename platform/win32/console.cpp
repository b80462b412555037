// Win32 console: standard output and error, line and key input.
//
// The texts are GBK, which a console shows as Chinese only under code page 936. So a stream
// that is a console is written in UTF-16 (WriteConsoleW) and read so (ReadConsoleW), converted
// from and to code page 936: webmon reads right whatever the console's code page. A redirected
// stream keeps its bytes exactly, through the C streams as before.
#include "platform/win32/win32_internal.h"
#include <conio.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace plat {
namespace win32 {

namespace {
constexpr DWORD kConsolePiece = 8192;  // UTF-16 units a console call takes at once
constexpr wchar_t kCtrlZ = 0x1A;
}  // namespace

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

bool WriteConsoleText(HANDLE console, const char* text) {
    std::wstring wide;
    if (!IsConsole(console) || !GbkToWide(text, std::strlen(text), &wide)) return false;
    const wchar_t* at = wide.data();
    std::size_t left = wide.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(left, kConsolePiece));
        if (!::WriteConsoleW(console, at, piece, &written, nullptr) || written == 0) break;
        at += written;
        left -= written;
    }
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
        if (!win32::WriteConsoleText(handle, text)) std::fprintf(f, "%s", text);
    } else {
        std::fprintf(f, "%s", text);
        std::fflush(f);  // a log or a pipe gets each line at once
    }
    _unlock_file(f);
}

bool ConsoleReadLine(char* buffer, int size) {
    if (size <= 0) return false;
    if (g_typedRest.empty()) {
        switch (win32::ReadConsoleLine(::GetStdHandle(STD_INPUT_HANDLE), &g_typedRest)) {
        case win32::ConsoleRead::NotAConsole: return std::fgets(buffer, size, stdin) != nullptr;
        case win32::ConsoleRead::End: return false;
        case win32::ConsoleRead::Line: break;
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

int ConsoleReadKey() { return _getch(); }

}  // namespace plat
