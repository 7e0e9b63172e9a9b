// Costs of the simulated hosts' store and of the .evtx import.
//
//   Append/N          appendEvents of N events in one transaction (items: events).
//   PollNewer         eventsAfter(newest - 50, 50) on a host of 100000 records
//                     beside another host of 100000: the live query's poll.
//   PollNothingNew    eventsAfter(newest, 50): a poll that finds nothing.
//   NewestRecord      newestRecord of that host.
//   WindowFirstPage   eventsBetween over a window of 1000 of those records,
//                     first page of 50; WindowLastPage the last page.
//   ImportSamples     ReadEvtxFile + appendEvents of every sample .evtx file
//                     (items: records).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "wmi/sim/evtximport.h"
#include "wmi/sim/simstore.h"

namespace fs = std::filesystem;
using namespace wmi::sim;

namespace {

constexpr int64_t kRecords = 100000;

std::string TempDir() {
    char pattern[] = "/tmp/simstore-bench-XXXXXX";
    const char* d = mkdtemp(pattern);
    return d ? d : "/tmp";
}

SimEvent Event(int64_t i) {
    SimEvent e;
    e.logFile = i % 3 ? "System" : "Security";
    e.eventCode = static_cast<uint32_t>(7000 + i % 50);
    e.eventIdentifier = e.eventCode | 0x40000000u;
    e.eventType = static_cast<int>(1 + i % 5);
    e.sourceName = "Service Control Manager";
    e.timeGenerated = 1600000000000000 + i * 1000000;
    e.timeWritten = e.timeGenerated;
    e.insertionStrings = std::vector<std::string>{"Windows Update", "running", std::to_string(i)};
    e.computerName = "BENCH-HOST";
    return e;
}

// A store with hosts "a" and "b" of kRecords records each, built once.
class BigStore {
  public:
    static BigStore& Get() {
        static BigStore instance;
        return instance;
    }
    ~BigStore() {
        store.close();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    SimStore store;

  private:
    BigStore() : dir(TempDir()) {
        store.open(dir + "/big.db", true);
        for (const char* name : {"a", "b"}) {
            SimHost h;
            h.name = name;
            store.addHost(h);
        }
        for (int64_t start = 0; start < kRecords; start += 1000) {
            for (const char* name : {"a", "b"}) {
                std::vector<SimEvent> batch;
                for (int64_t i = start; i < start + 1000; ++i) {
                    batch.push_back(Event(i));
                }
                store.appendEvents(name, batch);
            }
        }
    }
    std::string dir;
};

void Append(benchmark::State& state) {
    const std::string dir = TempDir();
    SimStore store;
    store.open(dir + "/append.db", true);
    SimHost h;
    h.name = "h";
    store.addHost(h);
    std::vector<SimEvent> batch;
    for (int64_t i = 0; i < state.range(0); ++i) {
        batch.push_back(Event(i));
    }
    for (auto _ : state) {
        std::vector<SimEvent> copy = batch;
        if (store.appendEvents("h", copy) != SimResult::Ok) {
            state.SkipWithError("append failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    store.close();
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(Append)->Arg(1)->Arg(50)->Arg(1000);

void PollNewer(benchmark::State& state) {
    SimStore& store = BigStore::Get().store;
    std::vector<SimEvent> out;
    for (auto _ : state) {
        store.eventsAfter("a", kRecords - 50, 50, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(PollNewer);

void PollNothingNew(benchmark::State& state) {
    SimStore& store = BigStore::Get().store;
    std::vector<SimEvent> out;
    for (auto _ : state) {
        store.eventsAfter("a", kRecords, 50, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(PollNothingNew);

void NewestRecord(benchmark::State& state) {
    SimStore& store = BigStore::Get().store;
    int64_t newest = 0;
    for (auto _ : state) {
        store.newestRecord("a", newest);
        benchmark::DoNotOptimize(newest);
    }
}
BENCHMARK(NewestRecord);

void Window(benchmark::State& state, int64_t after) {
    SimStore& store = BigStore::Get().store;
    const int64_t from = Event(50000).timeGenerated;
    const int64_t to = Event(50999).timeGenerated;
    std::vector<SimEvent> out;
    for (auto _ : state) {
        store.eventsBetween("a", from, to, after, 50, out);
        benchmark::DoNotOptimize(out.data());
    }
}
void WindowFirstPage(benchmark::State& state) { Window(state, 0); }
void WindowLastPage(benchmark::State& state) { Window(state, 50000 + 950); }
BENCHMARK(WindowFirstPage);
BENCHMARK(WindowLastPage);

void ImportSamples(benchmark::State& state) {
    std::string samples = "../shared/data/evtx";
    if (const char* src = std::getenv("QUELLON_SOURCE_DIR")) {
        if (fs::is_directory(fs::path(src) / ".." / "shared" / "data" / "evtx")) {
            samples = (fs::path(src) / ".." / "shared" / "data" / "evtx").string();
        }
    }
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(samples)) {
        if (entry.path().extension() == ".evtx") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    const std::string dir = TempDir();
    SimStore store;
    store.open(dir + "/import.db", true);
    SimHost h;
    h.name = "h";
    store.addHost(h);
    int64_t records = 0;
    for (auto _ : state) {
        std::vector<EvtxReadReport> reports;
        if (ImportEvtxFiles(store, "h", files, reports) != SimResult::Ok) {
            state.SkipWithError("import failed");
            break;
        }
        for (const EvtxReadReport& r : reports) {
            records += static_cast<int64_t>(r.records - r.skipped);
        }
    }
    state.SetItemsProcessed(records);
    store.close();
    std::error_code ec;
    fs::remove_all(dir, ec);
}
BENCHMARK(ImportSamples)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
