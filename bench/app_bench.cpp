// Costs of the paths every thread takes: one log line written at INFO, one
// dropped below the level, the same line from several threads at once, and a
// configuration look-up; loading a configuration of many sections.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "base/configdataloader.h"
#include "base/logger.h"
#include "tests/app/tempdir.h"

namespace {

// A logger on a file in a fresh temporary folder, removed afterwards.
class TempLogger {
  public:
    explicit TempLogger(const char* level) {
        // The creation line on standard output is not part of the measure.
        std::fflush(stdout);
        logger = new CLogger(dir.path().empty() ? std::string() : dir.File("bench.log"), level);
    }
    ~TempLogger() { delete logger; }
    TempDir dir;
    CLogger* logger;
};

TempLogger* shared = nullptr;

void BM_LogWrittenAtInfo(benchmark::State& state) {
    TempLogger file("info");
    for (auto _ : state) {
        Log(file.logger, LOG_INFO, __LINE__, "app_bench.cpp", "client %s logged in (users=%i)",
            "127.0.0.1", 2);
    }
}
BENCHMARK(BM_LogWrittenAtInfo);

void BM_LogDroppedBelowLevel(benchmark::State& state) {
    TempLogger file("info");
    for (auto _ : state) {
        Log(file.logger, LOG_TRACE, __LINE__, "app_bench.cpp", "poll %s %d", "host", 42);
    }
}
BENCHMARK(BM_LogDroppedBelowLevel);

void BM_LogFromThreads(benchmark::State& state) {
    if (state.thread_index() == 0) shared = new TempLogger("info");
    for (auto _ : state) {
        Log(shared->logger, LOG_INFO, __LINE__, "app_bench.cpp", "[queryThread] event %d",
            state.thread_index());
    }
    if (state.thread_index() == 0) {
        delete shared;
        shared = nullptr;
    }
}
BENCHMARK(BM_LogFromThreads)->Threads(1)->Threads(4);

void BM_ConfigLookup(benchmark::State& state) {
    TempDir dir;
    if (dir.path().empty()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    CConfigDataLoader store(dir.Write(
        "quellon.ini", "[LISTEN]\nPORT=7668\n[PERFORMANCE]\nEventRetriever=32\n[OTHERS]\nWT=1\n"));
    store.Load();
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(store.GetKeyValue("performance.eventretriever"));
        } catch (const CConfigDataLoader::EInvalidKey&) {
            state.SkipWithError("configuration file could not be written");
            break;
        }
    }
}
BENCHMARK(BM_ConfigLookup);

// Load of a file of state.range(0) sections of one entry each; section names
// of five characters keep the name list of 3000 below the store's limit.
void BM_ConfigLoadSections(benchmark::State& state) {
    TempDir dir;
    if (dir.path().empty()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    std::string text;
    for (int64_t i = 0; i < state.range(0); ++i) {
        char section[32];
        std::snprintf(section, sizeof section, "[S%04d]\nKEY=%d\n", static_cast<int>(i),
                      static_cast<int>(i));
        text += section;
    }
    CConfigDataLoader store(dir.Write("sections.ini", text));
    for (auto _ : state) store.Load();
    if (store.ListPairs().find("S0000.KEY=0,") == std::string::npos) {
        state.SkipWithError("configuration file could not be read");
    }
}
BENCHMARK(BM_ConfigLoadSections)->Arg(300)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
