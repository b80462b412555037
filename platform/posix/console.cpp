// POSIX console: standard streams with the GBK <-> UTF-8 conversion of a UTF-8 locale, and the
// unechoed key read from the controlling terminal.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace plat {
namespace posix {
namespace {
std::atomic<bool> g_utf8{false};
}

bool ConsoleIsUtf8() { return g_utf8.load(); }

std::string ConvertConsoleText(const char* text, std::size_t n, bool toUtf8) {
    iconv_t cd = toUtf8 ? iconv_open("UTF-8", "GBK") : iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text, n);
    std::string out;
    out.reserve(n * 2);
    char chunk[256];
    char* in = const_cast<char*>(text);
    std::size_t left = n;
    while (left > 0) {
        char* to = chunk;
        std::size_t room = sizeof chunk;
        std::size_t r = iconv(cd, &in, &left, &to, &room);
        out.append(chunk, static_cast<std::size_t>(to - chunk));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out.push_back(*in);  // a byte that does not convert passes unchanged
            ++in;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}
}  // namespace posix

void InitProcess() {
    signal(SIGPIPE, SIG_IGN);      // a closed pipe must not end the monitor
    std::setlocale(LC_CTYPE, "");  // only the character set; numbers keep the C format
    posix::g_utf8.store(std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0);
}

void ConsoleWrite(Stream stream, const char* text) {
    FILE* f = stream == Stream::Error ? stderr : stdout;
    std::string converted;
    if (posix::ConsoleIsUtf8()) {
        converted = posix::ConvertConsoleText(text, std::strlen(text), true);
        text = converted.c_str();
    }
    flockfile(f);
    std::fprintf(f, "%s", text);
    if (!isatty(fileno(f))) std::fflush(f);  // a log or a pipe gets each line at once
    funlockfile(f);
}

bool ConsoleReadLine(char* buffer, int size) {
    if (!std::fgets(buffer, size, stdin)) return false;
    if (posix::ConsoleIsUtf8()) {
        std::string gbk = posix::ConvertConsoleText(buffer, std::strlen(buffer), false);
        // GBK never takes more bytes than UTF-8 for the same text; unconverted bytes keep theirs.
        std::memcpy(buffer, gbk.c_str(), gbk.size() + 1);
    }
    return true;
}

int ConsoleReadKey() {
    int fd = open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        close(fd);
        return -1;
    }
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_iflag &= static_cast<tcflag_t>(~(ICRNL | INLCR));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);
    unsigned char byte = 0;
    std::size_t got = 0;
    const bool read = posix::ReadFully(fd, &byte, 1, &got);
    tcsetattr(fd, TCSANOW, &saved);
    close(fd);
    if (!read || got != 1) return -1;
    return byte == '\n' ? 0x0D : byte;  // Enter ends the read as the carriage return does
}

}  // namespace plat
