// POSIX stand-ins for the user interface: the error box and the hidden owner window.
//
// There is no desktop: the box's text goes to standard error, and when that is the journal (a
// service's), each of its lines at error priority, as an administrator filters them
// (journalctl -p warning): the journal's own "<3>" before each line, which it takes off, so the
// text it keeps is the box's, byte for byte, but for an address's password (hide_password.h).
// On a stack buffer: memory may be what ran out.
// The hidden owner window is a record of its handler: the main thread of a console program never retrieves window
// messages, so a request from another thread is never handled.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/error_box_seam.h"
#include "platform/platform.h"
#include "platform/posix/hide_password.h"
#include "platform/posix/posix_internal.h"

namespace plat {

namespace {
struct HiddenWindow {
    ExitRequestHandler handler;
    std::uint32_t ownerThread;  // the thread that would retrieve its messages
};
}  // namespace

void ShowErrorBox(const char* text, const char* caption) {
    if (ShowThroughErrorBoxSeam(text, caption)) return;
    if (!posix::IsTheJournal(STDERR_FILENO)) {
        ConsoleWrite(Stream::Error, text);  // no desktop: the box's text goes to standard error
        return;
    }
    char lines[4096];
    std::size_t used = 0;
    auto append = [&lines, &used](const char* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n && used + 1 < sizeof lines; ++i) lines[used++] = bytes[i];
    };
    for (const char* p = text; *p && used + 4 < sizeof lines;) {
        const char* end = std::strchr(p, '\n');
        const std::size_t n = end ? static_cast<std::size_t>(end - p) + 1 : std::strlen(p);
        append("<3>", 3);
        posix::WriteHidingPassword(p, n, append);
        p += n;
    }
    lines[used] = '\0';
    ConsoleWrite(Stream::Error, lines);
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
