// The head of an HTTP response as libcurl hands it over, one line at a time: the status of the
// response being received, whether the final one's head is complete, and the two headers that
// WinINet's callers ask for. Pure text work, so that it can be fuzzed alone.
//
// Invariants:
//  1. A status line ("HTTP/" in any letter case, then a space) starts a response afresh:
//     interim 1xx responses leave nothing behind. It is read only where a response begins: the
//     first line, or the line after an interim response's blank line; elsewhere such a line is
//     a header like any other.
//  2. A line that is neither a status line, a header ("name: value") nor the blank line is
//     ignored, as WinINet ignores a malformed header line; the response goes on.
//  3. status is 0 or a number of at most three digits; values hold no CR or LF.
#pragma once

#include <cstddef>
#include <string>

namespace plat::posix {

struct ResponseHead {
    bool atResponseStart = true;  // the next line is where a status line may stand
    long status = 0;              // of the response being received; 0 before or unreadable
    bool complete = false;        // the blank line after a final (>= 200) response's head
    bool hasContentLength = false;
    std::string contentLength;  // its value, blanks trimmed
    bool hasLocation = false;
    std::string location;  // the first one's value, blanks trimmed
};

// Takes one line of the head, its line end included or not.
void TakeHeadLine(ResponseHead& head, const char* line, std::size_t n);

}  // namespace plat::posix
