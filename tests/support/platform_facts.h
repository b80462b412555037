// What differs between the two builds as a test sees it from outside the process.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <filesystem>
#endif

namespace testing_support {

#ifdef _WIN32
constexpr int kExitMinusOne = -1;  // 0xFFFFFFFF as the parent reads it
constexpr const char* kExeSuffix = ".exe";
#else
constexpr int kExitMinusOne = 255;  // the low 8 bits of -1
constexpr const char* kExeSuffix = "";
#endif

// True when the Windows build runs under wine rather than on Windows: tests that meet one of
// wine's differences from Windows ask this at run time, never the platform alone.
inline bool RunningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// How many threads this process has now (WinINet's workers included).
inline int ThreadsOfThisProcess() {
    int n = 0;
#ifdef _WIN32
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++n;
    }
    ::CloseHandle(snapshot);
#else
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)task;
        ++n;
    }
#endif
    return n;
}

}  // namespace testing_support
