// The memory services on the runtime's heap, and the report of an allocation that failed.
#include "runtime/memory.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/context.h"
#include "runtime/errors.h"

namespace rt {
namespace {

// 分配 %d 字节内存失败!
constexpr char kAllocFailed[] =
    "\xB7\xD6\xC5\xE4 %" PRId64 " \xD7\xD6\xBD\xDA\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC!";

std::atomic<const HeapSeam*> g_seam{nullptr};
thread_local int g_recoverable = 0;  // RecoverableAllocations alive on this thread

bool Refused(std::uint32_t size) {
    const HeapSeam* seam = g_seam.load(std::memory_order_relaxed);
    return seam && seam->refuse && seam->refuse(size);
}

}  // namespace

plat::HeapHandle RuntimeHeap() {
    plat::HeapHandle heap = Context().heap;
    return heap ? heap : plat::GetProcessHeap();  // before InitRuntime, e.g. in unit tests
}

void* RuntimeHeapAlloc(std::uint32_t size) {
    return Refused(size) ? nullptr : plat::HeapAlloc(RuntimeHeap(), size);
}

void* RuntimeHeapReAlloc(void* block, std::uint32_t size) {
    return Refused(size) ? nullptr : plat::HeapReAlloc(RuntimeHeap(), block, size);
}

void RuntimeHeapFree(void* block) {
    const HeapSeam* seam = g_seam.load(std::memory_order_relaxed);
    if (seam && seam->released) seam->released(block);
    plat::HeapFree(RuntimeHeap(), block);
}

void SetHeapSeam(const HeapSeam* seam) { g_seam.store(seam); }

RecoverableAllocations::RecoverableAllocations() { ++g_recoverable; }
RecoverableAllocations::~RecoverableAllocations() { --g_recoverable; }
bool RecoverableAllocations::Active() { return g_recoverable > 0; }

namespace {
void* NewBlock(std::size_t size) {
    const HeapSeam* seam = g_seam.load(std::memory_order_relaxed);
    if (!(seam && seam->refuseNew && seam->refuseNew(size))) {
        if (void* block = std::malloc(size ? size : 1)) return block;
    }
    if (RecoverableAllocations::Active()) throw std::bad_alloc();
    ReportAllocFailure(static_cast<std::int64_t>(size));
}
}  // namespace

void* SvcAlloc(std::int32_t size) {
    void* block = RuntimeHeapAlloc(static_cast<std::uint32_t>(size));
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
    void* moved = RuntimeHeapReAlloc(block, static_cast<std::uint32_t>(size));
    if (!moved) ReportAllocFailure(size);
    return moved;
}

void SvcFree(void* block) {
    if (!block || InConstantPool(block)) return;
    RuntimeHeapFree(block);
}

void ReportAllocFailure(std::int64_t size) {
    // Nothing here takes from the heap; ReportFatalError keeps a failure on its own way out
    // from recursing.
    char message[100];
    std::snprintf(message, sizeof message, kAllocFailed, size);
    ReportFatalError(message, 0);
}

}  // namespace rt

// ---- The program's operator new and delete ----------------------------------------------------

void* operator new(std::size_t size) { return rt::NewBlock(size); }
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
