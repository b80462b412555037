// The conversions both ways. Input: a text to read as an integer (full-width digits folded), and
// the same bytes as number bits of every numeric type to write as text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libs/core/conversion.h"
#include "runtime/byte_buffer.h"
#include "runtime/value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Text to integer: the folding reader agrees with folding first, then reading.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::strlen(text.c_str()));
    static rt::SmallBlockPool pool(false);
    rt::ByteBuffer folded(pool);
    core::FoldFullWidth(text.c_str(), folded);
    if (core::ParseFoldedInt32(text.c_str()) !=
        rt::ParseInt32(reinterpret_cast<const char*>(folded.data()))) {
        std::abort();
    }

    // Number to text: within the caller's buffer, and integers read back to themselves.
    std::uint64_t bits = 0;
    std::memcpy(&bits, data, std::min<std::size_t>(size, 8));
    const rt::TypeTag tags[] = {rt::kTagByte,  rt::kTagShort,  rt::kTagInt,     rt::kTagLong,
                                rt::kTagFloat, rt::kTagDouble, rt::kTagLogical, rt::kTagDateTime};
    for (rt::TypeTag tag : tags) {
        char buffer[core::kScratchText + 16];
        std::memset(buffer, 0x5A, sizeof buffer);
        core::ValueToText(bits, tag, buffer);
        const void* end = std::memchr(buffer, 0, core::kScratchText);
        if (!end) std::abort();  // no terminator inside the caller's 100 bytes
        if (tag == rt::kTagInt) {
            const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
            if (rt::ParseInt32(buffer) != value) std::abort();
        }
        if (tag == rt::kTagLong &&
            std::string(buffer) != std::to_string(static_cast<std::int64_t>(bits))) {
            std::abort();
        }
    }
    return 0;
}
