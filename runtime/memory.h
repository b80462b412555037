// Memory: the one heap of every value, and the one way running out of it ends the program.
//
// Invariants:
//  1. Every value lives in RuntimeHeap(): the process heap, recorded by InitRuntime (looked up
//     directly before it, as in unit tests), reached only through the RuntimeHeap* calls.
//  2. SvcAlloc and SvcRealloc never return null: an exhausted heap is a fatal error, shown by
//     ReportAllocFailure with the size asked for.
//  3. The program's operator new (every container's allocation) ends the same way on failure,
//     through ReportAllocFailure, instead of throwing std::bad_alloc into nobody's hands, except
//     on a thread inside a RecoverableAllocations scope: there it throws, for the scope's owner
//     to catch. Its blocks come from malloc, not from RuntimeHeap(): new runs before the runtime
//     exists. The nothrow forms still answer null.
//  4. SvcFree ignores null and every address inside the ConstantPool; SvcRealloc copies such a
//     block instead of resizing it. Two address comparisons decide; no block header is read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace rt {

plat::HeapHandle RuntimeHeap();

// The runtime heap's own calls, which every block of values, byte buffers and libraries goes
// through. Null when the heap cannot supply the block: the caller decides what that means.
void* RuntimeHeapAlloc(std::uint32_t size);
void* RuntimeHeapReAlloc(void* block, std::uint32_t size);
void RuntimeHeapFree(void* block);

// A test's view of the memory: while a seam is set, refuse(size) decides whether a request of
// the heap (alloc or realloc) fails, refuseNew(size) whether one of the program's new does, and
// released(block) hears of every heap block given back; any may be null.
// SetHeapSeam(nullptr): the plain heap.
struct HeapSeam {
    bool (*refuse)(std::uint32_t size);
    void (*released)(void* block);
    bool (*refuseNew)(std::size_t size) = nullptr;
};
void SetHeapSeam(const HeapSeam* seam);

// While one lives on a thread, a new that fails on that thread throws std::bad_alloc instead of
// ending the program: a fetch holds one, so that memory running out fails that fetch alone.
// The services (SvcAlloc, SvcRealloc) stay fatal inside it too.
class RecoverableAllocations {
public:
    RecoverableAllocations();
    ~RecoverableAllocations();
    RecoverableAllocations(const RecoverableAllocations&) = delete;
    RecoverableAllocations& operator=(const RecoverableAllocations&) = delete;
    static bool Active();  // on this thread
};

void* SvcAlloc(std::int32_t size);                 // service slot 6
void* SvcRealloc(void* block, std::int32_t size);  // service slot 7
void SvcFree(void* block);                         // service slot 8

// The fatal error of an allocation of size bytes that the heap could not supply. (Wide, so that
// a failed new of more than 2 GiB shows its true size; the services pass their int32 as is.)
[[noreturn]] void ReportAllocFailure(std::int64_t size);

}  // namespace rt
