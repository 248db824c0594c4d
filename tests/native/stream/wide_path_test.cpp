#include "stream/wide_path.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvar::stream {
namespace {

struct Decoded {
    const char* name;
    const char* utf8;
    std::u16string units;
};

class WidePathDecodes : public ::testing::TestWithParam<Decoded> {};

TEST_P(WidePathDecodes, ToTheUnitsWindowsTakes) {
    std::u16string units = u"left over";
    ASSERT_TRUE(wide_path(GetParam().utf8, &units));
    EXPECT_EQ(units, GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, WidePathDecodes,
    ::testing::Values(
        Decoded{"Empty", "", u""},
        Decoded{"Ascii", "C:\\logs\\drive 1.mf4", u"C:\\logs\\drive 1.mf4"},
        Decoded{"TwoBytes", "\xc3\x84\xc3\xb6\xc3\x9f", u"\u00c4\u00f6\u00df"},
        Decoded{"LargestTwoBytes", "\xdf\xbf", u"\u07ff"},
        Decoded{"ThreeBytes", "\xe6\xb8\xa9\xe5\xba\xa6", u"\u6e29\u5ea6"},
        Decoded{"LargestBelowSurrogates", "\xed\x9f\xbf", u"\ud7ff"},
        Decoded{"LargestThreeBytes", "\xef\xbf\xbf", u"\uffff"},
        // Beyond 16 bits: a surrogate pair.
        Decoded{"FourBytes", "\xf0\x9f\x9a\x97", std::u16string{char16_t(0xD83D), char16_t(0xDE97)}},
        Decoded{"LargestCodePoint", "\xf4\x8f\xbf\xbf", std::u16string{char16_t(0xDBFF), char16_t(0xDFFF)}},
        // Unpaired surrogates, as Python's "surrogatepass" writes them: Windows
        // names may hold them, so they pass unit by unit.
        Decoded{"LoneHighSurrogate", "a\xed\xa0\x80z", std::u16string{u'a', char16_t(0xD800), u'z'}},
        Decoded{"LoneLowSurrogate", "\xed\xbf\xbf", std::u16string{char16_t(0xDFFF)}}),
    [](const ::testing::TestParamInfo<Decoded>& info) { return std::string(info.param.name); });

struct Refused {
    const char* name;
    const char* utf8;
};

class WidePathRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(WidePathRefuses, BytesThatAreNoEncoding) {
    std::u16string units;
    EXPECT_FALSE(wide_path(GetParam().utf8, &units));
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, WidePathRefuses,
    ::testing::Values(Refused{"LoneContinuation", "a\x80"},
                      Refused{"OverlongSlash", "\xc0\xaf"},
                      Refused{"OverlongTwoBytes", "\xc1\xbf"},
                      Refused{"OverlongThreeBytes", "\xe0\x80\xaf"},
                      Refused{"OverlongFourBytes", "\xf0\x80\x80\xaf"},
                      Refused{"BeyondLargestCodePoint", "\xf4\x90\x80\x80"},
                      Refused{"LeadByteF5", "\xf5\x80\x80\x80"},
                      Refused{"ByteFF", "\xff"},
                      Refused{"CutOffAtTheEnd", "abc\xe6\xb8"},
                      Refused{"CutOffBeforeAscii", "\xe6\xb8z"},
                      Refused{"FourByteCutOff", "\xf0\x9f\x9a"}),
    [](const ::testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

TEST(WidePath, NullIsRefused) {
    std::u16string units;
    EXPECT_FALSE(wide_path(nullptr, &units));
}

}  // namespace
}  // namespace tolvar::stream
