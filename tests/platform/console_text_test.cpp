// The Linux console's conversion between GBK and UTF-8 (platform/posix/console.cpp).
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/posix_internal.h"

namespace {

std::string ToUtf8(const std::string& gbk) {
    return plat::posix::ConvertConsoleText(gbk.data(), gbk.size(), true);
}

TEST(ConvertConsoleText, ALongTextConvertsWholeAcrossTheWorkingBlocks) {
    std::string gbk, utf8;
    for (int i = 0; i < 300; ++i) {  // 600 bytes in, 900 out: several blocks of output
        gbk += "\xD6\xD0";
        utf8 += "中";
    }
    EXPECT_EQ(ToUtf8(gbk), utf8);
    EXPECT_EQ(plat::posix::ConvertConsoleText(utf8.data(), utf8.size(), false), gbk);
}

TEST(ConvertConsoleText, ABytePassesUnchangedWhereItDoesNotConvert) {
    EXPECT_EQ(ToUtf8(std::string("a\xFF" "b\xD6\xD0", 5)), "a\xFF" "b中");
}

}  // namespace
