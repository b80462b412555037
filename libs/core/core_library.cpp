// The core library's descriptor and notify function.
#include "libs/core/core_library.h"

#include <atomic>
#include <iterator>

namespace core {
namespace {

std::atomic<rt::NotifySystemFn> g_system{nullptr};
rt::SmallBlockPool g_pool{false};

constexpr int kDataTypeCount = 51;  // window component types; their records stay empty here
const unsigned char kDataTypes[kDataTypeCount * rt::kDataTypeRecordSize] = {};

constexpr rt::CommandEntry kCommands[] = {
    GetRunDirectory, ReadFileBytes,  ToText,        SplitText,
    ToInteger,       StandardOutput, StandardInput, Delay,
};
// Program code calls a command by its place in this table: CommandIndex names each place.
static_assert(std::size(kCommands) == kCommandCount);
static_assert(kCommands[kGetRunDirectory] == GetRunDirectory &&
              kCommands[kReadFileBytes] == ReadFileBytes && kCommands[kToText] == ToText &&
              kCommands[kSplitText] == SplitText && kCommands[kToInteger] == ToInteger &&
              kCommands[kStandardOutput] == StandardOutput &&
              kCommands[kStandardInput] == StandardInput && kCommands[kDelay] == Delay);

// The window runtime's messages to the library, which a console program has no windows for.
enum WindowMessage : std::int32_t {
    kWindowMessage = 2,
    kWindowMessageFirst = 10,
    kWindowMessageLast = 13,
};

std::intptr_t Notify(std::int32_t code, std::uintptr_t first, std::uintptr_t) {
    switch (code) {
    case rt::kLibStart: g_system.store(reinterpret_cast<rt::NotifySystemFn>(first)); return 0;
    case kWindowMessage: return 0;
    default:
        if (code >= kWindowMessageFirst && code <= kWindowMessageLast) return 0;
        return -1;
    }
}

}  // namespace

rt::NotifySystemFn System() { return g_system.load(); }

void* AllocValue(std::int32_t size) { return rt::AllocThrough(System(), size); }

rt::SmallBlockPool& Pool() { return g_pool; }

const rt::LibraryDescriptor kCoreLibrary = {
    .identifier = "5F9E3C7A1B2D4E6F8091A2B3C4D5E6F7",
    .majorVersion = 5,
    .minorVersion = 3,
    .buildNumber = 64,
    .versions = {3, 7, 3, 7},
    .displayName = "\xCF\xB5\xCD\xB3\xBA\xCB\xD0\xC4\xD6\xA7\xB3\xD6\xBF\xE2",  // 系统核心支持库
    .stateFlags = 0xC0000001,
    .dataTypeCount = kDataTypeCount,
    .dataTypes = kDataTypes,
    .commandCount = sizeof kCommands / sizeof kCommands[0],
    .commands = kCommands,
    .notify = Notify,
};

}  // namespace core
