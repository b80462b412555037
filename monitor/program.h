// The monitor program: its header, constants, globals and routines.
//
// Threads: the main thread runs ProgramEntry, StartupRoutine and the console loop; the worker
// (started once by StartupRoutine) runs WorkerRoutine until the process ends.
//
// Invariants:
//  1. StartupRoutine writes every global before it starts the worker; afterwards only the
//     worker writes them (WaitMilliseconds, LineIndex, PassNumber) and the main thread touches
//     none.
//  2. Every value a command returns is freed right after its last use; program code passes
//     EmptyText / EmptyBin where a value is empty, never null.
//  3. FileText and UrlLines are never freed while the worker may read them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "monitor/texts.h"
#include "runtime/context.h"
#include "runtime/value.h"

namespace monitor {

// The read-only constant block: every literal of the program, in one piece (GBK).
template <std::size_t N>
using Text = std::array<char, N>;
struct ConstantBlock {
    Text<1> emptyText;         // EmptyText
    std::int32_t emptyBin[2];  // EmptyBin: dimension count 1, size 0
    Text<sizeof text::kWebTxt> webTxt;
    Text<sizeof text::kLineBreak> lineBreak;
    Text<sizeof text::kBanner1> banner1;
    Text<sizeof text::kBanner2> banner2;
    Text<sizeof text::kEmptyFile> emptyFile;
    Text<sizeof text::kUsage> usage;
    Text<sizeof text::kFaild> faild;
    Text<sizeof text::kSuccess> success;
    Text<sizeof text::kEmptyLine> emptyLine;
    Text<sizeof text::kAccomplished> accomplished;
    Text<sizeof text::kNoWorker> noWorker;
};
extern const ConstantBlock kConstants;
extern const rt::ProgramHeader kProgramHeader;

inline const char* EmptyText() { return kConstants.emptyText.data(); }
inline const void* EmptyBin() { return kConstants.emptyBin; }

constexpr std::int32_t kDefaultPeriod = 60;  // seconds, when line 1 is no positive number

// ---- Globals ---------------------------------------------------------------------------------
extern rt::TextValue FileText;           // web.txt as text; owned
extern rt::ArrayValue UrlLines;          // its lines (array of texts); owned; never null
extern std::int32_t LineCount;           // elements of UrlLines
extern std::int32_t PassNumber;          // number of the pass being run, from 1
extern std::int32_t Period;              // seconds, from line 1 or kDefaultPeriod
extern std::int32_t WaitMilliseconds;    // the worker's wait between passes: Period in ms
extern std::int32_t LineIndex;           // 1-based line the worker is on
extern std::int32_t FirstAddressLine;    // 2 when line 1 is the period, else 1; set at start-up
extern std::atomic<bool> WorkerStarted;  // set before the worker is started

// ---- Routines --------------------------------------------------------------------------------
std::int32_t ProgramEntry();
void InitGlobals();
void CleanupGlobals();
std::int32_t StartupRoutine();
std::uint32_t WorkerThreadEntry(std::uintptr_t parameter);
[[noreturn]] void WorkerRoutine();

// The wait between passes in milliseconds for a period in seconds: the exact product, held at
// 2147483647 ms when it does not fit (it must never wrap to a short or zero wait).
std::int32_t PeriodToMilliseconds(std::int32_t seconds);

}  // namespace monitor
