// The thread library: StartThread and the library's descriptor.
//
// Invariants:
//  1. StartThread neither waits for, records nor counts the threads it starts; they end with
//     the process.
//  2. The critical-section list is touched only at the end message, which comes once.
#pragma once

#include <cstdint>

#include "runtime/registry.h"
#include "runtime/value.h"

namespace threadlib {

extern const rt::LibraryDescriptor kThreadLibrary;

void StartThread(rt::ArgInfo* result, std::int32_t count, rt::ArgInfo* args);

// The library's notify function (message 1 stores the runtime's entry, 6 ends the library).
std::intptr_t Notify(std::int32_t code, std::uintptr_t first, std::uintptr_t second);

// How many critical sections the list holds (for tests).
int CriticalSectionCount();
// Adds one critical section to the list, as the library's lock commands would.
void AddCriticalSection();

}  // namespace threadlib
