// The Windows rules of platform/paths.h: drive and UNC names are absolute,
// '\' joins, full paths fold "." and ".." against the current directory of
// the drive, and the program's own path ends in ".exe".
#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"

namespace {

TEST(WindowsPaths, AbsoluteNamesAndJoining) {
    struct Case {
        const char* name;
        bool absolute;
    } cases[] = {
        {"C:\\quellon.ini", true}, {"c:/quellon.ini", true}, {"\\\\host\\share\\q.ini", true},
        {"\\quellon.ini", true},   {"/etc/q.ini", true},     {"quellon.ini", false},
        {"C:quellon.ini", false},  {"..\\q.ini", false},     {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::IsAbsolutePath(c.name), c.absolute) << c.name;
    EXPECT_EQ(platform::JoinPath("C:\\quellon", "q.ini"), "C:\\quellon\\q.ini");
    EXPECT_EQ(platform::JoinPath("C:\\quellon\\", "q.ini"), "C:\\quellon\\q.ini");
    EXPECT_EQ(platform::JoinPath("C:/quellon/", "q.ini"), "C:/quellon/q.ini");
    EXPECT_EQ(platform::JoinPath("", "q.ini"), "q.ini");
}

TEST(WindowsPaths, FullPathFoldsDotsAgainstTheCurrentDirectory) {
    const std::string saved = platform::CurrentDirectory();
    ASSERT_TRUE(platform::ChangeDirectory("C:\\windows"));
    const std::string here = platform::CurrentDirectory();
    ASSERT_FALSE(here.empty());
    struct Case {
        const char* name;
        std::string full;
    } cases[] = {
        {"a.ini", here + "\\a.ini"},
        {".\\x\\..\\b.ini", here + "\\b.ini"},
        {"C:\\windows\\\\system32\\..\\q.ini", "C:\\windows\\q.ini"},
        {"C:/windows/q.ini", "C:\\windows\\q.ini"},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::FullPath(c.name), c.full) << c.name;
    platform::ChangeDirectory(saved);
}

TEST(WindowsPaths, ProgramAndFallbackDirectories) {
    const std::string program = platform::ProgramPath();
    ASSERT_GE(program.size(), 4u);
    EXPECT_EQ(program.substr(program.size() - 4), ".exe") << program;
    EXPECT_TRUE(platform::FileExists(program)) << program;
    EXPECT_EQ(platform::ProgramDirectory(), program.substr(0, program.find_last_of("\\/") + 1));
    EXPECT_FALSE(platform::FileExists(platform::ProgramDirectory())) << "a directory is no file";
    _putenv_s("QUELLON_SYSCONFDIR", "");
    const std::string windows = platform::FallbackConfigDirectory();
    EXPECT_TRUE(platform::IsAbsolutePath(windows)) << windows;
    EXPECT_NE(windows.back(), '\\') << windows;
}

}  // namespace
