// StartThread on the platform's threads, and the thread library's notify function.
#include "libs/thread/thread_library.h"

#include <atomic>
#include <cstdlib>

#include "platform/platform.h"

namespace threadlib {
namespace {

struct SectionNode {
    plat::CriticalSection section;
    SectionNode* next;  // the next node, or null
};

std::atomic<rt::NotifySystemFn> g_system{nullptr};
SectionNode* g_sections = nullptr;  // head of the list; null at load

const rt::CommandEntry kCommands[] = {StartThread};

}  // namespace

void StartThread(rt::ArgInfo* result, std::int32_t count, rt::ArgInfo* args) {
    const std::uintptr_t parameter =
        (count > 1 && args[1].tag != rt::kTagNone) ? rt::ArgLow(args[1]) : 0;
    auto routine = reinterpret_cast<plat::ThreadRoutine>(rt::ArgWord(args[0]));
    plat::ThreadHandle thread = routine ? plat::CreateThread(routine, parameter) : nullptr;
    rt::SetArgInt(*result, thread ? 1 : 0);
    if (count >= 3 && args[2].tag != rt::kTagNone) {
        // The caller's variable is a handle-sized integer; the handle is the caller's now.
        auto* variable = rt::ArgPtr<void>(args[2]);
        rt::WriteWord(variable, reinterpret_cast<std::uintptr_t>(thread));
    } else if (thread) {
        plat::CloseThreadHandle(thread);
    }
}

std::intptr_t Notify(std::int32_t code, std::uintptr_t first, std::uintptr_t) {
    switch (code) {
    case rt::kLibStart: g_system.store(reinterpret_cast<rt::NotifySystemFn>(first)); return 0;
    case rt::kLibEnd:
        while (SectionNode* node = g_sections) {
            plat::DeleteCriticalSection(&node->section);
            g_sections = node->next;
            std::free(node);
        }
        return 0;
    default: return -1;
    }
}

int CriticalSectionCount() {
    int n = 0;
    for (SectionNode* node = g_sections; node; node = node->next) ++n;
    return n;
}

void AddCriticalSection() {
    auto* node = static_cast<SectionNode*>(std::malloc(sizeof(SectionNode)));
    if (!node) return;
    plat::InitializeCriticalSection(&node->section);
    node->next = g_sections;
    g_sections = node;
}

const rt::LibraryDescriptor kThreadLibrary = {
    .identifier = "A17C4E9B2F3D4B5C8E6F7A8B9C0D1E2F",
    .majorVersion = 2,
    .minorVersion = 0,
    .buildNumber = 3,
    .versions = {3, 7, 3, 7},
    .displayName = "\xB6\xE0\xCF\xDF\xB3\xCC\xD6\xA7\xB3\xD6\xBF\xE2",  // 多线程支持库
    .stateFlags = 0xC0000000,
    .commandCount = 1,
    .commands = kCommands,
    .notify = Notify,
};

}  // namespace threadlib
