// SplitText: delimiters, limits, empty pieces and GBK characters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/libs/core/core_fixture.h"

namespace {

using namespace rt;
using core_test::Call;

// The pieces as texts ("<null>" for an empty piece); the array is freed.
std::vector<std::string> Split(const char* text, ArgInfo delimiter, ArgInfo limit = NoArg()) {
    ArgInfo r = Call(core::SplitText, {TextArg(text), delimiter, limit});
    void* array = ArgPtr<void>(r);
    EXPECT_NE(array, nullptr) << "never null";
    EXPECT_EQ(ReadInt32(array), 1);
    std::vector<std::string> pieces;
    ElementSpan span = ArrayElements(array);
    for (std::int32_t i = 0; i < span.count; ++i) {
        const char* piece = reinterpret_cast<const char*>(ArrayWordAt(span, i));
        pieces.push_back(piece ? piece : "<null>");
    }
    FreeArray(kTagText, array);
    return pieces;
}

using V = std::vector<std::string>;

TEST(SplitText, CommaIsTheDefaultDelimiter) {
    EXPECT_EQ(Split("a,b,c", NoArg()), (V{"a", "b", "c"}));
    EXPECT_EQ(Split(",", NoArg()), (V{"<null>"}));
}

TEST(SplitText, CrLfLines) {
    EXPECT_EQ(Split("a\r\nb\r\n", TextArg("\r\n")), (V{"a", "b"}));
    EXPECT_EQ(Split("\r\na\r\n\r\nb", TextArg("\r\n")), (V{"<null>", "a", "<null>", "b"}));
    EXPECT_EQ(Split("30\r\nx\r\n\r\n", TextArg("\r\n")), (V{"30", "x", "<null>"}));
    EXPECT_EQ(Split("a\nb\rc", TextArg("\r\n")), (V{"a\nb\rc"})) << "lone LF or CR: one line";
}

TEST(SplitText, EmptyTextGivesAnEmptyArray) { EXPECT_EQ(Split("", TextArg(",")), V{}); }

TEST(SplitText, Limits) {
    EXPECT_EQ(Split("a,b,c", NoArg(), IntArg(2)), (V{"a", "b"}));
    EXPECT_EQ(Split("a,b,c", NoArg(), IntArg(5)), (V{"a", "b", "c"}));
    EXPECT_EQ(Split("a,b,c", NoArg(), IntArg(0)), V{});
    EXPECT_EQ(Split("a,b,c", NoArg(), IntArg(-1)), V{});
    EXPECT_EQ(Split("a,b,c", NoArg(), IntArg(3)), (V{"a", "b", "c"}));
}

TEST(SplitText, EmptyOrAbsentDelimiterText) {
    EXPECT_EQ(Split("abc", TextArg("")), (V{"abc"}));
    EXPECT_EQ(Split("abc", TextArg("xyz")), (V{"abc"}));
    EXPECT_EQ(Split("aaa", TextArg("aa")), (V{"<null>", "a"}));
}

TEST(SplitText, NeverCutsInsideADoubleByteCharacter) {
    // 0x95 0x5C is one GBK character whose second byte is a backslash.
    EXPECT_EQ(Split("a\x95\x5C"
                    "b\\c",
                    TextArg("\\")),
              (V{"a\x95\x5C"
                 "b",
                 "c"}));
    EXPECT_EQ(Split("x,\xB0", NoArg()), (V{"x", "\xB0"})) << "a lone lead byte at the end stays";
    EXPECT_EQ(Split("\xB0,", NoArg()), (V{"\xB0,"})) << "the comma is the trail byte here";
}

TEST(SplitText, ManyPiecesGrowTheCollector) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += std::to_string(i) + "\r\n";
    V pieces = Split(text.c_str(), TextArg("\r\n"));
    ASSERT_EQ(pieces.size(), 1000u);
    EXPECT_EQ(pieces[999], "999");
}

}  // namespace
