// What differs between the two builds as a test sees it from outside the process.
#pragma once

#ifdef _WIN32
#include <windows.h>
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

}  // namespace testing_support
