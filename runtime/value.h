// The value model: type tags, argument records, texts, byte sets and arrays.
//
// Tag map (32 bits):
//   0                  no value (an omitted argument)
//   bits 31-30 = 10    a base type of the system (kTag* below)
//   bits 31-30 = 01    a kind of its own, unused here
//   otherwise          a library data type: high 16 bits library index, low 16 bits type index
//   bit 29 (ArrayFlag) an array of the type given by the other bits
//   a base type whose low byte is 0x01 is numeric; its second byte tells which
//
// Layouts (one heap block each; "word" is pointer-sized, 4 bytes on the 32-bit build):
//   TextValue  GBK bytes ended by 0. Null is the empty text, and so is a lone 0 byte.
//   BinValue   {int32 1, int32 length, length bytes}. Null is the empty byte set.
//   ArrayValue {int32 dims, int32 size[dims], elements}. Texts and byte sets are stored as words
//              that the array owns (each null or a heap block).
//
// Invariants:
//  1. ArgInfo is 12 bytes on every build: an 8-byte value and the tag. An address sits in the
//     value field whole (low word on 32-bit), read and written through the accessors only, since
//     the field is not aligned for 8-byte access.
//  2. A value returned by a command is a fresh block owned by the caller; arguments are lent.
//  3. Values inside the ConstantPool are never freed and are copied when resized.
#pragma once

#include <cstddef>
#include <climits>
#include <cstdint>
#include <cstring>

#include "runtime/byte_buffer.h"

namespace rt {

// ---- Type tags -------------------------------------------------------------------------------

using TypeTag = std::uint32_t;
enum : TypeTag {
    kTagNone = 0,
    kTagLogical = 0x80000002,
    kTagDateTime = 0x80000003,
    kTagText = 0x80000004,
    kTagBin = 0x80000005,
    kTagSubroutine = 0x80000006,
    kTagDllEightByte = 0x80000008,
    kTagByte = 0x80000101,
    kTagShort = 0x80000201,
    kTagInt = 0x80000301,
    kTagLong = 0x80000401,
    kTagFloat = 0x80000501,
    kTagDouble = 0x80000601,
    kArrayFlag = 0x20000000,
};

// A tag's family is in its two top bits: 10 a base type of the system; 00 or 11 (and not 0) a
// data type of a library, numbered library << 16 | type.
constexpr TypeTag kTagFamilyBits = 0xC0000000u;
constexpr TypeTag kTagFamilySystem = 0x80000000u;

inline TypeTag BaseTag(TypeTag tag) { return tag & ~static_cast<TypeTag>(kArrayFlag); }
inline bool IsArrayTag(TypeTag tag) { return (tag & kArrayFlag) != 0; }
inline bool IsSystemTag(TypeTag tag) { return (tag & kTagFamilyBits) == kTagFamilySystem; }
inline bool IsNumericTag(TypeTag tag) { return IsSystemTag(tag) && (tag & 0xFFu) == 0x01u; }
// Width in bytes of a numeric type; 0 for every other tag.
int TypeTagWidth(TypeTag tag);

// ---- Argument records ------------------------------------------------------------------------

#pragma pack(push, 1)
struct ArgInfo {
    unsigned char value[8];  // little-endian 8-byte value; an address fills it from the low end
    TypeTag tag;             // kTagNone for an omitted argument
};
#pragma pack(pop)
static_assert(sizeof(ArgInfo) == 12, "ArgInfo is 12 bytes on every build");

inline std::uint32_t ArgLow(const ArgInfo& a) {
    std::uint32_t v;
    std::memcpy(&v, a.value, 4);
    return v;
}
inline std::int32_t ArgInt(const ArgInfo& a) { return static_cast<std::int32_t>(ArgLow(a)); }
inline std::int64_t ArgInt64(const ArgInfo& a) {
    std::int64_t v;
    std::memcpy(&v, a.value, 8);
    return v;
}
inline std::uint64_t ArgBits(const ArgInfo& a) {
    std::uint64_t v;
    std::memcpy(&v, a.value, 8);
    return v;
}
inline double ArgDouble(const ArgInfo& a) {
    double v;
    std::memcpy(&v, a.value, 8);
    return v;
}
inline float ArgFloat(const ArgInfo& a) {
    float v;
    std::memcpy(&v, a.value, 4);
    return v;
}
inline std::uintptr_t ArgWord(const ArgInfo& a) {
    std::uintptr_t v;
    std::memcpy(&v, a.value, sizeof v);
    return v;
}
template <class T>
T* ArgPtr(const ArgInfo& a) {
    return reinterpret_cast<T*>(ArgWord(a));
}

inline void SetArgBits(ArgInfo& a, std::uint64_t bits) { std::memcpy(a.value, &bits, 8); }
inline void SetArgInt(ArgInfo& a, std::int32_t v) { SetArgBits(a, static_cast<std::uint32_t>(v)); }
inline void SetArgWord(ArgInfo& a, std::uintptr_t v) { SetArgBits(a, v); }
inline void SetArgPtr(ArgInfo& a, const void* p) {
    SetArgWord(a, reinterpret_cast<std::uintptr_t>(p));
}

inline ArgInfo MakeArg(TypeTag tag, std::uint64_t bits) {
    ArgInfo a{};
    SetArgBits(a, bits);
    a.tag = tag;
    return a;
}
inline ArgInfo NoArg() { return ArgInfo{}; }
inline ArgInfo IntArg(std::int32_t v) { return MakeArg(kTagInt, static_cast<std::uint32_t>(v)); }
inline ArgInfo PtrArg(TypeTag tag, const void* p) {
    return MakeArg(tag, reinterpret_cast<std::uintptr_t>(p));
}
inline ArgInfo TextArg(const char* t) { return PtrArg(kTagText, t); }
inline ArgInfo BinArg(const void* b) { return PtrArg(kTagBin, b); }
ArgInfo DoubleArg(double v);
ArgInfo FloatArg(float v);
ArgInfo LongArg(std::int64_t v);

// ---- Texts, byte sets, arrays ----------------------------------------------------------------

using TextValue = char*;
using BinValue = void*;
using ArrayValue = void*;

constexpr std::size_t kWord = sizeof(void*);  // size of an element pointer in an array

std::int32_t TextLength(const char* text);
// Joins n texts (null counts as empty) into one new heap text; never null. One allocation.
TextValue ConcatTexts(int n, const char* const* parts);
template <class... T>
TextValue Concat(T... parts) {
    const char* list[] = {static_cast<const char*>(parts)...};
    return ConcatTexts(static_cast<int>(sizeof...(parts)), list);
}
// -1, 0 or 1; bytes compared unsigned; null equals the empty text.
std::int32_t CompareTexts(const char* a, const char* b);

// Reading the fixed words of a block (it may be unaligned for pointer access).
inline std::int32_t ReadInt32(const void* at) {
    std::int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}
inline void WriteInt32(void* at, std::int32_t v) { std::memcpy(at, &v, 4); }
inline std::uintptr_t ReadWord(const void* at) {
    std::uintptr_t v;
    std::memcpy(&v, at, kWord);
    return v;
}
inline void WriteWord(void* at, std::uintptr_t v) { std::memcpy(at, &v, kWord); }

// The layouts of the value blocks, which only value.h and value.cpp spell out:
//   byte set  {int32 1, int32 length, length bytes}
//   array     {int32 dims, int32 size[dims], the elements: a word each for texts, byte sets
//             and other addresses, the type's width each for numbers}
// Every accessor takes null for the empty value.
constexpr std::int32_t kBinHeader = 8;           // a byte set's 1 and its length
std::int32_t BinLength(const void* bin);         // 0 for null
const unsigned char* BinBytes(const void* bin);  // the bytes after the header; null for null
// The bytes of an array's header: 4 + 4 * dims (a negative count as 0); 0 for null.
std::int32_t ArrayHeaderSize(const void* array);

// The bytes of a one-dimensional array of count words, its header included, into *bytes; false
// when that passes what a signed 32-bit size can count (the caller ends as out of memory).
bool ArrayBlockSize(std::size_t count, std::int32_t* bytes);

// The bytes of a text of length bytes, its terminator included, into *bytes; false when that
// passes what a signed 32-bit size can count. (Every text block is sized by this rule.)
bool TextBlockSize(std::uint64_t length, std::int32_t* bytes);

// The product of the dimension sizes in 32-bit arithmetic; 0 for no dimensions and for null.
std::int32_t ArrayElementCount(const void* array);
struct ElementSpan {
    unsigned char* first;  // first element, right after the last size
    std::int32_t count;
};
ElementSpan ArrayElements(const void* array);  // count 0 for null
// Element i (storage position, 0-based) of an array of texts or byte sets.
inline std::uintptr_t ArrayWordAt(ElementSpan span, std::int32_t i) {
    return ReadWord(span.first + static_cast<std::size_t>(i) * kWord);
}
// Element `index` (1-based, as program code counts) of an array of texts. An index below 1
// reports runtime error 4, one past the count error 1; neither returns.
const char* CheckedTextElement(const void* array, std::int32_t index);

// The text rule of double-byte characters: a byte of 0x80 or above starts a two-byte GBK
// character, unless the text ends after it. Code that walks a text steps over both bytes, so
// that a trail byte is never taken for a delimiter. (File names follow another rule, the file
// system's: plat::IsPathLeadByte.)
inline bool StartsDoubleByte(const char* p) {
    return static_cast<unsigned char>(p[0]) >= 0x80 && p[1] != '\0';
}

// The leading base-10 integer of a text, as strtol reads it but in 32 bits on every build:
// white space skipped, one optional sign, digits; no digits give 0; held at the 32-bit range.
std::int32_t ParseInt32(const char* text);

// That rule, once, over any reader of bytes (Peek: the byte at hand, 0 at the end; Next: move
// on): ParseInt32 reads a text's bytes, the core library's reader folds full-width forms first.
template <class Reader>
std::int32_t ReadLeadingInt32(Reader in) {
    unsigned char c = in.Peek();
    while (c == ' ' || (c >= '\t' && c <= '\r')) {
        in.Next();
        c = in.Peek();
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        in.Next();
        c = in.Peek();
    }
    std::int64_t value = 0;
    for (; c >= '0' && c <= '9'; in.Next(), c = in.Peek()) {
        if (value <= 2147483648LL) value = value * 10 + (c - '0');  // held once past the range
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

// Rounds toward zero whatever the floating-point rounding mode in force.
std::int64_t TruncateToInt64(double value);

// A number of any numeric type as a 32-bit integer: a byte and a short widened, an int and a
// long by their low 32 bits, a float and a double truncated toward zero (through 64 bits).
// False, *out untouched, for any other tag: what that means is the caller's.
bool NumberAsInt32(const ArgInfo& arg, std::int32_t* out);

// Value constructors. The block comes from alloc: SvcAlloc for the runtime and program code,
// a library's own NotifySystem request 2024 for library code. Both end the program when the
// heap is exhausted, so the constructors never fail.
using Allocator = void* (*)(std::int32_t size);
void* RuntimeAlloc(std::int32_t size);                                                // SvcAlloc
TextValue NewText(const char* bytes, std::size_t n, Allocator alloc = RuntimeAlloc);  // null: n 0
TextValue CopyText(const char* text, Allocator alloc = RuntimeAlloc);  // null for an empty text
BinValue NewBin(const void* bytes, std::int32_t n, Allocator alloc = RuntimeAlloc);  // null: n 0
// The byte set made of a runtime heap block whose n bytes (n > 0) already stand after the
// header's kBinHeader bytes: writes the header; the block is the value from now on.
BinValue AdoptBin(void* block, std::int32_t n);

// A byte set written where it will stay. The block holds the header's kBinHeader bytes in front
// of the bytes: a small byte set lives in a slot of the owning library's pool, a larger one in a
// runtime heap block, and Finish makes that heap block the value itself, its header written, so
// the bytes are not copied out at the end. (A pool slot is the library's working storage and
// cannot be a value: a small byte set is copied once into a block of alloc.)
//
// Invariants:
//  1. size() <= capacity(); both count the bytes alone, never the header's room.
//  2. Bytes are written at end() only, within the room, and only Commit makes them count: a
//     commit past the room is a broken invariant, checked, and refused.
//  3. A builder that has no block has size 0 and capacity 0; Finish leaves it so.
class BinBuilder {
public:
    explicit BinBuilder(SmallBlockPool& pool, Allocator alloc = RuntimeAlloc)
        : buffer_(pool), alloc_(alloc) {}

    std::int32_t size() const { return buffer_.size() > 0 ? buffer_.size() - kBinHeader : 0; }
    std::int32_t capacity() const {
        return buffer_.capacity() > 0 ? buffer_.capacity() - kBinHeader : 0;
    }
    unsigned char* end() const { return buffer_.data() + buffer_.size(); }  // with a block only

    // Empties the byte set and takes a block with the header's room: a pool slot while the pool
    // has one free. False, and no block, when neither the pool nor the heap has one.
    bool Restart();
    // Room for n bytes in all, the bytes kept; false, nothing changed, when the heap refuses.
    bool Reserve(std::int32_t n);
    // The n bytes written at end() become part of the byte set (invariant 2).
    [[nodiscard]] bool Commit(std::int32_t n);
    // The finished byte set, null for no bytes; the builder is left without a block.
    BinValue Finish();

private:
    ByteBuffer buffer_;
    Allocator alloc_;
};

// A new one-dimensional array of count words, its header written and its elements not; null
// when its size passes what a signed 32-bit size can count.
ArrayValue NewWordArray(std::size_t count, Allocator alloc = RuntimeAlloc);
// Frees an array value with its elements when they are texts or byte sets.
void FreeArray(TypeTag elementTag, void* array);

}  // namespace rt
