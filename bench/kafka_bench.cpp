// The Kafka output's rate: records per second from a simulated host into a
// mock cluster of three brokers (quellon-kafka-mock, its own process, so
// that this process's CPU is the listener's alone) and into a real Apache
// Kafka broker (one node, scripts/kafka-broker, plaintext), with acks=all,
// side by side with kcat -P producing the same JSON lines to the same
// cluster; the CPU per record of each; and memory with every broker of the
// mock down until the queue bound.
//
//   kafka_bench [--records N] [--queue-mb M] [--cluster mock|real|both]
//
// The real broker needs scripts/kafka-broker fetch first (scripts/test
// runs it).
//
// Phases, each printed as one line, those of a cluster prefixed with its
// name (mock, or real with the broker's release):
//   read        the data query alone (every property of every record)
//   kcat        kcat -P -l (acks=all, idempotent) of the records' JSON lines;
//               its CPU (user and system) per record
//   listener    a data query of the host read in batches of 50 as the query
//               thread reads them (every property), each batch handed to the
//               Kafka output, until every record is acknowledged
//   down        (mock) every broker down: batches handed over until the
//               output is blocked; the growth of resident memory against
//               the bound
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wbemidl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/wmibench.h"
#include "engine/eventrecord.h"
#include "server/eventjson.h"
#include "server/kafkaoutput.h"
#include "tests/app/tempdir.h"
#include "tests/server/kafkabroker.h"
#include "wmi/locatorfactory.h"
#include "wmi/sim/simprovider.h"

namespace {

constexpr const char* kHost = "127.0.0.2";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The CPU (user and system) of this process, or of its children waited for.
double CpuSeconds(int who = RUSAGE_SELF) {
    struct rusage usage;
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// quellon-kafka-mock as a child: its bootstrap list and a pipe for
// commands.
class MockCluster {
  public:
    explicit MockCluster(const std::vector<std::string>& topics) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            // Built into the build folder, beside this bench's folder.
            char self[4096] = {};
            ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
            std::string program = std::string(self, length > 0 ? static_cast<size_t>(length) : 0);
            program = program.substr(0, program.rfind('/')) + "/../quellon-kafka-mock";
            std::vector<std::string> args = {program};
            args.insert(args.end(), topics.begin(), topics.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        commands = fdopen(in[1], "w");
        replies = fdopen(out[0], "r");
        char line[1024];
        if (fgets(line, sizeof line, replies) != nullptr &&
            std::string(line).rfind("BOOTSTRAPS ", 0) == 0) {
            bootstraps = std::string(line + 11);
            while (!bootstraps.empty() && bootstraps.back() == '\n') bootstraps.pop_back();
        }
    }
    ~MockCluster() {
        if (commands != nullptr) fclose(commands);
        if (replies != nullptr) fclose(replies);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
    void Command(const std::string& text) {
        std::fprintf(commands, "%s\n", text.c_str());
        std::fflush(commands);
        char line[256];
        if (fgets(line, sizeof line, replies) == nullptr) return;
    }

    std::string bootstraps;

  private:
    pid_t pid = -1;
    FILE* commands = nullptr;
    FILE* replies = nullptr;
};

// A data query over every record of the host.
class HostReader {
  public:
    HostReader() {
        CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                         reinterpret_cast<void**>(&locator));
        BSTR ns = SysAllocString(u"\\\\127.0.0.2\\root\\cimv2");
        locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0x80, nullptr, nullptr, &services);
        SysFreeString(ns);
        BSTR wql = SysAllocString(u"WQL");
        BSTR query = SysAllocString(u"SELECT * FROM Win32_NTLogEvent");
        services->ExecQuery(wql, query, 0x30, nullptr, &enumerator);
        SysFreeString(wql);
        SysFreeString(query);
    }
    ~HostReader() {
        if (enumerator != nullptr) enumerator->Release();
        if (services != nullptr) services->Release();
        if (locator != nullptr) locator->Release();
    }
    // The next batch of at most 50 events; none at the end.
    std::vector<TOutputItem> Next() {
        std::vector<TOutputItem> items;
        IWbemClassObject* objects[50] = {};
        ULONG returned = 0;
        if (enumerator == nullptr) return items;
        enumerator->Next(1000, 50, objects, &returned);
        // Sized for the batch up front, as the query thread sizes its own.
        items.reserve(returned);
        for (ULONG i = 0; i < returned; ++i) {
            TEventData event;
            std::string failure;
            if (ReadEventData(kHost, objects[i], &event, &failure))
                items.emplace_back(std::move(event));
            objects[i]->Release();
        }
        return items;
    }

  private:
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
    IEnumWbemClassObject* enumerator = nullptr;
};

// kcat -P and then the Kafka output, each producing every record to a topic
// of its own on the cluster at bootstraps (made on first use where the
// cluster does that); one line each.
void ProducePhases(const std::string& label, const std::string& bootstraps,
                   const std::string& lines, int records) {
    const double kcatCpuBefore = CpuSeconds(RUSAGE_CHILDREN);
    auto start = Clock::now();
    const std::string kcat = "kcat -P -q -b " + bootstraps +
                             " -t bench-kcat -X acks=all -X enable.idempotence=true -K '' -l " +
                             lines;
    const int kcatStatus = std::system(kcat.c_str());
    const double kcatSeconds = Seconds(start);
    const double kcatCpu = CpuSeconds(RUSAGE_CHILDREN) - kcatCpuBefore;
    std::printf("%-10s kcat      %9.0f records/s (%.2f s, exit %d), %.2f us CPU per record\n",
                label.c_str(), records / kcatSeconds, kcatSeconds, kcatStatus,
                kcatCpu * 1e6 / records);

    TKafkaSettings settings;
    settings.brokers = bootstraps;
    settings.topic = "bench-listener";
    settings.properties = {{"acks", "all"}, {"log_level", "3"}};
    CKafkaOutput output(settings);
    std::string error;
    if (!output.Start(&error)) {
        std::fprintf(stderr, "kafka_bench: %s\n", error.c_str());
        return;
    }
    const double cpuBefore = CpuSeconds();
    start = Clock::now();
    HostReader reader;
    for (auto batch = reader.Next(); !batch.empty(); batch = reader.Next()) {
        output.Deliver(batch, 0);
    }
    while (output.AcknowledgedRecords() < static_cast<uint64_t>(records)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double seconds = Seconds(start);
    const double cpu = CpuSeconds() - cpuBefore;
    std::printf("%-10s listener  %9.0f records/s (%.2f s), %.2f us CPU per record\n", label.c_str(),
                records / seconds, seconds, cpu * 1e6 / records);
}

}  // namespace

int main(int argc, char** argv) {
    int records = 200000;
    long queueMb = 64;
    std::string which = "both";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--records") records = std::atoi(argv[i + 1]);
        if (std::string(argv[i]) == "--queue-mb") queueMb = std::atol(argv[i + 1]);
        if (std::string(argv[i]) == "--cluster") which = argv[i + 1];
    }
    if (which != "mock" && which != "real" && which != "both") {
        std::fprintf(stderr, "kafka_bench: --cluster takes mock, real or both\n");
        return 2;
    }
    TempDir dir;
    const std::string path = dir.File("hosts.db");
    {
        wmi::sim::SimStore store;
        store.open(path, true);
        wmi::sim::SimHost host;
        host.name = kHost;
        host.computerName = "BENCH";
        store.addHost(host);
        for (int done = 0; done < records; done += 5000) {
            std::vector<wmi::sim::SimEvent> batch;
            for (int i = done; i < done + 5000 && i < records; ++i) batch.push_back(BenchEvent(i));
            store.appendEvents(kHost, batch);
        }
    }
    wmi::UseSimStore(path);
    MockCluster cluster({"bench-kcat", "bench-listener", "bench-down", "quellon-notices"});
    if (cluster.bootstraps.empty()) {
        std::fprintf(stderr, "kafka_bench: quellon-kafka-mock did not start\n");
        return 1;
    }
    std::printf("records=%d brokers=3 acks=all mock=%s\n", records, cluster.bootstraps.c_str());

    // The JSON lines kcat produces (made outside the timing).
    const std::string lines = dir.File("events.jsonl");
    {
        std::ofstream file(lines);
        HostReader reader;
        std::string json;
        for (auto batch = reader.Next(); !batch.empty(); batch = reader.Next()) {
            for (const TOutputItem& item : batch) {
                EventJson(std::get<TEventData>(item), &json);
                file << json << '\n';
            }
        }
    }
    // What reading the host costs alone (the query thread's share).
    {
        const double cpuBefore = CpuSeconds();
        const auto readStart = Clock::now();
        HostReader reader;
        size_t read = 0;
        for (auto batch = reader.Next(); !batch.empty(); batch = reader.Next())
            read += batch.size();
        const double seconds = Seconds(readStart);
        std::printf("read                 %9.0f records/s (%.2f s), %.2f us CPU per record\n",
                    read / seconds, seconds,
                    (CpuSeconds() - cpuBefore) * 1e6 / static_cast<double>(read));
    }
    if (which != "real") {
        ProducePhases("mock", cluster.bootstraps, lines, records);
    }
    if (which != "mock") {
        TempDir brokerDir;
        KafkaBroker broker(brokerDir.File("broker"));
        if (!broker.Ok()) {
            std::fprintf(stderr, "kafka_bench: no real broker: %s%s\n",
                         broker.Unavailable().c_str(), broker.Failure().c_str());
            return 1;
        }
        std::printf("real broker: Kafka %s on %s, started in %s ms, resident %s kB\n",
                    broker.Value("version").c_str(), broker.Plaintext().c_str(),
                    broker.Value("startup_ms").c_str(), broker.Value("rss_kb").c_str());
        ProducePhases("real " + broker.Value("version"), broker.Plaintext(), lines, records);
    }

    if (which != "real") {
        TKafkaSettings settings;
        settings.brokers = cluster.bootstraps;
        settings.topic = "bench-down";
        settings.queueBytes = static_cast<uint64_t>(queueMb) << 20;
        settings.properties = {{"log_level", "0"}};
        CKafkaOutput output(settings);
        std::string error;
        output.Start(&error);
        for (int id = 1; id <= 3; ++id) cluster.Command("down " + std::to_string(id));
        const long before = ResidentKb();
        uint64_t handed = 0;
        while (!output.Blocked()) {
            HostReader reader;
            for (auto batch = reader.Next(); !batch.empty() && !output.Blocked();
                 batch = reader.Next()) {
                output.Deliver(batch, 0);
                handed += batch.size();
            }
        }
        const long after = ResidentKb();
        std::printf(
            "mock       down      %llu records (%llu bytes) queued, resident +%.1f MB for a bound "
            "of "
            "%ld MB\n",
            static_cast<unsigned long long>(handed),
            static_cast<unsigned long long>(output.QueuedBytes()), (after - before) / 1024.0,
            queueMb);
        for (int id = 1; id <= 3; ++id) cluster.Command("up " + std::to_string(id));
        // What was queued goes out once the brokers are back (up to a minute).
        const auto drainEnd = Clock::now() + std::chrono::seconds(60);
        while (output.QueuedRecords() > 0 && Clock::now() < drainEnd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    cluster.Command("quit");
    wmi::UseSimStore("");
    return 0;
}
