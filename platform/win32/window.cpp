// Win32 user interface: the error box and the hidden owner window.
#include "platform/win32/win32_internal.h"

#include <atomic>

#include "platform/error_box_seam.h"
#include "platform/platform.h"

namespace plat {

namespace {
constexpr UINT kExitRequestMessage = 0x83E7;
constexpr UINT kExitRequestWaitMs = 250;  // time for a main thread that does pump messages
std::atomic<ExitRequestHandler> g_exitHandler{nullptr};

LRESULT CALLBACK HiddenOwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kExitRequestMessage) {
        // Waiting for the console, the main thread takes no exit request: the asking thread
        // ends the process at once, as it did when this thread dispatched nothing there.
        if (win32::DispatchingForConsole()) return 0;
        if (ExitRequestHandler handler = g_exitHandler.load()) {
            handler(static_cast<std::int32_t>(wParam));
        }
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}
}  // namespace

void ShowErrorBox(const char* text, const char* caption) {
    if (ShowThroughErrorBoxSeam(text, caption)) return;
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
    // Message-only: a top-level window of the main thread, which is busy between its waits for
    // the console, could hold up broadcasts on the desktop (setting changes, DDE, log-off).
    // Sent messages still reach a message-only window, and the main thread dispatches them
    // while it waits for the console (console.cpp).
    return ::CreateWindowExA(WS_EX_TOOLWINDOW, "_QX_HideOwner", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                             nullptr, cls.hInstance, nullptr);
}

void DestroyHiddenOwnerWindow(WindowHandle window) {
    HWND h = static_cast<HWND>(window);
    if (::IsWindow(h)) ::DestroyWindow(h);
}

bool SendExitRequest(WindowHandle window, std::int32_t code) {
    DWORD_PTR answer = 0;
    // The main thread handles the request only while it retrieves messages outside a console
    // wait; a console program's main thread is mostly in one, so the wait is kept short.
    return ::SendMessageTimeoutA(static_cast<HWND>(window), kExitRequestMessage,
                                 static_cast<WPARAM>(code), 0, SMTO_NORMAL, kExitRequestWaitMs,
                                 &answer) != 0;
}

}  // namespace plat
