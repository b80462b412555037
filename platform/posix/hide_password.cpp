// Finds an address's password in a line of text (hide_password.h).
#include "platform/posix/hide_password.h"

#include <cstring>

namespace plat::posix {

bool FindPassword(const char* line, std::size_t n, std::size_t* begin, std::size_t* end) {
    std::size_t start = 0, stop = n;
    bool scheme = false;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c >= 0x81 && c <= 0xFE && i + 1 < n && line[i + 1] != '\r' && line[i + 1] != '\n') {
            ++i;  // a GBK character: its second byte ends nothing
            continue;
        }
        if (c == '\r' || c == '\n') {
            stop = i;
            break;
        }
        if (c != '/' && c != '?' && c != '#' && c != '\\') continue;
        if (!scheme && c == '/' && i > 0 && line[i - 1] == ':' && i + 1 < n && line[i + 1] == '/') {
            scheme = true;
            start = ++i + 1;
            continue;
        }
        stop = i;
        break;
    }
    std::size_t at = stop;
    while (at > start && line[at - 1] != '@') --at;
    if (at == start) return false;
    const void* colon = std::memchr(line + start, ':', at - 1 - start);
    if (!colon) return false;
    *begin = static_cast<std::size_t>(static_cast<const char*>(colon) - line) + 1;
    *end = at - 1;
    return *begin < *end;
}

}  // namespace plat::posix
