// The platform layer: everything webmon asks of the operating system, in one narrow interface.
//
// Two implementations stand behind it: platform/win32/ (the real Win32, WinINet, OLE and Windows
// Sockets calls) and platform/posix/ (stand-ins on POSIX and libcurl that keep what the runtime
// relies on). Nothing outside platform/ includes a system header. Each side keeps one file per
// section below: process.cpp (process, heap, modules, COM and sockets), files.cpp, console.cpp,
// threads.cpp, window.cpp (the user interface) and inet.cpp (the HTTP entry points), with an
// internal header of its own (posix_internal.h, win32_internal.h). Beside them:
//   Linux    inet_handles.h (the stand-in's handles and what each holds), transfer.cpp (the
//            transfer engine over libcurl: phases, limits, callbacks), cookies.cpp (the
//            session's cookies, within bounds) and cookie_bound.cpp (which cookies go past a
//            bound), and the pure parts of the stand-in: url.cpp, http_head.cpp,
//            request_text.cpp;
//   Windows  inet_call.cpp (a request's WinINet notices, phases and waits), code_pages.cpp
//            (the conversions to and from UTF-16), and the console by job: console_mode.cpp
//            (QuickEdit and the crash filter), console_events.cpp (control events, logoff and
//            shutdown), console_wait.cpp (waiting while dispatching) and console_read.cpp
//            (the line and key reads).
// fetch_phases.h names a request's phases alike on both sides; error_box_seam.cpp serves both,
// and so does console_input.cpp: the line input's reading ahead and its bound, over each side's
// primitives (console_input.h).
//
// Invariants:
//  1. Paths and texts crossing this interface are GBK / ANSI bytes in Windows form ("C:\a\b");
//     the POSIX stand-ins turn '\' into '/' where they touch the file system.
//  2. Every function may be called from any thread unless its comment says otherwise.
//  3. Handles are opaque; null (nullptr / 0) is never a valid handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fetch_phases.h"

namespace plat {

// ---- Process ---------------------------------------------------------------------------------

// The executable's full path in Windows form (D:\dir\webmon.exe; on Linux \home\u\webmon).
// Windows: the module's name read whole, whatever its length, in the ANSI code page; its short
// form where a character of it is outside that code page. Linux: the whole real path. Empty
// when there is no path, it cannot be read whole, or no form of it is exact in ANSI.
std::string ExecutablePath();

// Makes path (Windows form) the current directory. False when that fails (the empty path fails).
bool SetCurrentDirectory(const char* path);

std::uint32_t CurrentThreadId();

// The one way out of the process (each side's process.cpp lists every way webmon ends): the
// standard streams flushed, no static destructors, no library clean-up, other threads stopped
// where they stand, but never in the middle of a text they write: a text under way ends whole
// first, and waits for the streams' reader as any write does. Once a fatal error is under way
// the code is -1, whatever the caller asked.
[[noreturn]] void ExitProcess(std::int32_t code);
// Says that a fatal error is under way (its report has begun; its box may be up on any thread):
// set once, never cleared. FatalEndUnderWay tells it.
void BeginFatalEnd();
bool FatalEndUnderWay();

// Called once by main() before anything else: binary standard output and error on Windows,
// SIGPIPE ignored and the console character set read on Linux.
void InitProcess();

// True when lead is the first byte of a double-byte character in file names. GBK on Windows;
// never on Linux, whose file names are UTF-8 and never carry 0x5C inside a character.
bool IsPathLeadByte(unsigned char lead);

// ---- Heap ------------------------------------------------------------------------------------
// The process heap. Blocks are not zero-filled. Sizes are unsigned 32-bit, as the heap sees them.

using HeapHandle = void*;
HeapHandle GetProcessHeap();
void* HeapAlloc(HeapHandle heap, std::uint32_t size);                 // null on failure
void* HeapReAlloc(HeapHandle heap, void* block, std::uint32_t size);  // null: block kept
void HeapFree(HeapHandle heap, void* block);

// ---- Modules ---------------------------------------------------------------------------------

using ModuleHandle = void*;
ModuleHandle LoadLibrary(const char* fileName);
// name: an export name, or null to look up by ordinal.
void* GetProcAddress(ModuleHandle module, const char* name, std::uint16_t ordinal);
void FreeLibrary(ModuleHandle module);
// The system libraries that a DLL command without a library file name is searched in.
// Windows: Kernel32, Gdi32, User32, Advapi32, Mpr, Shell32. Linux: the C library only.
const char* const* SystemLibraryNames();

// ---- Directory search ------------------------------------------------------------------------

// The file attribute bits (FILE_ATTRIBUTE_*) that entries carry.
enum : std::uint32_t {
    kAttrReadOnly = 0x01,
    kAttrHidden = 0x02,
    kAttrSystem = 0x04,
    kAttrDirectory = 0x10,
    kAttrArchive = 0x20,
};
struct FindEntry {
    std::uint32_t attributes;  // FILE_ATTRIBUTE_* bits
    std::string name;          // the entry's file name, no directory
};
using FindHandle = void*;
FindHandle FindFirstFile(const char* pattern, FindEntry* out);  // null when nothing matches
bool FindNextFile(FindHandle search, FindEntry* out);
void FindClose(FindHandle search);

// ---- Files -----------------------------------------------------------------------------------

using FileHandle = void*;
// Opens an existing file for reading; others may read it too but not write it. Null on failure,
// also while another process holds the file open for writing, and for anything but a regular
// file (a directory, pipe, device or socket), without waiting.
FileHandle OpenFileForReading(const char* path);
// The file's length as a signed 32-bit count (2 GB or more reads as negative); false on failure.
bool FileLength(FileHandle file, std::int32_t* length);
// One read of up to count bytes; false on failure.
bool ReadFile(FileHandle file, void* into, std::uint32_t count, std::uint32_t* got);
void CloseFile(FileHandle file);

// ---- Console ---------------------------------------------------------------------------------

// OutputWarning is standard output too, for a line that reports a failure: where standard
// output is the journal (Linux, a service's), its lines are stored at warning priority, the
// others' at info; anywhere else it is Output, byte for byte.
enum class Stream { Output, Error, OutputWarning };
// Writes the zero-terminated GBK text with one locked stream call; the stream is flushed when it
// is not a terminal, so a log holds every line as soon as the call returns. A write waits while
// the stream's reader does not read; when the reader has left (a pipe or socket closed: EPIPE on
// Linux, ERROR_NO_DATA or ERROR_BROKEN_PIPE on Windows), the output has nowhere to go and the
// process ends with 0, as at the end of input (so it does while ConsoleReadLine waits for a line
// and nothing is written: a pipe's or a Linux socket's reader that leaves is seen then too).
// Other output errors are ignored. A console shows it as Chinese whatever its character set:
// Windows writes a console in UTF-16, Linux converts for a UTF-8 locale. Redirected, the bytes
// are written as they are.
void ConsoleWrite(Stream stream, const char* text);
// One line of standard input into buffer, as one fgets of size bytes reads it: at most size - 1
// bytes, through the first line end; the rest of a longer line comes with the next call. False
// at end of input or on error. A line typed on a console comes back as GBK (Windows: read in
// UTF-16; Linux: converted from a UTF-8 locale); redirected input keeps its bytes. Main thread
// only.
//  - From a pipe or a file, lines are read ahead by a thread of their own, at most 64 KiB of
//    them (platform/console_input.h); every line read before the end is handed out. Past the
//    bound the input waits, as for any program that stops reading.
//  - From a terminal or console, each line is read in its turn and never ahead, so that a
//    ConsoleReadKey after any number of line reads gets every key typed after it.
bool ConsoleReadLine(char* buffer, int size);
// Waits for one key of the console's own keyboard and returns its byte, unechoed; Enter is 0x0D.
// -1 when there is no console keyboard.
int ConsoleReadKey();

// ---- Time and threads ------------------------------------------------------------------------

void Sleep(std::uint32_t milliseconds);

using ThreadHandle = void*;
using ThreadRoutine = std::uint32_t (*)(std::uintptr_t parameter);
// Starts routine(parameter) on a new thread at once; null when it cannot be created.
ThreadHandle CreateThread(ThreadRoutine routine, std::uintptr_t parameter);
void CloseThreadHandle(ThreadHandle thread);
// Waits for the thread to end; false after timeoutMs. (The handle stays open.)
bool WaitThread(ThreadHandle thread, std::uint32_t timeoutMs);

// A critical section in caller-provided storage (it may live in a malloc'ed block).
struct CriticalSection {
    alignas(8) unsigned char storage[64];
};
void InitializeCriticalSection(CriticalSection* section);
void DeleteCriticalSection(CriticalSection* section);
void EnterCriticalSection(CriticalSection* section);
void LeaveCriticalSection(CriticalSection* section);

// ---- User interface ---------------------------------------------------------------------------

// Shows the fatal error box (MB_ICONERROR, one OK button, no owner) and waits until it is closed.
// Linux: the text is written to standard error. Tests can see the text through SetErrorBoxSeam.
void ShowErrorBox(const char* text, const char* caption);
using ErrorBoxSeam = void (*)(const char* text, const char* caption);
void SetErrorBoxSeam(ErrorBoxSeam seam);  // test builds only; null restores the real box

// The hidden owner window, created on the main thread; a message-only window on Windows, so
// that no broadcast waits for a thread that never retrieves messages. The exit request message carries an exit
// code to the main thread; handler runs there with it.
using WindowHandle = void*;
using ExitRequestHandler = void (*)(std::int32_t code);
WindowHandle CreateHiddenOwnerWindow(ExitRequestHandler handler);
void DestroyHiddenOwnerWindow(WindowHandle window);
// Hands code to the main thread through window. Returns true when the main thread handled it
// (it then never returns, the process has ended); false when the main thread is not retrieving
// window messages, which a console program's main thread never does while it reads its console.
bool SendExitRequest(WindowHandle window, std::int32_t code);

// ---- COM and Windows Sockets (nothing on Linux) -----------------------------------------------

bool OleInitialize();
void OleUninitialize();
bool WsaStartup11();  // requests version 1.1; false when another version was granted or failed
void WsaCleanup();
// Readies the HTTP client (below) for the process, once, before its first use; false when it
// cannot be readied, and never will be. Linux: libcurl's start and its TLS library's, each
// checked whole (a TLS library whose start half failed for want of memory ends a later https
// fetch by a crash). Windows: WinINet readies itself, true.
bool InternetStartup();

// ---- Last error ------------------------------------------------------------------------------

enum : std::uint32_t { kErrorInsufficientBuffer = 122 };
std::uint32_t GetLastError();

// ---- HTTP client: WinINet's ANSI entry points -------------------------------------------------
// Windows: the real WinINet, in asynchronous mode behind calls that return as the synchronous
// ones do (the context arguments are the platform's own there). Linux: a stand-in on libcurl
// with WinINet's behaviour where the internet library relies on it (pull reads, HTTP/1.0,
// time-outs, proxy, TLS). Both do single exchanges: one request, one response, no redirect
// followed; the rules of a fetch (schemes, redirects, credentials, deadline, body limit) are
// the internet library's.

using InetHandle = void*;

enum : std::uint32_t {
    kInternetOpenTypePreconfig = 0,  // the system's configured proxy (Linux: the environment's)
    kInternetOpenTypeDirect = 1,
    kInternetServiceFtp = 1,
    kInternetServiceGopher = 2,
    kInternetServiceHttp = 3,
    kIcuNoEncode = 0x20000000,
    kFlagReload = 0x80000000,
    kFlagNoCacheWrite = 0x04000000,
    kFlagSecure = 0x00800000,
    kFlagNoAutoRedirect = 0x00200000,
    kOptionConnectTimeout = 2,
    kOptionSendTimeout = 5,
    kOptionReceiveTimeout = 6,
    kOptionProxy = 38,
    kOptionProxyUsername = 43,
    kOptionProxyPassword = 44,
    kQueryContentLength = 5,
    kQueryStatusCode = 19,
    kQueryLocation = 33,
    kQueryFlagNumber = 0x20000000,  // the answer as a 32-bit number, not a text
};

enum InternetScheme : std::int32_t {
    kSchemeUnknown = -1,
    kSchemeDefault = 0,
    kSchemeFtp = 1,
    kSchemeGopher = 2,
    kSchemeHttp = 3,
    kSchemeHttps = 4,
    kSchemeFile = 5,
    kSchemeNews = 6,
    kSchemeMailto = 7,
};

// URL_COMPONENTSA, field for field; 60 bytes on the 32-bit build.
struct UrlComponents {
    std::uint32_t dwStructSize;
    char* lpszScheme;
    std::uint32_t dwSchemeLength;
    std::int32_t nScheme;  // InternetScheme
    char* lpszHostName;
    std::uint32_t dwHostNameLength;
    std::uint16_t nPort;
    char* lpszUserName;
    std::uint32_t dwUserNameLength;
    char* lpszPassword;
    std::uint32_t dwPasswordLength;
    char* lpszUrlPath;
    std::uint32_t dwUrlPathLength;
    char* lpszExtraInfo;
    std::uint32_t dwExtraInfoLength;
};

// INTERNET_PROXY_INFO; 12 bytes on the 32-bit build.
struct ProxyInfo {
    std::uint32_t dwAccessType;
    const char* lpszProxy;
    const char* lpszProxyBypass;
};

InetHandle InternetOpenA(const char* agent, std::uint32_t accessType, const char* proxy,
                         const char* bypass, std::uint32_t flags);
bool InternetSetOptionA(InetHandle handle, std::uint32_t option, const void* buffer,
                        std::uint32_t length);
bool InternetCanonicalizeUrlA(const char* url, char* buffer, std::uint32_t* length,
                              std::uint32_t flags);
bool InternetCrackUrlA(const char* url, std::uint32_t urlLength, std::uint32_t flags,
                       UrlComponents* components);
InetHandle InternetConnectA(InetHandle session, const char* host, std::uint16_t port,
                            const char* user, const char* password, std::uint32_t service,
                            std::uint32_t flags, std::uintptr_t context);
InetHandle HttpOpenRequestA(InetHandle connection, const char* verb, const char* object,
                            const char* version, const char* referrer, const char** acceptTypes,
                            std::uint32_t flags, std::uintptr_t context);
// A headers length of kHeadersToZero (WinINet's -1) means the headers end at their zero byte;
// any other length is the count of bytes sent, 0 sending none.
constexpr std::uint32_t kHeadersToZero = ~0u;
bool HttpSendRequestA(InetHandle request, const char* headers, std::uint32_t headersLength,
                      const void* body, std::uint32_t bodyLength);
bool HttpQueryInfoA(InetHandle request, std::uint32_t level, void* buffer, std::uint32_t* length,
                    std::uint32_t* index);
bool InternetReadFile(InetHandle request, void* buffer, std::uint32_t count, std::uint32_t* got);
bool InternetCloseHandle(InetHandle handle);

// Ends the request at a time: a call on request still blocked milliseconds from now fails then,
// and so does every later call but InternetCloseHandle, which the caller still makes. Windows:
// WinINet runs asynchronously and the platform waits for its answers; a wait that reaches the
// deadline closes the request's WinINet handle, WinINet's documented way to cancel a call.
void InternetSetDeadline(InetHandle request, std::uint32_t milliseconds);
// Bounds the head: a request whose response head is not complete milliseconds after the
// request went out fails then, however live the head's lines (silence has its own limit), and
// on Windows one whose head passes kHeadBytesMax as WinINet tells its bytes. A head that never
// ends so costs only what arrives in that time.
void InternetSetHeadLimit(InetHandle request, std::uint32_t milliseconds);

}  // namespace plat
