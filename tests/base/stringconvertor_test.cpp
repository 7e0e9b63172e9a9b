#include "base/stringconvertor.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const std::string& text) {
    std::string out;
    char buf[4];
    for (unsigned char c : text) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

TEST(StringConvertor, RoundTripsValidText) {
    struct Case {
        std::string narrow;
        std::u16string wide;
    } cases[] = {
        {"", u""},
        {"Application", u"Application"},
        {"caf\xC3\xA9", u"caf\u00E9"},        // two-byte form
        {"\xE2\x82\xAC 5", u"\u20AC 5"},      // three-byte form
        {"\xEF\xBF\xBF", u"\uFFFF"},          // last of the basic plane
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},  // highest code point
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CStringConvertor::Utf8ToWide(c.narrow), c.wide) << Hex(c.narrow);
        EXPECT_EQ(CStringConvertor::WideToUtf8(c.wide), c.narrow) << Hex(c.narrow);
        EXPECT_EQ(CStringConvertor::WideToNarrow(c.wide.c_str()), c.narrow) << Hex(c.narrow);
    }
}

TEST(StringConvertor, InvalidInputGivesEmptyText) {
    const std::string badNarrow[] = {
        "ok\xC3",            // cut sequence
        "\x80",              // stray continuation byte
        "\xC0\x80",          // overlong NUL
        "\xE0\x80\xAF",      // overlong '/'
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF8\x88\x80\x80\x80",
        "a\xFFz",
    };
    for (const std::string& text : badNarrow) {
        EXPECT_EQ(CStringConvertor::Utf8ToWide(text), u"") << Hex(text);
    }
    const std::u16string badWide[] = {
        std::u16string(1, char16_t(0xD800)),
        u"x" + std::u16string(1, char16_t(0xDC00)),
        std::u16string{char16_t(0xD83D), u'a'},
    };
    for (const std::u16string& text : badWide) {
        EXPECT_EQ(CStringConvertor::WideToUtf8(text), "") << text.size();
        EXPECT_EQ(CStringConvertor::WideToNarrow(text.c_str()), "") << text.size();
    }
    EXPECT_EQ(CStringConvertor::WideToNarrow(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(CStringConvertor::Utf8ToWide(static_cast<const char*>(nullptr)), u"");
    EXPECT_EQ(CStringConvertor::WideToUtf8(static_cast<const char16_t*>(nullptr)), "");
}

TEST(StringConvertor, ResultsEndAtFirstNul) {
    const std::u16string wide(u"ab\0cd", 5);
    const std::string narrow("ab\0cd", 5);
    EXPECT_EQ(CStringConvertor::WideToNarrow(std::u16string_view(wide)), "ab");
    EXPECT_EQ(CStringConvertor::WideToUtf8(std::u16string_view(wide)), "ab");
    EXPECT_EQ(CStringConvertor::Utf8ToWide(std::string_view(narrow)), u"ab");
}

}  // namespace
