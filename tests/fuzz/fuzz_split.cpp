// SplitText against a plain reference split. Input: one byte for the delimiter's length (0-3),
// the delimiter, then the text; both stop at their first zero byte, as texts do.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libs/core/core_library.h"
#include "runtime/errors.h"
#include "runtime/registry.h"

namespace {

// Cuts at each delimiter found while stepping a byte, or two from a byte of 0x80 or above.
std::vector<std::string> Reference(const std::string& text, const std::string& delimiter) {
    if (text.empty()) return {};
    if (delimiter.empty()) return {text};
    std::vector<std::string> pieces;
    std::size_t start = 0, i = 0;
    while (i + delimiter.size() <= text.size()) {
        if (text.compare(i, delimiter.size(), delimiter) == 0) {
            pieces.push_back(text.substr(start, i - start));
            i += delimiter.size();
            start = i;
        } else if (static_cast<unsigned char>(text[i]) >= 0x80) {
            if (i + 1 >= text.size()) break;
            i += 2;
        } else {
            ++i;
        }
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool started = [] {
        core::kCoreLibrary.notify(rt::kLibStart,
                                  reinterpret_cast<std::uintptr_t>(&rt::NotifySystem), 0);
        return true;
    }();
    (void)started;
    if (size < 1) return 0;
    const std::size_t dlen = std::min<std::size_t>(data[0] % 4, size - 1);
    std::string delimiter(reinterpret_cast<const char*>(data + 1), dlen);
    std::string text(reinterpret_cast<const char*>(data + 1 + dlen), size - 1 - dlen);
    delimiter.resize(std::strlen(delimiter.c_str()));
    text.resize(std::strlen(text.c_str()));

    rt::ArgInfo args[3] = {rt::TextArg(text.c_str()), rt::TextArg(delimiter.c_str()), {}};
    rt::ArgInfo result{};
    core::SplitText(&result, 2, args);
    void* array = rt::ArgPtr<void>(result);
    const rt::ElementSpan span = rt::ArrayElements(array);
    const std::vector<std::string> expected = Reference(text, delimiter);
    if (static_cast<std::size_t>(span.count) != expected.size()) std::abort();
    for (std::int32_t i = 0; i < span.count; ++i) {
        const char* piece = reinterpret_cast<const char*>(rt::ArrayWordAt(span, i));
        if ((piece ? std::string(piece) : std::string()) != expected[static_cast<std::size_t>(i)]) {
            std::abort();
        }
    }
    rt::FreeArray(rt::kTagText, array);
    return 0;
}
