// An address's password, kept out of the lines that others read: the journal keeps what a
// service writes for anyone allowed to read it, also when the list itself is root's alone.
//
// The address is read as the fetch reads it: its authority follows the "://" that is the line's
// first '/', '?', '#' or '\' (else, an address written without its scheme, it begins the line)
// and runs to the next of them or the line's end; the last '@' in it ends the user's part, and
// the first ':' before that begins the password. A '\' that is a GBK character's second byte
// ends nothing; '/', '?', '#' and ':' never are one; an '@' is taken wherever it stands, as the
// fetch takes it. When that authority holds no '@' but a ':', and is no host and port (digits
// after its last ':', or an IPv6 host in brackets), a password was written there with one of
// '/', '?', '#' or '\' in it: it then runs to the last '@' before the delimiter after the line's
// first '@' (the host its writer meant), and is hidden all the same. Nothing here takes from the
// heap (the console's writes never do).
#pragma once

#include <cstddef>

namespace plat::posix {

inline constexpr char kHiddenPassword[] = "***";

// True when the address in the line's first n bytes (up to a CR or LF) holds a password that is
// not empty: it is the bytes [*begin, *end).
bool FindPassword(const char* line, std::size_t n, std::size_t* begin, std::size_t* end);

// Hands write(bytes, count) the line's n bytes, the password of its address as
// kHiddenPassword: in up to three pieces, each ending between two characters or at '@'.
template <typename Write>
void WriteHidingPassword(const char* line, std::size_t n, Write&& write) {
    std::size_t begin = 0, end = 0;
    if (!FindPassword(line, n, &begin, &end)) {
        write(line, n);
        return;
    }
    write(line, begin);
    write(kHiddenPassword, sizeof kHiddenPassword - 1);
    write(line + end, n - end);
}

}  // namespace plat::posix
