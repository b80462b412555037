// Conversions between a code page's bytes and UTF-16: the console's GBK, the paths' ANSI.
#include "platform/win32/win32_internal.h"

namespace plat::win32 {

bool ToWide(UINT codePage, const char* text, std::size_t n, std::wstring* out) {
    out->clear();
    if (n == 0) return true;
    const int units = ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(n), nullptr, 0);
    if (units <= 0) return false;  // e.g. a code page that is not installed
    out->resize(static_cast<std::size_t>(units));
    ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(n), out->data(), units);
    return true;
}

bool FromWide(UINT codePage, const wchar_t* text, std::size_t n, std::string* out) {
    out->clear();
    if (n == 0) return true;
    const int bytes =
        ::WideCharToMultiByte(codePage, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    out->resize(static_cast<std::size_t>(bytes));
    ::WideCharToMultiByte(codePage, 0, text, static_cast<int>(n), out->data(), bytes, nullptr,
                          nullptr);
    return true;
}

}  // namespace plat::win32
