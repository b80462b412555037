// Win32 console: standard output and error, line and key input.
#include "platform/win32/win32_internal.h"
#include <conio.h>
#include <io.h>

#include <cstdio>

#include "platform/platform.h"

namespace plat {

void ConsoleWrite(Stream stream, const char* text) {
    FILE* f = stream == Stream::Error ? stderr : stdout;
    _lock_file(f);
    std::fprintf(f, "%s", text);
    if (!_isatty(_fileno(f))) std::fflush(f);  // a log or a pipe gets each line at once
    _unlock_file(f);
}

bool ConsoleReadLine(char* buffer, int size) { return std::fgets(buffer, size, stdin) != nullptr; }

int ConsoleReadKey() { return _getch(); }

}  // namespace plat
