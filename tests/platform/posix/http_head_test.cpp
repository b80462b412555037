// The Linux HTTP stand-in's reading of a response head, line by line (platform/posix).
#include <gtest/gtest.h>

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
