// The canonical form's buffer contract, which the internet library's address parsing relies
// on, on both sides (WinINet's own on Windows, platform/posix/url.cpp on Linux).
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

TEST(InternetCanonicalizeUrlA, ABufferTooSmallIsToldTheSizeWithItsTerminator) {
    const std::string url = "http://h/abc";
    std::string buffer(url.size() + 8, '#');
    std::uint32_t length = static_cast<std::uint32_t>(url.size());  // one short
    EXPECT_FALSE(
        plat::InternetCanonicalizeUrlA(url.c_str(), buffer.data(), &length, plat::kIcuNoEncode));
    EXPECT_EQ(plat::GetLastError(), plat::kErrorInsufficientBuffer);
    EXPECT_EQ(length, url.size() + 1);
    EXPECT_EQ(buffer[url.size()], '#') << "nothing written at the byte it lacks";

    length = static_cast<std::uint32_t>(url.size() + 1);  // exactly enough
    ASSERT_TRUE(
        plat::InternetCanonicalizeUrlA(url.c_str(), buffer.data(), &length, plat::kIcuNoEncode));
    EXPECT_EQ(length, url.size()) << "the length written, without the terminator";
    EXPECT_EQ(buffer.substr(0, url.size() + 2), url + std::string(1, '\0') + "#");
}

}  // namespace
