// The core library: its descriptor, its eight commands and its link to the runtime.
//
// Command table order (entry numbers are part of the contract):
//   0 GetRunDirectory  1 ReadFileBytes  2 ToText  3 SplitText  4 ToInteger
//   5 StandardOutput   6 StandardInput  7 Delay
//
// Invariants:
//  1. Commands never report errors: what cannot be produced comes back empty (null, 0).
//  2. Every value a command returns is allocated through the runtime (request 2024, not quiet),
//     so an exhausted heap ends the program there and never reaches the command.
//  3. The core library's pool switch is off: its buffers take every block from the heap.
#pragma once

#include <cstdint>

#include "runtime/byte_buffer.h"
#include "runtime/registry.h"
#include "runtime/value.h"

namespace core {

using rt::ArgInfo;

extern const rt::LibraryDescriptor kCoreLibrary;

enum CommandIndex : int {
    kGetRunDirectory = 0,
    kReadFileBytes,
    kToText,
    kSplitText,
    kToInteger,
    kStandardOutput,
    kStandardInput,
    kDelay,
    kCommandCount
};

void GetRunDirectory(ArgInfo* result, std::int32_t count, ArgInfo* args);
void ReadFileBytes(ArgInfo* result, std::int32_t count, ArgInfo* args);
void ToText(ArgInfo* result, std::int32_t count, ArgInfo* args);
void SplitText(ArgInfo* result, std::int32_t count, ArgInfo* args);
void ToInteger(ArgInfo* result, std::int32_t count, ArgInfo* args);
void StandardOutput(ArgInfo* result, std::int32_t count, ArgInfo* args);
void StandardInput(ArgInfo* result, std::int32_t count, ArgInfo* args);
void Delay(ArgInfo* result, std::int32_t count, ArgInfo* args);

// The runtime's NotifySystem, stored at message 1.
rt::NotifySystemFn System();
// A block for a value handed to program code (request 2024, quiet flag 0).
void* AllocValue(std::int32_t size);
// The library's small-block pool (switch off).
rt::SmallBlockPool& Pool();

}  // namespace core
