// POSIX console: standard streams with the GBK <-> UTF-8 conversion of a UTF-8 locale, the
// unechoed key read from the controlling terminal, and the primitives of the shared line input
// (platform/console_input.cpp: reading ahead and its bound).
//
// Invariants:
//  1. A write takes nothing from the heap: the text is converted piece by piece on the stack,
//     through a converter opened once at start, so the fatal error's text (the error box's
//     stand-in) reaches standard error also when memory is what ran out.
//  2. Where standard output is the journal (decided once at start), every line written there
//     begins with its priority, "<4>" (warning) for a failure's, "<6>" (info) for the others':
//     the journal takes the prefix off, so the text it keeps is webmon's own, byte for byte,
//     and no line of webmon's that happens to begin with "<" is ever read as a priority.
//     An address's password, though, is written there as "***" (hide_password.h): the journal
//     is read by others than the list's owner. Anywhere else every byte is written as it is.
//  3. The key read sets the terminal raw for the keys it reads, and gives the terminal's mode
//     back after each; a line read on the terminal is never pending meanwhile (the shared input
//     reads a terminal's lines in their turn only).
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/console_input.h"
#include "platform/platform.h"
#include "platform/posix/hide_password.h"
#include "platform/posix/posix_internal.h"

namespace plat {
namespace posix {
namespace {
std::atomic<bool> g_utf8{false};
bool g_outputIsJournal = false;  // set once in InitProcess (invariant 2)
bool g_outputLineStart = true;   // under stdout's lock: the next byte there begins a line
// GBK -> UTF-8 for each output stream, opened once at start (used under the stream's lock).
iconv_t g_toUtf8[2] = {reinterpret_cast<iconv_t>(-1), reinterpret_cast<iconv_t>(-1)};

// Converts n bytes of text with cd, handing out the converted bytes a piece at a time; a byte
// that does not convert passes unchanged.
template <typename Sink>
void ConvertInPieces(iconv_t cd, const char* text, std::size_t n, Sink&& sink) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char chunk[256];
    char* in = const_cast<char*>(text);
    std::size_t left = n;
    while (left > 0) {
        char* to = chunk;
        std::size_t room = sizeof chunk;
        std::size_t r = iconv(cd, &in, &left, &to, &room);
        sink(chunk, static_cast<std::size_t>(to - chunk));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            sink(in, 1);  // a byte that does not convert passes unchanged
            ++in;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
}
}  // namespace

bool ConsoleIsUtf8() { return g_utf8.load(); }

bool IsTheJournal(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat named {};
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(fd, &named) == 0 && named.st_dev == device && named.st_ino == inode;
}

std::string ConvertConsoleText(const char* text, std::size_t n, bool toUtf8) {
    iconv_t cd = toUtf8 ? iconv_open("UTF-8", "GBK") : iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text, n);
    std::string out;
    out.reserve(n * 2);
    ConvertInPieces(cd, text, n,
                    [&out](const char* piece, std::size_t size) { out.append(piece, size); });
    iconv_close(cd);
    return out;
}
}  // namespace posix

void InitProcess() {
    // A closed pipe or socket is met as the write's EPIPE, which ends webmon with 0 (ConsoleWrite)
    // or fails a fetch's send: never as a signal that kills.
    signal(SIGPIPE, SIG_IGN);
    // Nor a file-size limit (ulimit -f): a write past it fails with EFBIG, an output failure
    // like any other, and webmon goes on.
    signal(SIGXFSZ, SIG_IGN);
    posix::InitWaysOut();
    std::setlocale(LC_CTYPE, "");  // only the character set; numbers keep the C format
    const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    if (utf8) {
        for (iconv_t& cd : posix::g_toUtf8) cd = iconv_open("UTF-8", "GBK");
    }
    posix::g_utf8.store(utf8);
    posix::g_outputIsJournal = posix::IsTheJournal(STDOUT_FILENO);
}

void ConsoleWrite(Stream stream, const char* text) {
    const bool error = stream == Stream::Error;
    FILE* f = error ? stderr : stdout;
    iconv_t cd = posix::g_toUtf8[error ? 1 : 0];
    const bool convert = posix::ConsoleIsUtf8() && cd != reinterpret_cast<iconv_t>(-1);
    bool gone = false;  // the stream's reader has left: the output has nowhere to go
    auto put = [f, &gone](const char* bytes, std::size_t n) {
        if (std::fwrite(bytes, 1, n, f) < n && errno == EPIPE) gone = true;
    };
    auto write = [cd, convert, &put](const char* bytes, std::size_t n) {
        if (convert) {
            posix::ConvertInPieces(cd, bytes, n, put);
        } else {
            put(bytes, n);
        }
    };
    flockfile(f);
    if (!error && posix::g_outputIsJournal) {
        // Line by line, each begun with its priority (invariant 2). LF is never the second
        // byte of a GBK character, so the text is cut only between characters.
        const char* priority = stream == Stream::OutputWarning ? "<4>" : "<6>";
        for (const char* p = text; *p;) {
            const char* end = std::strchr(p, '\n');
            const std::size_t n = end ? static_cast<std::size_t>(end - p) + 1 : std::strlen(p);
            if (posix::g_outputLineStart) std::fwrite(priority, 1, 3, f);
            posix::WriteHidingPassword(p, n, write);
            posix::g_outputLineStart = end != nullptr;
            p += n;
        }
    } else {
        write(text, std::strlen(text));
    }
    // A log or a pipe gets each line at once.
    if (!isatty(fileno(f)) && std::fflush(f) != 0 && errno == EPIPE) gone = true;
    funlockfile(f);
    if (gone) ExitProcess(0);  // with the lock let go: the end takes every stream's lock
}

namespace input {
// A flag under a lock: the main thread's wait for the reader.
struct Signal {
    std::mutex lock;
    std::condition_variable raised;
    bool up = false;
};
Signal* NewSignal() { return new Signal(); }
void FreeSignal(Signal* signal) { delete signal; }
void Raise(Signal* signal) {
    std::lock_guard<std::mutex> hold(signal->lock);
    signal->up = true;
    signal->raised.notify_one();
}
bool WaitRaised(Signal* signal) {
    std::unique_lock<std::mutex> hold(signal->lock);
    signal->raised.wait(hold, [signal] { return signal->up; });
    signal->up = false;
    return true;
}

bool InputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

namespace {
// fd when it is a pipe or a socket, whose reader can leave; -1 (which poll passes over) for a
// terminal, a file or the null device, which never leave.
int Leavable(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) ? fd : -1;
}
}  // namespace

// Waits until fd (standard input, or the terminal for a key) has something to read: bytes, its
// end or an error. Meanwhile a reader of standard output or error that leaves ends webmon, as
// the next write would: a pipe whose reader closed polls as an error, a socket whose peer
// closed as a hang-up. So webmon waiting for input, its worker idle, still ends at once when
// nobody is left to read it.
void AwaitReadable(int fd) {
    pollfd fds[] = {
        {fd, POLLIN, 0}, {Leavable(STDOUT_FILENO), 0, 0}, {Leavable(STDERR_FILENO), 0, 0}};
    while (poll(fds, 3, -1) < 0 && errno == EINTR) {}
    if ((fds[1].revents | fds[2].revents) & (POLLERR | POLLHUP)) ExitProcess(0);
}

bool ReadOneLine(std::string* line, int size) {
    constexpr int kLineBuffer = 4096;  // the longest line read at once (callers ask for 2049)
    char buffer[kLineBuffer];
    if (size > kLineBuffer) size = kLineBuffer;
#ifdef __GLIBC__
    const bool buffered = stdin->_IO_read_ptr < stdin->_IO_read_end;  // bytes read already
#else
    const bool buffered = true;  // not known here: no wait, the read blocks as before
#endif
    if (!buffered) AwaitReadable(STDIN_FILENO);
    if (!std::fgets(buffer, size, stdin)) return false;
    if (posix::ConsoleIsUtf8()) {
        // GBK never takes more bytes than UTF-8 for the same text; unconverted bytes keep theirs.
        *line = posix::ConvertConsoleText(buffer, std::strlen(buffer), false);
    } else {
        *line = buffer;
    }
    return true;
}

bool ReadLineInTurn(std::string* line, int size) { return ReadOneLine(line, size); }
bool EndRequested() { return false; }
}  // namespace input

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
    posix::HoldTerminal(fd, {saved});  // put back on every way out, should one come now
    tcsetattr(fd, TCSANOW, &raw);
    unsigned char byte = 0;
    std::size_t got = 0;
    input::AwaitReadable(fd);
    const bool read = posix::ReadFully(fd, &byte, 1, &got);
    tcsetattr(fd, TCSANOW, &saved);
    posix::ReleaseTerminal();
    close(fd);
    if (!read || got != 1) return -1;
    return byte == '\n' ? 0x0D : byte;  // Enter ends the read as the carriage return does
}

}  // namespace plat
