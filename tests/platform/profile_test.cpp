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

// The lines the lists cannot show as written are reported, in file order:
// a NUL byte anywhere but in a comment (the entry ends there), an entry
// before the first section. Entries of a nameless section are ignored
// without a report, as the file rules say.
TEST(ProfileReader, ReportsNulBytesAndEntriesBeforeAnySection) {
    TempDir dir;
    const std::string content = std::string("loose=before\n") + "[LOCAL_AUTH]\n" +
                                std::string("PASSWORD=ab\0-secret\n", 20) +
                                std::string("; a comment with \0 a NUL\n", 25) +
                                std::string("\0tail\n", 6) + "[]\nlost=entry\n[LISTEN]\nPORT=1\n";
    std::string file = dir.Write("a.ini", content);
    platform::ProfileFile reading(file);
    using Kind = platform::ProfileFault::Kind;
    const std::vector<platform::ProfileFault>& faults = reading.Faults();
    ASSERT_EQ(3u, faults.size());
    EXPECT_TRUE(faults[0].kind == Kind::kBeforeSection && faults[0].section.empty() &&
                faults[0].name == "loose")
        << faults[0].name;
    EXPECT_TRUE(faults[1].kind == Kind::kNulByte && faults[1].section == "LOCAL_AUTH" &&
                faults[1].name == "PASSWORD")
        << faults[1].section << "." << faults[1].name;
    EXPECT_TRUE(faults[2].kind == Kind::kNulByte && faults[2].name.empty()) << faults[2].name;
    // The entry itself still ends at the NUL byte.
    char buffer[256];
    reading.ReadSection("LOCAL_AUTH", buffer, sizeof buffer);
    EXPECT_EQ(Split(buffer), (std::vector<std::string>{"PASSWORD=ab"}));

    platform::ProfileFile clean(dir.Write("b.ini", "; comment\n[A]\nx=1\n"));
    EXPECT_TRUE(clean.Faults().empty());
}

}  // namespace
