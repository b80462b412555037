// POSIX stand-ins for paths, directory search and files.
//
// Where Linux has no counterpart the stand-in keeps what the runtime relies on:
//  - paths arrive in Windows form and are turned into '/' form at the file system;
//  - a file that another process holds open for writing cannot be opened for reading, as the
//    share mode read-only gives on Windows (see OpenFileForReading).
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace plat {

namespace posix {

std::string NativePath(const char* windowsPath) {
    std::string path = windowsPath ? windowsPath : "";
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

bool ReadFully(int fd, void* into, std::size_t count, std::size_t* got) {
    std::size_t total = 0;
    while (total < count) {
        ssize_t n = read(fd, static_cast<char*>(into) + total, count - total);
        if (n < 0 && errno == EINTR) continue;  // a signal came before any byte: ask again
        if (n < 0) return false;
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
    }
    *got = total;
    return true;
}

}  // namespace posix

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
        std::uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
        if (access((s->directory + e->d_name).c_str(), W_OK) != 0) attributes |= kAttrReadOnly;
        if (e->d_name[0] == '.' && std::strcmp(e->d_name, ".") != 0 &&
            std::strcmp(e->d_name, "..") != 0) {
            attributes |= kAttrHidden;
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
posix::BetweenLooksCall g_betweenLooks = nullptr;

// What /proc/PID/fdinfo/N says of one descriptor, read in one go, so that its lines describe
// one open file: its flags, and its inode number (-1 where the kernel does not say it).
bool ReadFdInfo(const std::string& path, unsigned* flags, long long* ino) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return false;
    char text[512];
    std::size_t n = std::fread(text, 1, sizeof text - 1, in);
    std::fclose(in);
    text[n] = '\0';
    const char* f = std::strstr(text, "flags:");
    if (!f || std::sscanf(f, "flags: %o", flags) != 1) return false;
    const char* i = std::strstr(text, "\nino:");
    if (!i || std::sscanf(i, "\nino: %lld", ino) != 1) *ino = -1;
    return true;
}

bool SameFile(const std::string& fdPath, dev_t dev, ino_t ino) {
    struct stat st;
    return stat(fdPath.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

// True when some process other than this one holds the file (dev, ino) open for writing.
// Linux has no share modes; /proc shows every descriptor this user may see, with its flags.
// A descriptor is looked at twice (its file, then its flags), and between the two its process
// may close it and open something else under the same number: a webmon beside this one that
// has just read web.txt opens its sockets, which are read-write. So the flags count only when
// they are the file's own: fdinfo names the inode it describes, and where an older kernel does
// not, the file is looked at again after the flags.
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
            const std::string fdPath = fdDir + "/" + f->d_name;
            if (!SameFile(fdPath, dev, ino)) continue;
            if (g_betweenLooks) g_betweenLooks(pid, std::atoi(f->d_name));
            unsigned flags = 0;
            long long infoIno = -1;
            if (!ReadFdInfo(std::string("/proc/") + p->d_name + "/fdinfo/" + f->d_name, &flags,
                            &infoIno)) {
                continue;  // closed meanwhile: no writer
            }
            if ((flags & O_ACCMODE) == O_RDONLY) continue;
            busy = infoIno >= 0 ? static_cast<ino_t>(infoIno) == ino : SameFile(fdPath, dev, ino);
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

int RealReadLock(int fd, struct flock* lock) { return fcntl(fd, F_OFD_SETLK, lock); }
posix::ReadLockCall g_readLock = RealReadLock;

// A shared lock keeps out writers that lock. A file system that has no locks (NFS without its
// lock service, some FUSE ones) refuses the call itself: there is no writer's lock to respect,
// and the /proc look still catches writers that do not lock.
bool TakeReadLock(int fd) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (g_readLock(fd, &lock) == 0) return true;
    return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
}
}  // namespace

void posix::SetReadLockSeam(posix::ReadLockCall call) { g_readLock = call ? call : RealReadLock; }
void posix::SetBetweenLooksSeam(posix::BetweenLooksCall call) { g_betweenLooks = call; }

FileHandle OpenFileForReading(const char* path) {
    // Non-blocking, so that a named pipe without a writer cannot hold the open; only regular
    // files are read (a pipe, device, socket or directory has no contents to give at once).
    int fd = open(posix::NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !TakeReadLock(fd) ||
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
    std::size_t total = 0;  // a regular file gives all it has to one ReadFile
    if (!posix::ReadFully(static_cast<OpenFile*>(file)->fd, into, count, &total)) return false;
    *got = static_cast<std::uint32_t>(total);
    return true;
}

void CloseFile(FileHandle file) {
    auto* f = static_cast<OpenFile*>(file);
    close(f->fd);
    delete f;
}

}  // namespace plat
