#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/tempdir.h"

namespace {

std::vector<std::string> Split(const char* buffer) {
    std::vector<std::string> items;
    for (const char* p = buffer; *p != '\0'; p += items.back().size() + 1) items.emplace_back(p);
    return items;
}

TEST(ProfileReader, ListsSectionsAndEntriesByTheFileRules) {
    TempDir dir;
    std::string file = dir.Write("a.ini",
                                 "\xEF\xBB\xBF"
                                 "loose=ignored\n"
                                 "[ First ]  trailing\r\n"
                                 "  name  =  value with  blanks  \r\n"
                                 "; comment\n"
                                 "   # comment\n"
                                 "\n"
                                 "no equals here\n"
                                 "  = starts with equals\n"
                                 "[]\n"
                                 "lost=entry\n"
                                 "[second]\n"
                                 "a=1\n"
                                 "[FIRST]\n"
                                 "b=2\n");
    char buffer[256];
    size_t needed = 0;
    size_t length = platform::ReadProfileSectionNames(buffer, sizeof buffer, file, &needed);
    EXPECT_EQ(Split(buffer), (std::vector<std::string>{"First", "second"}));
    EXPECT_EQ(length, 13u);
    EXPECT_EQ(needed, 14u);

    platform::ReadProfileSection("first", buffer, sizeof buffer, file, &needed);
    EXPECT_EQ(Split(buffer), (std::vector<std::string>{"name=value with  blanks", "no equals here",
                                                       "=starts with equals", "b=2"}));
    platform::ReadProfileSection("nothing", buffer, sizeof buffer, file, &needed);
    EXPECT_EQ(Split(buffer), std::vector<std::string>{});
    EXPECT_EQ(needed, 1u);
}

TEST(ProfileReader, TooSmallBufferContract) {
    TempDir dir;
    std::string file = dir.Write("a.ini", "[aaaa]\n[bbbb]\n");  // needs 5 + 5 + 1 = 11
    struct Case {
        size_t size;
        size_t result;
        std::vector<std::string> stored;
    } cases[] = {
        {11, 10, {"aaaa", "bbbb"}},
        {10, 8, {"aaaa"}},  // cut: size - 2
        {6, 4, {"aaaa"}},
        {5, 3, {}},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer(c.size, 'x');
        size_t needed = 0;
        EXPECT_EQ(platform::ReadProfileSectionNames(buffer.data(), c.size, file, &needed), c.result)
            << c.size;
        EXPECT_EQ(needed, 11u);
        EXPECT_EQ(Split(buffer.data()), c.stored) << c.size;
    }
    char none[4] = "xyz";
    EXPECT_EQ(platform::ReadProfileSectionNames(none, sizeof none, dir.File("missing.ini")), 0u);
    EXPECT_EQ(none[0], '\0');
}

}  // namespace
