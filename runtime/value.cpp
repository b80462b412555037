// Value operations that program code performs itself, and the value constructors.
#include "runtime/value.h"

#include <cfenv>
#include <cmath>
#include <cstring>

#include "platform/check.h"
#include "runtime/errors.h"

namespace rt {

int TypeTagWidth(TypeTag tag) {
    switch (tag) {
    case kTagByte: return 1;
    case kTagShort: return 2;
    case kTagInt:
    case kTagFloat: return 4;
    case kTagLong:
    case kTagDouble: return 8;
    default: return 0;
    }
}

ArgInfo DoubleArg(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return MakeArg(kTagDouble, bits);
}
ArgInfo FloatArg(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return MakeArg(kTagFloat, bits);
}
ArgInfo LongArg(std::int64_t v) { return MakeArg(kTagLong, static_cast<std::uint64_t>(v)); }

std::int32_t TextLength(const char* text) {
    return text ? static_cast<std::int32_t>(std::strlen(text)) : 0;
}

TextValue ConcatTexts(int n, const char* const* parts) {
    // Lengths are measured once; a small list stays on the stack.
    std::int32_t small[8];
    std::int32_t* lengths = n <= 8 ? small : static_cast<std::int32_t*>(SvcAlloc(4 * n));
    std::uint64_t length = 0;
    for (int i = 0; i < n; ++i) {
        lengths[i] = TextLength(parts[i]);
        length += static_cast<std::uint32_t>(lengths[i]);
    }
    std::int32_t bytes = 0;
    if (!TextBlockSize(length, &bytes)) ReportAllocFailure(static_cast<std::int64_t>(length) + 1);
    char* out = static_cast<char*>(SvcAlloc(bytes));
    char* at = out;
    for (int i = 0; i < n; ++i) {
        std::memcpy(at, parts[i] ? parts[i] : "", static_cast<std::size_t>(lengths[i]));
        at += lengths[i];
    }
    *at = '\0';
    if (lengths != small) SvcFree(lengths);
    return out;
}

std::int32_t CompareTexts(const char* a, const char* b) {
    if (!a) return (!b || b[0] == '\0') ? 0 : -1;
    if (!b) return a[0] == '\0' ? 0 : 1;
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x == *y && *x != 0) {
        ++x;
        ++y;
    }
    if (*x == *y) return 0;
    return *x < *y ? -1 : 1;
}

namespace {
constexpr std::size_t kWordArrayHeader = 8;  // a one-dimensional array's dims and its size
}  // namespace

std::int32_t BinLength(const void* bin) {
    return bin ? ReadInt32(static_cast<const char*>(bin) + 4) : 0;
}
const unsigned char* BinBytes(const void* bin) {
    return bin ? static_cast<const unsigned char*>(bin) + kBinHeader : nullptr;
}

std::int32_t ArrayHeaderSize(const void* array) {
    if (!array) return 0;
    const std::int32_t dims = ReadInt32(array);
    return 4 + 4 * (dims < 0 ? 0 : dims);
}

std::int32_t ArrayElementCount(const void* array) {
    if (!array) return 0;
    const auto* p = static_cast<const unsigned char*>(array);
    std::int32_t dims = ReadInt32(p);
    if (dims == 0) return 0;
    std::uint32_t count = 1;  // 32-bit arithmetic, wrapping as the program's would
    for (std::int32_t i = 0; i < dims; ++i) {
        count *= static_cast<std::uint32_t>(ReadInt32(p + 4 + 4 * i));
    }
    return static_cast<std::int32_t>(count);
}

ElementSpan ArrayElements(const void* array) {
    if (!array) return {nullptr, 0};
    auto* p = static_cast<unsigned char*>(const_cast<void*>(array));
    return {p + ArrayHeaderSize(array), ArrayElementCount(array)};
}

const char* CheckedTextElement(const void* array, std::int32_t index) {
    ElementSpan span = ArrayElements(array);
    if (index < 1) SvcReportError(kErrIndexBelowOne);
    if (index > span.count) SvcReportError(kErrIndexOutOfRange);
    return reinterpret_cast<const char*>(ArrayWordAt(span, index - 1));
}

namespace {
struct TextReader {
    const unsigned char* p;
    unsigned char Peek() const { return *p; }
    void Next() { ++p; }
};
}  // namespace

std::int32_t ParseInt32(const char* text) {
    return ReadLeadingInt32(TextReader{reinterpret_cast<const unsigned char*>(text)});
}

bool NumberAsInt32(const ArgInfo& arg, std::int32_t* out) {
    switch (arg.tag) {
    case kTagByte: *out = static_cast<std::int32_t>(ArgLow(arg) & 0xFFu); return true;
    case kTagShort: *out = static_cast<std::int16_t>(ArgLow(arg) & 0xFFFFu); return true;
    case kTagInt:
    case kTagLong: *out = ArgInt(arg); return true;
    case kTagFloat: *out = static_cast<std::int32_t>(TruncateToInt64(ArgFloat(arg))); return true;
    case kTagDouble: *out = static_cast<std::int32_t>(TruncateToInt64(ArgDouble(arg))); return true;
    default: return false;
    }
}

std::int64_t TruncateToInt64(double value) {
    // The conversion itself truncates in C++; the mode is pinned anyway so that a caller's
    // rounding mode can never leak in (x87 code paths on the 32-bit build honour it).
    const int previous = std::fegetround();
    std::fesetround(FE_TOWARDZERO);
    std::int64_t result;
    if (std::isnan(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) {
        result = INT64_MIN;  // the hardware's "integer indefinite" answer
    } else {
        result = static_cast<std::int64_t>(value);
    }
    std::fesetround(previous);
    return result;
}

void* RuntimeAlloc(std::int32_t size) { return SvcAlloc(size); }

TextValue NewText(const char* bytes, std::size_t n, Allocator alloc) {
    if (n == 0) return nullptr;
    std::int32_t size = 0;
    if (!TextBlockSize(n, &size)) ReportAllocFailure(static_cast<std::int64_t>(n) + 1);
    char* out = static_cast<char*>(alloc(size));
    std::memcpy(out, bytes, n);
    out[n] = '\0';
    return out;
}

TextValue CopyText(const char* text, Allocator alloc) {
    return NewText(text, text ? std::strlen(text) : 0, alloc);
}

bool ArrayBlockSize(std::size_t count, std::int32_t* bytes) {
    if (count > (static_cast<std::size_t>(INT32_MAX) - kWordArrayHeader) / kWord) return false;
    *bytes = static_cast<std::int32_t>(count * kWord + kWordArrayHeader);
    return true;
}

ArrayValue NewWordArray(std::size_t count, Allocator alloc) {
    std::int32_t bytes = 0;
    if (!ArrayBlockSize(count, &bytes)) return nullptr;
    auto* array = static_cast<unsigned char*>(alloc(bytes));
    WriteInt32(array, 1);
    WriteInt32(array + 4, static_cast<std::int32_t>(count));
    return array;
}

bool TextBlockSize(std::uint64_t length, std::int32_t* bytes) {
    if (length >= static_cast<std::uint64_t>(INT32_MAX)) return false;
    *bytes = static_cast<std::int32_t>(length + 1);
    return true;
}

BinValue AdoptBin(void* block, std::int32_t n) {
    WriteInt32(block, 1);
    WriteInt32(static_cast<unsigned char*>(block) + 4, n);
    return block;
}

BinValue NewBin(const void* bytes, std::int32_t n, Allocator alloc) {
    if (n <= 0) return nullptr;
    if (n > INT32_MAX - kBinHeader) ReportAllocFailure(n);
    auto* out = static_cast<unsigned char*>(AdoptBin(alloc(n + kBinHeader), n));
    std::memcpy(out + kBinHeader, bytes, static_cast<std::size_t>(n));
    return out;
}

bool BinBuilder::Restart() {
    buffer_.Free();
    return buffer_.Allocate(kBinHeader) != nullptr;
}

bool BinBuilder::Reserve(std::int32_t n) {
    if (n < 0 || n > INT32_MAX - kBinHeader) return false;
    if (buffer_.size() == 0 && !Restart()) return false;
    return buffer_.Reserve(kBinHeader + n);
}

bool BinBuilder::Commit(std::int32_t n) {
    const bool within = buffer_.size() > 0 && buffer_.Commit(n);
    WEBMON_ASSERT(within);  // invariant 2: bytes past the room were written past the block
    return within;
}

BinValue BinBuilder::Finish() {
    const std::int32_t n = size();
    BinValue value = nullptr;
    if (n > 0) {
        if (unsigned char* block = buffer_.Detach()) {
            value = AdoptBin(block, n);  // a runtime heap block: the value from now on
        } else {
            value = NewBin(buffer_.data() + kBinHeader, n, alloc_);  // out of the pool's slot
        }
    }
    buffer_.Free();
    return value;
}

void FreeArray(TypeTag elementTag, void* array) {
    if (!array) return;
    TypeTag base = BaseTag(elementTag);
    if (base == kTagText || base == kTagBin) {
        ElementSpan span = ArrayElements(array);
        for (std::int32_t i = 0; i < span.count; ++i) {
            SvcFree(reinterpret_cast<void*>(ArrayWordAt(span, i)));
        }
    }
    SvcFree(array);
}

}  // namespace rt
