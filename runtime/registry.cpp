// The runtime's side of the library registry: registration, the end pass and NotifySystem.
#include "runtime/registry.h"

#include <cstring>
#include <string>

#include "runtime/context.h"
#include "runtime/errors.h"

namespace rt {
namespace {

// 欲转换数据类型不是数值
constexpr char kNotANumber[] =
    "\xD3\xFB\xD7\xAA\xBB\xBB\xCA\xFD\xBE\xDD\xC0\xE0\xD0\xCD\xB2\xBB\xCA\xC7\xCA\xFD\xD6\xB5";

// IUnknown's interface identifier, 00000000-0000-0000-C000-000000000046, in memory order.
constexpr unsigned char kIUnknownId[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
constexpr TypeTag kIUnknownTag = 0x00010030;
constexpr int kTypeRecordFlags = 12;  // byte offset of the flags word in a data-type record

constexpr std::intptr_t kRuntimeVersion = 0x00030005;  // major 3, minor 5 (kSysVersion)

bool IsLibraryTypeTag(TypeTag tag) {
    const TypeTag family = tag & kTagFamilyBits;
    return tag != 0 && (family == 0 || family == kTagFamilyBits);
}

// The registered library that a library data type's tag names (library << 16 | type, the
// library counted from 1), or null.
const LibraryDescriptor* LibraryOfTag(TypeTag tag) {
    if (!IsLibraryTypeTag(tag)) return nullptr;
    const RuntimeContext& ctx = Context();
    const std::uint32_t library = tag >> 16;
    if (library == 0 || library > ctx.libraries.size()) return nullptr;
    return ctx.libraries[library - 1];
}

std::int32_t NumberToInt32(const ArgInfo& arg) {
    std::int32_t value = 0;
    if (!NumberAsInt32(arg, &value)) ReportFatalError(kNotANumber, 0);
    return value;
}

// The caller's buffer has no size of its own: it is a path buffer, kPathIntoBufferSize bytes.
// A path that does not fit is written as the empty text, never cut: a cut path names another
// folder.
void WritePathInto(std::uintptr_t selector, char* buffer) {
    const RuntimeContext& ctx = Context();
    std::string path;
    if (selector == kPathRunDirectory || selector == kPathProgramDirectory) {
        path = JoinPath(ctx.programDirectory, "");
    } else if (selector == kPathProgramFileName) {
        path = ctx.programFileName ? ctx.programFileName : "";
    }
    if (path.size() >= kPathIntoBufferSize) path.clear();
    std::memcpy(buffer, path.c_str(), path.size() + 1);
}

}  // namespace

const unsigned char* LookupDataType(TypeTag tag) {
    const LibraryDescriptor* d = LibraryOfTag(tag);
    const std::uint32_t type = tag & 0xFFFFu;
    if (!d || type == 0 || static_cast<std::intptr_t>(type) > d->dataTypeCount) return nullptr;
    return d->dataTypes + (type - 1) * kDataTypeRecordSize;
}

std::intptr_t NotifySystem(std::int32_t code, std::uintptr_t first, std::uintptr_t second) {
    if (code == kSysAlloc && second == 0) {  // every value a library returns comes this way
        return reinterpret_cast<std::intptr_t>(SvcAlloc(static_cast<std::int32_t>(first)));
    }
    RuntimeContext& ctx = Context();
    switch (code) {
    case kSysLookupType:
        return reinterpret_cast<std::intptr_t>(LookupDataType(static_cast<TypeTag>(first)));
    case kSysVersion: return kRuntimeVersion;
    case kSysWindowRuntimeIsConsole: return 1;
    case kSysPathInto: WritePathInto(first, reinterpret_cast<char*>(second)); return 0;
    case kSysToInteger: return NumberToInt32(*reinterpret_cast<const ArgInfo*>(first));
    case kSysProgramDirectory: return reinterpret_cast<std::intptr_t>(ctx.programDirectory);
    case kSysProgramFileName: return reinterpret_cast<std::intptr_t>(ctx.programFileName);
    case kSysSuppressEvents:
        ctx.eventSuppression.fetch_add(1);  // no window messages are pending in a console
        return 0;
    case kSysAllowEvents: {
        std::int32_t n = ctx.eventSuppression.load();
        while (n > 0 && !ctx.eventSuppression.compare_exchange_weak(n, n - 1)) {}
        return 0;
    }
    case kSysPumpMessages: return 0;
    case kSysFreeArray:
        FreeArray(static_cast<TypeTag>(first), reinterpret_cast<void*>(second));
        return 0;
    case kSysAlloc: {
        auto size = static_cast<std::int32_t>(first);
        if (second == 0) return reinterpret_cast<std::intptr_t>(SvcAlloc(size));
        return reinterpret_cast<std::intptr_t>(RuntimeHeapAlloc(static_cast<std::uint32_t>(size)));
    }
    case kSysFree: SvcFree(reinterpret_cast<void*>(first)); return 0;
    case kSysRealloc:
        return reinterpret_cast<std::intptr_t>(
            SvcRealloc(reinterpret_cast<void*>(first), static_cast<std::int32_t>(second)));
    case kSysFatalError: ReportFatalError(reinterpret_cast<const char*>(first), 0);
    case kSysExit: SvcExit(static_cast<std::int32_t>(first));
    case kSysTypeFlags: {
        const unsigned char* record = LookupDataType(static_cast<TypeTag>(first));
        if (!record) return 0;
        std::uint32_t flags = static_cast<std::uint32_t>(ReadInt32(record + kTypeRecordFlags));
        return (flags & kTypeFlagAnswersTwo) ? 2 : (flags & kTypeFlagAnswersOne) ? 1 : 0;
    }
    case kSysProgramKind: return ctx.programKind;
    case kSysInterfaceId: {
        auto tag = static_cast<TypeTag>(first);
        if (tag == kIUnknownTag) {
            std::memcpy(reinterpret_cast<void*>(second), kIUnknownId, sizeof kIUnknownId);
            return 1;
        }
        const LibraryDescriptor* d = LibraryOfTag(tag);
        if (!d || !d->notify) return 0;
        return d->notify(kLibTypeQuery, (tag & 0xFFFFu) - 1, second);
    }
    default: return 0;  // window runtime requests and unknown codes
    }
}

// A library enters the table once its start has returned, so that a fatal error during start-up
// (an allocation that fails, say) sends the end notification to started libraries only. The
// room is taken first: entering a library allocates nothing.
void RegisterLibraries(const LibraryDescriptor* const* list, std::int32_t count) {
    RuntimeContext& ctx = Context();
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
    ctx.libraries.clear();
    ctx.libraryStates.clear();
    ctx.libraries.reserve(n);
    ctx.libraryStates.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const LibraryDescriptor* d = list[i];
        if (d && d->notify) {
            d->notify(kLibStart, reinterpret_cast<std::uintptr_t>(&NotifySystem), 0);
        }
        ctx.libraryStates.push_back(0);
        ctx.libraries.push_back(d);
    }
}

void EndLibraries() {
    RuntimeContext& ctx = Context();
    for (std::size_t i = 0; i < ctx.libraries.size(); ++i) {
        const LibraryDescriptor* d = ctx.libraries[i];
        if (d && d->notify) d->notify(kLibEnd, ctx.libraryStates[i], 0);
    }
    ctx.libraries.clear();
    ctx.libraryStates.clear();
}

}  // namespace rt
