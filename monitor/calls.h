// How the monitor's program code calls the runtime: the command helpers that the start-up
// routine and the worker share, the libraries' places in the program header, and the rule of
// line 1. (Program code reaches the runtime only through the service table.)
#pragma once

#include <cstdint>

#include "libs/core/core_library.h"
#include "libs/internet/internet_library.h"
#include "libs/thread/thread_library.h"
#include "monitor/program.h"
#include "runtime/service_table.h"
#include "runtime/value.h"

namespace monitor {

// The program's libraries: the program header's list (kProgramHeader), and the 0-based place
// of each in it, side by side.
enum LibraryPosition : std::int32_t {
    kCorePosition = 0,
    kInternetPosition = 1,
    kThreadPosition = 2,
    kLibraryCount
};
inline const rt::LibraryDescriptor* const kLibraries[kLibraryCount] = {
    &core::kCoreLibrary,         // kCorePosition
    &inet::kInternetLibrary,     // kInternetPosition
    &threadlib::kThreadLibrary,  // kThreadPosition
};

inline rt::ArgInfo Core(rt::CommandEntry entry, std::int32_t count, rt::ArgInfo* args) {
    return rt::kServices.callCoreCommand(entry, count, args);
}

// Prints one text on standard output (direction omitted).
inline void Print(const char* text) {
    rt::ArgInfo args[] = {rt::NoArg(), rt::TextArg(text)};
    Core(core::StandardOutput, 2, args);
}
// Prints one text on standard output as a failure's (direction 4): the same bytes, stored at
// warning priority where standard output is the journal, so that failures can be filtered.
inline void PrintFailure(const char* text) {
    rt::ArgInfo args[] = {rt::IntArg(4), rt::TextArg(text)};
    Core(core::StandardOutput, 2, args);
}

inline const char* OrEmpty(const char* text) { return text ? text : EmptyText(); }

// Line 1 of a list's lines as an integer (index-checked): line 1 is the period, and no
// address, exactly when this is greater than 0 (monitor/list.h).
inline std::int32_t FirstLineNumber(rt::ArrayValue lines) {
    rt::ArgInfo args[] = {rt::TextArg(OrEmpty(rt::CheckedTextElement(lines, 1)))};
    return rt::ArgInt(Core(core::ToInteger, 1, args));
}

}  // namespace monitor
