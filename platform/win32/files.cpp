// Win32 directory search and files.
#include "platform/win32/win32_internal.h"

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace plat {

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

namespace {
// CreateFileA takes paths shorter than MAX_PATH. A longer one is opened as Windows documents:
// the wide form of its full path, behind the "\\?\" prefix (which turns off the path's
// normalisation, so GetFullPathNameW does that first).
HANDLE OpenLongPath(const char* path, SECURITY_ATTRIBUTES* attributes) {
    std::wstring wide;
    if (!win32::ToWide(CP_ACP, path, std::strlen(path), &wide)) return INVALID_HANDLE_VALUE;
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    DWORD n =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {  // the current directory made it longer still
        full.resize(n);
        n = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    }
    if (n == 0 || n >= full.size()) return INVALID_HANDLE_VALUE;
    full.resize(n);
    std::wstring prefixed;
    if (full.rfind(L"\\\\?\\", 0) == 0) {
        prefixed = full;
    } else if (full.rfind(L"\\\\", 0) == 0) {  // \\server\share\... -> \\?\UNC\server\share\...
        prefixed = L"\\\\?\\UNC\\" + full.substr(2);
    } else {
        prefixed = L"\\\\?\\" + full;
    }
    return ::CreateFileW(prefixed.c_str(), GENERIC_READ, FILE_SHARE_READ, attributes, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

FileHandle OpenFileForReading(const char* path) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE h = std::strlen(path) < MAX_PATH
                   ? ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, &inheritable, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)
                   : OpenLongPath(path, &inheritable);
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

}  // namespace plat
