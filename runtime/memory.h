// Memory: the one heap of every value, and the one way running out of it ends the program.
//
// Invariants:
//  1. Every value lives in RuntimeHeap(): the process heap, recorded by InitRuntime (looked up
//     directly before it, as in unit tests). The services here and byte buffers use no other.
//  2. SvcAlloc and SvcRealloc never return null: an exhausted heap is a fatal error, shown by
//     ReportAllocFailure with the size asked for.
//  3. The program's operator new (every container's allocation) ends the same way on failure,
//     through ReportAllocFailure, instead of throwing std::bad_alloc into nobody's hands. Its
//     blocks come from malloc, not from RuntimeHeap(): new runs before the runtime exists. The
//     nothrow forms still answer null.
//  4. SvcFree ignores null and every address inside the ConstantPool; SvcRealloc copies such a
//     block instead of resizing it. Two address comparisons decide; no block header is read.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace rt {

plat::HeapHandle RuntimeHeap();

void* SvcAlloc(std::int32_t size);                  // service slot 6
void* SvcRealloc(void* block, std::int32_t size);   // service slot 7
void SvcFree(void* block);                          // service slot 8

// The fatal error of an allocation of size bytes that the heap could not supply. (Wide, so that
// a failed new of more than 2 GiB shows its true size; the services pass their int32 as is.)
[[noreturn]] void ReportAllocFailure(std::int64_t size);

}  // namespace rt
