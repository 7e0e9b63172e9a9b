#include "wmi/wmiconnector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/logger.h"
#include "platform/text.h"
#include "tests/app/capturesink.h"
#include "tests/wmi/simfixture.h"
#include "wmi/comobject.h"
#include "wmi/locatorfactory.h"

using namespace simtest;

namespace {

// Installs a TRACE logger for one test and removes it afterwards.
class LoggedTest : public SimStoreFixture {
  protected:
    void SetUp() override {
        SimStoreFixture::SetUp();
        g_logger = new CLogger(dir.File("test.log"), "TRACE");
        g_logger->AddSink(&sink);
    }
    void TearDown() override {
        delete g_logger;
        g_logger = nullptr;
        wmi::UseSimStore("");
        wmi::SetLocatorFactory(nullptr);
    }
    CaptureSink sink;
};

class Pool : public LoggedTest {
  protected:
    void SetUp() override {
        LoggedTest::SetUp();
        AddHost("10.0.0.5");
        AddHost("secure", true, "CORP\\alice", "s3cr3t-A");
        AddHost("downhost", false);
        AddHost("localhost");
        wmi::UseSimStore(path);
    }

    // The identity the blanket of `proxy` holds: "domain|user|password", or
    // "default".
    static std::string Identity(IUnknown* proxy) {
        RPC_AUTH_IDENTITY_HANDLE info = nullptr;
        EXPECT_EQ(
            CoQueryProxyBlanket(proxy, nullptr, nullptr, nullptr, nullptr, nullptr, &info, nullptr),
            S_OK);
        if (info == nullptr) return "default";
        auto* id = static_cast<COAUTHIDENTITY*>(info);
        auto text = [](USHORT* s, ULONG n) {
            return platform::Utf16ToUtf8(std::u16string_view(reinterpret_cast<char16_t*>(s), n));
        };
        return text(id->Domain, id->DomainLength) + "|" + text(id->User, id->UserLength) + "|" +
               text(id->Password, id->PasswordLength);
    }

    static bool Works(IWbemServices* services) {
        Bstr language("WQL"), query("SELECT * FROM Win32_NTLogEvent");
        IEnumWbemClassObject* e = nullptr;
        HRESULT hr = services->ExecQuery(language, query, 0x30, nullptr, &e);
        if (e != nullptr) e->Release();
        return hr == S_OK;
    }

    CWmiConnector pool;
};

TEST(WmiConnectorNames, NamespacePathAndKey) {
    EXPECT_EQ(CWmiConnector::NamespacePath("h", "root\\cimv2"), "\\\\h\\root\\cimv2");
    EXPECT_EQ(CWmiConnector::NamespacePath("h", "\\root\\cimv2"), "\\\\h\\root\\cimv2");
    EXPECT_EQ(CWmiConnector::ConnectionKey("\\\\h\\root\\cimv2", "u", "p"),
              "\\\\h\\root\\cimv2?u?p");
    EXPECT_EQ(CWmiConnector::ConnectionKey("\\\\h\\root\\cimv2", "", ""), "\\\\h\\root\\cimv2??");
}

TEST_F(Pool, SameHostAndCredentialsShareOneHandle) {
    const std::string path = "\\\\10.0.0.5\\root\\cimv2";
    IWbemServices* first = nullptr;
    IWbemServices* second = nullptr;
    ASSERT_EQ(pool.connect(&first, "10.0.0.5", "root\\cimv2", "", "", 0x80), 1);
    EXPECT_NE(sink.Text().find("Connection does not exist for {\\\\10.0.0.5\\root\\cimv2, } - "),
              std::string::npos);
    ASSERT_EQ(pool.connect(&second, "10.0.0.5", "root\\cimv2", "", "", 0x80), 1);
    EXPECT_EQ(first, second);
    EXPECT_EQ(pool.ReferenceCount(path, "", ""), 2);
    EXPECT_NE(sink.Text().find(
                  "New Reference count for existing connection: {\\\\10.0.0.5\\root\\cimv2,} is 2"),
              std::string::npos);
    EXPECT_EQ(Identity(first), "default");

    EXPECT_TRUE(pool.disconnect("10.0.0.5", "root\\cimv2", "", ""));
    EXPECT_EQ(pool.ReferenceCount(path, "", ""), 1);
    EXPECT_TRUE(Works(first)) << "the handle survives the first disconnect";

    IWbemServices* again = nullptr;
    ASSERT_EQ(pool.connect(&again, "10.0.0.5", "\\root\\cimv2", "", "", 0x80), 1);
    EXPECT_EQ(again, first) << "a reconnect while others hold it gets the same handle";
    EXPECT_EQ(pool.ReferenceCount(path, "", ""), 2);

    EXPECT_TRUE(pool.disconnect("10.0.0.5", "root\\cimv2", "", ""));
    EXPECT_TRUE(pool.disconnect("10.0.0.5", "root\\cimv2", "", ""));
    EXPECT_EQ(pool.ReferenceCount(path, "", ""), 0);
    EXPECT_FALSE(pool.disconnect("10.0.0.5", "root\\cimv2", "", "")) << "nothing left to drop";
}

TEST_F(Pool, DifferentCredentialsGetTheirOwnConnection) {
    IWbemServices* a = nullptr;
    IWbemServices* b = nullptr;
    IWbemServices* c = nullptr;
    ASSERT_EQ(pool.connect(&a, "10.0.0.5", "root\\cimv2", "u", "one", 0x80), 1);
    ASSERT_EQ(pool.connect(&b, "10.0.0.5", "root\\cimv2", "u", "two", 0x80), 1);
    ASSERT_EQ(pool.connect(&c, "10.0.0.5", "root\\cimv2", "U", "one", 0x80), 1);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c) << "keys compare case-sensitively";
    EXPECT_EQ(pool.ReferenceCount("\\\\10.0.0.5\\root\\cimv2", "u", "one"), 1);
    EXPECT_FALSE(pool.disconnect("10.0.0.5", "root\\cimv2", "u", "three"));
}

TEST_F(Pool, FailuresReturnTheNegativeCodeAndEnterNothing) {
    struct Case {
        const char* host;
        const char* user;
        const char* password;
        HRESULT expected;
    };
    const Case cases[] = {
        {"downhost", "", "", RPC_S_SERVER_UNAVAILABLE_HR},
        {"nosuch", "", "", RPC_S_SERVER_UNAVAILABLE_HR},
        {"secure", "CORP\\alice", "wrong-pw", E_ACCESSDENIED},
        {"secure", "alice", "s3cr3t-A", E_ACCESSDENIED},
    };
    for (const Case& c : cases) {
        IWbemServices* services = reinterpret_cast<IWbemServices*>(1);
        EXPECT_EQ(pool.connect(&services, c.host, "root\\cimv2", c.user, c.password, 0x80),
                  c.expected)
            << c.host;
        EXPECT_EQ(services, nullptr) << c.host;
        EXPECT_EQ(pool.ReferenceCount(CWmiConnector::NamespacePath(c.host, "root\\cimv2"), c.user,
                                      c.password),
                  0);
    }
    EXPECT_NE(sink.Text().find("WmiConnector: Connection failed to {\\\\downhost\\root\\cimv2, }"),
              std::string::npos);
}

TEST_F(Pool, UserIsPassedWholeAndSplitForTheBlanket) {
    IWbemServices* services = nullptr;
    // The host checks the whole "CORP\alice" text, so a split user would be refused.
    ASSERT_EQ(pool.connect(&services, "secure", "root\\cimv2", "CORP\\alice", "s3cr3t-A", 0x80), 1);
    EXPECT_EQ(Identity(services), "CORP|alice|s3cr3t-A");
    EXPECT_NE(sink.Text().find("WmiConnector: user=alice; domain=CORP"), std::string::npos);

    EXPECT_EQ(pool.setProxyBlanket(services, "bob", "pw"), S_OK);
    EXPECT_EQ(Identity(services), "|bob|pw") << "no backslash: empty domain";
    EXPECT_EQ(pool.setProxyBlanket(services, "A\\B\\c", ""), S_OK);
    EXPECT_EQ(Identity(services), "A|B\\c|") << "split at the first backslash";
    EXPECT_EQ(pool.setProxyBlanket(services, "", ""), S_OK);
    EXPECT_EQ(Identity(services), "default");
}

TEST_F(Pool, LocalCredentialsAreRetriedWithoutThem) {
    IWbemServices* services = nullptr;
    ASSERT_EQ(pool.connect(&services, "localhost", "root\\cimv2", "CORP\\bob", "hunter2-B", 0x80),
              1);
    ASSERT_NE(services, nullptr);
    EXPECT_TRUE(Works(services));
    EXPECT_EQ(Identity(services), "CORP|bob|hunter2-B")
        << "the blanket still carries the given user";
    EXPECT_NE(sink.Text().find("WmiConnector: Retrying connection to {\\\\localhost\\root\\cimv2, "
                               "CORP\\bob} as local, failed as remote"),
              std::string::npos);
    EXPECT_EQ(pool.ReferenceCount("\\\\localhost\\root\\cimv2", "CORP\\bob", "hunter2-B"), 1);
}

TEST_F(Pool, NoLogLineCarriesAPassword) {
    IWbemServices* services = nullptr;
    pool.connect(&services, "secure", "root\\cimv2", "CORP\\alice", "s3cr3t-A", 0x80);
    pool.connect(&services, "secure", "root\\cimv2", "CORP\\alice", "s3cr3t-A", 0x80);
    pool.connect(&services, "secure", "root\\cimv2", "CORP\\alice", "wrong-pw-Z", 0x80);
    pool.connect(&services, "localhost", "root\\cimv2", "CORP\\bob", "hunter2-B", 0x80);
    pool.connect(&services, "downhost", "root\\cimv2", "x", "down-pw-Q", 0x80);
    pool.disconnect("secure", "root\\cimv2", "CORP\\alice", "s3cr3t-A");
    std::string log = sink.Text();
    ASSERT_NE(log.find("CORP\\alice"), std::string::npos) << "the user is logged";
    for (const char* secret : {"s3cr3t-A", "wrong-pw-Z", "hunter2-B", "down-pw-Q"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in:\n" << log;
    }
}

// ---- Platform misbehaviour, through a locator of the test's own ----------

std::atomic<int> g_liveServices{0};

class FakeServices : public wmi::ComObject<IWbemServices> {
  public:
    FakeServices() { ++g_liveServices; }
    ~FakeServices() override { --g_liveServices; }
    HRESULT ExecQuery(BSTR, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
        return WBEM_E_FAILED;
    }
    HRESULT ExecNotificationQuery(BSTR, BSTR, LONG, IWbemContext*,
                                  IEnumWbemClassObject**) override {
        return WBEM_E_FAILED;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemServices; }
};

// Services that are no proxy: the blanket cannot be read.
class NoProxyServices : public IWbemServices {
  public:
    NoProxyServices() { ++g_liveServices; }
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
    HRESULT ExecQuery(BSTR, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
        return WBEM_E_FAILED;
    }
    HRESULT ExecNotificationQuery(BSTR, BSTR, LONG, IWbemContext*,
                                  IEnumWbemClassObject**) override {
        return WBEM_E_FAILED;
    }

  protected:
    ~NoProxyServices() override { --g_liveServices; }

  private:
    std::atomic<ULONG> refs{1};
};

enum class Behaviour { Normal, NullHandle, NoProxy, Slow };

// What the last ConnectServer call received ("(none)" for a null text).
struct ConnectCall {
    std::string resource, user, password;
    LONG flags = 0;
};
ConnectCall g_lastCall;

std::string TextOrNone(BSTR text) { return text == nullptr ? "(none)" : wmi::Utf8FromBstr(text); }

class FakeLocator : public wmi::ComObject<IWbemLocator> {
  public:
    explicit FakeLocator(Behaviour b) : behaviour(b) {}
    HRESULT ConnectServer(BSTR resource, BSTR user, BSTR password, BSTR, LONG flags, BSTR,
                          IWbemContext*, IWbemServices** services) override {
        *services = nullptr;
        if (behaviour == Behaviour::Normal) {
            g_lastCall = {TextOrNone(resource), TextOrNone(user), TextOrNone(password), flags};
        }
        switch (behaviour) {
            case Behaviour::NullHandle:
                return S_OK;
            case Behaviour::NoProxy:
                *services = new NoProxyServices();
                return S_OK;
            case Behaviour::Slow:
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                break;
            case Behaviour::Normal:
                break;
        }
        *services = new FakeServices();
        return S_OK;
    }

  protected:
    const IID& InterfaceId() const override { return IID_IWbemLocator; }

  private:
    Behaviour behaviour;
};

class PoolWithFakes : public LoggedTest {
  protected:
    void Use(Behaviour b) {
        wmi::SetLocatorFactory([b](IWbemLocator** out) {
            *out = new FakeLocator(b);
            return S_OK;
        });
    }
    CWmiConnector pool;
};

TEST_F(PoolWithFakes, ConnectServerGetsThePathAndTheUserUnsplit) {
    Use(Behaviour::Normal);
    IWbemServices* services = nullptr;
    ASSERT_EQ(pool.connect(&services, "h", "root\\cimv2", "", "", 0x80), 1);
    EXPECT_EQ(g_lastCall.resource, "\\\\h\\root\\cimv2");
    EXPECT_EQ(g_lastCall.user, "(none)");
    EXPECT_EQ(g_lastCall.password, "(none)");
    EXPECT_EQ(g_lastCall.flags, 0x80);
    ASSERT_EQ(pool.connect(&services, "h", "root\\cimv2", "CORP\\x", "pw", 0x80), 1);
    EXPECT_EQ(g_lastCall.user, "CORP\\x");
    EXPECT_EQ(g_lastCall.password, "pw");
    ASSERT_EQ(pool.connect(&services, "h", "root\\cimv2", "x", "", 0x80), 1);
    EXPECT_EQ(g_lastCall.password, "(none)") << "an empty password is passed as none";
}

TEST_F(PoolWithFakes, SuccessWithoutAHandleIsAFailure) {
    Use(Behaviour::NullHandle);
    IWbemServices* services = nullptr;
    EXPECT_LT(pool.connect(&services, "h", "root\\cimv2", "", "", 0x80), 0);
    EXPECT_EQ(services, nullptr);
    EXPECT_EQ(pool.ReferenceCount("\\\\h\\root\\cimv2", "", ""), 0);
    EXPECT_NE(sink.Text().find("INFO"), std::string::npos);
    EXPECT_NE(
        sink.Text().find(
            "WmiConnector: ConnectServer OK but wbemServices == NULL for \\\\h\\root\\cimv2 "),
        std::string::npos);
}

TEST_F(PoolWithFakes, BlanketFailureReleasesTheNewHandle) {
    Use(Behaviour::NoProxy);
    int before = g_liveServices;
    IWbemServices* services = reinterpret_cast<IWbemServices*>(1);
    EXPECT_EQ(pool.connect(&services, "h", "root\\cimv2", "u", "p", 0x80), E_NOINTERFACE);
    EXPECT_EQ(services, nullptr);
    EXPECT_EQ(g_liveServices, before);
    std::string log = sink.Text();
    EXPECT_NE(log.find("WmiConnector: Failed in CoQueryProxyBlanket()"), std::string::npos);
    EXPECT_NE(log.find("WmiConnector: Failed to negotiate proxy blanket on {\\\\h\\root\\cimv2, u} "
                       "after connecting"),
              std::string::npos);
}

TEST_F(PoolWithFakes, LocatorFailureIsReported) {
    wmi::SetLocatorFactory([](IWbemLocator**) { return REGDB_E_CLASSNOTREG; });
    IWbemServices* services = nullptr;
    EXPECT_EQ(pool.connect(&services, "h", "root\\cimv2", "u", "p", 0x80), REGDB_E_CLASSNOTREG);
    EXPECT_NE(sink.Text().find("WmiConnector: Connection failed to {\\\\h\\root\\cimv2, u} - could "
                               "not get IID_IWBEMLocator interface"),
              std::string::npos);
}

TEST_F(PoolWithFakes, ConcurrentConnectsOfOneKeyShareOneHandle) {
    Use(Behaviour::Slow);
    constexpr int kThreads = 8;
    IWbemServices* got[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(
            [&, i] { EXPECT_EQ(pool.connect(&got[i], "h", "root\\cimv2", "u", "p", 0x80), 1); });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 1; i < kThreads; ++i) EXPECT_EQ(got[i], got[0]);
    EXPECT_EQ(pool.ReferenceCount("\\\\h\\root\\cimv2", "u", "p"), kThreads);
    EXPECT_EQ(g_liveServices, 1) << "the losers of the race released their own handles";
    for (int i = 0; i < kThreads; ++i) EXPECT_TRUE(pool.disconnect("h", "root\\cimv2", "u", "p"));
    EXPECT_EQ(g_liveServices, 0);
}

}  // namespace
