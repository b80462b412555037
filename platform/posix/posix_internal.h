// Shared pieces of the POSIX stand-ins (not part of the platform interface).
#pragma once

#include <cstdint>
#include <string>

namespace plat::posix {

void SetLastError(std::uint32_t code);
// A Windows-form path ('\' separators) in the file system's form ('/').
std::string NativePath(const char* windowsPath);
// GBK -> UTF-8 (toUtf8) or UTF-8 -> GBK; bytes that do not convert pass unchanged.
std::string ConvertConsoleText(const char* text, std::size_t n, bool toUtf8);
// True when the console speaks UTF-8 (decided once in InitProcess from LC_CTYPE).
bool ConsoleIsUtf8();

}  // namespace plat::posix
