// quellon-sim: fills and drives the simulated Windows hosts' store that the
// listener's simulated-hosts provider reads. It adds, removes, lists and
// switches hosts up or down, emits single events, imports real .evtx files
// and "plays" a host live by writing copies of its history at a given rate;
// "renumber" moves a host's record numbers (near 2^32, to make its log wrap).
// "serve --wsman" serves the store's hosts over WS-Management
// (wmi/sim/wsman/endpoint.h) until stopped. Single-threaded apart from the
// endpoint's own threads; a stop request (Ctrl+C, SIGTERM) ends a running
// play or serve cleanly.
//
// Exit codes: 0 done, 1 the command failed (the store is unchanged),
// 2 the command line is malformed.

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/stopsignal.h"
#include "wmi/cim/cimtime.h"
#include "wmi/sim/evtximport.h"
#include "wmi/sim/simstore.h"
#include "wmi/sim/simtime.h"
#include "wmi/sim/wsman/endpoint.h"

using namespace wmi::sim;
using wmi::cim::FormatDmtf;
using wmi::cim::NowMicros;

namespace {

constexpr const char* kDefaultStore = "simhosts.db";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Records written per transaction by play.
constexpr size_t kPlayBatch = 1000;

const char* const kUsage =
    "usage: quellon-sim [--store FILE] COMMAND ...\n"
    "  host add NAME [--computer NAME] [--user USER [--password PASSWORD]] [--down]\n"
    "  host remove NAME\n"
    "  host up NAME\n"
    "  host down NAME\n"
    "  host list\n"
    "  emit HOST --log LOG --type 1-5 --source SOURCE --code 0-65535 [--insert TEXT]... [--time "
    "TIME]\n"
    "       [--level 0-255] [--data NAME=VALUE]... [--record-id N]\n"
    "  import HOST FILE.evtx...\n"
    "  play HOST [--rate PER_SECOND] [--count N] [--log LOG]\n"
    "  clear HOST [--log LOG]\n"
    "  renumber HOST FIRST\n"
    "  serve --wsman [--port PORT] [--tls CERT KEY] [--auth basic|ntlm|negotiate]\n"
    "        [--no-eventing] [--newest-first] [--idle-close SECONDS]\n"
    "        [--slow-pull SECONDS]\n"
    "The store is FILE, by default simhosts.db in the current directory; 'host add'\n"
    "creates it. TIME is UTC: YYYYMMDDhhmmss, YYYY-MM-DDThh:mm:ss[.ffffff][Z] or\n"
    "yyyymmddHHMMSS.mmmmmm+UUU. play writes copies of the host's records with fresh\n"
    "numbers and the current time until stopped (Ctrl-C) or N are written; --rate 0\n"
    "(the default) writes as fast as possible. clear removes the records of LOG (of\n"
    "every log without --log), as clearing an event log does. renumber numbers the\n"
    "host's records from FIRST on; RecordNumber is the number modulo 2^32, so a\n"
    "FIRST near 4294967295 makes the log wrap to 0 as a busy Windows log does.\n"
    "emit, play and clear work while a host is down. serve answers WS-Management on every loopback "
    "host\n"
    "(127.x.y.z) of the store while it is up, on PORT (default 5985, 0: any free\n"
    "port, printed), over HTTPS with --tls; --no-eventing refuses event\n"
    "subscriptions as Windows before Server 2012 does; --newest-first answers data\n"
    "queries newest first, as a Windows host may; --idle-close closes a connection\n"
    "that sends no request for SECONDS, as HTTP.sys and proxies do; --slow-pull\n"
    "answers every Pull no sooner than SECONDS (3.5: three and a half) after it came,\n"
    "as a slow or busy host does.\n"
    "emit with --level or --data writes a channel event: the source is its provider,\n"
    "the level by default the type's (1: 2, 2: 3, 3: 4, 4 and 5: 0 with the audit\n"
    "keyword), the data values (named) its insertion strings too. --record-id sets\n"
    "its EventRecordID when that is above the log's newest. play --log copies the\n"
    "records of LOG alone. Every record gets the next EventRecordID of its log.\n";

// A failure the user must see: one line on stderr and the exit code.
struct Failure {
    int code;
    std::string message;
};

[[noreturn]] void Usage(const std::string& message) { throw Failure{kExitUsage, message}; }
[[noreturn]] void Fail(const std::string& message) { throw Failure{kExitFailed, message}; }

// The arguments of one command: positional words and --options. Options
// listed in `valued` take the next word as their value; `--insert` and
// `--data` may repeat, other options may not.
struct Args {
    std::vector<std::string> words;
    std::multimap<std::string, std::string> options;

    bool has(const std::string& name) const { return options.count(name) > 0; }
    const std::string* get(const std::string& name) const {
        const auto it = options.find(name);
        return it == options.end() ? nullptr : &it->second;
    }
    const std::string& need(const std::string& name) const {
        const std::string* v = get(name);
        if (!v) {
            Usage("missing option " + name);
        }
        return *v;
    }
};

Args ParseArgs(const std::vector<std::string>& argv, size_t from,
               const std::vector<std::string>& valued, const std::vector<std::string>& flags) {
    Args args;
    for (size_t i = from; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.size() < 2 || a.compare(0, 2, "--") != 0) {
            args.words.push_back(a);
            continue;
        }
        std::string name = a;
        std::string value;
        bool inlineValue = false;
        const size_t eq = a.find('=');
        if (eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        const bool takesValue = std::find(valued.begin(), valued.end(), name) != valued.end();
        const bool isFlag = std::find(flags.begin(), flags.end(), name) != flags.end();
        if (!takesValue && !isFlag) {
            Usage("unknown option " + name);
        }
        if (isFlag && inlineValue) {
            Usage("option " + name + " takes no value");
        }
        if (takesValue && !inlineValue) {
            if (i + 1 >= argv.size()) {
                Usage("option " + name + " needs a value");
            }
            value = argv[++i];
        }
        if (name != "--insert" && name != "--data" && args.has(name)) {
            Usage("option " + name + " given twice");
        }
        args.options.emplace(name, value);
    }
    return args;
}

// A decimal number in [min, max]; a usage error naming the option otherwise.
int64_t ParseInt(const std::string& option, const std::string& text, int64_t min, int64_t max) {
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        Usage(option + ": '" + text + "' is not a number from " + std::to_string(min) + " to " +
              std::to_string(max));
    }
    const int64_t v = std::strtoll(text.c_str(), nullptr, 10);
    if (v < min || v > max) {
        Usage(option + ": " + text + " is not in " + std::to_string(min) + " to " +
              std::to_string(max));
    }
    return v;
}

// Seconds with up to three decimals ("5", "3.5") in [0, max], as milliseconds;
// a usage error naming the option otherwise.
int64_t ParseSecondsAsMs(const std::string& option, const std::string& text, int64_t max) {
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    auto digits = [](const std::string& t) {
        return std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 9 || !digits(whole) || fraction.size() > 3 ||
        !digits(fraction) || (point != std::string::npos && fraction.empty())) {
        Usage(option + ": '" + text + "' is not a number of seconds from 0 to " +
              std::to_string(max));
    }
    fraction.resize(3, '0');
    const int64_t ms = std::strtoll(whole.c_str(), nullptr, 10) * 1000 +
                       std::strtoll(fraction.c_str(), nullptr, 10);
    if (ms > max * 1000) {
        Usage(option + ": " + text + " is not in 0 to " + std::to_string(max));
    }
    return ms;
}

void ExpectWords(const Args& args, size_t n, const char* what) {
    if (args.words.size() != n) {
        Usage(std::string("expected ") + what);
    }
}

void Check(SimResult r, const std::string& error) {
    if (r != SimResult::Ok) {
        Fail(error);
    }
}

void OpenStore(SimStore& store, const std::string& path, bool create) {
    std::string error;
    const SimResult r = store.open(path, create, &error);
    if (r == SimResult::NotFound) {
        Fail("store '" + path + "' does not exist (create it with 'quellon-sim host add')");
    }
    Check(r, error);
}

std::string Range(int64_t first, int64_t last) {
    return first == last ? "record " + std::to_string(first)
                         : "records " + std::to_string(first) + ".." + std::to_string(last);
}

// ---- host ------------------------------------------------------------------

int HostCommand(const std::string& storePath, const std::vector<std::string>& argv, size_t at) {
    if (at >= argv.size()) {
        Usage("host needs add, remove, up, down or list");
    }
    const std::string verb = argv[at];
    SimStore store;
    std::string error;
    if (verb == "add") {
        const Args args =
            ParseArgs(argv, at + 1, {"--computer", "--user", "--password"}, {"--down"});
        ExpectWords(args, 1, "host add NAME");
        if (args.has("--password") && !args.has("--user")) {
            Usage("--password needs --user");
        }
        SimHost h;
        h.name = args.words[0];
        h.computerName = args.get("--computer") ? *args.get("--computer") : h.name;
        h.up = !args.has("--down");
        if (args.has("--user")) {
            h.user = *args.get("--user");
            h.password = args.has("--password") ? *args.get("--password") : std::string();
        }
        if (h.name.empty()) {
            Usage("the host name is empty");
        }
        OpenStore(store, storePath, true);
        Check(store.addHost(h, &error), error);
        std::printf("added host %s (computer %s, %s%s)\n", h.name.c_str(), h.computerName.c_str(),
                    h.up ? "up" : "down", h.user ? (", user " + *h.user).c_str() : "");
        return 0;
    }
    if (verb == "remove" || verb == "up" || verb == "down") {
        const Args args = ParseArgs(argv, at + 1, {}, {});
        ExpectWords(args, 1, ("host " + verb + " NAME").c_str());
        const std::string& name = args.words[0];
        OpenStore(store, storePath, false);
        if (verb == "remove") {
            int64_t count = 0;
            Check(store.eventCount(name, count, &error), error);
            Check(store.removeHost(name, &error), error);
            std::printf("removed host %s and its %" PRId64 " records\n", name.c_str(), count);
        } else {
            Check(store.setHostUp(name, verb == "up", &error), error);
            std::printf("host %s is %s\n", name.c_str(), verb.c_str());
        }
        return 0;
    }
    if (verb == "list") {
        const Args args = ParseArgs(argv, at + 1, {}, {});
        ExpectWords(args, 0, "host list without arguments");
        OpenStore(store, storePath, false);
        std::vector<SimHost> hosts;
        Check(store.listHosts(hosts, &error), error);
        for (const SimHost& h : hosts) {
            int64_t count = 0;
            int64_t newest = 0;
            Check(store.eventCount(h.name, count, &error), error);
            Check(store.newestRecord(h.name, newest, &error), error);
            std::printf("%s %s computer=%s user=%s records=%" PRId64 " newest=%" PRId64 "\n",
                        h.name.c_str(), h.up ? "up" : "down", h.computerName.c_str(),
                        h.user ? h.user->c_str() : "-", count, newest);
        }
        if (hosts.empty()) {
            std::printf("no hosts\n");
        }
        return 0;
    }
    Usage("unknown host command '" + verb + "'");
}

// ---- emit ------------------------------------------------------------------

// The channel fields of an emitted event: the provider is the source, the
// level --level or the type's (1: 2 Error, 2: 3 Warning, 3: 4 Information,
// 4 and 5: 0 with the audit keyword), the data the --data NAME=VALUE
// options in order, which are also the insertion strings.
SimChannelFields EmitChannelFields(const Args& args, SimEvent& e) {
    SimChannelFields c;
    c.providerName = e.sourceName;
    static constexpr uint32_t kLevels[] = {0, 2, 3, 4, 0, 0};
    c.level = kLevels[e.eventType];
    c.keywords = e.eventType == 4   ? 0x8020000000000000ULL
                 : e.eventType == 5 ? 0x8010000000000000ULL
                                    : 0x8000000000000000ULL;
    if (const std::string* level = args.get("--level")) {
        c.level = static_cast<uint32_t>(ParseInt("--level", *level, 0, 255));
    }
    if (args.has("--data")) {
        e.insertionStrings.emplace();
        const auto range = args.options.equal_range("--data");
        for (auto it = range.first; it != range.second; ++it) {
            const size_t eq = it->second.find('=');
            if (eq == std::string::npos) {
                Usage("--data: '" + it->second + "' is not NAME=VALUE");
            }
            c.eventData.push_back({it->second.substr(0, eq), it->second.substr(eq + 1)});
            e.insertionStrings->push_back(it->second.substr(eq + 1));
        }
    }
    return c;
}

int EmitCommand(const std::string& storePath, const std::vector<std::string>& argv, size_t at) {
    const Args args = ParseArgs(argv, at,
                                {"--log", "--type", "--source", "--code", "--insert", "--time",
                                 "--level", "--data", "--record-id"},
                                {});
    ExpectWords(args, 1, "emit HOST --log LOG --type N --source SOURCE --code CODE");
    SimEvent e;
    e.logFile = args.need("--log");
    e.eventType = static_cast<int>(ParseInt("--type", args.need("--type"), 1, 5));
    e.typeText = EventTypeText(e.eventType);
    e.sourceName = args.need("--source");
    e.eventCode = static_cast<uint32_t>(ParseInt("--code", args.need("--code"), 0, 65535));
    e.eventIdentifier = e.eventCode;
    if (args.has("--insert")) {
        e.insertionStrings.emplace();
        const auto range = args.options.equal_range("--insert");
        for (auto it = range.first; it != range.second; ++it) {
            e.insertionStrings->push_back(it->second);
        }
    }
    e.timeGenerated = NowMicros();
    if (const std::string* t = args.get("--time")) {
        if (!ParseUserTime(*t, e.timeGenerated)) {
            Usage("--time: '" + *t +
                  "' is not a time (YYYYMMDDhhmmss, "
                  "YYYY-MM-DDThh:mm:ss[.ffffff][Z] or yyyymmddHHMMSS.mmmmmm+UUU)");
        }
    }
    e.timeWritten = e.timeGenerated;
    if (args.has("--data") || args.has("--level")) {
        if (args.has("--insert")) {
            Usage(
                "--insert and --data do not go together: the data values are the insertion "
                "strings");
        }
        e.channel = EmitChannelFields(args, e);
    }
    if (const std::string* id = args.get("--record-id")) {
        e.eventRecordId = ParseInt("--record-id", *id, 1, INT64_MAX);
    }

    const std::string& host = args.words[0];
    SimStore store;
    std::string error;
    OpenStore(store, storePath, false);
    SimHost h;
    Check(store.getHost(host, h, &error), error);
    e.computerName = h.computerName;
    std::vector<SimEvent> events{e};
    Check(store.appendEvents(host, events, &error), error);
    std::printf("emitted record %" PRId64
                " to host %s: %s %s %s code %u at %s, EventRecordID %" PRId64 "\n",
                events[0].recordNumber, host.c_str(), e.logFile.c_str(), e.typeText.c_str(),
                e.sourceName.c_str(), e.eventCode, FormatDmtf(e.timeGenerated).c_str(),
                events[0].eventRecordId);
    return 0;
}

// ---- import ----------------------------------------------------------------

int ImportCommand(const std::string& storePath, const std::vector<std::string>& argv, size_t at) {
    const Args args = ParseArgs(argv, at, {}, {});
    if (args.words.size() < 2) {
        Usage("expected import HOST FILE.evtx...");
    }
    const std::string& host = args.words[0];
    const std::vector<std::string> files(args.words.begin() + 1, args.words.end());
    SimStore store;
    std::string error;
    OpenStore(store, storePath, false);
    int64_t before = 0;
    Check(store.newestRecord(host, before, &error), error);
    std::vector<EvtxReadReport> reports;
    const SimResult r = ImportEvtxFiles(store, host, files, reports, &error);
    for (const EvtxReadReport& rep : reports) {
        for (const std::string& w : rep.warnings) {
            std::fprintf(stderr, "quellon-sim: warning: %s\n", w.c_str());
        }
    }
    Check(r, error + " (nothing imported)");
    int64_t next = before + 1;
    int64_t total = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const int64_t n = static_cast<int64_t>(reports[i].records - reports[i].skipped);
        std::printf("%s: %" PRId64 " records%s", files[i].c_str(), n,
                    n > 0 ? (" as " + Range(next, next + n - 1)).c_str() : "");
        if (reports[i].skipped > 0) {
            std::printf(", %zu unreadable records skipped", reports[i].skipped);
        }
        std::printf("\n");
        next += n;
        total += n;
    }
    std::printf("imported %" PRId64 " records into host %s\n", total, host.c_str());
    return 0;
}

// ---- play ------------------------------------------------------------------

// A stop request ends the sleep; the caller checks StopRequested().
void SleepMicros(int64_t us) { platform::SleepUnlessStopped(us); }

// Walks the host's history (records 1..end, of one log when `log` is not
// empty) round and round, a page at a time.
class HistoryCursor {
  public:
    HistoryCursor(SimStore& store, std::string host, int64_t end, std::string log)
        : store(store), host(std::move(host)), end(end), log(std::move(log)) {}

    const SimEvent& next() {
        if (index >= page.size()) {
            // The next page or, past the end of the history, the first again.
            if (!fetchAfter(after) && !fetchAfter(0)) {
                Fail("host '" + host + "' has no records " +
                     (log.empty() ? std::string("left") : "of log '" + log + "'") + " to play");
            }
            index = 0;
        }
        return page[index++];
    }

  private:
    // Replaces page with the next history records after `from` that are
    // played; false when there are none. Moves `after` past what it read.
    bool fetchAfter(int64_t from) {
        std::string error;
        for (;;) {
            Check(store.eventsAfter(host, from, kPlayBatch, page, &error), error);
            std::erase_if(page, [this](const SimEvent& e) { return e.recordNumber > end; });
            if (page.empty()) {
                return false;
            }
            from = after = page.back().recordNumber;
            std::erase_if(page,
                          [this](const SimEvent& e) { return !log.empty() && e.logFile != log; });
            if (!page.empty()) {
                return true;
            }
        }
    }

    SimStore& store;
    std::string host;
    int64_t end;
    std::string log;
    int64_t after = 0;
    std::vector<SimEvent> page;
    size_t index = 0;
};

int PlayCommand(const std::string& storePath, const std::vector<std::string>& argv, size_t at) {
    const Args args = ParseArgs(argv, at, {"--rate", "--count", "--log"}, {});
    ExpectWords(args, 1, "play HOST [--rate N] [--count N] [--log LOG]");
    const std::string log = args.has("--log") ? *args.get("--log") : std::string();
    const std::string& host = args.words[0];
    const int64_t rate =
        args.has("--rate") ? ParseInt("--rate", *args.get("--rate"), 0, 10000000) : 0;
    const int64_t count =
        args.has("--count") ? ParseInt("--count", *args.get("--count"), 1, INT32_MAX) : 0;

    SimStore store;
    std::string error;
    OpenStore(store, storePath, false);
    int64_t history = 0;
    Check(store.newestRecord(host, history, &error), error);
    if (history == 0) {
        Fail("host '" + host + "' has no records to play (import some first)");
    }

    // Store calls go on after a stop request; the pacing sleep ends at once.
    platform::InstallStopHandler();

    std::printf(
        "playing host %s from its %" PRId64 " records, %s%s\n", host.c_str(), history,
        rate > 0 ? (std::to_string(rate) + " per second").c_str() : "as fast as possible",
        count > 0 ? (", " + std::to_string(count) + " records").c_str() : ", until stopped");
    std::fflush(stdout);

    HistoryCursor cursor(store, host, history, log);
    const int64_t start = NowMicros();
    int64_t written = 0;
    int64_t first = 0;
    int64_t last = 0;
    std::vector<SimEvent> batch;
    while (!platform::StopRequested() && (count == 0 || written < count)) {
        int64_t due = static_cast<int64_t>(kPlayBatch);
        if (rate > 0) {
            const int64_t elapsed = NowMicros() - start;
            due = elapsed / 1000000 * rate + (elapsed % 1000000) * rate / 1000000 - written;
            if (due <= 0) {
                // Sleep until the next record is due, at most 100 ms at a time.
                const int64_t nextAt = (written + 1) * 1000000 / rate;
                SleepMicros(std::clamp<int64_t>(nextAt - elapsed, 1, 100000));
                continue;
            }
        }
        if (count > 0) {
            due = std::min(due, count - written);
        }
        due = std::min<int64_t>(due, static_cast<int64_t>(kPlayBatch));
        batch.clear();
        const int64_t now = NowMicros();
        for (int64_t i = 0; i < due; ++i) {
            SimEvent e = cursor.next();
            e.timeGenerated = now;
            e.timeWritten = now;
            e.eventRecordId = 0;  // the next of its log
            batch.push_back(std::move(e));
        }
        Check(store.appendEvents(host, batch, &error), error);
        if (first == 0) {
            first = batch.front().recordNumber;
        }
        last = batch.back().recordNumber;
        written += due;
    }
    if (written == 0) {
        std::printf("played no records to host %s\n", host.c_str());
    } else {
        std::printf("played %" PRId64 " records to host %s as %s\n", written, host.c_str(),
                    Range(first, last).c_str());
    }
    return 0;
}

// ---- serve -----------------------------------------------------------------

// A new folder named prefix and six random letters in the temporary folder,
// open to this user alone; empty when none could be made.
std::filesystem::path NewPrivateFolder(const std::string& prefix) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return {};
    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> letter(0, 25);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) name.push_back(static_cast<char>('a' + letter(random)));
        const std::filesystem::path folder = base / name;
        if (std::filesystem::create_directory(folder, error)) {
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::replace, error);
            return error ? std::filesystem::path() : folder;
        }
        if (error) return {};
    }
    return {};
}

int ServeCommand(const std::string& storePath, const std::vector<std::string>& argv, size_t at) {
    wmi::wsman::EndpointOptions options;
    options.storePath = storePath;
    bool wsman = false;
    for (size_t i = at; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        auto value = [&](const char* what) -> const std::string& {
            if (i + 1 >= argv.size()) Usage(a + " needs " + what);
            return argv[++i];
        };
        if (a == "--wsman") {
            wsman = true;
        } else if (a == "--port") {
            options.port = static_cast<uint16_t>(ParseInt("--port", value("a port"), 0, 65535));
        } else if (a == "--tls") {
            options.certFile = value("a certificate file and a key file");
            options.keyFile = value("a key file");
        } else if (a == "--no-eventing") {
            options.eventing = false;
        } else if (a == "--newest-first") {
            options.newestFirst = true;
        } else if (a == "--idle-close") {
            options.idleCloseSeconds =
                static_cast<int>(ParseInt("--idle-close", value("seconds"), 1, 86400));
        } else if (a == "--slow-pull") {
            options.slowPullMs = ParseSecondsAsMs("--slow-pull", value("seconds"), 3600);
        } else if (a == "--auth") {
            options.auth = value("basic, ntlm or negotiate");
            if (options.auth != "basic" && options.auth != "ntlm" && options.auth != "negotiate") {
                Usage("--auth: '" + options.auth + "' is not basic, ntlm or negotiate");
            }
        } else {
            Usage("unknown option " + a);
        }
    }
    if (!wsman) {
        Usage("serve needs --wsman");
    }
    {
        SimStore probe;
        OpenStore(probe, storePath, false);
    }
    platform::InstallStopHandler();
    platform::IgnoreBrokenPipes();

    if (options.auth != "basic") {
        // gss-ntlmssp's acceptor reads the users the endpoint writes from the
        // file this process names in its environment.
        // The file lies in a folder of its own, made new (never one that
        // existed) and closed to other users, so nobody can put a file in
        // its place.
        const std::filesystem::path folder = NewPrivateFolder("quellon-ntlm-");
        if (folder.empty()) {
            Fail("cannot create the NTLM user file");
        }
        options.ntlmUserFile = (folder / "users").string();
        std::ofstream(options.ntlmUserFile).close();
        // putenv keeps the text itself: it lives as long as the process.
        static std::string variable;
        variable = "NTLM_USER_FILE=" + options.ntlmUserFile;
        putenv(variable.data());
    }
    wmi::wsman::Endpoint endpoint(options);
    std::string error;
    if (!endpoint.Start(error)) {
        std::error_code ignored;
        if (!options.ntlmUserFile.empty()) {
            std::filesystem::remove_all(std::filesystem::path(options.ntlmUserFile).parent_path(),
                                        ignored);
        }
        Fail(error);
    }
    std::printf("serving WS-Management (%s, %s) for the loopback hosts of %s on port %u\n",
                options.certFile.empty() ? "http" : "https", options.auth.c_str(),
                storePath.c_str(), static_cast<unsigned>(endpoint.Port()));
    std::fflush(stdout);
    while (!platform::StopRequested()) platform::SleepUnlessStopped(100 * 1000);
    endpoint.Stop();
    std::printf("stopped serving\n");
    return 0;
}

// ---- clear -----------------------------------------------------------------

int ClearCommand(const std::string& storePath, const std::vector<std::string>& argv, size_t at) {
    const Args args = ParseArgs(argv, at, {"--log"}, {});
    ExpectWords(args, 1, "clear HOST [--log LOG]");
    const std::string& host = args.words[0];
    const std::string* log = args.get("--log");
    if (log != nullptr && log->empty()) {
        Usage("--log: the log name is empty");
    }
    SimStore store;
    std::string error;
    OpenStore(store, storePath, false);
    int64_t removed = 0;
    Check(store.clearLog(host, log ? *log : std::string(), removed, &error), error);
    int64_t newest = 0;
    Check(store.newestRecord(host, newest, &error), error);
    std::printf("cleared %" PRId64 " records of %s from host %s; the next record is %" PRId64 "\n",
                removed, log ? ("log " + *log).c_str() : "every log", host.c_str(), newest + 1);
    return 0;
}

// ---- renumber --------------------------------------------------------------

int RenumberCommand(const std::string& storePath, const std::vector<std::string>& argv, size_t at) {
    const Args args = ParseArgs(argv, at, {}, {});
    ExpectWords(args, 2, "renumber HOST FIRST");
    const std::string& host = args.words[0];
    const int64_t first = ParseInt("FIRST", args.words[1], 1, int64_t{1} << 40);
    SimStore store;
    std::string error;
    OpenStore(store, storePath, false);
    Check(store.renumberRecords(host, first, &error), error);
    int64_t newest = 0;
    Check(store.newestRecord(host, newest, &error), error);
    std::printf("renumbered the records of host %s from %" PRId64 "; the next record is %" PRId64
                " (RecordNumber %" PRIu32 ")\n",
                host.c_str(), first, newest + 1, static_cast<uint32_t>(newest + 1));
    return 0;
}

int Run(const std::vector<std::string>& argv) {
    std::string storePath = kDefaultStore;
    size_t at = 1;
    while (at < argv.size() && argv[at].compare(0, 2, "--") == 0) {
        const std::string& a = argv[at];
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--store") {
            if (at + 1 >= argv.size() || argv[at + 1].empty()) {
                Usage("--store needs a file name");
            }
            storePath = argv[at + 1];
            at += 2;
        } else if (a.compare(0, 8, "--store=") == 0 && a.size() > 8) {
            storePath = a.substr(8);
            at += 1;
        } else {
            Usage("unknown option " + a);
        }
    }
    if (at >= argv.size()) {
        Usage("no command given");
    }
    const std::string command = argv[at];
    if (command == "host") {
        return HostCommand(storePath, argv, at + 1);
    }
    if (command == "emit") {
        return EmitCommand(storePath, argv, at + 1);
    }
    if (command == "import") {
        return ImportCommand(storePath, argv, at + 1);
    }
    if (command == "play") {
        return PlayCommand(storePath, argv, at + 1);
    }
    if (command == "serve") {
        return ServeCommand(storePath, argv, at + 1);
    }
    if (command == "clear") {
        return ClearCommand(storePath, argv, at + 1);
    }
    if (command == "renumber") {
        return RenumberCommand(storePath, argv, at + 1);
    }
    if (command == "help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Usage("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    try {
        return Run(args);
    } catch (const Failure& f) {
        std::fprintf(stderr, "quellon-sim: %s\n", f.message.c_str());
        if (f.code == kExitUsage) {
            std::fputs("Try 'quellon-sim --help'.\n", stderr);
        }
        return f.code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quellon-sim: %s\n", e.what());
        return kExitFailed;
    }
}
