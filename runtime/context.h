// The runtime's process-wide state, and the life of the process around the program.
//
// States: constructed (static, all empty) -> initialised [InitRuntime] -> running
//         -> shutting down [ShutdownRuntime on the main thread] -> ended [ExitProcess].
//
// Invariants:
//  1. Exactly one RuntimeContext per process. Start-up and shutdown run on the main thread; the
//     cleanup list, the library table and the DLL tables are touched by the main thread only.
//  2. ShutdownRuntime may run any number of times: each step works on a list that the first run
//     emptied, so later runs only raise the event-suppression counter.
//  3. An exit asked for on another thread never runs the shutdown steps there: the main thread
//     runs them, or the process ends at once.
//  4. The flags that the error path touches from two threads are atomics.
#pragma once

#include <atomic>
#include <string>
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "runtime/registry.h"
#include "runtime/value.h"

namespace rt {

using Routine = void (*)();

// The compiled program's description of itself, read once by InitRuntime.
struct ProgramHeader {
    std::int32_t programKind;        // 3 for a console program
    std::uint32_t headerFlags;       // 0
    std::uint32_t idBase;            // the id counter starts one above it
    const void* codeBase;            // base of the handler offsets in window definitions
    const void* constantPoolStart;   // the read-only constant block
    std::uint32_t constantPoolSize;  // bytes
    const void* windowData;          // window definitions (a count of 0: none)
    std::uint32_t windowDataSize;    // bytes
    std::int32_t libraryCount;
    const LibraryDescriptor* const* libraries;  // libraryCount descriptors, in order
    std::int32_t dllCommandCount;
    const char* const* dllLibraryNames;  // one per DLL command; "" = the system libraries
    const char* const* dllExportNames;   // one per DLL command; "#12" = ordinal 12
};

using ProgramEntryFn = std::int32_t (*)();

// A hook through which an optional runtime component would hand out functions by name.
struct ComponentHook {
    std::intptr_t (*open)(ComponentHook*);
    void* (*lookup)(const char* name);
    void (*close)(ComponentHook*);
};

struct RuntimeContext {
    // ---- Live state: read and written as the program runs ----
    std::int32_t programKind = 0;                // from ProgramHeader
    TextValue programDirectory = nullptr;        // no trailing backslash; heap text, "" when none
    TextValue programFileName = nullptr;         // heap text
    TextValue moduleDirectory = nullptr;         // trailing backslash kept; heap text
    plat::HeapHandle heap = nullptr;             // the process heap
    bool oleInitialized = false;                 // we hold an OleInitialize
    std::atomic<std::uint32_t> mainThreadId{0};  // thread that ran InitRuntime; 0 before
    std::atomic<const unsigned char*> poolStart{nullptr};  // ConstantPool [start, end)
    std::atomic<const unsigned char*> poolEnd{nullptr};
    std::vector<const LibraryDescriptor*> libraries;  // header order
    std::vector<std::uint32_t> libraryStates;         // one state word per library, all 0
    std::vector<const char*> dllLibraryNames;         // DLL command tables, one entry per command
    std::vector<const char*> dllExportNames;
    std::vector<void*> dllAddresses;                // null until resolved
    std::vector<plat::ModuleHandle> dllModules;     // null until loaded
    const char* extraSearchDirectory = "";          // never set in a console program
    std::vector<Routine> cleanupList;               // registration order, no duplicates
    std::atomic<std::int32_t> eventSuppression{0};  // > 0: no window events reach the program
    std::atomic<bool> shutdownStarted{false};       // ShutdownRuntime began on the main thread
    std::atomic<plat::WindowHandle> hiddenOwnerWindow{nullptr};
    ComponentHook hooks[3]{};

    // ---- Kept for what a console program never reaches (the window runtime, sockets of the
    // runtime's own): only start-up and the end touch these ----
    std::uint32_t headerFlags = 0;          // from ProgramHeader
    std::uint32_t idCounter = 0;            // id base + 1; pre-incremented by the window runtime
    std::atomic<bool> programEnded{false};  // SvcEndProgram ran
    plat::CriticalSection section{};        // entered by the window runtime only
    bool winsockOwed = false;  // a WSACleanup is owed; never set (the internet library has its own)

    RuntimeContext();
    ~RuntimeContext();
};

RuntimeContext& Context();

// ---- The life of the process ------------------------------------------------------------------

// The start-up step: module directory, hook slot 2, then ProgramEntry. Returns its result.
std::int32_t StartupStep(const ProgramHeader& header, ProgramEntryFn entry);
// The exit step: ShutdownRuntime(0), then 0; while a fatal error is being reported on another
// thread, its cleanup routines discarded first, then -1.
std::int32_t ExitStep();
// What main() does: InitProcess, StartupStep, ExitStep, then ends the process with the code.
[[noreturn]] void RunProgram(const ProgramHeader& header, ProgramEntryFn entry);

void InitRuntime();
void RegisterCleanup(Routine routine);
void SvcEndProgram();
[[noreturn]] void SvcExit(std::int32_t code);
void ShutdownRuntime(std::int32_t code);

// Looks name up through component hook slot (0-2). The first lookup through a slot runs its
// open function once; an open that answers 0 leaves the slot without lookup. Null: not found.
void* LookupComponent(int slot, const char* name);
// Sets a component hook slot, closing an opened one first; null functions clear the slot.
void SetComponentHook(int slot, std::intptr_t (*open)(ComponentHook*), void* (*lookup)(const char*),
                      void (*close)(ComponentHook*));

// True when address lies inside the ConstantPool.
bool InConstantPool(const void* address);

// Splits a Windows-form path at its last backslash (lead-byte aware): directory and file name.
// No backslash: directory "" and the whole path as file name.
void SplitExecutablePath(const char* path, std::string* directory, std::string* fileName);
// directory, a backslash, then name: the one way this runtime joins a path (a null directory
// is the empty one).
std::string JoinPath(const char* directory, const std::string& name);

}  // namespace rt
