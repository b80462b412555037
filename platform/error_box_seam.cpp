// The error box's test seam, shared by the Windows and the Linux side.
#include "platform/error_box_seam.h"

#include <atomic>

#include "platform/platform.h"

namespace plat {
namespace {
std::atomic<ErrorBoxSeam> g_boxSeam{nullptr};
}  // namespace

void SetErrorBoxSeam(ErrorBoxSeam seam) { g_boxSeam.store(seam); }

bool ShowThroughErrorBoxSeam(const char* text, const char* caption) {
    ErrorBoxSeam seam = g_boxSeam.load();
    if (!seam) return false;
    seam(text, caption);
    return true;
}

}  // namespace plat
