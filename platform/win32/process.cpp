// Win32 process, heap, module, directory, file, console, thread and window services.
#include <winsock2.h>
#include "platform/win32/win32_internal.h"
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <ole2.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "platform/platform.h"

namespace plat {

std::uint32_t GetLastError() { return ::GetLastError(); }

// ---- Process ---------------------------------------------------------------------------------

std::string ExecutablePath() {
    char path[260];
    DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n < sizeof path ? n : sizeof path);
}

bool SetCurrentDirectory(const char* path) { return ::SetCurrentDirectoryA(path) != 0; }

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

namespace {
constexpr DWORD kFlushWaitMs = 500;  // the most the end waits for the streams to take their bytes
DWORD WINAPI FlushStreams(LPVOID) {
    std::fflush(stdout);
    std::fflush(stderr);
    return 0;
}
}  // namespace

void ExitProcess(std::int32_t code) {
    // The streams are flushed on a thread of their own: a reader that stopped reading leaves a
    // write blocked (maybe another thread's, holding the stream's lock), and such a stream must
    // not keep the process alive. What it could not take is left behind: the process is ending.
    if (HANDLE flusher = ::CreateThread(nullptr, 0, FlushStreams, nullptr, 0, nullptr)) {
        ::WaitForSingleObject(flusher, kFlushWaitMs);
        ::CloseHandle(flusher);
    } else {
        FlushStreams(nullptr);
    }
    // Immediate: no DLL detach runs while the worker may sit inside WinINet holding its locks.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
    ::ExitProcess(static_cast<UINT>(code));
}

void InitProcess() {
    // Texts carry their own CR LF: no "\r\r\n" on a redirected output.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool IsPathLeadByte(unsigned char lead) { return ::IsDBCSLeadByte(lead) != 0; }

// ---- Heap ------------------------------------------------------------------------------------

HeapHandle GetProcessHeap() { return ::GetProcessHeap(); }
void* HeapAlloc(HeapHandle heap, std::uint32_t size) {
    return ::HeapAlloc(static_cast<HANDLE>(heap), 0, size);
}
void* HeapReAlloc(HeapHandle heap, void* block, std::uint32_t size) {
    return ::HeapReAlloc(static_cast<HANDLE>(heap), 0, block, size);
}
void HeapFree(HeapHandle heap, void* block) { ::HeapFree(static_cast<HANDLE>(heap), 0, block); }

// ---- Modules ---------------------------------------------------------------------------------

ModuleHandle LoadLibrary(const char* fileName) { return ::LoadLibraryA(fileName); }
void* GetProcAddress(ModuleHandle module, const char* name, std::uint16_t ordinal) {
    const char* key = name ? name : MAKEINTRESOURCEA(ordinal);
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), key));
}
void FreeLibrary(ModuleHandle module) { ::FreeLibrary(static_cast<HMODULE>(module)); }
const char* const* SystemLibraryNames() {
    static const char* const names[] = {"Kernel32.dll", "Gdi32.dll", "User32.dll",
                                        "Advapi32.dll", "Mpr.dll",   "Shell32.dll", nullptr};
    return names;
}

// ---- Directory search ------------------------------------------------------------------------

namespace {
void Fill(const WIN32_FIND_DATAA& data, FindEntry* out) {
    out->attributes = data.dwFileAttributes;
    out->name = data.cFileName;
}
}  // namespace

FindHandle FindFirstFile(const char* pattern, FindEntry* out) {
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA(pattern, &data);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    Fill(data, out);
    return h;
}
bool FindNextFile(FindHandle search, FindEntry* out) {
    WIN32_FIND_DATAA data;
    if (!::FindNextFileA(static_cast<HANDLE>(search), &data)) return false;
    Fill(data, out);
    return true;
}
void FindClose(FindHandle search) { ::FindClose(static_cast<HANDLE>(search)); }

// ---- Files -----------------------------------------------------------------------------------

FileHandle OpenFileForReading(const char* path) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, &inheritable, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    // Only files on disk are read: a pipe or device ("CON", "\\.\pipe\x") could block.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        return nullptr;
    }
    return h;
}

bool FileLength(FileHandle file, std::int32_t* length) {
    HANDLE h = static_cast<HANDLE>(file);
    LONG high = 0;
    DWORD here = ::SetFilePointer(h, 0, &high, FILE_CURRENT);
    if (here == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) return false;
    LONG hereHigh = high;
    high = 0;
    DWORD end = ::SetFilePointer(h, 0, &high, FILE_END);
    if (end == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) return false;
    LONG back = hereHigh;
    if (::SetFilePointer(h, static_cast<LONG>(here), &back, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR) {
        return false;
    }
    *length = (high != 0 || end > 0x7FFFFFFFu) ? -1 : static_cast<std::int32_t>(end);
    return true;
}

bool ReadFile(FileHandle file, void* into, std::uint32_t count, std::uint32_t* got) {
    DWORD n = 0;
    BOOL ok = ::ReadFile(static_cast<HANDLE>(file), into, count, &n, nullptr);
    *got = n;
    return ok != 0;
}

void CloseFile(FileHandle file) { ::CloseHandle(static_cast<HANDLE>(file)); }

// ---- Console ---------------------------------------------------------------------------------

void ConsoleWrite(Stream stream, const char* text) {
    FILE* f = stream == Stream::Error ? stderr : stdout;
    _lock_file(f);
    std::fprintf(f, "%s", text);
    if (!_isatty(_fileno(f))) std::fflush(f);  // a log or a pipe gets each line at once
    _unlock_file(f);
}

bool ConsoleReadLine(char* buffer, int size) { return std::fgets(buffer, size, stdin) != nullptr; }

int ConsoleReadKey() { return _getch(); }

// ---- Time and threads ------------------------------------------------------------------------

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

namespace {
struct Start {
    ThreadRoutine routine;
    std::uintptr_t parameter;
};
DWORD WINAPI Trampoline(LPVOID p) {
    Start start = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    return start.routine(start.parameter);
}
}  // namespace

ThreadHandle CreateThread(ThreadRoutine routine, std::uintptr_t parameter) {
    auto* start = new Start{routine, parameter};
    DWORD id;
    HANDLE h = ::CreateThread(nullptr, 0, Trampoline, start, 0, &id);
    if (!h) delete start;
    return h;
}
void CloseThreadHandle(ThreadHandle thread) { ::CloseHandle(static_cast<HANDLE>(thread)); }
bool WaitThread(ThreadHandle thread, std::uint32_t timeoutMs) {
    return ::WaitForSingleObject(static_cast<HANDLE>(thread), timeoutMs) == WAIT_OBJECT_0;
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(CriticalSection::storage));
void InitializeCriticalSection(CriticalSection* s) {
    ::InitializeCriticalSection(new (s->storage) CRITICAL_SECTION);
}
void DeleteCriticalSection(CriticalSection* s) {
    ::DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(s->storage));
}
void EnterCriticalSection(CriticalSection* s) {
    ::EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(s->storage));
}
void LeaveCriticalSection(CriticalSection* s) {
    ::LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(s->storage));
}

// ---- User interface --------------------------------------------------------------------------

namespace {
constexpr UINT kExitRequestMessage = 0x83E7;
constexpr UINT kExitRequestWaitMs = 250;  // time for a main thread that does pump messages
std::atomic<ErrorBoxSeam> g_boxSeam{nullptr};
std::atomic<ExitRequestHandler> g_exitHandler{nullptr};

LRESULT CALLBACK HiddenOwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kExitRequestMessage) {
        if (ExitRequestHandler handler = g_exitHandler.load()) {
            handler(static_cast<std::int32_t>(wParam));
        }
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}
}  // namespace

void SetErrorBoxSeam(ErrorBoxSeam seam) { g_boxSeam.store(seam); }

void ShowErrorBox(const char* text, const char* caption) {
    if (ErrorBoxSeam seam = g_boxSeam.load()) {
        seam(text, caption);
        return;
    }
    ::MessageBoxA(nullptr, text, caption, MB_ICONERROR | MB_OK);
}

WindowHandle CreateHiddenOwnerWindow(ExitRequestHandler handler) {
    g_exitHandler.store(handler);
    WNDCLASSA cls{};
    cls.style = 0;
    cls.lpfnWndProc = HiddenOwnerProc;
    cls.hInstance = ::GetModuleHandleA(nullptr);
    cls.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    cls.hbrBackground = static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
    cls.lpszClassName = "_QX_HideOwner";
    ::RegisterClassA(&cls);
    return ::CreateWindowExA(WS_EX_TOOLWINDOW, "_QX_HideOwner", "", 0, 0, 0, 0, 0, nullptr,
                             nullptr, cls.hInstance, nullptr);
}

void DestroyHiddenOwnerWindow(WindowHandle window) {
    HWND h = static_cast<HWND>(window);
    if (::IsWindow(h)) ::DestroyWindow(h);
}

bool SendExitRequest(WindowHandle window, std::int32_t code) {
    DWORD_PTR answer = 0;
    // The main thread handles the request only while it retrieves messages; a console
    // program's main thread sits in console input, so the wait is kept short.
    return ::SendMessageTimeoutA(static_cast<HWND>(window), kExitRequestMessage,
                                 static_cast<WPARAM>(code), 0, SMTO_NORMAL, kExitRequestWaitMs,
                                 &answer) != 0;
}

// ---- COM and Windows Sockets -----------------------------------------------------------------

bool OleInitialize() { return SUCCEEDED(::OleInitialize(nullptr)); }
void OleUninitialize() { ::OleUninitialize(); }
bool WsaStartup11() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(1, 1)) {
        ::WSACleanup();
        return false;
    }
    return true;
}
void WsaCleanup() { ::WSACleanup(); }

}  // namespace plat
