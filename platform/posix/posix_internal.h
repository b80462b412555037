// Shared pieces of the POSIX stand-ins (not part of the platform interface).
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

struct flock;

namespace plat::posix {

void SetLastError(std::uint32_t code);

// WinINet's error numbers, as GetLastError reports them from the HTTP stand-in.
enum : std::uint32_t {
    kErrTimeout = 12002,
    kErrInternalError = 12004,
    kErrInvalidUrl = 12005,
    kErrUnrecognizedScheme = 12006,
    kErrNameNotResolved = 12007,
    kErrInvalidOperation = 12016,
    kErrIncorrectHandleType = 12018,
    kErrIncorrectHandleState = 12019,
    kErrCannotConnect = 12029,
    kErrConnectionAborted = 12030,
    kErrHeaderNotFound = 12150,
    kErrSecureFailure = 12175,
};
// Sets the last error and answers false, as a failing WinINet call does.
inline bool Fail(std::uint32_t error) {
    SetLastError(error);
    return false;
}
// A Windows-form path ('\' separators) in the file system's form ('/').
std::string NativePath(const char* windowsPath);
// Reads count bytes from fd into into, or fewer at the end of the input; a signal that stops
// a read before any byte is no error. False on a read error; *got: the bytes read.
bool ReadFully(int fd, void* into, std::size_t count, std::size_t* got);
// GBK -> UTF-8 (toUtf8) or UTF-8 -> GBK; bytes that do not convert pass unchanged.
std::string ConvertConsoleText(const char* text, std::size_t n, bool toUtf8);
// The terminal's mode while webmon changes it (the key read turns echo and line editing off):
// HoldTerminal records the mode to put back, ReleaseTerminal says it is back. Every way out
// puts a held mode back: ExitProcess, std::terminate, abort and the signals that end the
// process (InitWaysOut installs what it takes).
struct TerminalMode {
    termios mode;
};
void HoldTerminal(int fd, const TerminalMode& saved);
void ReleaseTerminal();
void RestoreTerminal();  // async-signal-safe
void InitWaysOut();      // once, from InitProcess
// True when the console speaks UTF-8 (decided once in InitProcess from LC_CTYPE).
bool ConsoleIsUtf8();
// True when the descriptor is the journal's stream that systemd gave the service
// (JOURNAL_STREAM, "device:inode", names it).
bool IsTheJournal(int fd);
// The call that takes OpenFileForReading's shared lock (fcntl F_OFD_SETLK), for tests that
// play a file system without locks; null: the real call.
using ReadLockCall = int (*)(int fd, struct flock* lock);
void SetReadLockSeam(ReadLockCall call);
// Called in OpenFileForReading's look for writers, between the look at another process's
// descriptor that shows the file and the look at its flags, for tests that change the
// descriptor there; null: nothing is called.
using BetweenLooksCall = void (*)(long pid, int fd);
void SetBetweenLooksSeam(BetweenLooksCall call);

}  // namespace plat::posix
