// ToText, ToInteger and the value-to-text rules: the same bytes on both builds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "libs/core/conversion.h"
#include "libs/core/core_library.h"
#include "tests/libs/core/core_fixture.h"

namespace {

using namespace rt;
using core_test::Call;
using core_test::TakeText;

std::string Text(ArgInfo value) { return TakeText(Call(core::ToText, {value})); }
std::int32_t Int(ArgInfo value) { return ArgInt(Call(core::ToInteger, {value})); }

std::string General(double v, int precision) {
    char buffer[100];
    core::FormatGeneral(v, precision, buffer);
    return buffer;
}

TEST(ToText, Integers) {
    EXPECT_EQ(Text(IntArg(60)), "60");
    EXPECT_EQ(Text(MakeArg(kTagByte, 200)), "200");
    EXPECT_EQ(Text(MakeArg(kTagShort, 0xFFFF)), "-1");
    EXPECT_EQ(Text(LongArg(-9000000000LL)), "-9000000000");
    EXPECT_EQ(Text(IntArg(INT32_MIN)), "-2147483648");
    EXPECT_EQ(Text(LongArg(INT64_MIN)), "-9223372036854775808");
}

TEST(ToText, DoublesUseThirteenDigitsHalfUpAndThreeDigitExponents) {
    EXPECT_EQ(Text(DoubleArg(0.1)), "0.1");
    EXPECT_EQ(Text(DoubleArg(1.0 / 3)), "0.3333333333333");
    EXPECT_EQ(Text(DoubleArg(123456789012345.0)), "1.234567890123e+014");
    EXPECT_EQ(Text(DoubleArg(1e20)), "1e+020");
    EXPECT_EQ(Text(DoubleArg(std::ldexp(1.0, -20))), "9.536743164063e-007");  // half rounds up
    EXPECT_EQ(Text(DoubleArg(1.5e-7)), "1.5e-007");
    EXPECT_EQ(Text(DoubleArg(0.0001)), "0.0001");
    EXPECT_EQ(Text(DoubleArg(0.00001)), "1e-005");
    EXPECT_EQ(Text(DoubleArg(1234567890123.0)), "1234567890123");
    EXPECT_EQ(Text(DoubleArg(9999999999999.5)), "1e+013");  // the carry moves the exponent
    EXPECT_EQ(Text(DoubleArg(-2.5)), "-2.5");
    EXPECT_EQ(Text(DoubleArg(0.0)), "0");
    EXPECT_EQ(Text(DoubleArg(100.0)), "100");
    EXPECT_EQ(Text(DoubleArg(1e-300)), "1e-300");
    EXPECT_EQ(Text(DoubleArg(1.7976931348623157e308)), "1.797693134862e+308");
}

TEST(ToText, SingleFloatsAreRoundedToSixDigitsFirst) {
    EXPECT_EQ(Text(FloatArg(1.0f / 3)), "0.333333");
    EXPECT_EQ(Text(FloatArg(0.1f)), "0.1");
    EXPECT_EQ(Text(FloatArg(-2.5f)), "-2.5");
    EXPECT_EQ(Text(FloatArg(123456789.0f)), "1.23457e+008");
    EXPECT_EQ(Text(FloatArg(1e-10f)), "1e-010");
    EXPECT_EQ(Text(FloatArg(0.0f)), "0");
    EXPECT_DOUBLE_EQ(core::RoundToSixDigits(3.14159274f), 3.14159);
    EXPECT_TRUE(std::isinf(core::RoundToSixDigits(INFINITY)));
    EXPECT_TRUE(std::isnan(core::RoundToSixDigits(NAN)));
}

TEST(ToText, InfinityAndNan) {
    EXPECT_EQ(General(INFINITY, 13), "inf");
    EXPECT_EQ(General(-INFINITY, 13), "-inf");
    EXPECT_EQ(General(NAN, 6), "nan");
}

TEST(ToText, LogicalAndDates) {
    EXPECT_EQ(Text(MakeArg(kTagLogical, 1)), "\xD5\xE6");  // 真
    EXPECT_EQ(Text(MakeArg(kTagLogical, 0)), "\xBC\xD9");  // 假
    auto date = [](double d) {
        ArgInfo a = DoubleArg(d);
        a.tag = kTagDateTime;
        return Text(a);
    };
    // 1899年12月30日
    EXPECT_EQ(date(0.0),
              "1899\xC4\xEA"
              "12\xD4\xC2"
              "30\xC8\xD5");
    // 2014年12月27日12时
    EXPECT_EQ(date(42000.5),
              "2014\xC4\xEA"
              "12\xD4\xC2"
              "27\xC8\xD5"
              "12\xCA\xB1");
    // 9999年12月31日, also for NaN and beyond the range; 100年1月1日 below it
    EXPECT_EQ(date(1e10),
              "9999\xC4\xEA"
              "12\xD4\xC2"
              "31\xC8\xD5");
    EXPECT_EQ(date(NAN),
              "9999\xC4\xEA"
              "12\xD4\xC2"
              "31\xC8\xD5");
    EXPECT_EQ(date(-1e10),
              "100\xC4\xEA"
              "1\xD4\xC2"
              "1\xC8\xD5");
    // 10:00:05 on 2000-01-01 (36526): 10时0分5秒
    EXPECT_EQ(date(36526 + (10 * 3600 + 5) / 86400.0),
              "2000\xC4\xEA"
              "1\xD4\xC2"
              "1\xC8\xD5"
              "10\xCA\xB1"
              "0\xB7\xD6"
              "5\xC3\xEB");
    // 1 January 1900 06:30: 6时30分
    EXPECT_EQ(date(2.0 + 6.5 / 24),
              "1900\xC4\xEA"
              "1\xD4\xC2"
              "1\xC8\xD5"
              "6\xCA\xB1"
              "30\xB7\xD6");
    // Before the epoch: the day counts back, the time of day counts forward. 1899-12-29 06:00.
    EXPECT_EQ(date(-1.25),
              "1899\xC4\xEA"
              "12\xD4\xC2"
              "29\xC8\xD5"
              "6\xCA\xB1");
}

TEST(ToText, ByteSetsAndNumericArraysStopAtTheFirstZeroByte) {
    unsigned char bin[] = {1, 0, 0, 0, 4, 0, 0, 0, 'A', 'B', 0, 'C'};
    EXPECT_EQ(Text(BinArg(bin)), "AB");
    unsigned char empty[] = {1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Text(BinArg(empty)), "<null>");
    EXPECT_EQ(Text(BinArg(nullptr)), "<null>");
    std::int32_t ints[] = {1, 2, 65, 66};
    EXPECT_EQ(Text(PtrArg(kTagInt | kArrayFlag, ints)), "A");
    unsigned char whole[] = {1, 0, 0, 0, 2, 0, 0, 0, 'h', 'i'};
    EXPECT_EQ(Text(BinArg(whole)), "hi") << "no zero byte: all of it";
}

TEST(ToText, TextsAreCopiedAndEverythingElseIsEmpty) {
    const char abc[] = "abc";
    ArgInfo r = Call(core::ToText, {TextArg(abc)});
    EXPECT_NE(ArgPtr<char>(r), abc);
    EXPECT_EQ(TakeText(r), "abc");
    EXPECT_EQ(Text(TextArg("")), "<null>");
    const char* texts[] = {"a"};
    EXPECT_EQ(Text(PtrArg(kTagText | kArrayFlag, texts)), "<null>");
    EXPECT_EQ(Text(MakeArg(kTagSubroutine, 1234)), "<null>");
    EXPECT_EQ(Text(NoArg()), "<null>");
}

TEST(ToInteger, Texts) {
    EXPECT_EQ(Int(TextArg("  42abc")), 42);
    EXPECT_EQ(Int(TextArg("-7")), -7);
    EXPECT_EQ(Int(TextArg("+7")), 7);
    EXPECT_EQ(Int(TextArg("\xA3\xAD\xA3\xB1\xA3\xB2")), -12);         // －１２
    EXPECT_EQ(Int(TextArg("\xA3\xB1\xA3\xB2\xA1\xA1\xA3\xB3")), 12);  // １２　３
    EXPECT_EQ(Int(TextArg("\xA1\xA1"
                          "30")),
              30);  // an ideographic space is skipped
    EXPECT_EQ(Int(TextArg("abc")), 0);
    EXPECT_EQ(Int(TextArg("")), 0);
    EXPECT_EQ(Int(TextArg("0x1A")), 0);
    EXPECT_EQ(Int(TextArg("012")), 12);
    EXPECT_EQ(Int(TextArg("99999999999")), 2147483647);
    EXPECT_EQ(Int(TextArg("-99999999999")), INT32_MIN);
    EXPECT_EQ(Int(TextArg("2147483648")), 2147483647);
    EXPECT_EQ(Int(TextArg("-2147483648")), INT32_MIN);
    EXPECT_EQ(Int(TextArg("\t\r\n 5")), 5);
    EXPECT_EQ(Int(TextArg("30\r\nhttp://x/")), 30);
    EXPECT_EQ(Int(TextArg("127.0.0.1")), 127);
    EXPECT_EQ(Int(TextArg("- 5")), 0);
}

TEST(ToInteger, Numbers) {
    EXPECT_EQ(Int(DoubleArg(2.9)), 2);
    EXPECT_EQ(Int(DoubleArg(-2.9)), -2);
    EXPECT_EQ(Int(FloatArg(-2.9f)), -2);
    EXPECT_EQ(Int(DoubleArg(3000000000.0)), -1294967296);
    EXPECT_EQ(Int(DoubleArg(1e30)), 0);
    EXPECT_EQ(Int(LongArg(0x100000005LL)), 5);
    EXPECT_EQ(Int(MakeArg(kTagByte, 255)), 255);
    EXPECT_EQ(Int(MakeArg(kTagShort, 0x8000)), -32768);
    EXPECT_EQ(Int(MakeArg(kTagLogical, 1)), 1);
    EXPECT_EQ(Int(MakeArg(kTagSubroutine, 77)), 77);
    ArgInfo date = DoubleArg(5.0);
    date.tag = kTagDateTime;
    EXPECT_EQ(Int(date), 0);
    unsigned char bin[] = {1, 0, 0, 0, 1, 0, 0, 0, '7'};
    EXPECT_EQ(Int(BinArg(bin)), 0);
    std::int32_t ints[] = {1, 1, 9};
    EXPECT_EQ(Int(PtrArg(kTagInt | kArrayFlag, ints)), 0);
    EXPECT_EQ(Int(NoArg()), 0);
}

TEST(FoldFullWidth, PairsFoldAndALoneLeadByteAtTheEndIsDropped) {
    rt::SmallBlockPool pool(false);
    auto fold = [&](const char* text) {
        rt::ByteBuffer b(pool);
        core::FoldFullWidth(text, b);
        return std::string(reinterpret_cast<char*>(b.data()), static_cast<std::size_t>(b.size()));
    };
    EXPECT_EQ(fold(""), std::string("\0", 1));
    EXPECT_EQ(fold("\xA3\xA1\xA3\xFE\xA1\xAB\xA1\xEE\xA1\xEF"), std::string("!~~**\0", 6));
    EXPECT_EQ(fold("\xB0\xA1x"), std::string("\xB0\xA1x\0", 4));  // other pairs unchanged
    EXPECT_EQ(fold("a\xA3"), std::string("a\0", 2));
    EXPECT_EQ(fold("\xA3\xA0"), std::string("\xA3\xA0\0", 3));  // below the folded range
    // 0x80 leads a pair like any byte above ASCII: the bytes after it are no full-width pair.
    EXPECT_EQ(fold("\x80\xA3\xB1"), std::string("\x80\xA3\0", 3));
}

}  // namespace
