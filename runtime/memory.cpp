// The memory services on the runtime's heap, and the report of an allocation that failed.
#include "runtime/memory.h"

#include <cstdio>
#include <cstring>

#include "runtime/context.h"
#include "runtime/errors.h"

namespace rt {
namespace {

// 分配 %d 字节内存失败!
constexpr char kAllocFailed[] = "\xB7\xD6\xC5\xE4 %d \xD7\xD6\xBD\xDA\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC!";

}  // namespace

plat::HeapHandle RuntimeHeap() {
    plat::HeapHandle heap = Context().heap;
    return heap ? heap : plat::GetProcessHeap();  // before InitRuntime, e.g. in unit tests
}

void* SvcAlloc(std::int32_t size) {
    void* block = plat::HeapAlloc(RuntimeHeap(), static_cast<std::uint32_t>(size));
    if (!block) ReportAllocFailure(size);
    return block;
}

void* SvcRealloc(void* block, std::int32_t size) {
    if (!block) return SvcAlloc(size);
    if (InConstantPool(block)) {
        void* fresh = SvcAlloc(size);
        const auto* from = static_cast<const unsigned char*>(block);
        std::size_t left = static_cast<std::size_t>(Context().poolEnd.load() - from);
        std::size_t want = static_cast<std::uint32_t>(size);
        std::memcpy(fresh, from, want < left ? want : left);
        return fresh;
    }
    void* moved = plat::HeapReAlloc(RuntimeHeap(), block, static_cast<std::uint32_t>(size));
    if (!moved) ReportAllocFailure(size);
    return moved;
}

void SvcFree(void* block) {
    if (!block || InConstantPool(block)) return;
    plat::HeapFree(RuntimeHeap(), block);
}

void ReportAllocFailure(std::int32_t size) {
    char message[100];
    std::snprintf(message, sizeof message, kAllocFailed, static_cast<int>(size));
    ReportFatalError(message, 0);
}

}  // namespace rt
