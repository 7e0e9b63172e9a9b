// Throughput and idle cost of the simulated hosts' live queries.
//
//   LiveNext/...      events per second through Next(1000 ms, 50) on one live
//                     query while `quellon-sim play` writes the host at full
//                     speed in another process (a writer thread when the tool
//                     is not next to this program). "items_per_second" is per
//                     CPU second of the polling thread; the "events_per_wall_s"
//                     counter is what it actually received per real second.
//   LiveNextBacklog   the same Next on a backlog of new records, no writer
//                     running: items_per_second is per real second.
//   IdlePoll/...      CPU cost of one Next(0, 50) that finds nothing new,
//                     with WITHIN 0 (the store is asked on every call) and
//                     WITHIN 60 (only the host's state is checked).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <wbemidl.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "bench/wmibench.h"
#include "platform/paths.h"
#include "tests/app/tempdir.h"
#include "wmi/sim/simprovider.h"
#include "wmi/sim/simstore.h"

extern char** environ;

namespace {

using wmi::sim::SimEvent;
using wmi::sim::SimStore;

constexpr const char* kHost = "10.0.0.5";

// A store in a temporary folder with one host and a history of kBatch
// records to play.
struct BenchStore {
    static constexpr int kBatch = 1000;

    BenchStore() {
        SimStore store;
        store.open(path, true);
        wmi::sim::SimHost host;
        host.name = kHost;
        host.computerName = "BENCH";
        store.addHost(host);
        AppendBatch(store);
    }

    // Appends kBatch new records to the host in one transaction.
    static void AppendBatch(SimStore& store) {
        std::vector<SimEvent> batch;
        for (int i = 0; i < kBatch; ++i) batch.push_back(BenchEvent(i));
        store.appendEvents(kHost, batch);
    }

    TempDir dir;
    const std::string path = dir.File("hosts.db");
};

IWbemServices* Connect(const std::string& store) {
    IWbemLocator* locator = nullptr;
    wmi::sim::CreateSimLocator(store, &locator);
    BSTR resource = wmi::BstrFromUtf8(std::string("\\\\") + kHost + "\\root\\cimv2");
    IWbemServices* services = nullptr;
    locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0x80, nullptr, nullptr, &services);
    SysFreeString(resource);
    locator->Release();
    return services;
}

IEnumWbemClassObject* LiveQuery(IWbemServices* services, int within) {
    std::string text = "SELECT * FROM __InstanceCreationEvent WITHIN " + std::to_string(within) +
                       " WHERE TargetInstance ISA 'Win32_NTLogEvent'";
    BSTR language = SysAllocString(u"WQL");
    BSTR query = wmi::BstrFromUtf8(text);
    IEnumWbemClassObject* e = nullptr;
    services->ExecNotificationQuery(language, query, 0x30, nullptr, &e);
    SysFreeString(language);
    SysFreeString(query);
    return e;
}

// Writes the host at full speed until destroyed: `quellon-sim play` when it
// is built next to this program, else a thread of this process.
class Writer {
  public:
    explicit Writer(const std::string& store) {
        std::string tool = platform::JoinPath(platform::ProgramDirectory(), "../quellon-sim");
        if (std::filesystem::exists(tool)) {
            std::vector<std::string> args = {tool, "--store", store, "play", kHost};
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            posix_spawn_file_actions_t quiet;
            posix_spawn_file_actions_init(&quiet);
            posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
            if (posix_spawn(&child, tool.c_str(), &quiet, nullptr, argv.data(), environ) != 0) {
                child = 0;
            }
            posix_spawn_file_actions_destroy(&quiet);
        }
        if (child == 0) {
            thread = std::thread([this, store] {
                SimStore s;
                s.open(store, false);
                while (!stop) BenchStore::AppendBatch(s);
            });
        }
    }
    ~Writer() {
        if (child != 0) {
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
        } else {
            stop = true;
            thread.join();
        }
    }
    bool external() const { return child != 0; }

  private:
    pid_t child = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
};

void LiveNext(benchmark::State& state) {
    const bool readProperties = state.range(0) != 0;
    BenchStore store;
    IWbemServices* services = Connect(store.path);
    IEnumWbemClassObject* e = LiveQuery(services, 0);
    int64_t received = 0;
    {
        Writer writer(store.path);
        state.SetLabel(writer.external() ? "quellon-sim play" : "writer thread");
        auto start = std::chrono::steady_clock::now();
        IWbemClassObject* objects[50];
        for (auto _ : state) {
            ULONG returned = 0;
            e->Next(1000, 50, objects, &returned);
            for (ULONG i = 0; i < returned; ++i) {
                if (readProperties) ReadSixProperties(objects[i]);
                objects[i]->Release();
            }
            received += returned;
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["events_per_wall_s"] = received / seconds;
    }
    int64_t newest = 0;
    SimStore check;
    check.open(store.path, false);
    check.newestRecord(kHost, newest);
    state.counters["written"] = static_cast<double>(newest - BenchStore::kBatch);
    state.SetItemsProcessed(received);
    e->Release();
    services->Release();
}
BENCHMARK(LiveNext)->Arg(0)->Arg(1)->ArgName("read_properties")->MinTime(3.0);

// Next alone, without a writer competing for the machine: the host holds a
// backlog of new records (refilled, outside the timing, when drained).
void LiveNextBacklog(benchmark::State& state) {
    BenchStore store;
    IWbemServices* services = Connect(store.path);
    IEnumWbemClassObject* e = LiveQuery(services, 0);
    SimStore writer;
    writer.open(store.path, false);
    auto refill = [&] {
        for (int k = 0; k < 50; ++k) BenchStore::AppendBatch(writer);
    };
    refill();
    int64_t received = 0;
    IWbemClassObject* objects[50];
    for (auto _ : state) {
        ULONG returned = 0;
        e->Next(0, 50, objects, &returned);
        for (ULONG i = 0; i < returned; ++i) objects[i]->Release();
        received += returned;
        if (returned < 50) {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(received);
    e->Release();
    services->Release();
}
BENCHMARK(LiveNextBacklog)->UseRealTime()->MinTime(2.0);

void IdlePoll(benchmark::State& state) {
    BenchStore store;
    IWbemServices* services = Connect(store.path);
    IEnumWbemClassObject* e = LiveQuery(services, static_cast<int>(state.range(0)));
    IWbemClassObject* objects[50];
    for (auto _ : state) {
        ULONG returned = 0;
        benchmark::DoNotOptimize(e->Next(0, 50, objects, &returned));
    }
    e->Release();
    services->Release();
}
BENCHMARK(IdlePoll)->Arg(0)->Arg(60)->ArgName("within");

}  // namespace

BENCHMARK_MAIN();
