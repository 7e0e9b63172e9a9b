// Events per second through the WS-Management provider, side by side with
// the simulated provider, and the CPU cost of the XML path.
//
//   BacklogNext/sim          Next(1000 ms, 50) on a live query of the
//                            simulated provider, over a backlog of new
//                            records (refilled outside the timing), six
//                            properties read per event as the engine does.
//   BacklogNext/wsman_...    the same through the WS-Management provider and
//                            the simulated endpoint (in this process, on
//                            loopback): road 1 NTLM over plain HTTP with
//                            every message sealed, road 2 Basic over HTTPS,
//                            road 3 Basic over plain HTTP; roads 4 and 5
//                            the event log resource (a Sysmon channel:
//                            a subscription to it, rendered Event XML) as
//                            roads 1 and 2.
//                            items_per_second is per real second and
//                            includes the endpoint's own work on this
//                            machine.
//   ParsePull                ParseResponse of a Pull answer with 50 events
//                            and reading six properties of each:
//                            items_per_second per CPU second of the XML
//                            path alone.
#include <benchmark/benchmark.h>
#include <wbemidl.h>

#include <cstdlib>
#include <memory>

#include "bench/wmibench.h"
#include "tests/app/tempdir.h"
#include "wmi/sim/ntlogevent.h"
#include "wmi/sim/simprovider.h"
#include "wmi/sim/simstore.h"
#include "wmi/sim/wsman/endpoint.h"
#include "wmi/sim/wsman/serverenvelope.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/wsmanobject.h"
#include "wmi/wsman/wsmanprovider.h"

namespace {

using wmi::sim::SimEvent;
using wmi::sim::SimStore;

constexpr const char* kHost = "127.0.0.2";
constexpr int kBacklog = 5000;

constexpr const char* kChannel = "Microsoft-Windows-Sysmon/Operational";

// The same records as channel events: the provider, its GUID, level, task,
// keywords, process and thread, the insertion strings as named data.
SimEvent ChannelEvent(int i) {
    SimEvent e = BenchEvent(i);
    e.logFile = kChannel;
    e.eventType = 3;
    e.typeText = "Information";
    wmi::sim::SimChannelFields c;
    c.providerName = "Microsoft-Windows-Sysmon";
    c.providerGuid = "{5770385F-C22A-43E0-BF4C-06F5698FFBD9}";
    c.version = 5;
    c.level = 4;
    c.task = 1;
    c.keywords = 0x8000000000000000ULL;
    c.processId = 1048;
    c.threadId = 1684;
    c.eventData = {{"ServiceName", (*e.insertionStrings)[0]}, {"State", (*e.insertionStrings)[1]}};
    e.channel = std::move(c);
    return e;
}

void Append(SimStore& store, int count, bool channel) {
    std::vector<SimEvent> batch;
    for (int i = 0; i < count; ++i) batch.push_back(channel ? ChannelEvent(i) : BenchEvent(i));
    store.appendEvents(kHost, batch);
}

// One store with one loopback host, the endpoint serving it, and a
// throw-away certificate for HTTPS.
struct Setup {
    Setup(bool https, const std::string& auth) {
        store.open(path, true);
        wmi::sim::SimHost host;
        host.name = kHost;
        host.computerName = "BENCH";
        host.user = "BENCH\\reader";
        host.password = "bench";
        store.addHost(host);
        wmi::wsman::EndpointOptions options;
        options.storePath = path;
        options.port = 0;
        options.auth = auth;
        if (auth != "basic") {
            // The process names the endpoint's user file for gss-ntlmssp.
            options.ntlmUserFile = dir.File("ntlm-users");
            setenv("NTLM_USER_FILE", options.ntlmUserFile.c_str(), 1);
        }
        if (https) {
            std::string command =
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                "-days 2 -subj /CN=bench -addext subjectAltName=IP:127.0.0.2 -keyout " +
                dir.File("key.pem") + " -out " + dir.File("cert.pem") + " 2>/dev/null";
            if (std::system(command.c_str()) != 0) return;
            options.certFile = dir.File("cert.pem");
            options.keyFile = dir.File("key.pem");
        }
        endpoint = std::make_unique<wmi::wsman::Endpoint>(options);
        std::string error;
        if (!endpoint->Start(error)) endpoint.reset();
        settings.transport.https = https;
        settings.transport.port = endpoint ? endpoint->Port() : 1;
        settings.transport.auth = auth;
        settings.transport.caFile = https ? dir.File("cert.pem") : "";
        settings.allowUnencrypted = true;
    }

    TempDir dir;
    std::string path = dir.File("hosts.db");
    SimStore store;
    std::unique_ptr<wmi::wsman::Endpoint> endpoint;
    wmi::wsman::WsmanSettings settings;
};

// 0: simulated provider, 1: NTLM over HTTP (sealed), 2: Basic over HTTPS,
// 3: Basic over HTTP; 4 and 5: as 1 and 2 on a channel.
void BacklogNext(benchmark::State& state) {
    const int road = static_cast<int>(state.range(0));
    const bool channel = road >= 4;
    Setup setup(road == 2 || road == 5, road == 1 || road == 4 ? "ntlm" : "basic");
    IWbemLocator* locator = nullptr;
    if (road == 0) {
        wmi::sim::CreateSimLocator(setup.path, &locator);
    } else {
        wmi::wsman::CreateWsmanLocator(setup.settings, &locator);
    }
    BSTR resource = wmi::BstrFromUtf8(std::string("\\\\") + kHost + "\\root\\cimv2");
    BSTR user = wmi::BstrFromUtf8("BENCH\\reader");
    BSTR password = wmi::BstrFromUtf8("bench");
    BSTR language = SysAllocString(u"WQL");
    BSTR query = wmi::BstrFromUtf8(
        std::string("SELECT * FROM __InstanceCreationEvent WITHIN 0 WHERE TargetInstance ISA "
                    "'Win32_NTLogEvent'") +
        (channel ? std::string(" AND TargetInstance.Logfile = '") + kChannel + "'" : ""));
    // A channel the host has (one it holds a record of).
    if (channel) Append(setup.store, 1, true);
    IWbemServices* services = nullptr;
    IEnumWbemClassObject* e = nullptr;
    if (locator == nullptr ||
        FAILED(locator->ConnectServer(resource, user, password, nullptr, 0x80, nullptr, nullptr,
                                      &services)) ||
        FAILED(services->ExecNotificationQuery(language, query, 0x30, nullptr, &e))) {
        state.SkipWithError("cannot connect or subscribe");
    } else {
        const char* const kLabels[] = {"sim",
                                       "wsman http ntlm sealed",
                                       "wsman https basic",
                                       "wsman http basic",
                                       "wsman channel http ntlm sealed",
                                       "wsman channel https basic"};
        state.SetLabel(kLabels[road]);
        int64_t received = 0, left = 0;
        IWbemClassObject* objects[50];
        for (auto _ : state) {
            if (left <= 0) {
                state.PauseTiming();
                Append(setup.store, kBacklog, channel);
                left = kBacklog;
                state.ResumeTiming();
            }
            ULONG returned = 0;
            e->Next(1000, 50, objects, &returned);
            for (ULONG i = 0; i < returned; ++i) {
                ReadSixProperties(objects[i]);
                objects[i]->Release();
            }
            received += returned;
            left -= returned;
        }
        state.SetItemsProcessed(received);
    }
    if (e != nullptr) e->Release();
    if (services != nullptr) services->Release();
    if (locator != nullptr) locator->Release();
    SysFreeString(resource);
    SysFreeString(user);
    SysFreeString(password);
    SysFreeString(language);
    SysFreeString(query);
}
BENCHMARK(BacklogNext)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Arg(4)
    ->Arg(5)
    ->ArgName("road")
    ->UseRealTime()
    ->MinTime(2.0);

void ParsePull(benchmark::State& state) {
    std::vector<std::string> items;
    for (int i = 0; i < 50; ++i) {
        IWbemClassObject* object =
            wmi::sim::MakeCreationEvent(wmi::sim::MakeLogEventObject(BenchEvent(i)));
        items.emplace_back();
        wmi::wsman::InstanceXml(object, items.back());
        object->Release();
    }
    const std::string answer = wmi::wsman::PullResponse("uuid:m", "uuid:c", items, false);
    for (auto _ : state) {
        wmi::wsman::Response response;
        std::string error;
        wmi::wsman::ParseResponse(answer, response, error);
        for (wmi::wsman::Instance& item : response.items) {
            IWbemClassObject* object =
                wmi::wsman::MakeObject(std::make_shared<wmi::wsman::Instance>(std::move(item)));
            ReadSixProperties(object);
            object->Release();
        }
    }
    state.SetItemsProcessed(state.iterations() * 50);
    state.counters["answer_bytes"] = static_cast<double>(answer.size());
}
BENCHMARK(ParsePull);

}  // namespace

BENCHMARK_MAIN();
