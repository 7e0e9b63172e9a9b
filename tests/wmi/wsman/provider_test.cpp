// The WS-Management provider against the simulated endpoint over real
// sockets: connection checks and their codes, data queries and
// subscriptions giving the same objects as the simulated provider for the
// same records, faults, a host going away, Release and Unsubscribe.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

#include "tests/platform/eventually.h"
#include "tests/wmi/wsman/wsmanfixture.h"
#include "wmi/callcancel.h"
#include "wmi/sim/ntlogevent.h"
#include "wmi/sim/simprovider.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/httptransport.h"

using simtest::Bstr;
using simtest::GetProperty;
using simtest::MakeEvent;
using simtest::Read;
using wmi::sim::SimResult;

namespace {

const char* const kHost = "127.0.0.2";
const char* const kGuarded = "127.0.0.3";
const char* const kDown = "127.0.0.4";

class WsmanProviderTest : public wsmantest::WsmanFixture {
  protected:
    void SetUp() override {
        WsmanFixture::SetUp();
        AddHost(kHost);
        AddHost(kGuarded, true, "CORP\\bob", "s3cret");
        AddHost(kDown, false);
    }

    // A live query through the polling road beside the same query on the
    // simulated provider.
    void PollLikeASubscription();

    // Runs `body` against an endpoint (over plain HTTP) that answers data
    // queries oldest first, then against one that answers newest first.
    void InEitherAnswerOrder(const std::function<void()>& body) {
        for (bool reversed : {false, true}) {
            SCOPED_TRACE(reversed ? "newest first" : "oldest first");
            newestFirst = reversed;
            if (endpoint) endpoint->Stop();
            StartEndpoint(false);
            body();
        }
    }

    HRESULT Connect(const char* host, IWbemServices** services, const char* user = nullptr,
                    const char* password = nullptr) {
        IWbemLocator* locator = nullptr;
        EXPECT_EQ(wmi::wsman::CreateWsmanLocator(settings, &locator), S_OK);
        std::string path = std::string("\\\\") + host + "\\root\\cimv2";
        Bstr resource(path.c_str()), u(user), p(password);
        HRESULT hr =
            locator->ConnectServer(resource, u, p, nullptr, 0x80, nullptr, nullptr, services);
        locator->Release();
        return hr;
    }

    // A services handle of the simulated provider on the same store, for
    // comparison.
    IWbemServices* SimServices(const char* host, const char* user = nullptr,
                               const char* password = nullptr) {
        IWbemLocator* locator = nullptr;
        EXPECT_EQ(wmi::sim::CreateSimLocator(path, &locator), S_OK);
        std::string p = std::string("\\\\") + host + "\\root\\cimv2";
        Bstr resource(p.c_str()), u(user), pw(password);
        IWbemServices* services = nullptr;
        EXPECT_EQ(locator->ConnectServer(resource, u, pw, nullptr, 0, nullptr, nullptr, &services),
                  S_OK);
        locator->Release();
        return services;
    }

    static HRESULT Query(IWbemServices* services, const char* wql, bool notification,
                         IEnumWbemClassObject** result) {
        Bstr language("WQL"), text(wql);
        return notification ? services->ExecNotificationQuery(language, text, 0x30, nullptr, result)
                            : services->ExecQuery(language, text, 0x30, nullptr, result);
    }

    // Every Win32_NTLogEvent property of `object` (or its TargetInstance)
    // as "name=type:text;" in one line.
    static std::string Describe(IWbemClassObject* object) {
        IWbemClassObject* target = object;
        if (GetProperty(object, u"__CLASS").text == "__InstanceCreationEvent") {
            target = simtest::TargetOf(object);
            if (target == nullptr) return "no target";
        }
        std::string out;
        for (size_t p = 0; p < wmi::cim::kEventPropertyCount; ++p) {
            std::string name = wmi::cim::NameOf(static_cast<wmi::cim::EventProperty>(p));
            std::u16string wide(name.begin(), name.end());
            Read read = GetProperty(target, wide.c_str());
            out += name + "=" + std::to_string(read.vt) + ":" + read.text + ";";
        }
        if (target != object) target->Release();
        return out;
    }

    // Reads everything an enumerator gives until it ends (or `wanted`
    // objects have come), described.
    static std::vector<std::string> Drain(IEnumWbemClassObject* e, size_t wanted = SIZE_MAX,
                                          HRESULT* last = nullptr) {
        std::vector<std::string> out;
        for (int round = 0; round < 200 && out.size() < wanted; ++round) {
            IWbemClassObject* objects[7] = {};
            ULONG n = 0;
            HRESULT hr = e->Next(100, 7, objects, &n);
            for (ULONG i = 0; i < n; ++i) {
                out.push_back(Describe(objects[i]));
                objects[i]->Release();
            }
            if (last != nullptr) *last = hr;
            if (hr != WBEM_S_NO_ERROR && hr != WBEM_S_TIMEDOUT) break;
        }
        return out;
    }
};

TEST_F(WsmanProviderTest, ConnectChecksHostCredentialsAndCertificate) {
    StartEndpoint();
    IWbemServices* services = nullptr;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    services->Release();
    EXPECT_EQ(Connect(kGuarded, &services, "corp\\BOB", "s3cret"), S_OK);
    services->Release();

    struct Case {
        const char* what;
        const char* host;
        const char* user;
        const char* password;
        HRESULT expected;
    };
    const Case cases[] = {
        {"wrong password", kGuarded, "CORP\\bob", "wrong", E_ACCESSDENIED},
        {"no credentials", kGuarded, nullptr, nullptr, E_ACCESSDENIED},
        {"host down", kDown, nullptr, nullptr, RPC_S_SERVER_UNAVAILABLE_HR},
        {"no such host", "127.0.0.9", nullptr, nullptr, RPC_S_SERVER_UNAVAILABLE_HR},
    };
    for (const Case& c : cases) {
        services = nullptr;
        EXPECT_EQ(Connect(c.host, &services, c.user, c.password), c.expected) << c.what;
        EXPECT_EQ(services, nullptr) << c.what;
    }

    // A certificate nobody vouches for is a failure of its own, never a
    // silent downgrade; with verification off it is taken.
    ASSERT_TRUE(wsmantest::MakeCertificate(dir));  // a new key pair: the old file no longer fits
    settings.transport.caFile = dir.File("cert.pem");
    EXPECT_EQ(Connect(kHost, &services), HTTP_E_SECURE_FAILURE_HR);
    settings.transport.verifyPeer = false;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    services->Release();

    // Another namespace is refused before anything is sent.
    IWbemLocator* locator = nullptr;
    ASSERT_EQ(wmi::wsman::CreateWsmanLocator(settings, &locator), S_OK);
    Bstr other("\\\\127.0.0.2\\root\\default");
    EXPECT_EQ(
        locator->ConnectServer(other, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
        WBEM_E_INVALID_NAMESPACE);
    locator->Release();
}

TEST_F(WsmanProviderTest, DataQueryGivesWhatTheSimulatedProviderGives) {
    std::vector<wmi::sim::SimEvent> history;
    for (int i = 0; i < 23; ++i) {
        auto e = MakeEvent(i % 3 ? "System" : "Application", 1 + i % 5, 100 + i,
                           simtest::kNoon + i * 1000000LL);
        if (i % 4 == 0) e.insertionStrings.reset();
        if (i % 4 == 1) e.insertionStrings->clear();
        if (i % 5 == 0) e.message = "line one\r\nline <two> & 'three'";
        if (i % 6 == 0) e.user = "CORP\\svc";
        history.push_back(e);
    }
    Append(kHost, history);
    StartEndpoint();
    IWbemServices* services = nullptr;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    IWbemServices* sim = SimServices(kHost);
    const char* wql =
        "SELECT * FROM Win32_NTLogEvent WHERE TimeGenerated > '20240101120001.000000+000' AND "
        "LogFile = 'System'";
    IEnumWbemClassObject* viaWsman = nullptr;
    IEnumWbemClassObject* direct = nullptr;
    ASSERT_EQ(Query(services, wql, false, &viaWsman), S_OK);
    ASSERT_EQ(Query(sim, wql, false, &direct), S_OK);
    HRESULT last = S_OK;
    std::vector<std::string> got = Drain(viaWsman, SIZE_MAX, &last);
    EXPECT_EQ(last, WBEM_S_FALSE);
    std::vector<std::string> expected = Drain(direct);
    ASSERT_EQ(got.size(), 14u);
    EXPECT_EQ(got, expected);
    // After the end: WBEM_S_FALSE with nothing, and the host has forgotten
    // the enumeration.
    IWbemClassObject* object = nullptr;
    ULONG n = 7;
    EXPECT_EQ(viaWsman->Next(100, 1, &object, &n), WBEM_S_FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(endpoint->OpenContexts(), 0u);
    viaWsman->Release();
    direct->Release();

    // An enumerator released before its end sends Release.
    ASSERT_EQ(Query(services, wql, false, &viaWsman), S_OK);
    ASSERT_EQ(viaWsman->Next(1000, 1, &object, &n), S_OK);
    object->Release();
    EXPECT_EQ(endpoint->OpenContexts(), 1u);
    viaWsman->Release();
    EXPECT_EQ(endpoint->OpenContexts(), 0u);

    // Faults carry WMI's own codes.
    IEnumWbemClassObject* bad = nullptr;
    EXPECT_EQ(Query(services, "SELECT * FROM Win32_NTLogEvent WHERE Nonsense = 1", false, &bad),
              WBEM_E_INVALID_QUERY);
    EXPECT_EQ(Query(services, "SELECT * FROM Win32_Nothing", false, &bad), WBEM_E_INVALID_CLASS);
    EXPECT_EQ(Query(services,
                    "SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE "
                    "TargetInstance ISA 'Win32_NTLogEvent' AND TargetInstance.Bad = 1",
                    true, &bad),
              WBEM_E_INVALID_QUERY);
    EXPECT_EQ(bad, nullptr);
    sim->Release();
    services->Release();
}

TEST_F(WsmanProviderTest, SubscriptionDeliversNewRecordsAsTheSimulatedProviderDoes) {
    Append(kHost, {MakeEvent("System", 3, 1)});
    StartEndpoint();
    IWbemServices* services = nullptr;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    IWbemServices* sim = SimServices(kHost);
    const char* wql =
        "SELECT * FROM __InstanceCreationEvent WITHIN 0 WHERE TargetInstance ISA "
        "'Win32_NTLogEvent' AND TargetInstance.EventType <= 2";
    IEnumWbemClassObject* viaWsman = nullptr;
    IEnumWbemClassObject* direct = nullptr;
    ASSERT_EQ(Query(services, wql, true, &viaWsman), S_OK);
    ASSERT_EQ(Query(sim, wql, true, &direct), S_OK);
    EXPECT_EQ(endpoint->OpenContexts(), 1u);

    // Nothing new yet: timed out with nothing.
    IWbemClassObject* object = nullptr;
    ULONG n = 7;
    EXPECT_EQ(viaWsman->Next(50, 1, &object, &n), WBEM_S_TIMEDOUT);
    EXPECT_EQ(n, 0u);

    auto withStrings = MakeEvent("Security", 1, 4625);
    withStrings.insertionStrings = std::vector<std::string>{"a", "", "c&d"};
    Append(kHost, {MakeEvent("System", 3, 2), withStrings, MakeEvent("System", 2, 3),
                   MakeEvent("Application", 2, 4)});
    std::vector<std::string> got = Drain(viaWsman, 3);
    std::vector<std::string> expected = Drain(direct, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got, expected);
    EXPECT_NE(got[0].find("InsertionStrings=8200:[a||c&d]"), std::string::npos) << got[0];

    // The host goes down: the next poll fails as the simulated one does.
    ASSERT_EQ(store.setHostUp(kHost, false), SimResult::Ok);
    HRESULT failed = S_OK;
    EXPECT_TRUE(Eventually([&] {
        failed = viaWsman->Next(50, 1, &object, &n);
        return FAILED(failed);
    }));
    EXPECT_EQ(failed, RPC_S_CALL_FAILED_HR);
    viaWsman->Release();
    direct->Release();
    sim->Release();
    services->Release();
}

// A host that refuses event subscriptions (as Windows before Server 2012
// does): the live query is polled with data queries and delivers, once each
// and in the order they were written, what a subscription would have,
// whether the host answers the data queries oldest or newest first.
TEST_F(WsmanProviderTest, RefusedSubscriptionsAreReplacedByPolling) {
    eventing = false;
    InEitherAnswerOrder([this] { PollLikeASubscription(); });
}

void WsmanProviderTest::PollLikeASubscription() {
    IWbemServices* services = nullptr;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    IWbemServices* sim = SimServices(kHost);
    // The conditions are carried into the data query (a quote and a
    // backslash in a value included).
    const char* simple =
        "SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA "
        "'Win32_NTLogEvent' AND TargetInstance.LogFile <> 'It\\'s \\\\ here' AND "
        "TargetInstance.EventType <= 2";
    IEnumWbemClassObject* polled = nullptr;
    IEnumWbemClassObject* direct = nullptr;
    ASSERT_EQ(Query(services, simple, true, &polled), S_OK);
    ASSERT_EQ(Query(sim, simple, true, &direct), S_OK);
    EXPECT_EQ(endpoint->OpenContexts(), 0u);
    const int64_t soon = wmi::cim::NowMicros() + 1000000;
    Append(kHost, {MakeEvent("System", 3, 1, soon), MakeEvent("System", 2, 2, soon),
                   MakeEvent("Application", 1, 3, soon + 1), MakeEvent("System", 1, 4, soon + 2),
                   MakeEvent("System", 2, 5, soon + 3)});
    std::vector<std::string> got = Drain(polled, 4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got, Drain(direct, 4));
    // Nothing is delivered twice.
    IWbemClassObject* object = nullptr;
    ULONG n = 7;
    EXPECT_EQ(polled->Next(1500, 1, &object, &n), WBEM_S_TIMEDOUT);
    EXPECT_EQ(n, 0u);
    polled->Release();
    direct->Release();
    sim->Release();
    services->Release();
}

// Windows stamps TimeWritten in whole seconds: a record written in the
// second a polled subscription began, after it began, carries the start of
// that second, and is delivered all the same.
TEST_F(WsmanProviderTest, PollingFindsARecordStampedWithTheSecondItBegan) {
    eventing = false;
    StartEndpoint(false);
    IWbemServices* services = nullptr;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    // Subscribes early in a second, so that the record is written in the
    // same one.
    while (wmi::cim::NowMicros() % 1000000 > 300000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    IEnumWbemClassObject* polled = nullptr;
    ASSERT_EQ(Query(services,
                    "SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA "
                    "'Win32_NTLogEvent'",
                    true, &polled),
              S_OK);
    const int64_t second = wmi::cim::NowMicros() / 1000000 * 1000000;
    Append(kHost, {MakeEvent("System", 3, 7, second)});
    std::vector<std::string> got = Drain(polled, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("Source 7"), std::string::npos) << got[0];
    polled->Release();
    services->Release();
}

// A host that takes 3.5 s to answer any Pull, with an operation time-out
// of 5 s: a data query read without waiting (as a replay reads) or with a
// short wait (as a catch-up reads) still gets its records, and a
// subscription's Pull its "nothing yet"; the request's deadline follows
// the operation time-out, not the caller's wait. A cancelled call ends
// long before the host would answer.
TEST_F(WsmanProviderTest, SlowHostIsGivenTheOperationTimeout) {
    Append(kHost, {MakeEvent("System", 3, 1), MakeEvent("System", 3, 2)});
    slowPullMs = 3500;
    StartEndpoint(false);
    IWbemServices* services = nullptr;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    struct Case {
        const char* wql;
        bool notification;
        LONG wait;  // what Next is given
        HRESULT expected;
        ULONG records;
    } cases[] = {
        {"SELECT * FROM Win32_NTLogEvent", false, 0, WBEM_S_FALSE, 2},
        {"SELECT * FROM Win32_NTLogEvent", false, 100, WBEM_S_FALSE, 2},
        {"SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA "
         "'Win32_NTLogEvent'",
         true, 0, WBEM_S_TIMEDOUT, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.wql) + " waiting " + std::to_string(c.wait));
        IEnumWbemClassObject* e = nullptr;
        ASSERT_EQ(Query(services, c.wql, c.notification, &e), S_OK);
        IWbemClassObject* objects[5] = {};
        ULONG n = 0;
        EXPECT_EQ(e->Next(c.wait, 5, objects, &n), c.expected);
        EXPECT_EQ(n, c.records);
        for (ULONG i = 0; i < n; ++i) objects[i]->Release();
        e->Release();
    }

    // A DELETE's cancellation ends the Pull waiting on the slow host.
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Query(services, "SELECT * FROM Win32_NTLogEvent", false, &e), S_OK);
    wmi::CallCancel cancel;
    std::thread deleter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.Cancel();
    });
    IWbemClassObject* objects[5] = {};
    ULONG n = 0;
    {
        wmi::CallCancelScope scope(cancel);
        EXPECT_EQ(e->Next(0, 5, objects, &n), WBEM_E_CALL_CANCELLED);
    }
    deleter.join();
    EXPECT_EQ(n, 0u);
    e->Release();
    services->Release();
}

// A log whose numbers wrap from 4294967295 to 0 within one TimeWritten
// second: a polled subscription hands out each of its records once, in the
// order written, whichever order the host answers in.
TEST_F(WsmanProviderTest, PollingOrdersAWrappedLogWithinASecond) {
    eventing = false;
    InEitherAnswerOrder([this] {
        IWbemServices* services = nullptr;
        ASSERT_EQ(Connect(kHost, &services), S_OK);
        IEnumWbemClassObject* polled = nullptr;
        ASSERT_EQ(Query(services,
                        "SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA "
                        "'Win32_NTLogEvent' AND TargetInstance.LogFile = 'System'",
                        true, &polled),
                  S_OK);
        // The next record of the host is 4294967294 (then 4294967295, 0, 1).
        Append(kHost, {MakeEvent("Setup", 3, 0)});
        ASSERT_EQ(store.renumberRecords(kHost, 4294967293LL), SimResult::Ok);
        const int64_t second = (wmi::cim::NowMicros() / 1000000 + 1) * 1000000;
        Append(kHost, {MakeEvent("System", 3, 11, second), MakeEvent("System", 3, 12, second),
                       MakeEvent("System", 3, 13, second), MakeEvent("System", 3, 14, second)});
        std::vector<std::string> got = Drain(polled, 4);
        ASSERT_EQ(got.size(), 4u);
        // RecordNumber comes as VT_I4: 4294967294 and 4294967295 read -2, -1.
        const char* numbers[] = {"RecordNumber=3:-2;", "RecordNumber=3:-1;", "RecordNumber=3:0;",
                                 "RecordNumber=3:1;"};
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_NE(got[i].find(numbers[i]), std::string::npos) << i << ": " << got[i];
        }
        IWbemClassObject* object = nullptr;
        ULONG n = 7;
        EXPECT_EQ(polled->Next(1500, 1, &object, &n), WBEM_S_TIMEDOUT);
        EXPECT_EQ(n, 0u);
        polled->Release();
        services->Release();
        int64_t removed = 0;
        ASSERT_EQ(store.clearLog(kHost, "", removed), SimResult::Ok);
    });
}

TEST_F(WsmanProviderTest, ReleasingASubscriptionUnsubscribes) {
    StartEndpoint(false);
    IWbemServices* services = nullptr;
    ASSERT_EQ(Connect(kHost, &services), S_OK);
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Query(services,
                    "SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA "
                    "'Win32_NTLogEvent'",
                    true, &e),
              S_OK);
    EXPECT_EQ(endpoint->OpenContexts(), 1u);
    e->Release();
    EXPECT_EQ(endpoint->OpenContexts(), 0u);
    services->Release();
}

}  // namespace

namespace {

// NTLM over plain HTTP: the handshake through gss-ntlmssp on both sides and
// every message sealed; the host's required user decides as with Basic.
TEST_F(WsmanProviderTest, NtlmWithSealedMessagesOverPlainHttp) {
    Append(kGuarded, {MakeEvent("System", 2, 1), MakeEvent("Application", 1, 2)});
    StartEndpoint(false, "ntlm");
    IWbemServices* services = nullptr;
    EXPECT_EQ(Connect(kGuarded, &services, "CORP\\bob", "wrong"), E_ACCESSDENIED);
    EXPECT_EQ(Connect(kGuarded, &services, "CORP\\eve", "s3cret"), E_ACCESSDENIED);
    // negotiate finds no Kerberos realm CORP here and takes NTLM.
    settings.transport.auth = "negotiate";
    ASSERT_EQ(Connect(kGuarded, &services, "CORP\\bob", "s3cret"), S_OK);
    services->Release();
    settings.transport.auth = "ntlm";
    ASSERT_EQ(Connect(kGuarded, &services, "CORP\\bob", "s3cret"), S_OK);
    IWbemServices* sim = SimServices(kGuarded, "CORP\\bob", "s3cret");
    const char* wql = "SELECT * FROM Win32_NTLogEvent";
    IEnumWbemClassObject* viaWsman = nullptr;
    IEnumWbemClassObject* direct = nullptr;
    ASSERT_EQ(Query(services, wql, false, &viaWsman), S_OK);
    ASSERT_EQ(Query(sim, wql, false, &direct), S_OK);
    std::vector<std::string> got = Drain(viaWsman);
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(got, Drain(direct));
    viaWsman->Release();
    direct->Release();

    // Subscriptions from several threads share the host's connections.
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            IEnumWbemClassObject* e = nullptr;
            ASSERT_EQ(Query(services,
                            "SELECT * FROM __InstanceCreationEvent WITHIN 0 WHERE "
                            "TargetInstance ISA 'Win32_NTLogEvent'",
                            true, &e),
                      S_OK);
            IWbemClassObject* object = nullptr;
            ULONG n = 0;
            EXPECT_EQ(e->Next(20, 1, &object, &n), WBEM_S_TIMEDOUT);
            e->Release();
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(endpoint->OpenContexts(), 0u);
    sim->Release();
    services->Release();
}

// A host that closes every connection as soon as it has authenticated it:
// the sealed request finds its connection gone twice (the second time on
// the connection authenticated anew) and never goes out on a connection of
// no context. The failure says what happened, not that the listener is
// stopping.
TEST_F(WsmanProviderTest, SealedRequestDroppedTwiceIsReportedAsSuch) {
    closeAfterHandshake = true;
    StartEndpoint(false, "ntlm");
    wmi::wsman::Transport transport(kGuarded, settings.transport, "CORP\\bob", "s3cret");
    wmi::wsman::HttpOutcome outcome = transport.Post(wmi::wsman::IdentifyRequest(), 5000);
    EXPECT_EQ(outcome.kind, wmi::wsman::HttpOutcome::Kind::Unreachable) << outcome.error;
    EXPECT_EQ(outcome.error.find("stopping"), std::string::npos) << outcome.error;
    EXPECT_NE(outcome.error.find("the host closed the authenticated connection"), std::string::npos)
        << outcome.error;
    EXPECT_EQ(endpoint->SealedWithoutContext(), 0u);
}

}  // namespace

namespace {

// Kerberos with a throw-away MIT KDC on loopback (tests/wmi/wsman/
// start-kdc.sh): the endpoint accepts with its keytab, the provider asks for
// a ticket with the user's password, or takes the process's own ticket
// cache when no user is given; messages are sealed over plain HTTP.
class WsmanKerberosTest : public WsmanProviderTest {
  protected:
    void SetUp() override {
        WsmanProviderTest::SetUp();
        AddHost(kKerberized, true, "bob@QUELLON.TEST", "kpw");
        int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        int port = ntohs(address.sin_port);
        close(probe);
        const char* src = std::getenv("QUELLON_SOURCE_DIR");
        std::string script = std::string(src != nullptr ? src : QUELLON_TEST_SOURCE_ROOT) +
                             "/tests/wmi/wsman/start-kdc.sh";
        std::string command =
            script + " " + dir.path() + " " + std::to_string(port) + " " + kKerberized + " bob kpw";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        kdc = std::stoi(ReadWholeFile(dir.File("kdc.pid")));
        setenv("KRB5_CONFIG", dir.File("krb5.conf").c_str(), 1);
        setenv("KRB5_KTNAME", dir.File("http.keytab").c_str(), 1);
        setenv("KRB5CCNAME", ("FILE:" + dir.File("ccache")).c_str(), 1);
    }

    void TearDown() override {
        WsmanProviderTest::TearDown();
        if (kdc > 0) {
            kill(kdc, SIGTERM);
            waitpid(kdc, nullptr, 0);
        }
        unsetenv("KRB5_CONFIG");
        unsetenv("KRB5_KTNAME");
        unsetenv("KRB5CCNAME");
    }

    static constexpr const char* kKerberized = "127.0.0.5";
    pid_t kdc = 0;
};

TEST_F(WsmanKerberosTest, PasswordTicketCacheAndSealedMessages) {
    Append(kKerberized, {MakeEvent("System", 2, 1), MakeEvent("Security", 4, 4624)});
    StartEndpoint(false, "negotiate");
    settings.transport.auth = "kerberos";
    IWbemServices* services = nullptr;
    EXPECT_EQ(Connect(kKerberized, &services, "bob@QUELLON.TEST", "wrong"), E_ACCESSDENIED);
    ASSERT_EQ(Connect(kKerberized, &services, "bob@QUELLON.TEST", "kpw"), S_OK);
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(Query(services, "SELECT * FROM Win32_NTLogEvent", false, &e), S_OK);
    HRESULT last = S_OK;
    EXPECT_EQ(Drain(e, SIZE_MAX, &last).size(), 2u);
    EXPECT_EQ(last, WBEM_S_FALSE);
    e->Release();
    services->Release();

    // No user: the ticket the process already holds.
    std::string kinit = "echo kpw | KRB5_CONFIG=" + dir.File("krb5.conf") +
                        " kinit bob@QUELLON.TEST >/dev/null 2>&1";
    ASSERT_EQ(std::system(kinit.c_str()), 0);
    ASSERT_EQ(Connect(kKerberized, &services), S_OK);
    services->Release();

    // negotiate takes Kerberos when it can.
    settings.transport.auth = "negotiate";
    ASSERT_EQ(Connect(kKerberized, &services, "bob@QUELLON.TEST", "kpw"), S_OK);
    services->Release();
}

}  // namespace

namespace {

// The WSMAN.* keys: defaults, ranges, and no password in clear text unless
// asked for.
TEST(WsmanSettingsTest, KeysDefaultsAndRefusals) {
    struct Case {
        std::map<std::string, std::string> keys;
        bool ok;
        const char* errorPart;
    };
    const Case cases[] = {
        {{}, true, ""},
        {{{"WSMAN.TRANSPORT", "HTTPS"}, {"WSMAN.AUTH", "Basic"}}, true, ""},
        {{{"WSMAN.AUTH", "basic"}}, false, "clear text"},
        {{{"WSMAN.AUTH", "basic"}, {"WSMAN.ALLOWUNENCRYPTED", "true"}}, true, ""},
        {{{"WSMAN.TRANSPORT", "ftp"}}, false, "WSMAN.TRANSPORT"},
        {{{"WSMAN.AUTH", "digest"}}, false, "WSMAN.AUTH"},
        {{{"WSMAN.PORT", "70000"}}, false, "WSMAN.PORT"},
        {{{"WSMAN.MAXELEMENTS", "0"}}, false, "WSMAN.MAXELEMENTS"},
        {{{"WSMAN.OPERATIONTIMEOUT", "x"}}, false, "WSMAN.OPERATIONTIMEOUT"},
        {{{"WSMAN.VERIFYPEER", "maybe"}}, false, "WSMAN.VERIFYPEER"},
    };
    for (const Case& c : cases) {
        auto lookup = [&](const char* key, const char* fallback) {
            auto it = c.keys.find(key);
            return it == c.keys.end() ? std::string(fallback) : it->second;
        };
        wmi::wsman::WsmanSettings settings;
        std::string error;
        EXPECT_EQ(wmi::wsman::ReadWsmanSettings(lookup, settings, error), c.ok) << error;
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    }
    wmi::wsman::WsmanSettings settings;
    std::string error;
    auto none = [](const char*, const char* fallback) { return std::string(fallback); };
    ASSERT_TRUE(wmi::wsman::ReadWsmanSettings(none, settings, error));
    EXPECT_FALSE(settings.transport.https);
    EXPECT_EQ(settings.transport.port, 5985);
    EXPECT_EQ(settings.transport.auth, "negotiate");
    EXPECT_TRUE(settings.transport.verifyPeer);
    EXPECT_EQ(settings.maxElements, 50u);
    EXPECT_EQ(settings.operationTimeoutMs, 60000);
    auto https = [](const char* key, const char* fallback) {
        return std::string(key) == "WSMAN.TRANSPORT" ? std::string("https") : std::string(fallback);
    };
    ASSERT_TRUE(wmi::wsman::ReadWsmanSettings(https, settings, error));
    EXPECT_EQ(settings.transport.port, 5986);
}

}  // namespace
