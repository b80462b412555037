// Win32 time, threads and critical sections.
#include "platform/win32/win32_internal.h"

#include <new>

#include "platform/platform.h"

namespace plat {

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

}  // namespace plat
