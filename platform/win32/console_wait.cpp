// Win32 console waits: the main thread is a COM apartment, which must dispatch window messages
// while it waits. So a blocking read (line or key) runs on a thread of its own, and the main
// thread waits for its answer and for messages together, dispatching what arrives.
#include "platform/win32/win32_internal.h"

#include <functional>
#include <memory>

#include "platform/platform.h"

namespace plat::win32 {

namespace {
void DispatchWaiting() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// True while the main thread dispatches in a console wait (main thread only).
bool g_dispatchingForConsole = false;

using Job = std::shared_ptr<std::function<void()>>;
DWORD WINAPI RunJob(LPVOID p) {
    const std::unique_ptr<Job> job(static_cast<Job*>(p));
    (**job)();
    return 0;
}
}  // namespace

bool DispatchingForConsole() { return g_dispatchingForConsole; }

bool WaitDispatching(HANDLE done) {
    // The main thread waits here whenever webmon waits for input. Meanwhile it looks twice a
    // second whether the output's reader has left, which ends webmon as a write would find it:
    // with nothing written (the worker waiting out its period) nothing else would tell.
    constexpr DWORD kReaderLookMs = 500;
    const HANDLE waited[] = {done, InputEnded()};
    for (;;) {
        const DWORD woke =
            ::MsgWaitForMultipleObjects(2, waited, FALSE, kReaderLookMs, QS_ALLINPUT);
        if (woke == WAIT_TIMEOUT) {
            if (OutputReaderLeft()) plat::ExitProcess(0);
            continue;
        }
        if (woke == WAIT_OBJECT_0) return true;
        if (woke == WAIT_OBJECT_0 + 1) return false;
        if (woke == WAIT_OBJECT_0 + 2) {
            g_dispatchingForConsole = true;
            DispatchWaiting();
            g_dispatchingForConsole = false;
            continue;
        }
        ::WaitForSingleObject(done, INFINITE);  // the wait failed: a plain one
        return true;
    }
}

bool RunWhileDispatching(std::function<void()> work) {
    if (::WaitForSingleObject(InputEnded(), 0) == WAIT_OBJECT_0) return false;
    auto* job = new Job(std::make_shared<std::function<void()>>(std::move(work)));
    HANDLE thread = ::CreateThread(nullptr, 0, RunJob, job, 0, nullptr);
    if (!thread) {  // no thread to spare: the read blocks here, as a plain read does
        (**job)();
        delete job;
        return true;
    }
    const bool finished = WaitDispatching(thread);
    ::CloseHandle(thread);
    return finished;
}

}  // namespace plat::win32
