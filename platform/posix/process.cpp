// POSIX stand-ins for the process, heap, module, directory, file, thread and window services.
//
// Where Linux has no counterpart the stand-in keeps what the runtime relies on:
//  - paths arrive in Windows form and are turned into '/' form at the file system;
//  - the heap is the C library's; a request above 2 GB fails as it does in a 32-bit process;
//  - the hidden owner window is a record of its handler: the main thread of a console program
//    never retrieves window messages, so a request from another thread is never handled;
//  - a file that another process holds open for writing cannot be opened for reading, as the
//    share mode read-only gives on Windows (see OpenFileForReading);
//  - COM and Windows Sockets need no start-up.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace plat {

namespace posix {
namespace {
thread_local std::uint32_t t_lastError = 0;
}
void SetLastError(std::uint32_t code) { t_lastError = code; }

std::string NativePath(const char* windowsPath) {
    std::string path = windowsPath ? windowsPath : "";
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}
}  // namespace posix

std::uint32_t GetLastError() { return posix::t_lastError; }

// ---- Process ---------------------------------------------------------------------------------

std::string ExecutablePath() {
    std::string path(PATH_MAX, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return "";
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool SetCurrentDirectory(const char* path) {
    if (!path || path[0] == '\0') return false;
    return chdir(posix::NativePath(path).c_str()) == 0;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

namespace {
constexpr int kFlushWaitMs = 500;  // the most the end waits for the streams to take their bytes
std::atomic<bool> g_flushed{false};
void* FlushStreams(void*) {
    std::fflush(stdout);
    std::fflush(stderr);
    g_flushed.store(true);
    return nullptr;
}
}  // namespace

void ExitProcess(std::int32_t code) {
    // The streams are flushed on a thread of their own: a reader that stopped reading leaves a
    // write blocked (maybe another thread's, holding the stream's lock), and such a stream must
    // not keep the process alive. What it could not take is left behind: the process is ending.
    pthread_t flusher;
    if (pthread_create(&flusher, nullptr, FlushStreams, nullptr) != 0) {
        FlushStreams(nullptr);
    } else {
        pthread_detach(flusher);
        for (int waited = 0; !g_flushed.load() && waited < kFlushWaitMs; ++waited) {
            usleep(1000);
        }
    }
    // A stream still blocked: the process ends by the system call itself, since a wrapped
    // _exit (a sanitizer's, say) may flush the streams once more and wait on that stream.
    if (!g_flushed.load()) syscall(SYS_exit_group, code);
    _exit(code);
}

bool IsPathLeadByte(unsigned char) { return false; }

// ---- Heap ------------------------------------------------------------------------------------

namespace {
constexpr std::uint32_t kLargestBlock = 0x7FFFFFFFu;  // what a 32-bit process could ever hold
int g_heapToken;
}  // namespace

HeapHandle GetProcessHeap() { return &g_heapToken; }

void* HeapAlloc(HeapHandle, std::uint32_t size) {
    if (size > kLargestBlock) return nullptr;
    return std::malloc(size ? size : 1);
}

void* HeapReAlloc(HeapHandle, void* block, std::uint32_t size) {
    if (size > kLargestBlock) return nullptr;
    return std::realloc(block, size ? size : 1);
}

void HeapFree(HeapHandle, void* block) { std::free(block); }

// ---- Modules ---------------------------------------------------------------------------------

ModuleHandle LoadLibrary(const char* fileName) {
    return dlopen(posix::NativePath(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(ModuleHandle module, const char* name, std::uint16_t) {
    return name ? dlsym(module, name) : nullptr;  // ELF has no export ordinals
}

void FreeLibrary(ModuleHandle module) { dlclose(module); }

const char* const* SystemLibraryNames() {
    static const char* const names[] = {"libc.so.6", nullptr};
    return names;
}

// ---- Directory search ------------------------------------------------------------------------

namespace {
struct Search {
    DIR* dir;
    std::string directory;  // native form, with a trailing '/'
    std::string pattern;    // file name pattern
};

bool NextMatch(Search* s, FindEntry* out) {
    while (dirent* e = readdir(s->dir)) {
        if (fnmatch(s->pattern.c_str(), e->d_name, FNM_PERIOD) != 0 &&
            fnmatch(s->pattern.c_str(), e->d_name, 0) != 0) {
            continue;
        }
        struct stat st;
        if (stat((s->directory + e->d_name).c_str(), &st) != 0) continue;
        std::uint32_t attributes = S_ISDIR(st.st_mode) ? std::uint32_t{kAttrDirectory} : 0x20u;  // 0x20: archive
        if (access((s->directory + e->d_name).c_str(), W_OK) != 0) attributes |= 0x01;  // read-only
        if (e->d_name[0] == '.' && std::strcmp(e->d_name, ".") != 0 &&
            std::strcmp(e->d_name, "..") != 0) {
            attributes |= 0x02;  // hidden
        }
        out->attributes = attributes;
        out->name = e->d_name;
        return true;
    }
    return false;
}
}  // namespace

FindHandle FindFirstFile(const char* pattern, FindEntry* out) {
    std::string native = posix::NativePath(pattern);
    auto slash = native.rfind('/');
    auto* s = new Search{nullptr, slash == std::string::npos ? "./" : native.substr(0, slash + 1),
                         slash == std::string::npos ? native : native.substr(slash + 1)};
    s->dir = opendir(s->directory.c_str());
    if (!s->dir || !NextMatch(s, out)) {
        if (s->dir) closedir(s->dir);
        delete s;
        return nullptr;
    }
    return s;
}

bool FindNextFile(FindHandle search, FindEntry* out) {
    return NextMatch(static_cast<Search*>(search), out);
}

void FindClose(FindHandle search) {
    auto* s = static_cast<Search*>(search);
    closedir(s->dir);
    delete s;
}

// ---- Files -----------------------------------------------------------------------------------

namespace {
// True when some process other than this one holds the file (dev, ino) open for writing.
// Linux has no share modes; /proc shows every descriptor this user may see, with its flags.
bool OpenForWritingElsewhere(dev_t dev, ino_t ino) {
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    const long self = static_cast<long>(getpid());
    bool busy = false;
    while (dirent* p = readdir(proc)) {
        char* end;
        long pid = std::strtol(p->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) continue;
        while (dirent* f = readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            struct stat st;
            if (stat((fdDir + "/" + f->d_name).c_str(), &st) != 0) continue;
            if (st.st_dev != dev || st.st_ino != ino) continue;
            std::string info = std::string("/proc/") + p->d_name + "/fdinfo/" + f->d_name;
            if (FILE* in = std::fopen(info.c_str(), "r")) {
                char line[128];
                while (std::fgets(line, sizeof line, in)) {
                    unsigned flags;
                    if (std::sscanf(line, "flags: %o", &flags) == 1) {
                        if ((flags & O_ACCMODE) != O_RDONLY) busy = true;
                        break;
                    }
                }
                std::fclose(in);
            }
            if (busy) break;
        }
        closedir(fds);
        if (busy) break;
    }
    closedir(proc);
    return busy;
}

struct OpenFile {
    int fd;
};
}  // namespace

FileHandle OpenFileForReading(const char* path) {
    // Non-blocking, so that a named pipe without a writer cannot hold the open; only regular
    // files are read (a pipe, device, socket or directory has no contents to give at once).
    int fd = open(posix::NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    // A shared lock keeps out writers that lock; the /proc look catches those that do not.
    struct flock lock{};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_OFD_SETLK, &lock) != 0 ||
        OpenForWritingElsewhere(st.st_dev, st.st_ino)) {
        close(fd);
        return nullptr;
    }
    return new OpenFile{fd};
}

bool FileLength(FileHandle file, std::int32_t* length) {
    int fd = static_cast<OpenFile*>(file)->fd;
    off_t here = lseek(fd, 0, SEEK_CUR);
    off_t end = lseek(fd, 0, SEEK_END);
    if (here < 0 || end < 0 || lseek(fd, here, SEEK_SET) < 0) return false;
    *length = end > INT32_MAX ? -1 : static_cast<std::int32_t>(end);
    return true;
}

bool ReadFile(FileHandle file, void* into, std::uint32_t count, std::uint32_t* got) {
    int fd = static_cast<OpenFile*>(file)->fd;
    std::uint32_t total = 0;
    while (total < count) {  // a regular file gives all it has to one ReadFile
        ssize_t n = read(fd, static_cast<char*>(into) + total, count - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        total += static_cast<std::uint32_t>(n);
    }
    *got = total;
    return true;
}

void CloseFile(FileHandle file) {
    auto* f = static_cast<OpenFile*>(file);
    close(f->fd);
    delete f;
}

// ---- Time and threads ------------------------------------------------------------------------

void Sleep(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

namespace {
// Shared by the thread and its handle; whichever lets go last frees it.
struct Thread {
    pthread_t id;
    ThreadRoutine routine;
    std::uintptr_t parameter;
    std::atomic<int> owners{2};   // the running thread and the handle
    bool joined = false;          // WaitThread saw the end (only the handle's owner reads it)
};

void LetGo(Thread* t) {
    if (t->owners.fetch_sub(1) == 1) delete t;
}

void* ThreadStart(void* p) {
    auto* t = static_cast<Thread*>(p);
    t->routine(t->parameter);
    LetGo(t);
    return nullptr;
}
}  // namespace

ThreadHandle CreateThread(ThreadRoutine routine, std::uintptr_t parameter) {
    auto* t = new Thread{{}, routine, parameter};
    if (pthread_create(&t->id, nullptr, ThreadStart, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

void CloseThreadHandle(ThreadHandle thread) {
    auto* t = static_cast<Thread*>(thread);
    if (!t->joined) pthread_detach(t->id);  // the thread runs on; only the handle goes
    LetGo(t);
}

bool WaitThread(ThreadHandle thread, std::uint32_t timeoutMs) {
    auto* t = static_cast<Thread*>(thread);
    if (t->joined) return true;
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += timeoutMs / 1000;
    until.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    t->joined = pthread_timedjoin_np(t->id, nullptr, &until) == 0;
    return t->joined;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(CriticalSection::storage));

void InitializeCriticalSection(CriticalSection* section) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);  // re-entrant, as on Windows
    pthread_mutex_init(new (section->storage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}
void DeleteCriticalSection(CriticalSection* section) {
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(section->storage));
}
void EnterCriticalSection(CriticalSection* section) {
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(section->storage));
}
void LeaveCriticalSection(CriticalSection* section) {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(section->storage));
}

// ---- User interface --------------------------------------------------------------------------

namespace {
std::atomic<ErrorBoxSeam> g_boxSeam{nullptr};

struct HiddenWindow {
    ExitRequestHandler handler;
    std::uint32_t ownerThread;  // the thread that would retrieve its messages
};
}  // namespace

void SetErrorBoxSeam(ErrorBoxSeam seam) { g_boxSeam.store(seam); }

void ShowErrorBox(const char* text, const char* caption) {
    if (ErrorBoxSeam seam = g_boxSeam.load()) {
        seam(text, caption);
        return;
    }
    ConsoleWrite(Stream::Error, text);  // no desktop: the box's text goes to standard error
}

WindowHandle CreateHiddenOwnerWindow(ExitRequestHandler handler) {
    return new HiddenWindow{handler, CurrentThreadId()};
}

// The record is kept: a worker that loaded the handle may still be sending to it.
void DestroyHiddenOwnerWindow(WindowHandle) {}

bool SendExitRequest(WindowHandle window, std::int32_t code) {
    auto* w = static_cast<HiddenWindow*>(window);
    if (w->ownerThread == CurrentThreadId()) {
        w->handler(code);  // a message sent on the owner's own thread is handled at once
        return true;
    }
    return false;
}

// ---- COM and Windows Sockets -----------------------------------------------------------------

bool OleInitialize() { return true; }
void OleUninitialize() {}
bool WsaStartup11() { return true; }
void WsaCleanup() {}

}  // namespace plat
