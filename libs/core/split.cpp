// SplitText: cuts a text at every occurrence of a delimiter, aware of GBK double-byte characters.
#include <climits>
#include <cstring>
#include <vector>

#include "libs/core/core_library.h"
#include "runtime/errors.h"

namespace core {

using namespace rt;

namespace {

// The first byte of 0x80 or above in [p, end), or end; eight bytes at a time.
const char* FirstHighByte(const char* p, const char* end) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & kHighBits) break;
        p += 8;
    }
    while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
    return p;
}

// Moves p over the bytes where no delimiter can start and that are not lead bytes: up to the
// next byte equal to the delimiter's first, the next byte of 0x80 or above, or the last place
// a delimiter still fits. Stepping there one byte at a time would decide the same.
void SkipPlainBytes(const char*& p, std::size_t& r, std::size_t dlen, char d0) {
    const std::size_t span = r - dlen + 1;  // places where a match may start
    const void* found = std::memchr(p, d0, span);
    const char* stop = FirstHighByte(p, found ? static_cast<const char*>(found) : p + span);
    r -= static_cast<std::size_t>(stop - p);
    p = stop;
}

}  // namespace

void SplitText(ArgInfo* result, std::int32_t, ArgInfo* args) {
    // All three records are read whatever the count: callers pass omitted ones as zeros.
    const char* text = ArgPtr<const char>(args[0]);
    const char* delimiter = args[1].tag == kTagNone ? "," : ArgPtr<const char>(args[1]);
    const bool limited = args[2].tag != kTagNone;
    std::int32_t left = limited ? ArgInt(args[2]) : 0;
    if (left < 0) left = 0;

    const std::size_t len = text ? std::strlen(text) : 0;
    const std::size_t dlen = delimiter ? std::strlen(delimiter) : 0;
    // The piece pointers gather in a list that doubles as it grows. (A list grown to its exact
    // size plus a little is copied again every few pieces once other blocks lie behind it:
    // quadratic on a long file.) An exhausted heap ends the program as every allocation here.
    std::vector<std::uintptr_t> pieces;
    auto add = [&](const char* from, std::size_t n) {
        pieces.push_back(reinterpret_cast<std::uintptr_t>(NewText(from, n, AllocValue)));
    };

    if (len > 0 && !(limited && left == 0)) {
        if (dlen == 0) {
            add(text, len);
        } else {
            const char* start = text;
            const char* p = text;
            std::size_t r = len;
            bool used = false;
            const char d0 = delimiter[0];
            while (r >= dlen) {
                SkipPlainBytes(p, r, dlen, d0);
                if (r < dlen) break;
                const char c = *p;
                if (c == d0 && std::memcmp(p + 1, delimiter + 1, dlen - 1) == 0) {
                    add(start, static_cast<std::size_t>(p - start));
                    p += dlen;
                    r -= dlen;
                    start = p;
                    if (limited && --left == 0) {
                        used = true;
                        break;
                    }
                } else if (StartsDoubleByte(p)) {
                    p += 2;
                    r -= 2;
                } else if (static_cast<unsigned char>(c) >= 0x80) {
                    break;  // a lead byte at the very end
                } else {
                    ++p;
                    --r;
                }
            }
            if (!used && *start != '\0') add(start, std::strlen(start));
        }
    }

    // A count whose array cannot be held ends as out of memory.
    ArrayValue array = NewWordArray(pieces.size(), AllocValue);
    if (!array) ReportAllocFailure(INT32_MAX);
    if (!pieces.empty()) {
        std::memcpy(ArrayElements(array).first, pieces.data(), pieces.size() * kWord);
    }
    SetArgPtr(*result, array);
}

}  // namespace core
