// HttpReadFile, the library state and the internet library's notify function.
#include "libs/internet/internet_library.h"

#include <atomic>

namespace inet {
namespace {

std::atomic<rt::NotifySystemFn> g_system{nullptr};
rt::SmallBlockPool g_pool{true};

const rt::CommandEntry kCommands[] = {HttpReadFile};

void* AllocValue(std::int32_t size) { return rt::AllocThrough(g_system.load(), size); }

}  // namespace

InternetLibraryState::InternetLibraryState() { winsockStarted = plat::WsaStartup11(); }

InternetLibraryState& State() {
    // Built on first use and never destroyed: the process ends without static destructors,
    // and the worker may be inside a fetch when it does. The session handle ends with it.
    static InternetLibraryState* state = new InternetLibraryState();
    return *state;
}

rt::SmallBlockPool& Pool() { return g_pool; }

// Built at load, as the library's state is, before the runtime starts.
[[maybe_unused]] const InternetLibraryState& g_builtAtLoad = State();

void HttpReadFile(rt::ArgInfo* result, std::int32_t, rt::ArgInfo* args) {
    // The body is read into the byte set itself: what arrived is the content, failed fetch or
    // not (an empty one is the empty byte set, null).
    rt::BinBuilder body(g_pool, AllocValue);
    State().http.Fetch(rt::ArgPtr<const char>(args[0]), body);
    rt::SetArgPtr(*result, body.Finish());
}

// "The network support could not be started!" (GBK): the HTTP client cannot be readied.
constexpr char kNoHttpClient[] =
    "\xCD\xF8\xC2\xE7\xD6\xA7\xB3\xD6\xCE\xDE\xB7\xA8\xC6\xF4\xB6\xAF!";

std::intptr_t Notify(std::int32_t code, std::uintptr_t first, std::uintptr_t) {
    if (code == rt::kLibStart) {
        const auto system = reinterpret_cast<rt::NotifySystemFn>(first);
        g_system.store(system);
        // Readied once at the start, on the main thread, before any fetch: a client that
        // cannot be readied ends the program with its text, never a fetch by a crash.
        if (!plat::InternetStartup() && system) {
            system(rt::kSysFatalError, reinterpret_cast<std::uintptr_t>(kNoHttpClient), 0);
        }
        return 0;
    }
    return -1;  // the end message included: the session lives until the process ends
}

const rt::LibraryDescriptor kInternetLibrary = {
    .identifier = "3C8D2E7F9A1B4C6D8E0F1A2B3C4D5E60",
    .majorVersion = 2,
    .minorVersion = 0,
    .buildNumber = 0,
    .versions = {3, 0, 3, 0},
    .displayName = "\xBB\xA5\xC1\xAA\xCD\xF8\xD6\xA7\xB3\xD6\xBF\xE2",  // 互联网支持库
    .commandCount = 1,
    .commands = kCommands,
    .notify = Notify,
};

}  // namespace inet
