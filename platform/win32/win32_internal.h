// The Windows headers, with the macros that would rename the platform interface's functions
// (LoadLibrary -> LoadLibraryA and so on) taken back. Include this before platform.h.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the macros
#endif
#include <windows.h>

#undef LoadLibrary
#undef FindFirstFile
#undef FindNextFile
#undef SetCurrentDirectory
#undef GetProcessHeap

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace plat::win32 {

// A code page's bytes <-> UTF-16 (code_pages.cpp); false when the code page is not there to
// convert with. Bytes without a character, and characters without bytes, become the default
// character.
bool ToWide(UINT codePage, const char* text, std::size_t n, std::wstring* out);
bool FromWide(UINT codePage, const wchar_t* text, std::size_t n, std::string* out);

// The console's texts (console.cpp), GBK whatever the system's code page.
constexpr UINT kGbkCodePage = 936;
inline bool GbkToWide(const char* text, std::size_t n, std::wstring* out) {
    return ToWide(kGbkCodePage, text, n, out);
}
inline bool WideToGbk(const wchar_t* text, std::size_t n, std::string* out) {
    return FromWide(kGbkCodePage, text, n, out);
}

// True when handle is a console (input or screen buffer), not a file, pipe or nothing.
bool IsConsole(HANDLE handle);
// Writes the zero-terminated GBK text to console as UTF-16. False when console is no console,
// the text cannot be converted or a write fails; unwritten (when given) then holds what was not
// written, as GBK, and is empty after a whole write.
bool WriteConsoleText(HANDLE console, const char* text, std::string* unwritten = nullptr);
// True when standard output's or error's reader has left: a pipe whose other end was closed,
// told without writing to it (console.cpp).
bool OutputReaderLeft();
enum class ConsoleRead { NotAConsole, Line, End };
// Reads one typed line from console as GBK, its line end "\n". End at the end of input (Ctrl-Z
// Enter, or a console that cannot be read).
ConsoleRead ReadConsoleLine(HANDLE console, std::string* line);
// The console as webmon holds it while it runs (console.cpp): QuickEdit off (console_mode.cpp),
// the control handler and the session's window in place (console_events.cpp). RestoreConsole
// gives the user's mode back.
void InitConsole();
void InitConsoleMode();
void InitConsoleEvents();
void RestoreConsole();
// Set once by an end event (Ctrl+C, the close button, logoff, shutdown), never reset: every
// console read from then on answers "end" (console_events.cpp).
HANDLE InputEnded();
// True while the main thread dispatches messages as it waits for the console: a thread that
// asks it to end the program then ends it itself, as when the main thread dispatched nothing.
bool DispatchingForConsole();
// Waits for done, dispatching the messages that arrive meanwhile (console_wait.cpp). False when
// the input ended first (InputEnded).
bool WaitDispatching(HANDLE done);
// Runs work on a thread of its own while this thread waits for it, dispatching. False when the
// input ended first: the work is left running, and keeps its state alive itself. With no thread
// to spare the work runs here, blocking as a plain read does.
bool RunWhileDispatching(std::function<void()> work);

}  // namespace plat::win32
