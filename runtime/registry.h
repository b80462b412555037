// The library registry: library descriptors and the two notification entries between the
// runtime and its libraries.
//
// Handshake: at start the runtime sends each library LibraryNotify(1, NotifySystem, 0); from then
// on the library reaches the runtime only through NotifySystem, and the runtime reaches the
// library only through LibraryNotify (6 at the end, 8 for data-type queries).
//
// Invariants:
//  1. A library answers -1 to a message it does not handle; NotifySystem answers 0 to a request
//     it does not handle.
//  2. NotifySystem takes no lock and may be called from any thread once the library is registered.
//  3. LibraryDescriptor is 36 words, a pointer-sized word per field (36 x 4 bytes on 32-bit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/value.h"

namespace rt {

using NotifySystemFn = std::intptr_t (*)(std::int32_t code, std::uintptr_t first,
                                         std::uintptr_t second);
using LibraryNotifyFn = std::intptr_t (*)(std::int32_t code, std::uintptr_t first,
                                          std::uintptr_t second);
using CommandEntry = void (*)(ArgInfo* result, std::int32_t count, ArgInfo* args);

// Messages to a library.
enum LibraryMessage : std::int32_t {
    kLibStart = 1,      // first: NotifySystem
    kLibEnd = 6,        // first: the library's state word
    kLibTypeQuery = 8,  // first: 0-based type index, second: caller's buffer
};

// Requests to NotifySystem that this runtime answers.
enum SystemRequest : std::int32_t {
    kSysLookupType = 1002,
    kSysVersion = 1005,
    kSysPathInto = 1006,
    kSysToInteger = 2001,
    kSysProgramDirectory = 2003,
    kSysProgramFileName = 2004,
    kSysSuppressEvents = 2009,
    kSysAllowEvents = 2010,
    kSysPumpMessages = 2018,
    kSysFreeArray = 2023,
    kSysAlloc = 2024,
    kSysFree = 2025,
    kSysRealloc = 2026,
    kSysFatalError = 2027,
    kSysExit = 2028,
    kSysTypeFlags = 2029,
    kSysProgramKind = 2030,
    kSysInterfaceId = 2036,
    kSysWindowRuntimeIsConsole = 1004,  // window runtime: answers 1
};

// kSysPathInto's selectors: which path is written into the caller's buffer.
enum PathSelector : std::uintptr_t {
    kPathRunDirectory = 1,         // the program's directory, with its closing separator
    kPathProgramDirectory = 2001,  // the same
    kPathProgramFileName = 2002,   // the program file's name
};
// The size of the caller's buffer for kSysPathInto: a path buffer of the platform (MAX_PATH). A
// path that does not fit, terminator included, is written as the empty text.
constexpr std::size_t kPathIntoBufferSize = 260;

// The flags word of a library data-type record, as kSysTypeFlags reads it.
enum DataTypeFlags : std::uint32_t {
    kTypeFlagAnswersTwo = 0x04,  // kSysTypeFlags answers 2
    kTypeFlagAnswersOne = 0x40,  // kSysTypeFlags answers 1 (when 0x04 is clear)
};

// A block of size bytes from the runtime's heap, asked through a library's stored callback
// (kSysAlloc): how a library allocates the values that it hands to program code. The runtime's
// out-of-memory rule applies.
inline void* AllocThrough(NotifySystemFn system, std::int32_t size) {
    return reinterpret_cast<void*>(system(kSysAlloc, static_cast<std::uint32_t>(size), 0));
}

constexpr std::uint32_t kLibraryFormatVersion = 20000101;
constexpr std::uint32_t kDataTypeRecordSize = 56;

// Fields with a default are the same in every library (the zero fields, the format version,
// the constant 1) or absent from most (state flags, data types): initialisers leave them out.
struct LibraryDescriptor {
    std::uintptr_t formatVersion = kLibraryFormatVersion;  //  1
    const char* identifier;                    //  2: 32 hexadecimal digits, unique per library
    std::uintptr_t majorVersion;               //  3
    std::uintptr_t minorVersion;               //  4
    std::uintptr_t buildNumber;                //  5
    std::uintptr_t versions[4];                //  6-9: not read by the runtime
    const char* displayName;                   // 10: GBK
    std::uintptr_t alwaysOne = 1;              // 11: not read
    std::uintptr_t zero12 = 0;                 // 12
    std::uintptr_t stateFlags = 0;             // 13: carried as is
    std::uintptr_t zero14[8] = {};             // 14-21
    std::intptr_t dataTypeCount = 0;           // 22
    const unsigned char* dataTypes = nullptr;  // 23: dataTypeCount records of 56 bytes
    std::uintptr_t zero24[2] = {};             // 24-25
    std::intptr_t commandCount;                // 26
    std::uintptr_t zero27 = 0;                 // 27
    const CommandEntry* commands;              // 28: commandCount entries
    std::uintptr_t zero29[2] = {};             // 29-30
    LibraryNotifyFn notify;                    // 31: or null
    std::uintptr_t zero32[5] = {};             // 32-36
};
static_assert(sizeof(LibraryDescriptor) == 36 * sizeof(void*), "36 words");

std::intptr_t NotifySystem(std::int32_t code, std::uintptr_t first, std::uintptr_t second);

// Registration and end passes over the libraries of the header (main thread).
void RegisterLibraries(const LibraryDescriptor* const* list, std::int32_t count);
void EndLibraries();

// The 56-byte record of a library data type, or null.
const unsigned char* LookupDataType(TypeTag tag);

}  // namespace rt
