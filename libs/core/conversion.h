// The one rule set by which values become text, and texts become integers.
//
// Digits are made here, not by a platform's printf, so that both builds write the same bytes:
// '%g'-style numbers round half up from the value's 17-significant-digit expansion and write
// an exponent with at least three digits ('1e+020').
#pragma once

#include <cstdint>

#include "runtime/byte_buffer.h"
#include "runtime/value.h"

namespace core {

constexpr int kScratchText = 100;  // bytes of the caller's buffer for ValueToText

// Writes the text of a number, logical value or date-time into buffer; other tags write nothing.
void ValueToText(std::uint64_t bits, rt::TypeTag tag, char* buffer);
void FormatNumber(std::uint64_t bits, rt::TypeTag tag, char* buffer);
void FormatDateTime(double date, char* buffer);
void LogicalText(std::int32_t value, char* buffer);
// '%.<precision>g' with the system's rounding and exponent rule.
void FormatGeneral(double value, int precision, char* buffer);
double RoundToSixDigits(float value);

// Appends the text with GBK full-width ASCII forms folded to ASCII, and its terminator.
void FoldFullWidth(const char* text, rt::ByteBuffer& into);
// The ASCII byte that the GBK pair (lead, trail) folds to, or 0 when it stays as it is.
unsigned char FoldPair(unsigned char lead, unsigned char trail);
// rt::ParseInt32 of the folded text, read as it is folded: the same number that FoldFullWidth
// and rt::ParseInt32 give, without a scratch copy.
std::int32_t ParseFoldedInt32(const char* text);

}  // namespace core
