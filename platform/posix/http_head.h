// The one reader of an HTTP response on Linux: its head, the framing of its body and the body,
// from the response's bytes in order, whatever libcurl made of them (the head's lines through
// its header callback and the rest through its write callback, or all of it as a body when it
// found no status line). Pure byte work, so that it can be fuzzed alone: a response split
// anywhere reads the same.
//
// Invariants:
//  1. One state, moved forward by Take only: Head -> Body -> Done, or Failed from Head or Body
//     with the one fault that says why. Done and Failed take no byte more.
//  2. Where a response begins (the first line, or the line after an interim response's blank
//     line) empty lines are skipped and the next line is its status line: "HTTP/1." and a digit
//     ("HTTP" in any letter case, as WinINet reads it), a space, three digits from 100, then a
//     space or the line's end (RFC 9112, 4). 1xx responses but 101 are interim and leave
//     nothing behind; a 101 is the response (webmon never asks to switch protocols).
//  3. Inside a head a line is a field ("name: value") or, starting with a blank, the folded
//     continuation of the field before it (RFC 9112, 5.2); anything else fails the response.
//  4. A head is at most kHeadLimit bytes, its interim responses included; a trailer too.
//  5. head.status is 0 before a status line, else 100 to 999; values hold no CR or LF.
//  6. The body ends as RFC 9112, 6.3 has it: none after a 204 or a 304; chunked when chunked
//     is the last transfer coding, over every Transfer-Encoding line; any other coding last:
//     at the close; else Content-Length, digits alone and the same value wherever it is given
//     (RFC 9110, 8.6); else at the close.
//  7. A chunk size is hex digits, at most kChunkSizeDigits of them, leading zeros included,
//     bounded before it is multiplied; then blanks and extensions up to the line's end. A line
//     ends with CR LF or LF alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat::posix {

// The head of the response being read: what WinINet's callers ask for, and its framing.
struct ResponseHead {
    long status = 0;        // of the response being read (invariant 5)
    bool complete = false;  // the blank line after a final response's head has come
    bool hasContentLength = false;
    std::string contentLength;  // the last one's value, blanks trimmed
    bool hasLocation = false;
    std::string location;      // the first one's value, blanks trimmed, as WinINet answers
    int transferCodings = 0;   // codings named by the Transfer-Encoding lines, all of them
    bool chunkedLast = false;  // the last of those codings is chunked (invariant 6)
    bool badLength = false;    // a Content-Length not of digits, or two that differ
    std::uint64_t length = 0;  // the Content-Length's value, while !badLength
};

class ResponseReader {
public:
    static constexpr std::size_t kHeadLimit = 300 * 1024;  // libcurl's own for a head
    static constexpr std::size_t kChunkRun = 4096;  // short chunks' data handed over together
    // libcurl, which finds the chunks' end beside this reader, takes a size of this many digits
    // at most and drops the connection at one more: were a longer size read here, its verdict
    // would hang on whether the rest of the response came in the same read as that digit.
    static constexpr std::size_t kChunkSizeDigits = 16;

    enum class State { Head, Body, Done, Failed };
    enum class Fault {
        None,
        HeadTooLong,    // past kHeadLimit (invariant 4)
        NoStatusLine,   // a response began with another line
        BadStatusLine,  // "HTTP/" but not a status line of HTTP/1 (invariant 2)
        BadField,       // a head line neither a field nor a fold of one (invariant 3)
        BadLength,      // a Content-Length that is no length, or two that differ
        BadChunkSize,   // no hex digit, or something else before the size line's end
        ChunkTooLarge,  // a chunk size past 2^63 - 1, or of more than kChunkSizeDigits
        BadChunkEnd,    // a chunk's data not followed by its line end
        BadLineEnd,     // a CR not followed by LF
    };
    enum class Framing { None, Length, Chunked, ToClose };

    // Where the body's bytes go, as they are found: a run of n bytes at data.
    using BodySink = void (*)(void* user, const char* data, std::size_t n);

    // Reads the next n bytes of the response: the body's own go to sink(user, ...). Bytes past
    // the response's end are none of it and are left.
    void Take(const char* data, std::size_t n, BodySink sink, void* user);
    // No byte more comes (the server closed, or libcurl stopped reading): whether the response
    // read is whole: ended by its framing, or a body that ends at the close. A final response's
    // head that the close cuts short is that head, with no body, as WinINet reads it.
    bool End();

    State state() const { return state_; }
    Fault fault() const { return fault_; }
    const ResponseHead& head() const { return head_; }

private:
    enum class Chunk { Size, SizeEnd, Extension, Data, DataEnd, Trailer };

    void TakeHeadLine();
    void TakeField(const std::string& field);
    void HeadComplete();
    void TakeChunked(const char* data, std::size_t n, BodySink sink, void* user);
    void Fail(Fault fault) {
        state_ = State::Failed;
        fault_ = fault;
    }

    State state_ = State::Head;
    Fault fault_ = Fault::None;
    ResponseHead head_;
    bool atResponseStart_ = true;  // the next head line is where a status line stands
    std::string line_;             // the head or trailer line being gathered
    std::string field_;            // the last field line, folds joined, not yet taken
    std::size_t headBytes_ = 0;    // of the head, interim responses included; then the trailer
    Framing framing_ = Framing::ToClose;
    std::uint64_t left_ = 0;  // of a Length body; of a chunk's size, then its data
    Chunk chunk_ = Chunk::Size;
    std::size_t sizeDigits_ = 0;  // the chunk size's digits so far
    bool sawCr_ = false;          // the last byte of a chunk's line was a CR
};

}  // namespace plat::posix
