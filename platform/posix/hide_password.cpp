// Finds an address's password in a line of text (hide_password.h).
#include "platform/posix/hide_password.h"

#include <cstring>

namespace plat::posix {
namespace {

// The first '/', '?', '#', '\', CR or LF from i on (a GBK character's second byte is none of
// them), or n.
std::size_t NextDelimiter(const char* line, std::size_t i, std::size_t n) {
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c >= 0x81 && c <= 0xFE && i + 1 < n && line[i + 1] != '\r' && line[i + 1] != '\n') {
            ++i;
            continue;
        }
        if (c == '/' || c == '?' || c == '#' || c == '\\' || c == '\r' || c == '\n') break;
    }
    return i;
}

// The last '@' in [from, to), or from when there is none.
std::size_t AfterLastAt(const char* line, std::size_t from, std::size_t to) {
    while (to > from && line[to - 1] != '@') --to;
    return to;
}

}  // namespace

bool FindPassword(const char* line, std::size_t n, std::size_t* begin, std::size_t* end) {
    std::size_t start = 0;
    std::size_t stop = NextDelimiter(line, 0, n);
    if (stop + 1 < n && line[stop] == '/' && stop > 0 && line[stop - 1] == ':' &&
        line[stop + 1] == '/') {
        start = stop + 2;  // "scheme://"
        stop = NextDelimiter(line, start, n);
    }
    std::size_t at = AfterLastAt(line, start, stop);
    const void* colon = std::memchr(line + start, ':', (at == start ? stop : at - 1) - start);
    if (!colon) return false;
    *begin = static_cast<std::size_t>(static_cast<const char*>(colon) - line) + 1;
    if (at == start) {
        // No '@' where the fetch reads the authority: a password written with '/', '?', '#' or
        // '\' in it ends it early. Unless the authority is a host and port as the fetch cracks
        // it (digits after its last ':', or an IPv6 host in brackets), what its writer meant as
        // the authority runs to the next delimiter after the line's first '@', and the last '@'
        // before that ends the password: hidden all the same.
        const char* last = line + stop;  // the authority's last ':' (it holds one)
        while (*--last != ':') {}
        bool port = last + 1 < line + stop;
        for (const char* p = last + 1; p < line + stop; ++p) port = port && *p >= '0' && *p <= '9';
        port = port || line[start] == '[';
        std::size_t first = stop;
        while (!port && first < n && line[first] != '@' && line[first] != '\r' &&
               line[first] != '\n') {
            ++first;
        }
        if (first == n || line[first] != '@') return false;
        at = AfterLastAt(line, first, NextDelimiter(line, first, n));
    }
    *end = at - 1;
    return *begin < *end;
}

}  // namespace plat::posix
