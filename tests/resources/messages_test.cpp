#include <gtest/gtest.h>

#include <string>

#include "base/configdataloader.h"
#include "base/stringformat.h"

namespace {

std::string Message(int id) { return CConfigDataLoader::LoadMessage(id); }

TEST(MessageCatalogue, GreetingAndBanner) {
    std::string banner = StringFormat(Message(105).c_str(), Message(106).c_str(), "Jan 17 2024");
    EXPECT_EQ(StringFormat(Message(104).c_str(), banner.c_str()),
              "200 Halcrest WMI Event Listener (v5.5 build Jan 17 2024) Ready To Authenticate\r\n");
}

TEST(MessageCatalogue, IdsOutsideTheCatalogueAreEmpty) {
    for (int id : {-1, 0, 102, 139, 1000}) EXPECT_EQ(Message(id), "") << id;
    for (int id = 103; id <= 138; ++id) EXPECT_FALSE(Message(id).empty()) << id;
}

TEST(MessageCatalogue, SpacingThatClientsParse) {
    struct Case {
        int id;
        const char* text;
    } cases[] = {
        {134, "Max user count reached (%i)"},
        {136, "OK Deleted Host %s %s %s \r\n"},
        {127, "CONNECTION_FAILED  %s %s %s %s - %s\r\n"},
        {123, "NTEVENT: %s %s %s %s %s %s %s\r\n.\r\n"},
        {108, "Failed to open the config file\r\n"},
        {109, "Using Config File: %s\r\n"},
        {113, "OK authentication successful (users=%i)\r\n"},
        {119, ".\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Message(c.id), c.text) << c.id;
    EXPECT_EQ(StringFormat(Message(134).c_str(), 3), "Max user count reached (3)");
}

TEST(MessageCatalogue, HelpTextAndNotice) {
    std::string help = Message(126);
    EXPECT_EQ(help.rfind("OK Help. following commands are available:\r\n", 0), 0u);
    EXPECT_NE(help.find("\r\n \t\t2 - Warning\r\n"), std::string::npos);
    const std::string tail =
        "7. LOGLEVEL [trace|debug|info|warn|error|fatal]\r\n"
        "8. STATS - to show each subscription's counts, lag and last error\r\n.\r\n";
    ASSERT_GT(help.size(), tail.size());
    EXPECT_EQ(help.substr(help.size() - tail.size()), tail);
    size_t lines = 0;
    for (size_t pos = help.find("\r\n"); pos != std::string::npos;
         pos = help.find("\r\n", pos + 2)) {
        ++lines;
    }
    EXPECT_EQ(lines, 16u);

    // One notice line, then an empty line.
    std::string notice = Message(107);
    ASSERT_GE(notice.size(), 5u);
    EXPECT_EQ(notice.substr(notice.size() - 4), "\r\n\r\n");
    EXPECT_EQ(notice.find("\r\n"), notice.size() - 4);
}

}  // namespace
