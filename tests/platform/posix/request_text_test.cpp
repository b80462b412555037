// The Linux HTTP stand-in's request text (platform/posix/request_text.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/request_text.h"

namespace {

using namespace plat::posix;

TEST(RequestText, AcceptTypesMakeOneHeaderThatNoTypeCanEnd) {
    const char* whole[] = {"Accept: */* \r\n", nullptr};
    EXPECT_EQ(AcceptHeader(whole), "Accept: */*") << "a type written as a whole header line";
    const char* two[] = {"text/html", " \t", "image/*\r\n", nullptr};
    EXPECT_EQ(AcceptHeader(two), "Accept: text/html, image/*") << "blank types dropped";
    EXPECT_EQ(AcceptHeader(nullptr), "Accept: */*");
}

TEST(RequestText, ExtraHeadersReplaceTheirNamesAndBadLinesAreDropped) {
    std::vector<std::string> headers{"Accept: */*", "X-A: 0"};
    const std::string extra = "accept: text/*\r\nno colon\r\nX-B:\x01\r\nX-C: 3  \r\n\r\nX-D: 4";
    MergeHeaders(headers, extra.data(), extra.size());
    EXPECT_EQ(headers, (std::vector<std::string>{"X-A: 0", "accept: text/*", "X-C: 3"}))
        << "a name of any case replaced; a line without a colon or with a control byte dropped; "
           "the empty line ends the headers";
}

TEST(RequestText, TargetsAndUrls) {
    EXPECT_EQ(EncodeTarget("/echo?q=a b"), "/echo?q=a%20b");
    EXPECT_EQ(EncodeTarget("x\xD6\xD0"), "/x%D6%D0");
    EXPECT_EQ(EncodeTarget("/\x80\xFF"), "/%80%FF") << "every byte from 0x80 up";
    EXPECT_EQ(EncodeTarget(""), "/");
    EXPECT_EQ(RequestUrl(false, "h", 0, "/a"), "http://h:80/a");
    EXPECT_EQ(RequestUrl(true, "h", 0, "/a"), "https://h:443/a");
    EXPECT_EQ(RequestUrl(true, "h", 8443, "a b"), "https://h:8443/a%20b");
}

}  // namespace
