// The system's WMI through platform/wmiclient.h, on the local machine: what
// Windows (and Wine) answer to the calls the "wmi" provider makes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/wmiclient.h"

namespace {

TEST(WmiClient, LocalConnectionRunsADataQueryToItsEnd) {
    ASSERT_TRUE(platform::WmiAvailable());
    std::unique_ptr<platform::WmiSession> session;
    int32_t hr = platform::ConnectWmi("", "", "", &session);
    ASSERT_GE(hr, 0) << std::hex << hr << " " << platform::WmiErrorText(hr);
    ASSERT_TRUE(session);

    // A class every system has one instance of.
    std::unique_ptr<platform::WmiQuery> query;
    hr = session->Exec("SELECT * FROM Win32_OperatingSystem", false, &query);
    ASSERT_GE(hr, 0) << std::hex << hr;
    std::vector<platform::WmiObject> items;
    hr = query->Next(10000, 1, &items);
    ASSERT_EQ(0, hr) << std::hex << hr;
    ASSERT_EQ(1u, items.size());
    bool named = false;
    for (const platform::WmiProperty& p : items[0].properties) {
        if (p.name == "Caption") {
            named = p.value.kind == platform::WmiValue::Kind::kText && !p.value.text.empty();
        }
    }
    EXPECT_TRUE(named) << "Win32_OperatingSystem has a Caption";
    EXPECT_EQ(platform::kWmiEnd, query->Next(10000, 1, &items));

    // The event log's records of System: the query ends (a real host has
    // rows; Wine has none).
    hr = session->Exec("SELECT * FROM Win32_NTLogEvent WHERE Logfile = 'System'", false, &query);
    ASSERT_GE(hr, 0) << std::hex << hr;
    items.clear();
    for (int i = 0; i < 100000 && hr == 0; ++i) hr = query->Next(10000, 10, &items);
    EXPECT_EQ(platform::kWmiEnd, hr) << std::hex << hr;
}

TEST(WmiClient, FailuresComeBackAsCodesWithTexts) {
    std::unique_ptr<platform::WmiSession> session;
    int32_t hr = platform::ConnectWmi("no-such-host.invalid", "", "", &session);
    EXPECT_LT(hr, 0) << "a host that does not exist";
    EXPECT_FALSE(session);
    EXPECT_FALSE(platform::WmiErrorText(static_cast<int32_t>(0x800706BA)).empty())
        << "the RPC server is unavailable";
}

}  // namespace
