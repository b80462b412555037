// The fatal error box's text and the runtime's error messages.
#include <gtest/gtest.h>

#include <string>

#include "runtime/errors.h"

namespace {

using namespace rt;

TEST(FatalErrorText, WithCodeWithoutCodeAndEmpty) {
    const std::string head = "\xD4\xCB\xD0\xD0\xCA\xB1\xB3\xF6\xB4\xED!\r\n\r\n";
    const std::string code = "\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB\xA3\xBA";
    const std::string text = "\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xA3\xBA";
    EXPECT_EQ(FatalErrorText(RuntimeErrorMessage(1), 1),
              head + code + "1\r\n\r\n" + text + RuntimeErrorMessage(1) + "\r\n");
    EXPECT_EQ(FatalErrorText("x", 0), head + text + "x\r\n");
    EXPECT_EQ(FatalErrorText("", 0), head);
    EXPECT_EQ(FatalErrorText(nullptr, -3), head + code + "-3\r\n\r\n");
}

TEST(FatalErrorText, ElevenMessagesAndNoOthers) {
    EXPECT_EQ(RuntimeErrorMessage(0), nullptr);
    EXPECT_EQ(RuntimeErrorMessage(12), nullptr);
    // 数组成员引用下标超出定义范围 / 所提供参数的数据类型不符合要求
    EXPECT_STREQ(RuntimeErrorMessage(1),
                 "\xCA\xFD\xD7\xE9\xB3\xC9\xD4\xB1\xD2\xFD\xD3\xC3\xCF\xC2\xB1\xEA\xB3\xAC\xB3"
                 "\xF6\xB6\xA8\xD2\xE5\xB7\xB6\xCE\xA7");
    EXPECT_STREQ(RuntimeErrorMessage(11),
                 "\xCB\xF9\xCC\xE1\xB9\xA9\xB2\xCE\xCA\xFD\xB5\xC4\xCA\xFD\xBE\xDD\xC0\xE0\xD0"
                 "\xCD\xB2\xBB\xB7\xFB\xBA\xCF\xD2\xAA\xC7\xF3");
    for (int c = 1; c <= 11; ++c) EXPECT_NE(RuntimeErrorMessage(c), nullptr) << c;
}

}  // namespace
