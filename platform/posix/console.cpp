// POSIX console: standard streams with the GBK <-> UTF-8 conversion of a UTF-8 locale, the
// unechoed key read from the controlling terminal, and the end of input.
//
// Invariants:
//  1. A write takes nothing from the heap: the text is converted piece by piece on the stack,
//     through a converter opened once at start, so the fatal error's text (the error box's
//     stand-in) reaches standard error also when memory is what ran out.
//  2. Standard input is read by a thread of its own from the first line asked for, ahead of
//     the main thread, so that its end is seen whatever the output does: a main thread held in
//     a write (a full pipe, a stopped terminal, the worker holding the stream) would otherwise
//     never read it. At the end of input the main thread ends webmon as always; should it not
//     within kEndGraceMs, the reader ends the process itself, with code 0. (So a program that
//     reads lines must not also read keys from the same terminal: this one reads lines only.)
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <chrono>
#include <system_error>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace plat {
namespace posix {
namespace {
std::atomic<bool> g_utf8{false};
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
    signal(SIGPIPE, SIG_IGN);  // a closed pipe must not end the monitor
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
}

void ConsoleWrite(Stream stream, const char* text) {
    FILE* f = stream == Stream::Error ? stderr : stdout;
    iconv_t cd = posix::g_toUtf8[stream == Stream::Error ? 1 : 0];
    flockfile(f);
    if (posix::ConsoleIsUtf8() && cd != reinterpret_cast<iconv_t>(-1)) {
        posix::ConvertInPieces(cd, text, std::strlen(text), [f](const char* piece, std::size_t n) {
            std::fwrite(piece, 1, n, f);
        });
    } else {
        std::fputs(text, f);
    }
    if (!isatty(fileno(f))) std::fflush(f);  // a log or a pipe gets each line at once
    funlockfile(f);
}

namespace {
constexpr int kEndGraceMs = 500;  // how long the end of input leaves the main thread to end it

// The lines read ahead (invariant 2): filled by the reader, emptied by the main thread.
struct Input {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> lines;
    bool ended = false;
};
Input& TheInput() {
    static Input* input = new Input();  // never destroyed: the reader outlives main's return
    return *input;
}

void ReadAhead(int size) {
    Input& input = TheInput();
    std::string line(static_cast<std::size_t>(size), '\0');
    while (std::fgets(line.data(), size, stdin)) {
        std::lock_guard<std::mutex> hold(input.lock);
        input.lines.emplace_back(line.c_str());
        input.changed.notify_one();
    }
    {
        std::lock_guard<std::mutex> hold(input.lock);
        input.ended = true;
        input.changed.notify_one();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kEndGraceMs));
    if (!posix::ProcessEnding()) ExitProcess(0);  // the main thread is held elsewhere: end it here
}
// The reader, started by the first line asked for; false when no thread could be made.
bool StartReader(int size) {
    try {
        std::thread(ReadAhead, size).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
}  // namespace

bool ConsoleReadLine(char* buffer, int size) {
    if (size <= 0) return false;
    static const bool ahead = StartReader(size);
    std::string line;
    if (ahead) {
        Input& input = TheInput();
        std::unique_lock<std::mutex> hold(input.lock);
        input.changed.wait(hold, [&input] { return !input.lines.empty() || input.ended; });
        if (input.lines.empty()) return false;
        line = std::move(input.lines.front());
        input.lines.pop_front();
    } else {  // no thread to spare: this read blocks here, as a plain one does
        if (!std::fgets(buffer, size, stdin)) return false;
        line = buffer;
    }
    if (posix::ConsoleIsUtf8()) {
        // GBK never takes more bytes than UTF-8 for the same text; unconverted bytes keep theirs.
        line = posix::ConvertConsoleText(line.data(), line.size(), false);
    }
    std::memcpy(buffer, line.c_str(), line.size() + 1);
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
    posix::HoldTerminal(fd, {saved});  // put back on every way out, should one come now
    tcsetattr(fd, TCSANOW, &raw);
    unsigned char byte = 0;
    std::size_t got = 0;
    const bool read = posix::ReadFully(fd, &byte, 1, &got);
    tcsetattr(fd, TCSANOW, &saved);
    posix::ReleaseTerminal();
    close(fd);
    if (!read || got != 1) return -1;
    return byte == '\n' ? 0x0D : byte;  // Enter ends the read as the carriage return does
}

}  // namespace plat
