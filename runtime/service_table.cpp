// The service table's entries: command calls, DLL command resolution and the notifications.
#include "runtime/service_table.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/context.h"
#include "runtime/directory_search.h"
#include "runtime/errors.h"

namespace rt {
namespace {

// 无法找到指定DLL库文件中的输出命令“%s”
constexpr char kNoExport[] =
    "\xCE\xDE\xB7\xA8\xD5\xD2\xB5\xBD\xD6\xB8\xB6\xA8"
    "DLL\xBF\xE2\xCE\xC4\xBC\xFE\xD6\xD0\xB5"
    "\xC4\xCA\xE4\xB3\xF6\xC3\xFC\xC1\xEE\xA1\xB0%s\xA1\xB1";
// 无法找到指定DLL库文件“%s”中的输出命令“%s”
constexpr char kNoExportIn[] =
    "\xCE\xDE\xB7\xA8\xD5\xD2\xB5\xBD\xD6\xB8\xB6\xA8"
    "DLL\xBF\xE2\xCE\xC4\xBC\xFE\xA1\xB0%s"
    "\xA1\xB1\xD6\xD0\xB5\xC4\xCA\xE4\xB3\xF6\xC3\xFC\xC1\xEE\xA1\xB0%s\xA1\xB1";
// 载入启动窗口失败
constexpr char kNoStartWindow[] =
    "\xD4\xD8\xC8\xEB\xC6\xF4\xB6\xAF\xB4\xB0\xBF\xDA\xCA\xA7\xB0\xDC";
// 静态编译的程序不支持调用位于外部翎包中的子程序
constexpr char kNoExternalPackage[] =
    "\xBE\xB2\xCC\xAC\xB1\xE0\xD2\xEB\xB5\xC4\xB3\xCC\xD0\xF2\xB2\xBB\xD6\xA7\xB3\xD6\xB5\xF7"
    "\xD3\xC3\xCE\xBB\xD3\xDA\xCD\xE2\xB2\xBF\xF4\xE1\xB0\xFC\xD6\xD0\xB5\xC4\xD7\xD3\xB3\xCC"
    "\xD0\xF2";

ArgInfo CallCommand(CommandEntry entry, std::int32_t count, ArgInfo* args) {
    ArgInfo result{};
    entry(&result, count, args);
    return result;
}

ArgInfo CallLibraryCommand(CommandEntry entry, std::int32_t count, ArgInfo* args,
                           std::int32_t /*libraryPosition: not used by the call*/) {
    return CallCommand(entry, count, args);
}

// Window components do not exist in a console program: reads give 0, writes do nothing.
std::uint64_t GetUnitProperty(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
    return 0;
}
void SetUnitProperty(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                     std::uint32_t) {}
void LoadWindow(std::uint32_t) { ReportFatalError(kNoStartWindow, 0); }

plat::ModuleHandle LoadForCommand(const std::string& file) {
    const RuntimeContext& ctx = Context();
    if (file.find(':') != std::string::npos) return plat::LoadLibrary(file.c_str());
    plat::ModuleHandle module = nullptr;
    if (ctx.extraSearchDirectory[0] != '\0') {
        module = plat::LoadLibrary((std::string(ctx.extraSearchDirectory) + file).c_str());
    }
    if (!module) {
        module = plat::LoadLibrary(JoinPath(ctx.programDirectory, file).c_str());
    }
    if (!module && ctx.moduleDirectory && ctx.moduleDirectory[0] != '\0') {
        module = plat::LoadLibrary((std::string(ctx.moduleDirectory) + file).c_str());
    }
    if (!module) module = plat::LoadLibrary(file.c_str());
    return module;
}

// Runs an entry point kept in a table slot with the general registers preserved: in C++ every
// call does that, so the slot calls the runtime's own function.
std::uint64_t Notify(std::int32_t code, std::uintptr_t a, std::uintptr_t b, std::uintptr_t c,
                     std::uintptr_t d) {
    return SvcNotify(code, a, b, c, d);
}

}  // namespace

const ServiceTable kServices = {
    SvcReportError,  SvcCallDllCommand, CallLibraryCommand, CallCommand,
    GetUnitProperty, SetUnitProperty,   SvcAlloc,           SvcRealloc,
    SvcFree,         SvcExit,           SvcEndProgram,      LoadWindow,
    Notify,
};

void SvcCallExternalPackage() { ReportFatalError(kNoExternalPackage, 0); }

void* SvcCallDllCommand(std::int32_t index) {
    RuntimeContext& ctx = Context();
    auto i = static_cast<std::size_t>(index);
    if (ctx.dllAddresses[i]) return ctx.dllAddresses[i];
    const char* exportName = ctx.dllExportNames[i];
    const char* lookupName = exportName;
    std::uint16_t ordinal = 0;
    if (exportName[0] == '#') {
        ordinal = static_cast<std::uint16_t>(std::strtoul(exportName + 1, nullptr, 10) & 0xFFFFu);
        lookupName = nullptr;
    }
    std::string file = ctx.dllLibraryNames[i];
    plat::ModuleHandle module = nullptr;
    void* address = nullptr;
    if (file.empty()) {
        for (const char* const* name = plat::SystemLibraryNames(); *name && !address; ++name) {
            module = plat::LoadLibrary(*name);
            if (!module) continue;
            address = plat::GetProcAddress(module, lookupName, ordinal);
            if (!address) {
                plat::FreeLibrary(module);
                module = nullptr;
            }
        }
    } else {
        module = LoadForCommand(file);
        if (module) address = plat::GetProcAddress(module, lookupName, ordinal);
    }
    if (!address) {
        if (module) plat::FreeLibrary(module);
        std::string message(
            std::string(kNoExportIn).size() + file.size() + std::string(exportName).size() + 1,
            '\0');
        if (file.empty()) {
            std::snprintf(message.data(), message.size(), kNoExport, exportName);
        } else {
            std::snprintf(message.data(), message.size(), kNoExportIn, file.c_str(), exportName);
        }
        ReportFatalError(message.c_str(), 0);
    }
    ctx.dllAddresses[i] = address;
    ctx.dllModules[i] = module;
    return address;
}

std::uint64_t SvcNotify(std::int32_t code, std::uintptr_t a, std::uintptr_t b, std::uintptr_t c,
                        std::uintptr_t d) {
    switch (code) {
    case kNotifyFindEntry:
        return reinterpret_cast<std::uintptr_t>(
            FindEntry(reinterpret_cast<const char*>(a), static_cast<std::uint32_t>(b),
                      static_cast<std::uint32_t>(c), reinterpret_cast<plat::FindHandle*>(d)));
    case kNotifyFindClose:
        if (a) plat::FindClose(reinterpret_cast<plat::FindHandle>(a));
        return 0;
    case kNotifyPrivateArray: {
        auto** slot = reinterpret_cast<void**>(b);
        void* array = *slot;
        if (!InConstantPool(array)) return 0;
        std::int64_t bytes =
            ArrayHeaderSize(array) + static_cast<std::int64_t>(a) * ArrayElementCount(array);
        if (bytes > INT32_MAX) ReportAllocFailure(bytes);  // never a wrapped size
        void* copy = SvcAlloc(static_cast<std::int32_t>(bytes));
        std::memcpy(copy, array, static_cast<std::size_t>(bytes));
        *slot = copy;
        return 0;
    }
    case kNotifyCleanup: RegisterCleanup(reinterpret_cast<Routine>(a)); return 0;
    case kNotifyGetProperty: return 0;  // window runtime: no components in a console program
    case kNotifySetProperty: return 0;
    case kNotifyInitRuntime: InitRuntime(); return 0;
    case kNotifyFatalError: ReportFatalError(reinterpret_cast<const char*>(a), 0);
    default: return 0;
    }
}

}  // namespace rt
