// The service table: the thirteen fixed entry points through which program code reaches the
// runtime, and the rule for calling a command.
//
// Slots (numbers never change), and the header that declares the function in each:
//   0 SvcReportError ............ errors.h      7 SvcRealloc ............... memory.h
//   1 SvcCallDllCommand ......... this header   8 SvcFree .................. memory.h
//   2 SvcCallLibraryCommand ..... (table only)  9 SvcExit .................. context.h
//   3 SvcCallCoreCommand ........ (table only) 10 SvcEndProgram ............ context.h
//   4 SvcGetUnitProperty ........ (table only) 11 SvcLoadWindow ............ (table only)
//   5 SvcSetUnitProperty ........ (table only) 12 SvcNotify ................ this header
//   6 SvcAlloc .................. memory.h
// "(table only)": the function is reached through kServices alone (service_table.cpp); the
// window slots 4, 5 and 11 belong to a window runtime that a console program never reaches.
//
// Invariants:
//  1. A command is entered with a zeroed result record; the call service adds no check of its own.
//  2. Every slot may be called from any thread; the command slots keep no state.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/registry.h"
#include "runtime/value.h"

namespace rt {

// SvcNotify codes.
enum NotifyCode : std::int32_t {
    kNotifyFindEntry = 0,     // pattern, attribute mask, files-only flag, &search handle
    kNotifyFindClose = 1,     // search handle
    kNotifyPrivateArray = 2,  // element size, &array pointer
    kNotifyCleanup = 3,       // routine
    kNotifyGetProperty = 4,   // window runtime
    kNotifySetProperty = 5,   // window runtime
    kNotifyInitRuntime = 6,
    kNotifyFatalError = 7,  // text: the fatal error box with that text (no code); never returns
};

// Slots 0 and 9 never return; the attribute cannot be written on a pointer, so it is said here
// and carried by the functions that fill them (SvcReportError, SvcExit).
struct ServiceTable {
    void (*reportError)(std::int32_t code);       // 0
    void* (*callDllCommand)(std::int32_t index);  // 1
    ArgInfo (*callLibraryCommand)(CommandEntry, std::int32_t count, ArgInfo* args,
                                  std::int32_t libraryPosition);                  // 2
    ArgInfo (*callCoreCommand)(CommandEntry, std::int32_t count, ArgInfo* args);  // 3
    std::uint64_t (*getUnitProperty)(std::uint32_t, std::uint32_t, std::uint32_t,
                                     std::uint32_t);  // 4
    void (*setUnitProperty)(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                            std::uint32_t, std::uint32_t);  // 5
    void* (*alloc)(std::int32_t size);                      // 6
    void* (*realloc)(void* block, std::int32_t size);       // 7
    void (*free)(void* block);                              // 8
    void (*exit)(std::int32_t code);                        // 9
    void (*endProgram)();                                   // 10
    void (*loadWindow)(std::uint32_t windowId);             // 11
    std::uint64_t (*notify)(std::int32_t code, std::uintptr_t, std::uintptr_t, std::uintptr_t,
                            std::uintptr_t);  // 12
};

// The program's copy of the table.
extern const ServiceTable kServices;

// Slot 1: resolves DLL command index (loading its library on first use) and returns the
// function's address; the caller's thunk then calls it with its own arguments untouched.
// An unresolvable command is a fatal error.
void* SvcCallDllCommand(std::int32_t index);
// Slot 12.
std::uint64_t SvcNotify(std::int32_t code, std::uintptr_t a = 0, std::uintptr_t b = 0,
                        std::uintptr_t c = 0, std::uintptr_t d = 0);

// The runtime's own copy has a fourteenth entry: a subroutine in an external package.
[[noreturn]] void SvcCallExternalPackage();

}  // namespace rt
