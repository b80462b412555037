// The head of an HTTP response as libcurl hands it over, one line at a time: the status of the
// response being received, whether the final one's head is complete, the two headers that
// WinINet's callers ask for and what ends the body. Then the body's end by HTTP's rules
// (FramingOf), a chunked body undone (Dechunker), and a whole response read from its bytes
// (RawResponse) for when libcurl gives one up as having no head. Pure text work, so that it can
// be fuzzed alone.
//
// Invariants:
//  1. A status line ("HTTP/" in any letter case, then a space) starts a response afresh:
//     interim 1xx responses leave nothing behind. It is read only where a response begins: the
//     first line, or the line after an interim response's blank line, empty lines before it
//     skipped; elsewhere such a line is a header like any other.
//  2. A line that is neither a status line, a header ("name: value") nor the blank line is
//     ignored, as WinINet ignores a malformed header line; the response goes on. Where a
//     response begins, such a line marks it as having no status line.
//  3. status is 0 or a number of at most three digits; values hold no CR or LF.
//  4. The body's end is chunked only when chunked is the last transfer coding, over every
//     Transfer-Encoding line; any other coding last leaves the body to the close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat::posix {

struct ResponseHead {
    bool atResponseStart = true;  // the next line is where a status line may stand
    bool noStatusLine = false;    // a response began with a line that is no status line
    long status = 0;              // of the response being received; 0 before or unreadable
    bool complete = false;        // the blank line after a final (>= 200) response's head
    bool hasContentLength = false;
    std::string contentLength;  // its value, blanks trimmed
    bool hasLocation = false;
    std::string location;      // the first one's value, blanks trimmed
    int transferCodings = 0;   // codings named by the Transfer-Encoding lines, all of them
    bool chunkedLast = false;  // the last of those codings is chunked (invariant 4)
};

// Takes one line of the head, its line end included or not.
void TakeHeadLine(ResponseHead& head, const char* line, std::size_t n);

// ---- The body's end ------------------------------------------------------------------------------

enum class Framing {
    None,     // no body: a 204 or a 304
    Length,   // Content-Length bytes
    Chunked,  // chunks, up to the last one (size 0) and its trailer
    ToClose,  // whatever comes until the server closes
    Invalid,  // a length that is no number: the response cannot be read
};

// How a complete head's body ends; length is set for Framing::Length.
Framing FramingOf(const ResponseHead& head, std::uint64_t* length);

// Undoes the chunked coding, as libcurl reads it: a size of 1 to 16 hex digits (at most
// 2^63 - 1), extensions up to the line's end skipped, the data, then CR LF (CR optional), and
// after the size-0 chunk trailer lines up to an empty one.
class Dechunker {
public:
    // Appends the data of the n bytes to out; false once the coding is broken.
    bool Take(const char* data, std::size_t n, std::string& out);
    bool Done() const { return state_ == State::Done; }

private:
    enum class State { Size, Extension, Data, DataEnd, Trailer, TrailerLine, Done, Broken };
    State state_ = State::Size;
    int digits_ = 0;
    std::uint64_t left_ = 0;  // the size being read, then the chunk's bytes still to come
};

// A response read whole from its bytes, head and body: what libcurl hands over as a body when
// the response did not start with a status line (empty lines before it, or after an interim
// response). Past its framing's end, bytes are not the response's and are dropped.
class RawResponse {
public:
    static constexpr std::size_t kHeadLimit = 300 * 1024;  // libcurl's own for a head

    // Takes the next n bytes; the body's own bytes are appended to body.
    void Take(const char* data, std::size_t n, std::string& body);
    // The server closed: whether the response was whole.
    bool WholeAtClose() const;
    const ResponseHead& Head() const { return head_; }
    bool HeadComplete() const { return head_.complete; }
    bool Done() const { return state_ == State::Done; }
    bool Failed() const { return state_ == State::Failed; }

private:
    enum class State { Head, Body, Done, Failed };
    State state_ = State::Head;
    ResponseHead head_;
    std::string line_;  // the head's line being gathered
    std::size_t headBytes_ = 0;
    Framing framing_ = Framing::ToClose;
    std::uint64_t left_ = 0;  // of a Length body
    Dechunker chunks_;
};

}  // namespace plat::posix
