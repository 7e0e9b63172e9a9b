#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(Paths, FullPathFoldsDotsAgainstCurrentDirectory) {
    std::string saved = platform::CurrentDirectory();
    ASSERT_TRUE(platform::ChangeDirectory("/tmp"));
    std::string tmp = platform::CurrentDirectory();
    struct Case {
        const char* name;
        std::string full;
    } cases[] = {
        {"a.ini", tmp + "/a.ini"},
        {"./x/../b.ini", tmp + "/b.ini"},
        {"/etc//quellon.ini", "/etc/quellon.ini"},
        {"/../..", "/"},
        {"/var/log/", "/var/log/"},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::FullPath(c.name), c.full) << c.name;
    platform::ChangeDirectory(saved);
}

TEST(Paths, FallbackDirectoryAndAbsoluteNames) {
    const char* saved = std::getenv("QUELLON_SYSCONFDIR");
    std::string keep = saved ? saved : "";
    unsetenv("QUELLON_SYSCONFDIR");
    EXPECT_EQ(platform::FallbackConfigDirectory(), "/etc");
    setenv("QUELLON_SYSCONFDIR", "", 1);
    EXPECT_EQ(platform::FallbackConfigDirectory(), "/etc");
    setenv("QUELLON_SYSCONFDIR", "/srv/conf", 1);
    EXPECT_EQ(platform::FallbackConfigDirectory(), "/srv/conf");
    if (saved)
        setenv("QUELLON_SYSCONFDIR", keep.c_str(), 1);
    else
        unsetenv("QUELLON_SYSCONFDIR");

    EXPECT_TRUE(platform::IsAbsolutePath("/a"));
    EXPECT_FALSE(platform::IsAbsolutePath("a/b"));
    EXPECT_FALSE(platform::IsAbsolutePath(""));
    EXPECT_EQ(platform::JoinPath("/etc", "q.ini"), "/etc/q.ini");
    EXPECT_EQ(platform::JoinPath("/", "q.ini"), "/q.ini");
    EXPECT_FALSE(platform::FileExists("/tmp"));  // a directory is not a file
    EXPECT_TRUE(platform::FileExists(platform::ProgramPath()));
}

}  // namespace
