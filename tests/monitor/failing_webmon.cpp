// webmon whose Nth allocation fails: WEBMON_FAIL_ALLOCATION=N refuses the Nth request made of
// the runtime heap or the program's new (counted together, once each), as SQLite's tests fail
// their Nth malloc. N=0 refuses none and writes, once the input has ended, how many requests
// start-up and the passes made ("allocations: K" on standard error). The error box's text goes
// to standard error on both builds (a box under wine would wait for a click).
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "monitor/program.h"
#include "platform/error_box_seam.h"
#include "platform/platform.h"
#include "runtime/memory.h"

namespace {

std::atomic<long> g_made{0};
long g_failAt = 0;

bool RefuseNth() { return g_made.fetch_add(1) + 1 == g_failAt; }
bool RefuseHeap(std::uint32_t) { return RefuseNth(); }
bool RefuseNew(std::size_t) { return RefuseNth(); }
const rt::HeapSeam kSeam{RefuseHeap, nullptr, RefuseNew};

void BoxToStandardError(const char* text, const char*) {
    plat::ConsoleWrite(plat::Stream::Error, text);
}

std::int32_t CountingEntry() {
    const std::int32_t result = monitor::ProgramEntry();
    if (g_failAt == 0) {
        char line[64];
        std::snprintf(line, sizeof line, "allocations: %ld\n", g_made.load());
        plat::ConsoleWrite(plat::Stream::Error, line);
    }
    return result;
}

}  // namespace

int main() {
    const char* n = std::getenv("WEBMON_FAIL_ALLOCATION");
    g_failAt = n ? std::atol(n) : 0;
    plat::SetErrorBoxSeam(BoxToStandardError);
    rt::SetHeapSeam(&kSeam);
    rt::RunProgram(monitor::kProgramHeader, CountingEntry);
}
