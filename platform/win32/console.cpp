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
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace plat {
namespace win32 {

namespace {
constexpr DWORD kConsolePiece = 8192;  // UTF-16 units a console call takes at once
constexpr wchar_t kCtrlZ = 0x1A;

// After a failed write of a redirected stream: true when the pipe's reader has left (the
// system's error for the write, which the C runtime keeps in _doserrno). Windows answers the
// first write after the reader's close with ERROR_BROKEN_PIPE and later ones with
// ERROR_NO_DATA; wine answers ERROR_PIPE_NOT_CONNECTED, "no process is on the other end".
bool ReaderGone() {
    const unsigned long error = _doserrno;
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
           error == ERROR_PIPE_NOT_CONNECTED;
}
}  // namespace

bool OutputReaderLeft() {
    // A pipe's state, which its writer can ask without writing (a null write would hand its
    // reader an empty read, which a C runtime takes for the end): NtQueryInformationFile's
    // FilePipeLocalInformation, "closing" once the other end has been closed. A socket, a
    // console, a file or the null device is no pipe here: none of them is watched.
    struct PipeLocal {
        ULONG type, configuration, maximumInstances, currentInstances, inboundQuota,
            readDataAvailable, outboundQuota, writeQuotaAvailable, state, end;
    };
    constexpr int kFilePipeLocalInformation = 24;
    constexpr ULONG kFilePipeClosingState = 4;
    using Query = LONG(WINAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    if (!query) return false;
    for (FILE* f : {stdout, stderr}) {
        const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
        if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_PIPE) continue;
        PipeLocal pipe{};
        IO_STATUS_BLOCK status;
        if (query(handle, &status, &pipe, sizeof pipe, kFilePipeLocalInformation) == 0 &&
            pipe.state == kFilePipeClosingState) {
            return true;
        }
    }
    return false;
}

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
    bool gone = false;  // the stream's reader has left: the output has nowhere to go
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
        // A log or a pipe gets each line at once.
        const std::size_t n = std::strlen(text);
        if (std::fwrite(text, 1, n, f) < n) gone = win32::ReaderGone();
        if (std::fflush(f) != 0) gone = gone || win32::ReaderGone();
    }
    _unlock_file(f);
    if (gone) ExitProcess(0);  // with the lock let go: the end takes every stream's lock
}

}  // namespace plat
