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

#include <algorithm>
#include <filesystem>
#include <initializer_list>

#include "tests/app/tempdir.h"
#include "tests/wmi/evtxsamples.h"
#include "wmi/sim/evtximport.h"
#include "wmi/sim/simstore.h"

namespace fs = std::filesystem;
using namespace wmi::sim;

namespace {

constexpr int64_t kRecords = 100000;

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

// A new store in a temporary folder holding `hosts`, without records; the
// folder goes with the object.
struct ScratchStore {
    explicit ScratchStore(std::initializer_list<const char*> hosts) {
        store.open(dir.File("bench.db"), true);
        for (const char* name : hosts) {
            SimHost h;
            h.name = name;
            store.addHost(h);
        }
    }

    TempDir dir;  // declared before store, so the store is closed first
    SimStore store;
};

// A store with hosts "a" and "b" of kRecords records each, built once.
class BigStore {
  public:
    static SimStore& Get() {
        static BigStore instance;
        return instance.scratch.store;
    }

  private:
    BigStore() {
        for (int64_t start = 0; start < kRecords; start += 1000) {
            for (const char* name : {"a", "b"}) {
                std::vector<SimEvent> batch;
                for (int64_t i = start; i < start + 1000; ++i) {
                    batch.push_back(Event(i));
                }
                scratch.store.appendEvents(name, batch);
            }
        }
    }
    ScratchStore scratch{"a", "b"};
};

void Append(benchmark::State& state) {
    ScratchStore scratch{"h"};
    SimStore& store = scratch.store;
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
}
BENCHMARK(Append)->Arg(1)->Arg(50)->Arg(1000);

void PollNewer(benchmark::State& state) {
    SimStore& store = BigStore::Get();
    std::vector<SimEvent> out;
    for (auto _ : state) {
        store.eventsAfter("a", kRecords - 50, 50, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(PollNewer);

void PollNothingNew(benchmark::State& state) {
    SimStore& store = BigStore::Get();
    std::vector<SimEvent> out;
    for (auto _ : state) {
        store.eventsAfter("a", kRecords, 50, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(PollNothingNew);

void NewestRecord(benchmark::State& state) {
    SimStore& store = BigStore::Get();
    int64_t newest = 0;
    for (auto _ : state) {
        store.newestRecord("a", newest);
        benchmark::DoNotOptimize(newest);
    }
}
BENCHMARK(NewestRecord);

void Window(benchmark::State& state, int64_t after) {
    SimStore& store = BigStore::Get();
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
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(SamplesDir())) {
        if (entry.path().extension() == ".evtx") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    ScratchStore scratch{"h"};
    int64_t records = 0;
    for (auto _ : state) {
        std::vector<EvtxReadReport> reports;
        if (ImportEvtxFiles(scratch.store, "h", files, reports) != SimResult::Ok) {
            state.SkipWithError("import failed");
            break;
        }
        for (const EvtxReadReport& r : reports) {
            records += static_cast<int64_t>(r.records - r.skipped);
        }
    }
    state.SetItemsProcessed(records);
}
BENCHMARK(ImportSamples)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
