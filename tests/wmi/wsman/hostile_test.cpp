// The provider against a hostile endpoint: a real HTTP server on loopback
// that answers Identify and Enumerate properly and then sends, for the Pull,
// something no Windows host would. Each case must end that one enumerator
// with a clear failure (and bounded memory: answers are cut off at the
// transport's limit), while the services handle keeps working for the next
// query.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/wmi/simfixture.h"
#include "wmi/callcancel.h"
#include "wmi/sim/wsman/serverenvelope.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/httptransport.h"
#include "wmi/wsman/wsmanprovider.h"

using simtest::Bstr;
using simtest::GetProperty;
using namespace wmi::wsman;

namespace {

const char* const kItem =
    "<p:Win32_NTLogEvent xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/"
    "Win32_NTLogEvent\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<p:EventCode>7</p:EventCode><p:Logfile>System</p:Logfile>%EXTRA%</p:Win32_NTLogEvent>";

std::string PullWith(const std::string& items) {
    std::string answer = PullResponse("m", "ctx", {}, false);
    answer.replace(answer.find("<n:Items></n:Items>"), 19, "<n:Items>" + items + "</n:Items>");
    return answer;
}

std::string Item(const std::string& extra) {
    std::string item = kItem;
    item.replace(item.find("%EXTRA%"), 7, extra);
    return item;
}

std::string Http(const std::string& body, const char* type = kSoapContentType, int status = 200) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// What the server does with a Pull.
enum class Mode {
    Truncated,
    Malformed,
    Huge,
    Endless,
    WrongType,
    UnknownProperties,
    BadValue,
    Trickle,  // a good answer, one byte every 200 ms
    Silent,   // announces a body (within the size limit) and sends none of it
};

class HostileServer {
  public:
    explicit HostileServer(Mode m) : mode(m) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.5", &address.sin_addr);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener, 8), 0);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        thread = std::thread([this] { Run(); });
    }
    ~HostileServer() {
        stopping = true;
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }

    uint16_t port = 0;
    std::atomic<int> pulls{0};  // Pull requests received

  private:
    void Run() {
        while (!stopping) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) return;
            Serve(fd);
            close(fd);
        }
    }

    // Answers requests on one connection until it closes.
    void Serve(int fd) {
        std::string in;
        char buffer[65536];
        for (;;) {
            size_t end;
            while ((end = in.find("\r\n\r\n")) == std::string::npos) {
                ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                in.append(buffer, static_cast<size_t>(n));
            }
            size_t lengthAt = in.find("Content-Length: ");
            size_t length = lengthAt < end ? std::stoul(in.substr(lengthAt + 16)) : 0;
            while (in.size() < end + 4 + length) {
                ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                in.append(buffer, static_cast<size_t>(n));
            }
            std::string body = in.substr(end + 4, length);
            in.erase(0, end + 4 + length);
            if (!Answer(fd, body)) return;
        }
    }

    bool Send(int fd, const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    bool Answer(int fd, const std::string& request) {
        if (request.find("Identify") != std::string::npos) {
            return Send(fd, Http(IdentifyResponse("hostile")));
        }
        if (request.find(kActionEnumerate) != std::string::npos) {
            return Send(fd, Http(EnumerateResponse("m", "ctx")));
        }
        if (request.find(kActionRelease) != std::string::npos) {
            return Send(fd, Http(ReleaseResponse("m")));
        }
        ++pulls;
        std::string good = PullWith(Item(""));
        switch (mode) {
            case Mode::Truncated: {
                std::string whole = Http(good);
                // Promise the whole answer, send half, close.
                Send(fd, whole.substr(0, whole.size() - good.size() / 2));
                return false;
            }
            case Mode::Malformed:
                return Send(fd, Http(good.substr(0, good.size() / 2) + "</s:Body></s:Envelope>"));
            case Mode::Huge: {
                std::string head =
                    "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n"
                    "Content-Length: 104857600\r\n\r\n";
                if (!Send(fd, head)) return false;
                std::string block(1 << 20, ' ');
                for (int i = 0; i < 100 && !stopping; ++i) {
                    if (!Send(fd, block)) return false;
                }
                return false;
            }
            case Mode::Endless: {
                if (!Send(fd,
                          "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n")) {
                    return false;
                }
                std::string chunk = "10000\r\n" + std::string(0x10000, '<') + "\r\n";
                while (!stopping && Send(fd, chunk)) {
                }
                return false;
            }
            case Mode::WrongType:
                return Send(fd, Http("<html><body>Proxy error</body></html>", "text/html", 200));
            case Mode::UnknownProperties:
                return Send(
                    fd,
                    Http(PullWith(Item("<p:Data>1</p:Data><p:Data>2</p:Data><p:NewThing xsi:nil="
                                       "\"true\"/><p:Nested><p:Deep>x</p:Deep></p:Nested>"))));
            case Mode::BadValue:
                return Send(fd, Http(PullWith(Item("<p:RecordNumber>lots</p:RecordNumber>"))));
            case Mode::Trickle: {
                const std::string whole = Http(good);
                for (char c : whole) {
                    if (stopping || !Send(fd, std::string(1, c))) return false;
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                }
                return true;
            }
            case Mode::Silent: {
                if (!Send(fd,
                          "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n"
                          "Content-Length: 524288\r\n\r\n")) {
                    return false;
                }
                // Until the client gives up and closes.
                char byte;
                while (!stopping && recv(fd, &byte, 1, 0) > 0) {
                }
                return false;
            }
        }
        return false;
    }

    const Mode mode;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// Connects to the hostile server and runs one data query's first Next.
// Services of \\127.0.0.5 through `server`, with Basic over HTTP and the
// given operation time-out; null when the connection failed.
IWbemServices* ConnectTo(const HostileServer& server, int operationTimeoutMs) {
    WsmanSettings settings;
    settings.transport.port = server.port;
    settings.transport.auth = "basic";
    settings.allowUnencrypted = true;
    settings.operationTimeoutMs = operationTimeoutMs;
    settings.transport.maxResponse = 1 << 20;
    IWbemLocator* locator = nullptr;
    EXPECT_EQ(CreateWsmanLocator(settings, &locator), S_OK);
    if (locator == nullptr) return nullptr;
    Bstr resource("\\\\127.0.0.5\\root\\cimv2");
    IWbemServices* services = nullptr;
    EXPECT_EQ(
        locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
        S_OK);
    locator->Release();
    return services;
}

HRESULT FirstNext(Mode mode, IWbemClassObject** object) {
    HostileServer server(mode);
    Bstr language("WQL"), wql("SELECT * FROM Win32_NTLogEvent");
    IWbemServices* services = ConnectTo(server, 2000);
    if (services == nullptr) return E_FAIL;
    IEnumWbemClassObject* e = nullptr;
    EXPECT_EQ(services->ExecQuery(language, wql, 0x30, nullptr, &e), S_OK);
    ULONG n = 0;
    HRESULT hr = e->Next(1000, 1, object, &n);
    if (FAILED(hr)) {
        EXPECT_EQ(n, 0u);
        // Broken for good: the same failure again, at once.
        EXPECT_EQ(e->Next(1000, 1, object, &n), hr);
    }
    e->Release();
    // The services handle still works for the next query.
    IEnumWbemClassObject* again = nullptr;
    EXPECT_EQ(services->ExecQuery(language, wql, 0x30, nullptr, &again), S_OK);
    if (again != nullptr) again->Release();
    services->Release();
    return hr;
}

TEST(WsmanHostileEndpointTest, EachBadAnswerFailsOnlyItsEnumerator) {
    struct Case {
        const char* what;
        Mode mode;
        HRESULT expected;
    };
    const Case cases[] = {
        {"truncated envelope", Mode::Truncated, HTTP_E_INVALID_SERVER_RESPONSE_HR},
        {"malformed envelope", Mode::Malformed, HTTP_E_INVALID_SERVER_RESPONSE_HR},
        {"100 MB answer", Mode::Huge, HTTP_E_INVALID_SERVER_RESPONSE_HR},
        {"endless chunked body", Mode::Endless, HTTP_E_INVALID_SERVER_RESPONSE_HR},
        {"wrong content type", Mode::WrongType, HTTP_E_INVALID_SERVER_RESPONSE_HR},
    };
    for (const Case& c : cases) {
        IWbemClassObject* object = nullptr;
        EXPECT_EQ(FirstNext(c.mode, &object), c.expected) << c.what;
        EXPECT_EQ(object, nullptr) << c.what;
    }
}

// A value of the wrong type spoils its record alone: the answer is read, the
// record comes as one whose properties cannot be read (the engine skips it)
// and the enumerator goes on.
TEST(WsmanHostileEndpointTest, AValueOfTheWrongTypeSpoilsOnlyItsRecord) {
    IWbemClassObject* object = nullptr;
    const HRESULT hr = FirstNext(Mode::BadValue, &object);
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    ASSERT_NE(object, nullptr);
    for (const char16_t* name : {u"RecordNumber", u"EventCode", u"InsertionStrings"}) {
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(object->Get(name, 0, &value, nullptr, nullptr), WBEM_E_INVALID_OBJECT);
        VariantClear(&value);
    }
    object->Release();
}

// A host that trickles its answer, or announces a body it never sends, is
// given up at the request's one deadline: the operation time-out of the
// call (1 s) plus a small margin, not a time-out per read or per attempt.
TEST(WsmanHostileEndpointTest, SlowAnswersFailAtTheRequestsDeadline) {
    const struct {
        const char* what;
        Mode mode;
    } cases[] = {{"one byte every 200 ms", Mode::Trickle},
                 {"announced body never sent", Mode::Silent}};
    for (const auto& c : cases) {
        IWbemClassObject* object = nullptr;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(FirstNext(c.mode, &object), RPC_S_CALL_FAILED_HR) << c.what;
        EXPECT_EQ(object, nullptr) << c.what;
        // Two Nexts, each ended at its deadline (about 4 s).
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(14)) << c.what;
    }
}

// At shutdown the listener aborts what is in flight: a Pull waiting on a
// host that never sends its answer ends at once, not at its one-minute
// deadline, and nothing more goes out until the abort is lifted.
TEST(WsmanHostileEndpointTest, AbortAllEndsRequestsInFlight) {
    HostileServer server(Mode::Silent);
    Bstr language("WQL"), wql("SELECT * FROM Win32_NTLogEvent");
    IWbemServices* services = ConnectTo(server, 60000);
    ASSERT_NE(services, nullptr);
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(services->ExecQuery(language, wql, 0x30, nullptr, &e), S_OK);
    HRESULT hr = S_OK;
    std::thread pulling([&] {
        IWbemClassObject* object = nullptr;
        ULONG n = 0;
        hr = e->Next(WBEM_INFINITE, 1, &object, &n);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    Transport::AbortAll(true);
    pulling.join();
    // Well inside the Pull's one-minute deadline, however loaded the machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(hr, RPC_S_CALL_FAILED_HR);
    IEnumWbemClassObject* again = nullptr;
    EXPECT_EQ(services->ExecQuery(language, wql, 0x30, nullptr, &again), RPC_S_CALL_FAILED_HR);
    e->Release();
    services->Release();
    Transport::AbortAll(false);
}

// A DELETE's way in: cancelling a caller's CallCancel ends its Pull waiting
// on a host that never sends its answer (its deadline a minute away), and
// every call it makes from then on, while a call of another caller on the
// same services handle still goes out and is answered.
TEST(WsmanHostileEndpointTest, CallCancelEndsOnlyItsCallersRequests) {
    HostileServer server(Mode::Silent);
    Bstr language("WQL"), wql("SELECT * FROM Win32_NTLogEvent");
    IWbemServices* services = ConnectTo(server, 60000);
    ASSERT_NE(services, nullptr);
    IEnumWbemClassObject* e = nullptr;
    ASSERT_EQ(services->ExecQuery(language, wql, 0x30, nullptr, &e), S_OK);
    wmi::CallCancel cancel;
    HRESULT pulled = S_OK, afterwards = S_OK;
    IEnumWbemClassObject* refused = nullptr;
    std::thread caller([&] {
        wmi::CallCancelScope scope(cancel);
        IWbemClassObject* object = nullptr;
        ULONG n = 0;
        pulled = e->Next(WBEM_INFINITE, 1, &object, &n);
        afterwards = services->ExecQuery(language, wql, 0x30, nullptr, &refused);
    });
    while (server.pulls.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cancel.Cancel();
    caller.join();
    EXPECT_EQ(pulled, WBEM_E_CALL_CANCELLED);
    EXPECT_EQ(afterwards, WBEM_E_CALL_CANCELLED);
    EXPECT_EQ(refused, nullptr);
    // Another caller, with no CallCancel in force, is not cancelled.
    IEnumWbemClassObject* other = nullptr;
    EXPECT_EQ(services->ExecQuery(language, wql, 0x30, nullptr, &other), S_OK);
    if (other != nullptr) other->Release();
    e->Release();
    services->Release();
}

// Properties the provider does not know (Windows' own Data, or a newer
// host's additions) do not stop the record: they read as the host sent them.
TEST(WsmanHostileEndpointTest, UnknownPropertiesAreCarriedNotFatal) {
    IWbemClassObject* object = nullptr;
    EXPECT_EQ(FirstNext(Mode::UnknownProperties, &object), WBEM_S_NO_ERROR);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(GetProperty(object, u"EventCode").text, "7");
    EXPECT_EQ(GetProperty(object, u"Data").text, "[1|2]");
    EXPECT_EQ(GetProperty(object, u"NewThing").vt, VT_NULL);
    EXPECT_EQ(GetProperty(object, u"Nested").vt, VT_UNKNOWN);
    object->Release();
}

}  // namespace
