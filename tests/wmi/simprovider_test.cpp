#include "wmi/sim/simprovider.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/computername.h"
#include "platform/text.h"
#include "tests/app/builtprogram.h"
#include "tests/wmi/simfixture.h"
#include "wmi/locatorfactory.h"

extern char** environ;

using namespace simtest;
using wmi::sim::SimEvent;

namespace {

using Clock = std::chrono::steady_clock;

#define LIVE0 \
    "SELECT * FROM __InstanceCreationEvent WITHIN 0 WHERE TargetInstance ISA 'Win32_NTLogEvent'"

class SimProvider : public SimStoreFixture {
  protected:
    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost("10.0.0.5");
        AddHost("secure", true, "CORP\\alice", "pw");
        AddHost("downhost", false);
        AddHost("localhost", true, "CORP\\alice", "pw");
        wmi::UseSimStore(path);
        ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWbemLocator, reinterpret_cast<void**>(&locator)),
                  S_OK);
    }
    void TearDown() override {
        if (services != nullptr) services->Release();
        if (locator != nullptr) locator->Release();
        wmi::UseSimStore("");
    }

    HRESULT Connect(const std::string& resource, const char* user = nullptr,
                    const char* password = nullptr, IWbemServices** out = nullptr) {
        Bstr r(resource.c_str()), u(user), p(password);
        IWbemServices* made = nullptr;
        HRESULT hr = locator->ConnectServer(r, u, p, nullptr, WBEM_FLAG_CONNECT_USE_MAX_WAIT,
                                            nullptr, nullptr, &made);
        if (out != nullptr) {
            *out = made;
        } else if (made != nullptr) {
            made->Release();
        }
        return hr;
    }

    void ConnectHostA() {
        ASSERT_EQ(Connect("\\\\10.0.0.5\\root\\cimv2", nullptr, nullptr, &services), S_OK);
    }

    HRESULT Exec(const char* text, bool notification, IEnumWbemClassObject** result) {
        Bstr language("WQL"), query(text);
        const LONG flags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
        return notification
                   ? services->ExecNotificationQuery(language, query, flags, nullptr, result)
                   : services->ExecQuery(language, query, flags, nullptr, result);
    }

    // Polls once and returns the record numbers received.
    std::vector<int> Poll(IEnumWbemClassObject* e, LONG timeout, ULONG count, HRESULT* hr,
                          bool notification = true) {
        IWbemClassObject* objects[64] = {};
        ULONG returned = 99;
        *hr = e->Next(timeout, count, objects, &returned);
        std::vector<int> numbers;
        for (ULONG i = 0; i < returned; ++i) {
            IWbemClassObject* event = objects[i];
            if (notification) {
                Read target = GetProperty(objects[i], u"__CLASS");
                EXPECT_EQ(target.text, "__InstanceCreationEvent");
                event = TargetOf(objects[i]);
                if (event == nullptr) continue;
            }
            numbers.push_back(std::stoi(GetProperty(event, u"RecordNumber").text));
            if (notification) event->Release();
        }
        ReleaseAll(objects, returned);
        return numbers;
    }

    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
};

struct ConnectCase {
    std::string resource;
    const char* user;
    const char* password;
    HRESULT expected;
};

TEST_F(SimProvider, ConnectOutcomesPerHostStateAndCredentials) {
    const std::string self = platform::LocalComputerName();
    const ConnectCase cases[] = {
        {"\\\\10.0.0.5\\root\\cimv2", nullptr, nullptr, S_OK},
        {"\\\\10.0.0.5\\ROOT\\CIMV2", nullptr, nullptr, S_OK},
        {"//10.0.0.5/root/cimv2", nullptr, nullptr, S_OK},
        {"\\\\10.0.0.5\\root\\cimv2", "anyone", "anything", S_OK},
        {"\\\\10.0.0.5\\root\\default", nullptr, nullptr, WBEM_E_INVALID_NAMESPACE},
        {"\\\\10.0.0.5", nullptr, nullptr, WBEM_E_INVALID_NAMESPACE},
        {"root\\cimv2", nullptr, nullptr, WBEM_E_INVALID_NAMESPACE},
        {"\\\\nosuch\\root\\cimv2", nullptr, nullptr, RPC_S_SERVER_UNAVAILABLE_HR},
        {"\\\\10.0.0.55\\root\\cimv2", nullptr, nullptr, RPC_S_SERVER_UNAVAILABLE_HR},
        {"\\\\downhost\\root\\cimv2", nullptr, nullptr, RPC_S_SERVER_UNAVAILABLE_HR},
        {"\\\\secure\\root\\cimv2", "CORP\\alice", "pw", S_OK},
        {"\\\\secure\\root\\cimv2", "corp\\ALICE", "pw", S_OK},
        {"\\\\secure\\root\\cimv2", "CORP\\alice", "PW", E_ACCESSDENIED},
        {"\\\\secure\\root\\cimv2", "alice", "pw", E_ACCESSDENIED},
        {"\\\\secure\\root\\cimv2", nullptr, nullptr, E_ACCESSDENIED},
        {"\\\\secure\\root\\other", "bob", "pw", E_ACCESSDENIED},
        {"\\\\secure\\root\\other", "CORP\\alice", "pw", WBEM_E_INVALID_NAMESPACE},
        {"\\\\localhost\\root\\cimv2", "CORP\\alice", "pw", WBEM_E_LOCAL_CREDENTIALS},
        {"\\\\LOCALHOST\\root\\cimv2", "someone", nullptr, WBEM_E_LOCAL_CREDENTIALS},
        {"\\\\localhost\\root\\cimv2", nullptr, nullptr, S_OK},
        {"\\\\127.0.0.1\\root\\cimv2", "u", "p", WBEM_E_LOCAL_CREDENTIALS},
        {"\\\\" + self + "\\root\\cimv2", "u", "p", WBEM_E_LOCAL_CREDENTIALS},
        {"\\\\127.0.0.1\\root\\cimv2", nullptr, nullptr, RPC_S_SERVER_UNAVAILABLE_HR},
    };
    for (const ConnectCase& c : cases) {
        IWbemServices* made = reinterpret_cast<IWbemServices*>(1);
        HRESULT hr = Connect(c.resource, c.user, c.password, &made);
        EXPECT_EQ(hr, c.expected) << c.resource << " user " << (c.user ? c.user : "(none)");
        EXPECT_EQ(made != nullptr, SUCCEEDED(hr)) << c.resource;
        if (made != nullptr) made->Release();
    }
}

TEST_F(SimProvider, MissingStoreFailsLocatorCreation) {
    wmi::UseSimStore(dir.File("absent.db"));
    IWbemLocator* other = reinterpret_cast<IWbemLocator*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&other)),
              WBEM_E_INITIALIZATION_FAILURE);
    EXPECT_EQ(other, nullptr);
}

TEST_F(SimProvider, QueryCallsCheckLanguageFlagsTextAndHost) {
    ConnectHostA();
    IEnumWbemClassObject* e = reinterpret_cast<IEnumWbemClassObject*>(1);
    Bstr sql("SQL"), wql("WQL"), live(LIVE0), bad("SELECT * FROM Win32_NTLogEvent WHERE x");
    EXPECT_EQ(services->ExecQuery(sql, live, 0x30, nullptr, &e), WBEM_E_INVALID_QUERY_TYPE);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(services->ExecNotificationQuery(wql, live, 0, nullptr, &e), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(services->ExecQuery(wql, bad, 0x30, nullptr, &e), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(services->ExecQuery(wql, live, 0x30, nullptr, &e), WBEM_E_INVALID_CLASS);

    ASSERT_EQ(store.setHostUp("10.0.0.5", false), wmi::sim::SimResult::Ok);
    EXPECT_EQ(Exec(LIVE0, true, &e), RPC_S_CALL_FAILED_HR);
    ASSERT_EQ(store.setHostUp("10.0.0.5", true), wmi::sim::SimResult::Ok);
    ASSERT_EQ(Exec(LIVE0, true, &e), S_OK) << "the handle works again once the host is back";
    e->Release();
}

TEST_F(SimProvider, LiveQueryStartsAtNewestRecordAndFilters) {
    Append("10.0.0.5", {MakeEvent("System", 1, 1), MakeEvent("System", 1, 2)});
    ConnectHostA();
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Exec(LIVE0 " AND TargetInstance.LogFile = 'System' AND TargetInstance.EventType <= 2",
                   true, &e),
              S_OK);
    Append("10.0.0.5",
           {MakeEvent("System", 3, 3), MakeEvent("Application", 1, 4), MakeEvent("System", 2, 5),
            MakeEvent("System", 1, 6), MakeEvent("System", 1, 7)});
    HRESULT hr;
    EXPECT_EQ(Poll(e, 0, 2, &hr), (std::vector<int>{5, 6}));
    EXPECT_EQ(hr, WBEM_S_NO_ERROR);
    EXPECT_EQ(Poll(e, 0, 2, &hr), (std::vector<int>{7}));
    EXPECT_EQ(hr, WBEM_S_TIMEDOUT);
    EXPECT_EQ(Poll(e, 0, 50, &hr), (std::vector<int>{}));
    EXPECT_EQ(hr, WBEM_S_TIMEDOUT);
    e->Release();
}

TEST_F(SimProvider, NextWaitsAtMostItsTimeout) {
    ConnectHostA();
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Exec(LIVE0, true, &e), S_OK);
    Append("10.0.0.5", {MakeEvent("System", 1, 1)});
    HRESULT hr;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Poll(e, 300, 5, &hr).size(), 1u);
    auto waited = Clock::now() - start;
    EXPECT_EQ(hr, WBEM_S_TIMEDOUT);
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));

    IWbemClassObject* objects[2];
    ULONG returned = 7;
    EXPECT_EQ(e->Next(0, 0, objects, &returned), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(e->Next(-5, 1, objects, &returned), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(e->Next(0, 1, objects, nullptr), WBEM_E_INVALID_PARAMETER);
    e->Release();
}

TEST_F(SimProvider, LiveQueryLooksOnlyEveryWithinSeconds) {
    ConnectHostA();
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Exec("SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA "
                   "'Win32_NTLogEvent'",
                   true, &e),
              S_OK);
    Append("10.0.0.5", {MakeEvent("System", 1, 1)});
    HRESULT hr;
    EXPECT_TRUE(Poll(e, 0, 1, &hr).empty()) << "found before the first look";
    EXPECT_EQ(hr, WBEM_S_TIMEDOUT);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Poll(e, 5000, 1, &hr), (std::vector<int>{1}));
    EXPECT_EQ(hr, WBEM_S_NO_ERROR);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(4000))
        << "returned when the count was reached";
    e->Release();
}

TEST_F(SimProvider, LiveQuerySeesRecordsAnotherProcessEmits) {
    std::string tool = BuiltProgram("quellon-sim");
    ConnectHostA();
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Exec(LIVE0 " AND TargetInstance.EventType <= 2", true, &e), S_OK);

    std::vector<std::string> args = {
        tool,    "--store", path,     "emit",     "10.0.0.5",
        "--log", "System",  "--type", "2",        "--source",
        "Disk",  "--code",  "51",     "--insert", "\\Device\\Harddisk0"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, tool.c_str(), nullptr, nullptr, argv.data(), environ), 0) << tool;

    IWbemClassObject* objects[4] = {};
    ULONG returned = 0;
    EXPECT_EQ(e->Next(20000, 1, objects, &returned), WBEM_S_NO_ERROR);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(returned, 1u);
    IWbemClassObject* event = TargetOf(objects[0]);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetProperty(event, u"SourceName").text, "Disk");
    EXPECT_EQ(GetProperty(event, u"EventCode").text, "51");
    EXPECT_EQ(GetProperty(event, u"InsertionStrings").text, "[\\Device\\Harddisk0]");
    event->Release();
    ReleaseAll(objects, returned);
    e->Release();
}

TEST_F(SimProvider, LiveQueryKeepsUpWithAConcurrentWriter) {
    ConnectHostA();
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Exec(LIVE0, true, &e), S_OK);
    constexpr int kTotal = 3000;
    // Joined also when an assertion below ends the test early.
    std::jthread writer([this] {
        wmi::sim::SimStore other;
        ASSERT_EQ(other.open(path, false), wmi::sim::SimResult::Ok);
        for (int i = 0; i < kTotal; i += 100) {
            std::vector<SimEvent> batch;
            for (int k = 0; k < 100; ++k)
                batch.push_back(MakeEvent("System", 1 + (i + k) % 5, i + k));
            ASSERT_EQ(other.appendEvents("10.0.0.5", batch), wmi::sim::SimResult::Ok);
        }
    });
    std::vector<int> seen;
    Clock::time_point giveUp = Clock::now() + std::chrono::seconds(60);
    while (seen.size() < kTotal && Clock::now() < giveUp) {
        HRESULT hr;
        std::vector<int> got = Poll(e, 200, 50, &hr);
        ASSERT_TRUE(hr == WBEM_S_NO_ERROR || hr == WBEM_S_TIMEDOUT) << std::hex << hr;
        seen.insert(seen.end(), got.begin(), got.end());
    }
    writer.join();
    ASSERT_EQ(seen.size(), size_t(kTotal));
    for (int i = 0; i < kTotal; ++i) ASSERT_EQ(seen[i], i + 1) << "gap or reorder at " << i;
    e->Release();
}

TEST_F(SimProvider, HostGoingDownOrAwayBreaksRunningQueries) {
    ConnectHostA();
    IEnumWbemClassObject* live = nullptr;
    IEnumWbemClassObject* data = nullptr;
    ASSERT_EQ(Exec(LIVE0, true, &live), S_OK);
    Append("10.0.0.5", {MakeEvent("System", 1, 1)});
    ASSERT_EQ(Exec("SELECT * FROM Win32_NTLogEvent", false, &data), S_OK);
    HRESULT hr;
    EXPECT_EQ(Poll(live, 0, 50, &hr).size(), 1u);

    ASSERT_EQ(store.setHostUp("10.0.0.5", false), wmi::sim::SimResult::Ok);
    EXPECT_TRUE(Poll(live, 0, 50, &hr).empty());
    EXPECT_EQ(hr, RPC_S_CALL_FAILED_HR);
    EXPECT_TRUE(Poll(data, 0, 50, &hr, false).empty());
    EXPECT_EQ(hr, RPC_S_CALL_FAILED_HR);
    ASSERT_EQ(store.setHostUp("10.0.0.5", true), wmi::sim::SimResult::Ok);
    Poll(live, 0, 50, &hr);
    EXPECT_EQ(hr, RPC_S_CALL_FAILED_HR) << "a broken query stays broken";
    live->Release();
    data->Release();

    ASSERT_EQ(Exec(LIVE0, true, &live), S_OK);
    ASSERT_EQ(store.removeHost("10.0.0.5"), wmi::sim::SimResult::Ok);
    Poll(live, 0, 50, &hr);
    EXPECT_EQ(hr, RPC_S_CALL_FAILED_HR);
    live->Release();
}

TEST_F(SimProvider, DataQueryPagesThenEnds) {
    std::vector<SimEvent> history;
    for (int i = 1; i <= 140; ++i) {
        history.push_back(MakeEvent(i % 2 ? "Application" : "System", 1 + i % 5, i,
                                    kNoon + int64_t(i) * 1000000));
    }
    Append("10.0.0.5", history);
    ConnectHostA();

    struct Case {
        const char* where;
        std::vector<std::pair<HRESULT, size_t>> polls;
    };
    const Case cases[] = {
        // Records 1..140 at noon + i seconds; bounds are exclusive.
        {"TimeGenerated > '20240101120000.000000+000' AND TimeGenerated < "
         "'20240101122500.000000+000'",
         {{WBEM_S_NO_ERROR, 50}, {WBEM_S_NO_ERROR, 50}, {WBEM_S_FALSE, 40}, {WBEM_S_FALSE, 0}}},
        // Exactly 100 (records 11..110): the end shows on the poll after.
        {"TimeGenerated > '20240101120010.000000+000' AND TimeGenerated < "
         "'20240101120151.000000+000'",
         {{WBEM_S_NO_ERROR, 50}, {WBEM_S_NO_ERROR, 50}, {WBEM_S_FALSE, 0}}},
        {"TimeGenerated > '20240101120010.000000+000' AND TimeGenerated < "
         "'20240101120151.000000+000' AND LogFile = 'System'",
         {{WBEM_S_NO_ERROR, 50}, {WBEM_S_FALSE, 0}, {WBEM_S_FALSE, 0}}},
        {"TimeGenerated > '20240101130000.000000+000'", {{WBEM_S_FALSE, 0}}},
        {"TimeGenerated > '20240101120100.000000+000' AND TimeGenerated < "
         "'20240101120000.000000+000'",
         {{WBEM_S_FALSE, 0}}},
    };
    for (const Case& c : cases) {
        std::string text = std::string("SELECT * FROM Win32_NTLogEvent WHERE ") + c.where;
        IEnumWbemClassObject* e = nullptr;
        ASSERT_EQ(Exec(text.c_str(), false, &e), S_OK) << text;
        int last = 0;
        for (const auto& [expectedHr, expectedCount] : c.polls) {
            HRESULT hr;
            std::vector<int> got = Poll(e, 0, 50, &hr, false);
            EXPECT_EQ(hr, expectedHr) << text;
            EXPECT_EQ(got.size(), expectedCount) << text;
            for (int n : got) {
                EXPECT_GT(n, last) << "out of record order: " << text;
                last = n;
            }
        }
        e->Release();
    }
}

TEST_F(SimProvider, DataQueryIgnoresRecordsAddedAfterItWasIssued) {
    Append("10.0.0.5", {MakeEvent("System", 1, 1), MakeEvent("System", 1, 2)});
    ConnectHostA();
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Exec("SELECT * FROM Win32_NTLogEvent", false, &e), S_OK);
    Append("10.0.0.5", {MakeEvent("System", 1, 3)});
    HRESULT hr;
    EXPECT_EQ(Poll(e, 0, 50, &hr, false), (std::vector<int>{1, 2}));
    EXPECT_EQ(hr, WBEM_S_FALSE);
    e->Release();
}

TEST_F(SimProvider, ObjectsCarryEveryPropertyWithItsVariantType) {
    SimEvent full = MakeEvent("Security", 5, 4771);
    full.eventIdentifier = 0x80001293;
    full.sourceName = "Microsoft-Windows-Security-Auditing";
    full.timeWritten = kNoon + 2500000;
    full.insertionStrings = std::vector<std::string>{"bob", "CORP"};
    full.message = "Kerberos pre-authentication failed.";
    full.category = 14339;
    full.categoryString = "Kerberos Authentication Service";
    full.user = "CORP\\bob";
    full.computerName = "DC01.corp.example";
    SimEvent bare = MakeEvent("System", 4, 7);
    bare.insertionStrings.reset();
    bare.message.reset();
    bare.user.reset();
    SimEvent emptyList = MakeEvent("System", 3, 8);
    emptyList.insertionStrings = std::vector<std::string>{};
    Append("10.0.0.5", {full, bare, emptyList});
    ConnectHostA();
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Exec("SELECT * FROM Win32_NTLogEvent", false, &e), S_OK);
    IWbemClassObject* objects[3] = {};
    ULONG returned = 0;
    ASSERT_EQ(e->Next(0, 3, objects, &returned), WBEM_S_NO_ERROR);
    ASSERT_EQ(returned, 3u);

    struct Expect {
        int object;
        const char16_t* name;
        VARTYPE vt;
        const char* text;
    };
    const Expect expects[] = {
        {0, u"Category", VT_I4, "14339"},
        {0, u"CategoryString", VT_BSTR, "Kerberos Authentication Service"},
        {0, u"ComputerName", VT_BSTR, "DC01.corp.example"},
        {0, u"EventCode", VT_I4, "4771"},
        {0, u"EventIdentifier", VT_I4, "-2147478893"},
        {0, u"EventType", VT_UI1, "5"},
        {0, u"InsertionStrings", VT_ARRAY | VT_BSTR, "[bob|CORP]"},
        {0, u"Logfile", VT_BSTR, "Security"},
        {0, u"LogFile", VT_BSTR, "Security"},
        {0, u"Message", VT_BSTR, "Kerberos pre-authentication failed."},
        {0, u"RecordNumber", VT_I4, "1"},
        {0, u"SourceName", VT_BSTR, "Microsoft-Windows-Security-Auditing"},
        {0, u"TimeGenerated", VT_BSTR, "20240101120000.000000+000"},
        {0, u"timewritten", VT_BSTR, "20240101120002.500000+000"},
        {0, u"Type", VT_BSTR, "Audit Failure"},
        {0, u"User", VT_BSTR, "CORP\\bob"},
        {0, u"__CLASS", VT_BSTR, "Win32_NTLogEvent"},
        {1, u"InsertionStrings", VT_NULL, "<NULL>"},
        {1, u"Message", VT_NULL, "<NULL>"},
        {1, u"User", VT_NULL, "<NULL>"},
        {1, u"Type", VT_BSTR, "Audit Success"},
        {2, u"InsertionStrings", VT_ARRAY | VT_BSTR, "[]"},
        {2, u"Type", VT_BSTR, "Information"},
    };
    for (const Expect& x : expects) {
        Read r = GetProperty(objects[x.object], x.name);
        std::string name = platform::Utf16ToUtf8(x.name);
        EXPECT_EQ(r.hr, S_OK) << name;
        EXPECT_EQ(r.vt, x.vt) << name;
        EXPECT_EQ(r.text, x.text) << name;
    }
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(objects[0]->Get(u"Data", 0, &v, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(objects[0]->Get(u"TargetInstance", 0, &v, nullptr, nullptr), WBEM_E_NOT_FOUND);
    CIMTYPE type = 0;
    EXPECT_EQ(objects[0]->Get(u"TimeGenerated", 0, nullptr, &type, nullptr), S_OK);
    EXPECT_EQ(type, CIM_DATETIME);
    ReleaseAll(objects, returned);
    e->Release();
}

TEST(StatusCodeText, KnowsTheProviderCodesAndFailsForOthers) {
    IWbemStatusCodeText* status = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemStatusCodeText, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IWbemStatusCodeText, reinterpret_cast<void**>(&status)),
              S_OK);
    const std::pair<HRESULT, const char*> known[] = {
        {RPC_S_SERVER_UNAVAILABLE_HR, "The RPC server is unavailable."},
        {RPC_S_CALL_FAILED_HR, "The remote procedure call failed."},
        {E_ACCESSDENIED, "Access is denied."},
        {WBEM_E_INVALID_QUERY, "Invalid query"},
        {WBEM_E_INVALID_CLASS, "Invalid class"},
        {WBEM_E_INVALID_NAMESPACE, "Invalid namespace"},
        {WBEM_E_LOCAL_CREDENTIALS, "User credentials cannot be used for local connections"},
        {WBEM_E_NOT_FOUND, "Not found"},
    };
    for (const auto& [code, text] : known) {
        BSTR out = nullptr;
        EXPECT_EQ(status->GetErrorCodeText(code, 0, 0, &out), WBEM_S_NO_ERROR) << std::hex << code;
        EXPECT_EQ(wmi::Utf8FromBstr(out), text);
        SysFreeString(out);
    }
    for (HRESULT unknown : {MakeFailure(0x80041099), MakeFailure(0x80070002), S_OK}) {
        BSTR out = nullptr;
        EXPECT_LT(status->GetErrorCodeText(unknown, 0, 0, &out), 0) << std::hex << unknown;
        EXPECT_EQ(out, nullptr);
    }
    status->Release();
    void* other = nullptr;
    EXPECT_EQ(
        CoCreateInstance(IID_IWbemServices, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &other),
        REGDB_E_CLASSNOTREG);
}

TEST_F(SimProvider, BlanketIsRecordedPerProxy) {
    ConnectHostA();
    std::u16string user = u"bob", domain = u"CORP", password = u"secret";
    COAUTHIDENTITY identity{
        reinterpret_cast<USHORT*>(user.data()),     3, reinterpret_cast<USHORT*>(domain.data()), 4,
        reinterpret_cast<USHORT*>(password.data()), 6, SEC_WINNT_AUTH_IDENTITY_UNICODE};
    ASSERT_EQ(
        CoSetProxyBlanket(services, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, nullptr,
                          RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_DEFAULT, &identity, EOAC_NONE),
        S_OK);
    user = u"xxx";  // the proxy keeps its own copy
    DWORD level = 0;
    RPC_AUTH_IDENTITY_HANDLE info = nullptr;
    OLECHAR* principal = reinterpret_cast<OLECHAR*>(1);
    ASSERT_EQ(CoQueryProxyBlanket(services, nullptr, nullptr, &principal, &level, nullptr, &info,
                                  nullptr),
              S_OK);
    EXPECT_EQ(level, RPC_C_AUTHN_LEVEL_PKT);
    EXPECT_EQ(principal, nullptr);
    ASSERT_NE(info, nullptr);
    auto* got = static_cast<COAUTHIDENTITY*>(info);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(got->User), got->UserLength), u"bob");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(got->Domain), got->DomainLength), u"CORP");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(got->Password), got->PasswordLength),
              u"secret");

    ASSERT_EQ(CoSetProxyBlanket(services, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, nullptr,
                                RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_DEFAULT,
                                COLE_DEFAULT_AUTHINFO, EOAC_NONE),
              S_OK);
    ASSERT_EQ(
        CoQueryProxyBlanket(services, nullptr, nullptr, nullptr, nullptr, nullptr, &info, nullptr),
        S_OK);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(
        CoQueryProxyBlanket(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &info, nullptr),
        E_INVALIDARG);
}

}  // namespace
