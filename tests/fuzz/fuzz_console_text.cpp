// The Linux console's GBK <-> UTF-8 conversion: a text never comes out empty, ASCII passes
// unchanged, what converts to UTF-8 converts back to the same GBK bytes, and an input line
// never grows on its way to GBK (the line reader converts it in place, in the caller's buffer).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/posix_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const std::string utf8 = plat::posix::ConvertConsoleText(text, size, true);
    const std::string gbk = plat::posix::ConvertConsoleText(text, size, false);
    if (size > 0 && (utf8.empty() || gbk.empty())) std::abort();
    if (gbk.size() > size) std::abort();
    bool ascii = true;
    bool highOnly = true;  // every byte a GBK pair of two high bytes, or ASCII
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] >= 0x80) {
            ascii = false;
            // Row 0xD7 has unassigned places; the other rows 0xB0-0xF7 are full.
            if (i + 1 >= size || data[i + 1] < 0xA1 || data[i] < 0xB0 || data[i] > 0xF7 ||
                data[i] == 0xD7 || data[i + 1] > 0xFE) {
                highOnly = false;
            }
            ++i;
        }
    }
    if (ascii && (utf8 != std::string(text, size) || gbk != std::string(text, size))) std::abort();
    // GB2312 hanzi all convert, so they come back whole.
    if (highOnly && plat::posix::ConvertConsoleText(utf8.data(), utf8.size(), false) !=
                        std::string(text, size)) {
        std::abort();
    }
    return 0;
}
