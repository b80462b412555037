// Win32 console events: Ctrl+C, Ctrl+Break, the close button, logoff and shutdown.
//
// Invariants:
//  1. Ctrl+C, Ctrl+Break and the window's close button (a control event), and logoff and
//     shutdown (WM_ENDSESSION to a window of a thread that always dispatches: Windows sends a
//     program that loads user32 no control event for those) end the input for good: the main
//     thread's read answers "end", and webmon ends the way the end of input ends it.
//  2. Should the main thread not come to read, the process ends from the event itself, after
//     kEndGraceMs, through ExitProcess: with code 0, which is -1 once a fatal error is under
//     way (its box holds the main thread, or a worker's box is up).
#include "platform/win32/win32_internal.h"

#include "platform/platform.h"

namespace plat::win32 {

namespace {
constexpr DWORD kEndGraceMs = 3000;  // how long an end event leaves the main thread to end it

void EndInput() {
    ::SetEvent(InputEnded());
    ::Sleep(kEndGraceMs);  // the main thread ends the process meanwhile
    plat::ExitProcess(0);  // still here: the main thread is held, maybe by a fatal error's box
}

BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: EndInput(); return TRUE;
    default: return FALSE;
    }
}

LRESULT CALLBACK SessionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION) return TRUE;
    if (message == WM_ENDSESSION && wParam) EndInput();
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// A hidden top-level window on a thread that does nothing but dispatch, so that it answers
// every broadcast at once; logoff and shutdown reach webmon through it.
DWORD WINAPI WatchSession(LPVOID) {
    WNDCLASSW cls{};
    cls.lpfnWndProc = SessionProc;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.lpszClassName = L"webmon session";
    ::RegisterClassW(&cls);
    if (!::CreateWindowExW(0, cls.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           cls.hInstance, nullptr)) {
        return 1;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}
}  // namespace

HANDLE InputEnded() {
    static const HANDLE ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ended;
}

void InitConsoleEvents() {
    InputEnded();
    ::SetConsoleCtrlHandler(OnControl, TRUE);
    if (HANDLE watcher = ::CreateThread(nullptr, 0, WatchSession, nullptr, 0, nullptr)) {
        ::CloseHandle(watcher);
    }
}

}  // namespace plat::win32
