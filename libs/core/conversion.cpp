// ToText, ToInteger and the value-to-text rules.
#include "libs/core/conversion.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "libs/core/core_library.h"

namespace core {
namespace {

using namespace rt;

const double kLog10Of2 = std::log10(2.0);  // computed once, before any program code runs

// GBK
constexpr char kTrue[] = "\xD5\xE6";    // 真
constexpr char kFalse[] = "\xBC\xD9";   // 假
constexpr char kYear[] = "\xC4\xEA";    // 年
constexpr char kMonth[] = "\xD4\xC2";   // 月
constexpr char kDay[] = "\xC8\xD5";     // 日
constexpr char kHour[] = "\xCA\xB1";    // 时
constexpr char kMinute[] = "\xB7\xD6";  // 分
constexpr char kSecond[] = "\xC3\xEB";  // 秒

char* PutInt(char* at, std::int64_t v) {
    auto r = std::to_chars(at, at + 24, v);
    *r.ptr = '\0';
    return r.ptr;
}

char* PutText(char* at, const char* text) {
    std::size_t n = std::strlen(text);
    std::memcpy(at, text, n + 1);
    return at + n;
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int* year, int* month, int* day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

constexpr std::int64_t kOleEpochFromUnix = -25569;  // 1899-12-30 in days since 1970-01-01
constexpr double kLatestDate = 2958465.0;           // 9999-12-31, in days since 1899-12-30
constexpr double kEarliestDate = -657434.0;         // 0100-01-01, the same

}  // namespace

void FormatGeneral(double value, int precision, char* buffer) {
    if (std::isnan(value)) {
        std::strcpy(buffer, "nan");
        return;
    }
    if (std::isinf(value)) {
        std::strcpy(buffer, value < 0 ? "-inf" : "inf");
        return;
    }
    char* out = buffer;
    if (std::signbit(value)) *out++ = '-';
    value = std::fabs(value);
    if (value == 0) {
        std::strcpy(out, "0");
        return;
    }
    // The 17-significant-digit expansion, then half-up rounding to the precision.
    char sci[40];
    auto r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific, 16);
    *r.ptr = '\0';
    char digits[18];
    digits[0] = sci[0];
    std::memcpy(digits + 1, sci + 2, 16);
    int exponent = std::atoi(std::strchr(sci, 'e') + 1);
    bool roundUp = digits[precision] >= '5';
    int i = precision - 1;
    while (roundUp && i >= 0) {
        if (digits[i] == '9') {
            digits[i] = '0';
            --i;
        } else {
            ++digits[i];
            roundUp = false;
        }
    }
    if (roundUp) {  // 9.99... became 0.00...: every digit is 0, so a leading 1 is 10.0...
        digits[0] = '1';
        ++exponent;
    }
    int used = precision;
    while (used > 1 && digits[used - 1] == '0') --used;  // %g drops trailing zeros

    if (exponent < -4 || exponent >= precision) {
        *out++ = digits[0];
        if (used > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, static_cast<std::size_t>(used - 1));
            out += used - 1;
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        int e = exponent < 0 ? -exponent : exponent;
        out[0] = static_cast<char>('0' + e / 100);
        out[1] = static_cast<char>('0' + e / 10 % 10);
        out[2] = static_cast<char>('0' + e % 10);
        out[3] = '\0';
        return;
    }
    if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int z = -1; z > exponent; --z) *out++ = '0';
        std::memcpy(out, digits, static_cast<std::size_t>(used));
        out += used;
    } else {
        int whole = exponent + 1;  // digits before the point
        for (int k = 0; k < whole; ++k) *out++ = k < used ? digits[k] : '0';
        if (used > whole) {
            *out++ = '.';
            std::memcpy(out, digits + whole, static_cast<std::size_t>(used - whole));
            out += used - whole;
        }
    }
    *out = '\0';
}

double RoundToSixDigits(float f) {
    if (f == 0.0f || std::isinf(f) || std::isnan(f)) return f;
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    const auto e =
        static_cast<std::int8_t>(static_cast<std::uint8_t>(((bits >> 23) & 0xFFu) - 127u));
    const int n0 = static_cast<int>(e * kLog10Of2);
    int n = n0;
    double scale = 1.0;
    for (int k = n < 0 ? -n : n; k > 0; --k) scale *= 10.0;
    const double magnitude = std::fabs(static_cast<double>(f));
    double x = n > 0 ? magnitude / scale : magnitude * scale;
    double y;
    if (x >= 10) {
        scale *= 10;
        n += 1;
        y = x * 10000;
    } else if (x < 1) {
        scale *= 10;
        n -= 1;
        y = x * 1000000;
    } else {
        y = x * 100000;
    }
    volatile double stored = y;  // y is taken as a double before its fraction is looked at
    double whole = std::floor(stored);
    double rounded = whole + ((stored - whole) >= 0.5 ? 1 : 0);
    const double s = f < 0 ? -1.0 : 1.0;
    if (n > 0) return rounded * (s * scale * 0.00001);
    return rounded / (s * scale * 100000);
}

void FormatNumber(std::uint64_t bits, TypeTag tag, char* buffer) {
    switch (tag) {
    case kTagByte: PutInt(buffer, bits & 0xFFu); break;
    case kTagShort: PutInt(buffer, static_cast<std::int16_t>(bits & 0xFFFFu)); break;
    case kTagInt: PutInt(buffer, static_cast<std::int32_t>(bits & 0xFFFFFFFFu)); break;
    case kTagLong: PutInt(buffer, static_cast<std::int64_t>(bits)); break;
    case kTagFloat: {
        float f;
        auto low = static_cast<std::uint32_t>(bits);
        std::memcpy(&f, &low, 4);
        FormatGeneral(RoundToSixDigits(f), 6, buffer);
        break;
    }
    case kTagDouble: {
        double d;
        std::memcpy(&d, &bits, 8);
        FormatGeneral(d, 13, buffer);
        break;
    }
    default: break;
    }
}

void LogicalText(std::int32_t value, char* buffer) {
    std::strcpy(buffer, value != 0 ? kTrue : kFalse);
}

void FormatDateTime(double d, char* buffer) {
    if (std::isnan(d) || d > kLatestDate) d = kLatestDate;
    if (d < kEarliestDate) d = kEarliestDate;
    d += d > 0 ? 1.0 / 172800 : -1.0 / 172800;
    const double dayPart = std::trunc(d);
    const double fraction = std::fabs(d) - std::floor(std::fabs(d));
    auto seconds = static_cast<std::int64_t>(fraction * 86400);
    int year, month, day;
    CivilFromDays(static_cast<std::int64_t>(dayPart) + kOleEpochFromUnix, &year, &month, &day);
    const int hour = static_cast<int>(seconds / 3600);
    const int minute = static_cast<int>(seconds / 60 % 60);
    const int second = static_cast<int>(seconds % 60);
    char* at = buffer;
    at = PutText(PutInt(at, year), kYear);
    at = PutText(PutInt(at, month), kMonth);
    at = PutText(PutInt(at, day), kDay);
    if (second != 0 || minute != 0 || hour != 0) at = PutText(PutInt(at, hour), kHour);
    if (second != 0 || minute != 0) at = PutText(PutInt(at, minute), kMinute);
    if (second != 0) PutText(PutInt(at, second), kSecond);
}

void ValueToText(std::uint64_t bits, TypeTag tag, char* buffer) {
    if (IsNumericTag(tag) && TypeTagWidth(tag) != 0) {
        FormatNumber(bits, tag, buffer);
    } else if (tag == kTagLogical) {
        LogicalText(static_cast<std::int32_t>(bits), buffer);
    } else if (tag == kTagDateTime) {
        double d;
        std::memcpy(&d, &bits, 8);
        FormatDateTime(d, buffer);
    }
}

unsigned char FoldPair(unsigned char lead, unsigned char trail) {
    if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE)
        return static_cast<unsigned char>(trail - 0x80);
    if (lead == 0xA1) {
        if (trail == 0xA1) return 0x20;  // the ideographic space
        if (trail == 0xAB) return 0x7E;
        if (trail == 0xEE || trail == 0xEF) return 0x2A;  // the white and black stars
    }
    return 0;
}

void FoldFullWidth(const char* text, ByteBuffer& into) {
    const auto* p = reinterpret_cast<const unsigned char*>(text ? text : "");
    while (*p) {
        const unsigned char* run = p;  // ASCII bytes are copied a run at a time
        while (*p && *p < 0x80) ++p;
        into.Append(run, static_cast<std::int32_t>(p - run));
        if (!*p) break;
        if (p[1] == 0) break;  // a lone lead byte at the end is dropped
        const unsigned char folded = FoldPair(p[0], p[1]);
        into.Append(folded ? &folded : p, folded ? 1 : 2);
        p += 2;
    }
    into.Append("", 1);
}

namespace {
// Reads a text as FoldFullWidth would write it, one folded byte at a time.
struct FoldedReader {
    const unsigned char* p;
    unsigned char pending = 0;  // the trail byte of a pair that stays two bytes

    unsigned char Peek() const {
        if (pending) return pending;
        if (*p < 0x80) return *p;
        if (p[1] == 0) return 0;
        const unsigned char folded = FoldPair(p[0], p[1]);
        return folded ? folded : p[0];
    }
    void Next() {
        if (pending) {
            pending = 0;
        } else if (*p < 0x80) {
            ++p;
        } else {
            if (!FoldPair(p[0], p[1])) pending = p[1];
            p += 2;
        }
    }
};
}  // namespace

std::int32_t ParseFoldedInt32(const char* text) {
    return ReadLeadingInt32(FoldedReader{reinterpret_cast<const unsigned char*>(text ? text : "")});
}

// ---- Commands --------------------------------------------------------------------------------

void ToText(ArgInfo* result, std::int32_t, ArgInfo* args) {
    const TypeTag t = args[0].tag;
    const TypeTag b = BaseTag(t);
    if ((IsArrayTag(t) && IsNumericTag(b) && TypeTagWidth(b) != 0) || t == kTagBin) {
        const void* block = ArgPtr<const void>(args[0]);
        if (!block) return;
        const char* bytes;
        std::int64_t length;
        if (t == kTagBin) {
            bytes = reinterpret_cast<const char*>(BinBytes(block));
            length = BinLength(block);
        } else {  // every element of every dimension, in storage order
            const ElementSpan span = ArrayElements(block);
            bytes = reinterpret_cast<const char*>(span.first);
            length = static_cast<std::int64_t>(span.count) * TypeTagWidth(b);
        }
        if (length <= 0) return;
        const void* zero = std::memchr(bytes, 0, static_cast<std::size_t>(length));
        std::size_t n = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes)
                             : static_cast<std::size_t>(length);
        SetArgPtr(*result, NewText(bytes, n, AllocValue));
        return;
    }
    if (IsArrayTag(t)) return;
    char scratch[kScratchText];
    scratch[0] = '\0';
    const char* text = scratch;
    if (t == kTagText) {
        text = ArgPtr<const char>(args[0]);
    } else {
        ValueToText(ArgBits(args[0]), t, scratch);
    }
    SetArgPtr(*result, CopyText(text, AllocValue));
}

void ToInteger(ArgInfo* result, std::int32_t, ArgInfo* args) {
    const ArgInfo& a = args[0];
    std::int32_t value = 0;
    switch (a.tag) {
    case kTagText: value = ParseFoldedInt32(ArgPtr<const char>(a)); break;
    case kTagLogical:
    case kTagSubroutine: value = ArgInt(a); break;
    default: NumberAsInt32(a, &value); break;  // any other value: 0
    }
    SetArgInt(*result, value);
}

}  // namespace core
