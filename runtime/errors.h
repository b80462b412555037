// Runtime errors: the codes and texts of the runtime's errors, and the one way the program dies.
// (Memory and its out-of-memory rule: memory.h.)
//
// Invariants:
//  1. A fatal error shows one box, discards the cleanup routines and ends the process with -1.
//  2. The fatal path takes nothing from the heap: it runs when the heap has nothing left, and
//     the box's text is built on the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/memory.h"  // most users of the error services allocate too

namespace rt {

// ---- Runtime errors --------------------------------------------------------------------------

enum RuntimeErrorCode : std::int32_t {
    kErrIndexOutOfRange = 1,
    kErrNumberExpected = 2,
    kErrDimensionMismatch = 3,
    kErrIndexBelowOne = 4,
    kErrTypeMismatch = 5,
    kErrDllStack = 6,
    kErrSubStatementNoData = 7,
    kErrOnlyEquality = 8,
    kErrChoiceIndex = 9,
    kErrRedimBounds = 10,
    kErrArgumentType = 11,
};
// The message of code 1-11; null for any other code.
const char* RuntimeErrorMessage(std::int32_t code);

[[noreturn]] void SvcReportError(std::int32_t code);

// Shows the fatal error box for text (null or empty allowed) and code (0: no code), then ends
// the process with -1 after discarding the cleanup routines.
[[noreturn]] void ReportFatalError(const char* text, std::int32_t code);

// The box text: "运行时出错!\r\n\r\n", then the code part and the message part when present.
// Written into out (size bytes, always terminated; a message too long for it is cut there).
void FormatFatalText(const char* text, std::int32_t code, char* out, std::size_t size);
constexpr std::size_t kFatalTextSize = 2048;  // every message of the runtime fits many times
std::string FatalErrorText(const char* text, std::int32_t code);

// An error hook answers non-zero when it has dealt with the error, so that no box is shown.
using ErrorHook = std::int32_t (*)(std::int32_t code, const char* text);
void SetErrorHook(ErrorHook hook);

}  // namespace rt
