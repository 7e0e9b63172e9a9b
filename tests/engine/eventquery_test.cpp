#include "engine/eventquery.h"

#include <gtest/gtest.h>

#include "base/logger.h"
#include "tests/wmi/simfixture.h"
#include "wmi/cim/wql.h"
#include "wmi/comobject.h"
#include "wmi/locatorfactory.h"

using namespace simtest;

namespace {

#define LIVE_BASE(n)                                  \
    "SELECT * FROM __InstanceCreationEvent WITHIN " n \
    " WHERE TargetInstance ISA "                      \
    "'Win32_NTLogEvent'"
#define REPLAY_BASE                                                                         \
    "SELECT * FROM Win32_NTLogEvent WHERE TimeGenerated > '20240101120000.000000+000' AND " \
    "TimeGenerated < '20240101130000.000000+000'"

struct TextCase {
    bool isReplay;
    int within;
    const char* category;
    const char* eventType;
    const char* expected;
};

const TextCase kTexts[] = {
    {false, 60, "*", "*", LIVE_BASE("60")},
    {false, 60, "System", "*", LIVE_BASE("60") " AND TargetInstance.LogFile = 'System'"},
    {false, 60, "*", "2", LIVE_BASE("60") " AND TargetInstance.EventType <= 2"},
    {false, 60, "System", "2",
     LIVE_BASE("60") " AND TargetInstance.LogFile = 'System' AND TargetInstance.EventType <= 2"},
    {false, 0, "*", "*", LIVE_BASE("0")},
    {false, -5, "*", "*", LIVE_BASE("-5")},
    {false, 60, "**", "*", LIVE_BASE("60") " AND TargetInstance.LogFile = '**'"},
    {false, 60, " *", "*", LIVE_BASE("60") " AND TargetInstance.LogFile = ' *'"},
    {false, 60, "Windows PowerShell", "3",
     LIVE_BASE("60") " AND TargetInstance.LogFile = 'Windows PowerShell' AND "
                     "TargetInstance.EventType <= 3"},
    {true, 60, "*", "*", REPLAY_BASE},
    {true, 60, "Application", "*", REPLAY_BASE " AND LogFile = 'Application'"},
    {true, 60, "*", "4", REPLAY_BASE " AND EventType <= 4"},
    {true, 60, "Application", "4", REPLAY_BASE " AND LogFile = 'Application' AND EventType <= 4"},
};

TEST(EventQuery, TextsFromTheFormatTexts) {
    for (const TextCase& c : kTexts) {
        TEventQueryFields fields{c.isReplay,  c.within,         c.category,
                                 c.eventType, "20240101120000", "20240101130000"};
        EXPECT_EQ(BuildEventQuery(fields), c.expected)
            << c.category << " / " << c.eventType << " replay " << c.isReplay;
        EXPECT_TRUE(EventQueryValuesAreSafe(fields)) << c.expected;
    }
}

TEST(EventQuery, EveryCombinationParsesAsTheIntendedConditions) {
    for (const TextCase& c : kTexts) {
        if (c.within < 0) continue;  // WMI refuses a negative interval
        TEventQueryFields fields{c.isReplay,  c.within,         c.category,
                                 c.eventType, "20240101120000", "20240101130000"};
        wmi::cim::WqlQuery query;
        ASSERT_EQ(wmi::cim::ParseWql(BuildEventQuery(fields), !c.isReplay, query), WBEM_S_NO_ERROR)
            << c.expected;
        size_t expected = (c.isReplay ? 2 : 0) + (std::string(c.category) != "*") +
                          (std::string(c.eventType) != "*");
        EXPECT_EQ(query.conditions.size(), expected) << c.expected;
    }
}

// Values that would leave their place in the text are not sent.
struct UnsafeCase {
    bool isReplay;
    const char* category;
    const char* eventType;
    const char* timeFrom;
};

const UnsafeCase kUnsafe[] = {
    {false, "Sys'tem", "*", ""},
    {false, "x' AND TargetInstance.EventType <> '0", "*", ""},
    {false, "System\\", "*", ""},
    {true, "Application", "3 OR EventType > 0", "20240101120000"},
    {true, "Application", "3 AND LogFile = 'Security'", "20240101120000"},
    {true, "*", "abc", "20240101120000"},
    {true, "*", "", "20240101120000"},
    {true, "*", "*", "2024' OR '1"},
};

class RecordingServices : public wmi::ComObject<IWbemServices> {
  public:
    int calls = 0;
    LONG flags = 0;
    bool notification = false;
    std::string language, text;
    HRESULT ExecQuery(BSTR l, BSTR q, LONG f, IWbemContext*, IEnumWbemClassObject** e) override {
        return Record(l, q, f, false, e);
    }
    HRESULT ExecNotificationQuery(BSTR l, BSTR q, LONG f, IWbemContext*,
                                  IEnumWbemClassObject** e) override {
        return Record(l, q, f, true, e);
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemServices; }

  private:
    HRESULT Record(BSTR l, BSTR q, LONG f, bool n, IEnumWbemClassObject** e) {
        ++calls;
        language = wmi::Utf8FromBstr(l);
        text = wmi::Utf8FromBstr(q);
        flags = f;
        notification = n;
        *e = nullptr;
        return WBEM_E_FAILED;
    }
};

TEST(EventQuery, UnsafeValuesAreRefusedWithoutCallingWmi) {
    for (const UnsafeCase& c : kUnsafe) {
        TEventQueryFields fields{c.isReplay,  60,         c.category,
                                 c.eventType, c.timeFrom, "20240101130000"};
        EXPECT_FALSE(EventQueryValuesAreSafe(fields)) << c.category << " / " << c.eventType;
        auto* services = new RecordingServices();
        IEnumWbemClassObject* e = nullptr;
        EXPECT_EQ(SendEventQuery(services, fields, &e), WBEM_E_INVALID_QUERY) << c.category;
        EXPECT_EQ(services->calls, 0) << c.category;
        services->Release();
    }
}

// Replay bounds in local time become UTC, daylight saving time included;
// a text that is not a date is left for WMI to judge.
TEST(EventQuery, LocalBoundsBecomeUtc) {
    const char* const saved = getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    setenv("TZ", "America/New_York", 1);
    tzset();
    const std::pair<const char*, const char*> cases[] = {
        {"20231114171320", "20231114221320"},  // EST, UTC-5
        {"20230704120000", "20230704160000"},  // EDT, UTC-4
        {"20240310013000", "20240310063000"},  // the last half hour before the change
        {"20240310033000", "20240310073000"},  // the first half hour after it
        {"20231231235959", "20240101045959"},  // across the year
        {"20231301000000", "20231301000000"},  // month 13
        {"20230231120000", "20230231120000"},  // 31 February
        {"20231114246000", "20231114246000"},  // hour 24
        {"2023111417132", "2023111417132"},    // thirteen digits
        {"2023111417132x", "2023111417132x"},
    };
    for (const auto& [local, utc] : cases) EXPECT_EQ(LocalStampToUtc(local), utc) << local;
    EXPECT_EQ(UtcStamp(1700000000), "20231114221320");
    if (saved != nullptr) {
        setenv("TZ", before.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(EventQuery, SendUsesTheCallOfItsKind) {
    for (bool replay : {false, true}) {
        auto* services = new RecordingServices();
        TEventQueryFields fields{replay, 60, "System", "2", "20240101120000", "20240101130000"};
        IEnumWbemClassObject* e = nullptr;
        EXPECT_EQ(SendEventQuery(services, fields, &e), WBEM_E_FAILED)
            << "the platform's code is returned";
        EXPECT_EQ(services->calls, 1);
        EXPECT_EQ(services->notification, !replay);
        EXPECT_EQ(services->language, "WQL");
        EXPECT_EQ(services->flags, 48);
        EXPECT_EQ(services->text, BuildEventQuery(fields));
        services->Release();
    }
}

// Against the simulated hosts: the texts are accepted and select what they
// say.
class EventQueryOnSimHosts : public SimStoreFixture {
  protected:
    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost("10.0.0.5");
        wmi::UseSimStore(path);
        g_logger = new CLogger(dir.File("test.log"), "DEBUG");
        IWbemLocator* locator = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWbemLocator, reinterpret_cast<void**>(&locator)),
                  S_OK);
        BSTR resource = wmi::BstrFromUtf8("\\\\10.0.0.5\\root\\cimv2");
        ASSERT_EQ(locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0x80, nullptr,
                                         nullptr, &services),
                  S_OK);
        SysFreeString(resource);
        locator->Release();
    }
    void TearDown() override {
        if (services != nullptr) services->Release();
        delete g_logger;
        g_logger = nullptr;
        wmi::UseSimStore("");
    }

    std::vector<uint32_t> Codes(IEnumWbemClassObject* e, bool live) {
        IWbemClassObject* objects[50] = {};
        ULONG returned = 0;
        e->Next(0, 50, objects, &returned);
        std::vector<uint32_t> codes;
        for (ULONG i = 0; i < returned; ++i) {
            IWbemClassObject* event = objects[i];
            VARIANT v;
            VariantInit(&v);
            if (live) {
                objects[i]->Get(u"TargetInstance", 0, &v, nullptr, nullptr);
                event = static_cast<IWbemClassObject*>(v.punkVal);
            }
            codes.push_back(std::stoul(GetProperty(event, u"EventCode").text));
            VariantClear(&v);
        }
        ReleaseAll(objects, returned);
        return codes;
    }

    IWbemServices* services = nullptr;
};

TEST_F(EventQueryOnSimHosts, LiveAndReplaySelectWhatTheySay) {
    // Before the live query: history for the replay window (12:00..13:00 exclusive).
    Append("10.0.0.5", {MakeEvent("System", 1, 1, kNoon), MakeEvent("System", 3, 2, kNoon + 1),
                        MakeEvent("Application", 2, 3, kNoon + 60000000),
                        MakeEvent("System", 2, 4, kNoon + 3600000000LL)});
    TEventQueryFields live{false, 0, "System", "2", "", ""};
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(SendEventQuery(services, live, &e), S_OK);
    Append("10.0.0.5", {MakeEvent("System", 1, 10), MakeEvent("System", 3, 11),
                        MakeEvent("Application", 1, 12), MakeEvent("System", 2, 13)});
    EXPECT_EQ(Codes(e, true), (std::vector<uint32_t>{10, 13}));
    e->Release();

    TEventQueryFields replay{true, 60, "*", "*", "20240101120000", "20240101130000"};
    ASSERT_EQ(SendEventQuery(services, replay, &e), S_OK);
    EXPECT_EQ(Codes(e, false), (std::vector<uint32_t>{2, 3})) << "both bounds exclusive";
    e->Release();

    replay.category = "system";
    replay.eventType = "3";
    ASSERT_EQ(SendEventQuery(services, replay, &e), S_OK);
    EXPECT_EQ(Codes(e, false), (std::vector<uint32_t>{2}));
    e->Release();

    EXPECT_NE(ReadWholeFile(dir.File("test.log"))
                  .find("Sending query " REPLAY_BASE " AND LogFile = 'system' AND EventType <= 3"),
              std::string::npos);
}

}  // namespace
