// POSIX stand-ins for the user interface: the error box and the hidden owner window.
//
// There is no desktop: the box's text goes to standard error. The hidden owner window is a
// record of its handler: the main thread of a console program never retrieves window
// messages, so a request from another thread is never handled.
#include "platform/error_box_seam.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace plat {

namespace {
struct HiddenWindow {
    ExitRequestHandler handler;
    std::uint32_t ownerThread;  // the thread that would retrieve its messages
};
}  // namespace

void ShowErrorBox(const char* text, const char* caption) {
    posix::MarkProcessEnding();  // a fatal end: the end of input must not turn it into code 0
    if (ShowThroughErrorBoxSeam(text, caption)) return;
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

}  // namespace plat
