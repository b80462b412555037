// The Linux HTTP stand-in's one reader of a response: head, framing and body (platform/posix).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/posix/http_head.h"

namespace {

using plat::posix::ResponseReader;
using State = ResponseReader::State;
using Fault = ResponseReader::Fault;

void Append(void* body, const char* data, std::size_t n) {
    static_cast<std::string*>(body)->append(data, n);
}

// The bytes read in pieces: cut at `at` (0: whole), or one byte at a time (at = npos).
ResponseReader Read(const std::string& bytes, std::string* body, std::size_t at = 0) {
    ResponseReader reader;
    if (at == std::string::npos) {
        for (char c : bytes) reader.Take(&c, 1, Append, body);
    } else {
        reader.Take(bytes.data(), at, Append, body);
        reader.Take(bytes.data() + at, bytes.size() - at, Append, body);
    }
    return reader;
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";

// Each response reads the same whole, one byte at a time and cut at every byte: its status,
// its body, where the reader stands and why it failed, and whether the close leaves it whole.
TEST(ResponseReader, AResponseReadsTheSameWhereverItIsCut) {
    const struct {
        std::string bytes;
        long status;
        const char* body;
        State state;
        Fault fault;
    } rows[] = {
        // The head: empty lines before a status line skipped, interim responses left behind,
        // a 101 is the response, any letter case of "HTTP".
        {kOk + "Content-Length: 4\r\n\r\nbodystray", 200, "body", State::Done, Fault::None},
        {"\r\n\n" + kOk + "Content-Length: 4\r\n\r\nbody", 200, "body", State::Done, Fault::None},
        {"HTTP/1.1 100 Continue\r\nContent-Length: 9\r\n\r\n\r\nHTTP/1.1 404 Not Found\r\n"
         "Content-Length: 14\r\n\r\nnot found here",
         404, "not found here", State::Done, Fault::None},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\nContent-Length: 4\r\n\r\nbody", 101,
         "body", State::Done, Fault::None},
        {"HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 103 Early Hints\r\n\r\n" + kOk +
             "\r\nread to the close",
         200, "read to the close", State::Body, Fault::None},
        {"http/1.0 201 Created\r\nX: y\r\n\r\nread", 201, "read", State::Body, Fault::None},
        {"HTTP/1.0 200\r\n\r\nno reason", 200, "no reason", State::Body, Fault::None},
        {"HTTP/1.0 200 OK\r\nno colon here\r\nContent-Length: 4\r\n\r\nbody", 200, "",
         State::Failed, Fault::BadField},
        {"HTTP/1.0 200 OK\r\n folded first\r\n\r\nbody", 200, "", State::Failed, Fault::BadField},
        {kOk + "Location: /a\r\nHTTP/1.1 302 Found\r\n\r\n", 200, "", State::Failed,
         Fault::BadField},
        {"HTTP/1.0 2000 OK\r\n\r\nbody", 0, "", State::Failed, Fault::BadStatusLine},
        {"HTTP/9.9 200 OK\r\n\r\nbody", 0, "", State::Failed, Fault::BadStatusLine},
        {"HTTP/1.0 099 Low\r\n\r\nbody", 0, "", State::Failed, Fault::BadStatusLine},
        {"\r\njust text\r\n\r\nbody", 0, "", State::Failed, Fault::NoStatusLine},
        {"HTTP/1.0 199 Hold on\r\n\r\nbody", 199, "", State::Head, Fault::None},
        {kOk + "X: 1", 200, "", State::Head, Fault::None},
        // Lengths: digits alone, the same wherever given; a coding outranks them.
        {kOk + "Content-Length: 4, 4\r\nContent-Length: 4\r\n\r\nbody", 200, "body", State::Done,
         Fault::None},
        {kOk + "Content-Length: 00000000000000000004\r\n\r\nbody", 200, "body", State::Done,
         Fault::None},
        {kOk + "Content-Length: 0\r\nContent-Length: 5\r\n\r\nhello", 200, "", State::Failed,
         Fault::BadLength},
        {kOk + "Content-Length: +4\r\n\r\nbody", 200, "", State::Failed, Fault::BadLength},
        {kOk + "Content-Length: 4 4\r\n\r\nbody", 200, "", State::Failed, Fault::BadLength},
        {kOk + "Content-Length:\r\nContent-Length: 4\r\n\r\nbody", 200, "", State::Failed,
         Fault::BadLength},
        {kOk + "Content-Length: 9223372036854775808\r\n\r\nbody", 200, "", State::Failed,
         Fault::BadLength},
        {kOk + "Content-Length: 8\r\n\r\nbody", 200, "body", State::Body, Fault::None},
        {"HTTP/1.0 204 No Content\r\nContent-Length: 4\r\n\r\nbody", 204, "", State::Done,
         Fault::None},
        {"HTTP/1.0 304 Not Modified\r\n\r\nbody", 304, "", State::Done, Fault::None},
        {kOk + "Content-Length: abc\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbody\r\n0\r\n\r\n",
         200, "body", State::Done, Fault::None},
        // Codings: chunked only as the last, over every line, folds joined.
        {kOk + "Transfer-Encoding: gzip,\r\n\t chunked\r\n\r\n4\r\nbody\r\n0\r\n\r\n", 200, "body",
         State::Done, Fault::None},
        {kOk + "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n4\r\nbody", 200,
         "4\r\nbody", State::Body, Fault::None},
        {kOk + "Transfer-Encoding: chunked, deflate\r\n\r\nzz", 200, "zz", State::Body,
         Fault::None},
        // Chunks: sizes of hex digits, at most 16, leading zeros included (libcurl drops the
        // connection at a 17th, wherever the bytes were cut), bounded; lines end with CR LF
        // or LF; extensions and trailers read past.
        {kChunked + "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\nstray", 200, "hello world", State::Done,
         Fault::None},
        {kChunked + "4 ;ext=1\r\nbody\r\n0\r\nX-Trailer: y\r\n\r\n", 200, "body", State::Done,
         Fault::None},
        {kChunked + "4\nbody\n0\n\n", 200, "body", State::Done, Fault::None},
        {kChunked + std::string(15, '0') + "4\r\nbody\r\n0\r\n\r\n", 200, "body", State::Done,
         Fault::None},
        {kChunked + "4\r\nbody\r\n" + std::string(16, '0') + "4\r\nmore\r\n0\r\n\r\n", 200, "body",
         State::Failed, Fault::ChunkTooLarge},
        {kChunked + std::string(100, '0') + "4\r\nbody\r\n0\r\n\r\n", 200, "", State::Failed,
         Fault::ChunkTooLarge},
        {kChunked + "7fffffffffffffff\r\nbody", 200, "body", State::Body, Fault::None},
        {kChunked + "4\r\nbody\r\n", 200, "body", State::Body, Fault::None},
        {kChunked + "8000000000000000\r\nbody", 200, "", State::Failed, Fault::ChunkTooLarge},
        {kChunked + "4zz\r\nbody\r\n0\r\n\r\n", 200, "", State::Failed, Fault::BadChunkSize},
        {kChunked + "-5\r\nbody\r\n0\r\n\r\n", 200, "", State::Failed, Fault::BadChunkSize},
        {kChunked + "\r\nbody\r\n0\r\n\r\n", 200, "", State::Failed, Fault::BadChunkSize},
        {kChunked + "4\rbody\r\n0\r\n\r\n", 200, "", State::Failed, Fault::BadLineEnd},
        {kChunked + "4\r\nbodyX\r\n0\r\n\r\n", 200, "body", State::Failed, Fault::BadChunkEnd},
    };
    for (const auto& row : rows) {
        for (std::size_t at = 0; at <= row.bytes.size() + 1; ++at) {
            const std::size_t cut = at > row.bytes.size() ? std::string::npos : at;
            std::string body;
            const ResponseReader reader = Read(row.bytes, &body, cut);
            const std::string where = row.bytes + " (cut at " + std::to_string(at) + ")";
            ASSERT_EQ(reader.state(), row.state) << where;
            ASSERT_EQ(reader.fault(), row.fault) << where;
            ASSERT_EQ(body, row.body) << where;
            if (row.status != 0) {
                ASSERT_EQ(reader.head().status, row.status) << where;
            }
            if (row.state != State::Failed) {
                ASSERT_EQ(reader.head().complete, row.state != State::Head) << where;
            }
        }
    }
}

// Short chunks' data goes out gathered, long chunks' as it stands: past the gathering's bound,
// in any pieces, the body is the chunks' data in order.
TEST(ResponseReader, ManyShortChunksAndLongOnesReadAsTheirData) {
    std::string coded = kChunked, expected;
    for (int i = 0; i < 5000; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        coded += std::string("1\r\n") + c + "\r\n";
        expected += c;
    }
    const std::string longData(ResponseReader::kChunkRun + 1, 'L');
    coded += "1001\r\n" + longData + "\r\n3\r\nend\r\n0\r\n\r\n";
    expected += longData + "end";
    for (std::size_t piece : {coded.size(), std::size_t{7}, std::size_t{4099}}) {
        ResponseReader reader;
        std::string body;
        for (std::size_t at = 0; at < coded.size(); at += piece) {
            reader.Take(coded.data() + at, std::min(piece, coded.size() - at), Append, &body);
        }
        EXPECT_EQ(reader.state(), State::Done) << "pieces of " << piece;
        EXPECT_TRUE(body == expected) << "pieces of " << piece;
    }
}

// The close ends a body only where nothing else would: a response that ended, or one whose
// body runs to the close; a final response's head cut short is that head with no body.
TEST(ResponseReader, OnlyABodyToTheCloseIsWholeAtTheClose) {
    const struct {
        std::string bytes;
        bool whole;
    } rows[] = {
        {kOk + "\r\nto the close", true},
        {kOk + "Content-Length: 2\r\n\r\nok", true},
        {kOk + "Content-Length: 3\r\n\r\nok", false},
        {kChunked + "2\r\nok\r\n", false},
        {kOk + "Content-Length: 2\r\nLocation: /a\r\nX-Cut", true},
        {"HTTP/1.0 2000 OK\r\n\r\n", false},
        {"HTTP/1.0 199 Hold on\r\n\r\nbody", false},
        {"HTTP/1.0 199 Hold on\r\n", false},
    };
    for (const auto& row : rows) {
        std::string body;
        ResponseReader reader = Read(row.bytes, &body);
        EXPECT_EQ(reader.End(), row.whole) << row.bytes;
        if (row.whole) {
            EXPECT_TRUE(reader.head().complete) << row.bytes;
        }
    }
    std::string body;
    ResponseReader cut = Read(kOk + "Location: /a\r\nX-Cut", &body);
    cut.End();
    EXPECT_EQ(cut.head().location, "/a") << "the head's lines that came whole";
}

TEST(ResponseReader, AHeadOrATrailerPastTheBoundFails) {
    const std::string line = "X-Line: " + std::string(1000, 'x') + "\r\n";
    for (const std::string& start : {kOk, kChunked + "0\r\n"}) {
        ResponseReader reader;
        std::string body;
        reader.Take(start.data(), start.size(), Append, &body);
        for (int i = 0; i < 400 && reader.state() != State::Failed; ++i) {
            reader.Take(line.data(), line.size(), Append, &body);
        }
        EXPECT_EQ(reader.fault(), Fault::HeadTooLong) << start;
    }
    // An endless line, never ended, is bounded the same.
    ResponseReader reader;
    std::string body;
    const std::string endless(ResponseReader::kHeadLimit + 1, 'a');
    reader.Take(endless.data(), endless.size(), Append, &body);
    EXPECT_EQ(reader.fault(), Fault::HeadTooLong);
}

TEST(ResponseReader, TheHeadKeepsWhatWinInetsCallersAskFor) {
    std::string body;
    ResponseReader reader = Read(
        "HTTP/1.0 302 Found\r\nLocation:  /a \t\r\nLocation: /b\r\nX-Location: /no\r\n"
        "content-LENGTH: 0\r\nContent-Length-Extra: 5\r\n\r\n",
        &body);
    EXPECT_EQ(reader.head().location, "/a") << "the first Location, blanks trimmed";
    EXPECT_EQ(reader.head().contentLength, "0");
    reader = Read(kOk + "Location:\r\n\r\n", &body);
    EXPECT_TRUE(reader.head().hasLocation);
    EXPECT_EQ(reader.head().location, "") << "an empty Location is present and empty";
    EXPECT_FALSE(reader.head().hasContentLength);
}

}  // namespace
