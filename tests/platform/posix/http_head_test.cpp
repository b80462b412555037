// The Linux HTTP stand-in's reading of a response head, line by line (platform/posix).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/posix/http_head.h"

namespace {

using plat::posix::ResponseHead;

ResponseHead Read(std::initializer_list<const char*> lines) {
    ResponseHead head;
    for (const char* line : lines) plat::posix::TakeHeadLine(head, line, std::strlen(line));
    return head;
}

TEST(ResponseHead, AFinalResponseCompletesAtItsBlankLine) {
    ResponseHead head =
        Read({"HTTP/1.0 302 Found\r\n", "Location:  /next \t\r\n", "content-LENGTH: 12\r\n"});
    EXPECT_EQ(head.status, 302);
    EXPECT_FALSE(head.complete);
    EXPECT_TRUE(head.hasLocation);
    EXPECT_EQ(head.location, "/next");
    EXPECT_EQ(head.contentLength, "12");
    plat::posix::TakeHeadLine(head, "\r\n", 2);
    EXPECT_TRUE(head.complete);
}

TEST(ResponseHead, InterimResponsesLeaveNothingBehind) {
    ResponseHead head = Read({"HTTP/1.1 100 Continue\r\n", "Location: /stale\r\n", "\r\n"});
    EXPECT_FALSE(head.complete) << "a 1xx head is not the response";
    head = Read({"HTTP/1.1 100 Continue\r\n", "Location: /stale\r\n", "\r\n", "HTTP/1.0 200 OK\r\n",
                 "\r\n"});
    EXPECT_TRUE(head.complete);
    EXPECT_EQ(head.status, 200);
    EXPECT_FALSE(head.hasLocation);
    EXPECT_EQ(head.location, "");
}

// Empty lines where a response begins are skipped, before the first one and after an interim
// one; a line there that is no status line marks the response as having none.
TEST(ResponseHead, EmptyLinesBeforeAStatusLineAreSkipped) {
    const struct {
        std::initializer_list<const char*> lines;
        long status;
        bool complete;
        bool noStatusLine;
    } rows[] = {
        {{"\r\n", "HTTP/1.1 200 OK\r\n", "Content-Length: 4\r\n", "\r\n"}, 200, true, false},
        {{"\n", "\r\n", "HTTP/1.1 200 OK\r\n", "\r\n"}, 200, true, false},
        {{"HTTP/1.1 100 Continue\r\n", "\r\n", "\r\n", "HTTP/1.1 404 Not Found\r\n", "\r\n"},
         404,
         true,
         false},
        {{"just text\r\n", "\r\n"}, 0, false, true},
        {{"\r\n", "just text\r\n", "HTTP/1.1 200 OK\r\n", "\r\n"}, 0, false, true},
        {{"HTTP/1.0 199 Hold on\r\n", "\r\n", "body"}, 199, false, true},
    };
    for (const auto& row : rows) {
        const ResponseHead head = Read(row.lines);
        EXPECT_EQ(head.status, row.status) << *row.lines.begin();
        EXPECT_EQ(head.complete, row.complete) << *row.lines.begin();
        EXPECT_EQ(head.noStatusLine, row.noStatusLine) << *row.lines.begin();
    }
}

// The body's end by HTTP's rules: a transfer coding outranks a length, chunked counts only as
// the last coding over every Transfer-Encoding line, a length that is no number is refused.
TEST(ResponseHead, TheBodyEndsAsTheHeadSays) {
    using plat::posix::Framing;
    const struct {
        std::initializer_list<const char*> lines;
        Framing framing;
        std::uint64_t length;
    } rows[] = {
        {{"HTTP/1.1 200 OK\r\n", "Content-Length: 14\r\n"}, Framing::Length, 14},
        {{"HTTP/1.1 200 OK\r\n", "Content-Length: 0\r\n"}, Framing::None, 0},
        {{"HTTP/1.1 200 OK\r\n"}, Framing::ToClose, 0},
        {{"HTTP/1.0 204 No Content\r\n", "Content-Length: 4\r\n"}, Framing::None, 0},
        {{"HTTP/1.0 304 Not Modified\r\n"}, Framing::None, 0},
        {{"HTTP/1.1 200 OK\r\n", "Content-Length: -5\r\n"}, Framing::Invalid, 0},
        {{"HTTP/1.1 200 OK\r\n", "Content-Length: abc\r\n"}, Framing::Invalid, 0},
        {{"HTTP/1.1 200 OK\r\n", "Content-Length: 9999999999999999999\r\n"}, Framing::Invalid, 0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunked\r\n"}, Framing::Chunked, 0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: CHUNKED \r\n", "Content-Length: 4\r\n"},
         Framing::Chunked,
         0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: gzip, chunked\r\n"}, Framing::Chunked, 0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: gzip\r\n", "Transfer-Encoding: chunked\r\n"},
         Framing::Chunked,
         0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunked, deflate\r\n"}, Framing::ToClose, 0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: deflate\r\n"}, Framing::ToClose, 0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunked\r\n",
          "Transfer-Encoding: identity\r\n"},
         Framing::ToClose,
         0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunked\r\n", "Content-Length: 4\r\n",
          "Transfer-Encoding: deflate\r\n"},
         Framing::ToClose,
         0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunked,\r\n"}, Framing::Chunked, 0},
        {{"HTTP/1.1 200 OK\r\n", "Transfer-Encoding: chunkedx\r\n"}, Framing::ToClose, 0},
    };
    for (const auto& row : rows) {
        std::uint64_t length = 0;
        const ResponseHead head = Read(row.lines);
        const char* last = *(row.lines.end() - 1);
        EXPECT_EQ(plat::posix::FramingOf(head, &length), row.framing) << last;
        EXPECT_EQ(length, row.length) << last;
    }
}

// Chunks undone as libcurl reads them, whether the bytes come at once or one at a time.
TEST(ResponseHead, ChunksAreUndoneAsLibcurlReadsThem) {
    const struct {
        const char* coded;
        const char* data;
        bool ok;
        bool done;
    } rows[] = {
        {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", true, true},
        {"4;ext=1\r\nbody\r\n0\r\nX-Trailer: y\r\n\r\nstray", "body", true, true},
        {"4\nbody\n0\n\n", "body", true, true},
        {"A\r\n0123456789\r\n", "0123456789", true, false},
        {"4\r\nbody\r\n", "body", true, false},
        {"4\r\nbodyX\r\n", "body", false, false},
        {"body read to the close", "", true, false},  // a size "b", its line never ends
        {"ffffffffffffffff\r\nbody\r\n0\r\n\r\n", "", false, false},
        {"1ffffffffffffffff\r\nbody\r\n0\r\n\r\n", "", false, false},
        {"-5\r\nbody\r\n0\r\n\r\n", "", false, false},
    };
    for (const auto& row : rows) {
        for (bool oneByOne : {false, true}) {
            plat::posix::Dechunker chunks;
            std::string out;
            bool ok = true;
            const std::size_t n = std::strlen(row.coded);
            for (std::size_t at = 0; at < n && ok; at += oneByOne ? 1 : n) {
                ok = chunks.Take(row.coded + at, oneByOne ? 1 : n, out);
            }
            EXPECT_EQ(out, row.data) << row.coded << (oneByOne ? " (one by one)" : "");
            EXPECT_EQ(ok, row.ok) << row.coded;
            EXPECT_EQ(chunks.Done(), row.done) << row.coded;
        }
    }
}

// A whole response read from its bytes, as libcurl hands over one that it found no head in:
// the head, then the body to its end by the head; nothing past that end is the body's.
TEST(ResponseHead, AResponseWithoutAHeadForLibcurlIsReadWhole) {
    const struct {
        const char* bytes;
        long status;
        const char* body;
        bool done;          // ended by its framing, before the close
        bool wholeAtClose;  // the close after these bytes leaves the response whole
    } rows[] = {
        {"\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody", 200, "body", true, true},
        {"\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbodystray", 200, "body", true, true},
        {"\r\nHTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nbody", 200, "body", false, false},
        {"\r\n\r\nHTTP/1.1 404 Not Found\r\nContent-Length: 14\r\n\r\nnot found here", 404,
         "not found here", true, true},
        {"\r\nHTTP/1.1 200 OK\r\n\r\nread to the close", 200, "read to the close", false, true},
        {"\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbody\r\n0\r\n\r\n", 200,
         "body", true, true},
        {"\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbody\r\n", 200, "body",
         false, false},
        {"\r\nHTTP/1.0 204 No Content\r\n\r\nstray", 204, "", true, true},
        {"\r\nHTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nbody", 200, "", false, false},
        {"\r\njust text\r\n\r\nbody", 0, "", false, false},
        {"body", 0, "", false, false},
        {"\r\nHTTP/1.1 200 OK\r\nX: 1", 200, "", false, false},
    };
    for (const auto& row : rows) {
        for (bool oneByOne : {false, true}) {
            plat::posix::RawResponse response;
            std::string body;
            const std::size_t n = std::strlen(row.bytes);
            for (std::size_t at = 0; at < n; at += oneByOne ? 1 : n) {
                response.Take(row.bytes + at, oneByOne ? 1 : n, body);
            }
            EXPECT_EQ(response.Head().status, row.status) << row.bytes;
            EXPECT_EQ(body, row.body) << row.bytes << (oneByOne ? " (one by one)" : "");
            EXPECT_EQ(response.Done(), row.done) << row.bytes;
            EXPECT_EQ(response.WholeAtClose(), row.wholeAtClose) << row.bytes;
        }
    }
    plat::posix::RawResponse endless;
    std::string body;
    const std::string line = "X-Line: " + std::string(1000, 'x') + "\r\n";
    endless.Take("HTTP/1.1 200 OK\r\n", 17, body);
    for (int i = 0; i < 400 && !endless.Failed(); ++i) endless.Take(line.data(), line.size(), body);
    EXPECT_TRUE(endless.Failed()) << "a head past libcurl's own limit";
}

TEST(ResponseHead, MalformedLinesAreIgnoredAndTheResponseGoesOn) {
    ResponseHead head = Read({"HTTP/1.0 200 OK\r\n", "HTTP/x:1\r\n", "HTTP/x\r\n",
                              "no colon here\r\n", "Content-Length: 2\r\n"});
    EXPECT_EQ(head.status, 200) << "a line starting like a status line, without a space";
    EXPECT_EQ(head.contentLength, "2");
    // A status line stands only where a response begins; inside a head it is a header.
    for (const char* inside : {"Http/X: 302 y\r\n", "HTTP/1.1 302 Found\r\n"}) {
        head = Read({"HTTP/1.0 200 OK\r\n", inside, "Location: /elsewhere\r\n", "\r\n"});
        EXPECT_EQ(head.status, 200) << inside;
        EXPECT_TRUE(head.complete) << inside;
        EXPECT_EQ(head.location, "/elsewhere") << inside;
    }
    EXPECT_EQ(Read({"http/1.0 201 Created\r\n"}).status, 201) << "any letter case";
    EXPECT_EQ(Read({"HTTP/1.0 302 Found\r\n", "Location: /a\r\n", "Location: /b\r\n"}).location,
              "/a")
        << "the first Location";
    EXPECT_EQ(Read({"HTTP/1.0 abc\r\n"}).status, 0);
    EXPECT_EQ(Read({"HTTP/1.0 2000\r\n"}).status, 200) << "three digits at most";
    EXPECT_EQ(Read({"HTTP/1.0 99999999999999999999\r\n"}).status, 999);
}

TEST(ResponseHead, OnlyTheTwoHeadersAskedForAreKept) {
    ResponseHead head = Read({"HTTP/1.0 200 OK\r\n", "X-Location: /no\r\n",
                              "Content-Length-Extra: 5\r\n", "Location:\r\n"});
    EXPECT_FALSE(head.hasContentLength);
    EXPECT_TRUE(head.hasLocation);
    EXPECT_EQ(head.location, "") << "an empty Location is present and empty";
}

}  // namespace
