// web.txt as webmon reads it: the one reading that the start-up routine and the list check
// before a service's start (webmon-check-list) both call, so that the two never disagree on a
// list's text, lines, period or first address.
//
// Program code: it runs on the runtime (after InitRuntime) and calls the core library through
// the service table, as the start-up routine always has.
//
// Invariants:
//  1. text holds the file's bytes up to the first zero byte, without a UTF-8 byte order mark at
//     its start; null when that is empty (a missing, unreadable or empty file included).
//  2. lines is text split at every CR LF, null exactly when text is; lineCount its elements.
//  3. Line 1 is the period, and no address, exactly when ToInteger reads it as more than 0:
//     firstAddressLine is then 2, else 1 and the period is kDefaultPeriod.
//  4. The caller owns text and lines (and the bytes, when it asks for them).
#pragma once

#include <cstdint>

#include "runtime/value.h"

namespace monitor {

struct ListReading {
    rt::TextValue text = nullptr;
    rt::ArrayValue lines = nullptr;
    std::int32_t lineCount = 0;
    std::int32_t period = 0;            // seconds; 0 while there is no text
    std::int32_t firstAddressLine = 1;  // 1-based line the worker starts each pass at
};

// Reads the list at path. With bytes, the file's bytes as ReadFileBytes gave them are handed
// to the caller (null for none); without, they are freed.
ListReading ReadList(const char* path, rt::BinValue* bytes = nullptr);

}  // namespace monitor
