// The Windows headers, with the macros that would rename the platform interface's functions
// (LoadLibrary -> LoadLibraryA and so on) taken back. Include this before platform.h.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef LoadLibrary
#undef FindFirstFile
#undef FindNextFile
#undef SetCurrentDirectory
#undef GetProcessHeap
