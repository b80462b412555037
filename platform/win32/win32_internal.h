// The Windows headers, with the macros that would rename the platform interface's functions
// (LoadLibrary -> LoadLibraryA and so on) taken back. Include this before platform.h.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef LoadLibrary
#undef FindFirstFile
#undef FindNextFile
#undef SetCurrentDirectory
#undef GetProcessHeap

#include <cstddef>
#include <string>

// The console's conversions (console.cpp), with the test of which stream is a console.
namespace plat::win32 {

// GBK (code page 936) <-> UTF-16; false when the code page is not there to convert with.
// Bytes without a character, and characters without GBK bytes, become the default character.
bool GbkToWide(const char* text, std::size_t n, std::wstring* out);
bool WideToGbk(const wchar_t* text, std::size_t n, std::string* out);
// True when handle is a console (input or screen buffer), not a file, pipe or nothing.
bool IsConsole(HANDLE handle);
// Writes the zero-terminated GBK text to console as UTF-16. False, writing nothing, when
// console is no console or the text cannot be converted.
bool WriteConsoleText(HANDLE console, const char* text);
enum class ConsoleRead { NotAConsole, Line, End };
// Reads one typed line from console as GBK, its line end "\n". End at the end of input (Ctrl-Z
// Enter, or a console that cannot be read).
ConsoleRead ReadConsoleLine(HANDLE console, std::string* line);

}  // namespace plat::win32
