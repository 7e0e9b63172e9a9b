// The text codec's conversions that keep event text: each invalid sequence
// becomes one U+FFFD and the rest of the text stays, a NUL stays; the
// strict conversions still give the empty text for the same input.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextLossy, InvalidUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string utf8;
        std::u16string wide;
        bool replaced;
    };
    const Case cases[] = {
        {"plain", u"plain", false},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3), false},
        {"caf\xC3\xA9", u"caf\u00E9", false},
        {"\xF0\x9F\x98\x80", u"\U0001F600", false},
        {"\xEF\xBF\xBD", u"\uFFFD", false},                 // a U+FFFD of the text itself
        {"bad \xC3 rest", u"bad \uFFFD rest", true},        // broken off by a blank
        {"end \xE2\x82", u"end \uFFFD", true},              // cut at the end
        {"\xFF\xFEx", u"\uFFFD\uFFFDx", true},              // bytes that start nothing
        {"\x80x", u"\uFFFDx", true},                        // a lone continuation byte
        {"\xC0\xAFx", u"\uFFFDx", true},                    // overlong
        {"\xED\xA0\x80x", u"\uFFFDx", true},                // an encoded surrogate
        {"\xF4\x90\x80\x80x", u"\uFFFDx", true},            // past U+10FFFF
        {"\xE2\x82\xE2\x82\xACx", u"\uFFFD\u20ACx", true},  // the next sequence starts afresh
    };
    for (const Case& c : cases) {
        bool replaced = false;
        EXPECT_EQ(platform::Utf8ToUtf16Lossy(c.utf8, &replaced), c.wide) << c.utf8;
        EXPECT_EQ(replaced, c.replaced) << c.utf8;
        EXPECT_EQ(platform::Utf8ToUtf16(c.utf8), c.replaced ? std::u16string() : c.wide) << c.utf8;
    }
}

TEST(TextLossy, UnpairedSurrogatesBecomeReplacementCharacters) {
    struct Case {
        std::u16string wide;
        std::string utf8;
        bool replaced;
    };
    const Case cases[] = {
        {u"plain", "plain", false},
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3), false},
        {u"\U0001F600", "\xF0\x9F\x98\x80", false},
        {std::u16string(u"x") + char16_t(0xD800) + u"y", "x\xEF\xBF\xBDy", true},
        {std::u16string(u"x") + char16_t(0xDC00) + u"y", "x\xEF\xBF\xBDy", true},
        {std::u16string(u"end") + char16_t(0xD83D), "end\xEF\xBF\xBD", true},
        {std::u16string(1, char16_t(0xDC00)) + char16_t(0xD800), "\xEF\xBF\xBD\xEF\xBF\xBD", true},
    };
    for (const Case& c : cases) {
        bool replaced = false;
        EXPECT_EQ(platform::Utf16ToUtf8Lossy(c.wide, &replaced), c.utf8) << c.utf8;
        EXPECT_EQ(replaced, c.replaced) << c.utf8;
        EXPECT_EQ(platform::Utf16ToUtf8(c.wide), c.replaced ? std::string() : c.utf8) << c.utf8;
    }
}

}  // namespace
