// quellon-engine-load: a load driver for the subscription engine of a
// running listener. N clients (3 by default) connect and log in; the first
// one sends S ADD lines spread over H simulated hosts and waits until every
// subscription is announced with CONNECTION_OK. With --server-pid and
// --settle the driver then waits that long and reports the listener's
// resident memory per subscription. With --rate it starts one
// `quellon-sim play` per host at R records per second (0: as fast as
// possible), lets a warm-up pass and counts, during the measuring window,
// the NTEVENT records each client receives, how long each took from its
// write to its arrival, and (with --server-pid) the listener's CPU time and
// its largest resident memory while the window is open. With --slow-client
// one more client logs in and then never reads (its receive buffer kept
// small); after the window the driver reads what reached it and reports
// whether the listener had closed it (a close waits behind the unread data,
// so it cannot be seen earlier without reading).
//
//   quellon-engine-load --port P [--address 127.0.0.1] [--clients 3]
//       [--user U] [--password W]
//       [--host-prefix 127.0.1.] [--hosts H] [--subscriptions S]
//       [--server-pid PID] [--settle SECONDS] [--idle SECONDS] [--slow-client]
//       [--sim PATH --store PATH --rate R [--play-hosts N] [--warmup SECONDS]
//        [--duration SECONDS]]
//       [--catchup N]
//
// With --catchup N (and --hosts 2 or more, --rate R): host 2 is played at R
// records per second throughout; its write-to-arrival latency is measured
// for --duration seconds, then host 1 is taken down (quellon-sim host
// down), N records are written to it (play --count N), and it is brought
// back. From its CONNECTION_REESTAB until its N-th NTEVENT record reaches
// the first client, the catch-up rate (records per second) and host 2's
// latency during the catch-up are measured.
//
// Hosts are named <prefix>1 .. <prefix>H. Subscription k goes to host
// k mod H with the category (k / H) of the list "*", System, Security,
// Application, Setup, then made-up logs Log5, Log6, ...; the first round
// asks for every severity ("*"), later rounds for a severity of 1 to 5.
// Every (host, category) pair is used once, since a second ADD for the same
// pair replaces the first.
//
// With --play-hosts N only hosts 1 .. N are played, and their subscriptions
// after the first round ask for logs nobody writes (Quiet1, Quiet2, ...), so
// that each played host feeds exactly one subscription and every other
// subscription stays idle. With --idle and --server-pid the driver measures,
// before anything is played, the listener's CPU over that many seconds
// while every subscription is idle.
//
// Latency is the arrival time (wall clock) minus the record's
// TimeGenerated, the first field after the host, which `play` sets to the
// write time. Results are printed as key=value lines.
//
// One thread drives every connection through epoll. The driver stops the
// play processes it started before it exits, also on SIGINT and SIGTERM;
// they get SIGTERM themselves should the driver die.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "loadclient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string address = "127.0.0.1";
    int port = 0;
    int clients = 3;
    std::string user = "alice";
    std::string password = "secret";
    std::string hostPrefix = "127.0.1.";
    int hosts = 1;
    int subscriptions = 1;
    int serverPid = 0;
    double settle = 0;
    std::string sim;
    std::string store;
    long rate = -1;      // -1: no play processes
    int playHosts = -1;  // -1: every host
    double idle = 0;     // seconds of idle CPU measurement
    double warmup = 2;
    double duration = 5;
    double connectTimeout = 120;
    bool slowClient = false;
    long catchup = 0;  // records host 1 writes while down; 0: no catch-up phase
};

[[noreturn]] void Fail(const std::string& text);

// ---- play processes ---------------------------------------------------------

// One `quellon-sim play` child. Its standard output (the final "played N
// records" line) is collected through a pipe.
struct Player {
    pid_t pid = -1;
    int output = -1;
    std::string host;
    long played = 0;
};

std::vector<Player> g_players;
volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

Player StartPlayer(const Options& o, const std::string& host) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) Fail(std::string("pipe: ") + std::strerror(errno));
    std::string rate = std::to_string(o.rate);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) Fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        dup2(fds[1], STDOUT_FILENO);
        const char* argv[] = {o.sim.c_str(), "--store", o.store.c_str(), "play",
                              host.c_str(),  "--rate",  rate.c_str(),    nullptr};
        execv(o.sim.c_str(), const_cast<char* const*>(argv));
        _exit(127);
    }
    close(fds[1]);
    Player player;
    player.pid = pid;
    player.output = fds[0];
    player.host = host;
    return player;
}

// Sends SIGTERM, reads what the player printed and reaps it.
void StopPlayer(Player& player) {
    if (player.pid <= 0) return;
    kill(player.pid, SIGTERM);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(player.output, buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(player.output);
    int status = 0;
    while (waitpid(player.pid, &status, 0) < 0 && errno == EINTR) {
    }
    player.pid = -1;
    // "played N records to host H as ..." or "played no records to host H".
    size_t at = text.rfind("played ");
    if (at != std::string::npos) player.played = std::atol(text.c_str() + at + 7);
}

void StopPlayers() {
    for (Player& player : g_players) StopPlayer(player);
}

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "quellon-engine-load: %s\n", text.c_str());
    StopPlayers();
    std::exit(1);
}

// ---- figures ----------------------------------------------------------------

// VmRSS of a process in KiB, or -1.
long ResidentKib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// CPU time (user and system) a process has used so far, in seconds, or -1.
double CpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold
    // blanks: state is field 3, utime field 14, stime field 15.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size() && fields.size() < 13) {
        size_t blank = text.find(' ', at);
        if (blank == std::string::npos) blank = text.size();
        fields.push_back(text.substr(at, blank - at));
        at = blank + 1;
    }
    if (fields.size() < 13) return -1;
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
}

int64_t WallMicros() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Parses "yyyymmddHHMMSS.mmmmmm+UUU" (UUU: minutes east of UTC) into UTC
// microseconds; false when the text does not have that shape.
bool ParseDmtf(std::string_view t, int64_t* micros) {
    if (t.size() < 25 || t[14] != '.' || (t[21] != '+' && t[21] != '-')) return false;
    auto number = [&](size_t at, size_t digits, int64_t* value) {
        int64_t v = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (t[i] < '0' || t[i] > '9') return false;
            v = v * 10 + (t[i] - '0');
        }
        *value = v;
        return true;
    };
    int64_t year, month, day, hour, minute, second, fraction, offset;
    if (!number(0, 4, &year) || !number(4, 2, &month) || !number(6, 2, &day) ||
        !number(8, 2, &hour) || !number(10, 2, &minute) || !number(12, 2, &second) ||
        !number(15, 6, &fraction) || !number(22, 3, &offset)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    if (t[21] == '-') offset = -offset;
    int64_t seconds =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second - offset * 60;
    *micros = seconds * 1000000 + fraction;
    return true;
}

int64_t Percentile(std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t k =
        std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
    return sorted[k];
}

// ---- connections ------------------------------------------------------------

struct Connection {
    int fd = -1;
    loadclient::LoginStep login = loadclient::LoginStep::kGreeting;
    std::string input;
    std::string output;  // not yet sent
    bool wantWrite = false;
    long queued = 0;     // "OK queuing subscription" replies
    long refused = 0;    // other replies to ADD
    long connected = 0;  // CONNECTION_OK notices
    long failed = 0;     // CONNECTION_FAILED notices
    long events = 0;     // NTEVENT records within the measuring window
    long allEvents = 0;  // NTEVENT records in all
    std::string firstProblem;
};

class Driver {
  public:
    explicit Driver(const Options& o) : options(o) {}

    void Run();

  private:
    int Connect();
    void Queue(Connection& c, const std::string& text);
    void Flush(Connection& c);
    void Watch(Connection& c, size_t index);
    // Handles traffic until `done` holds or `deadline` passes; false on the
    // deadline.
    bool PumpUntil(Clock::time_point deadline, const std::function<bool()>& done);
    void OnReadable(Connection& c);
    void OnLine(Connection& c, std::string_view line);
    void OnEvent(Connection& c, std::string_view line);

    void Subscribe();
    // Keeps up to kAddWindow ADD lines unanswered, so that the replies come
    // back while the rest is sent.
    void SendMoreAdds();
    // Connects and logs in the client that never reads (blocking).
    void ConnectSlowClient();
    // Reads what reached the slow client until the connection ends; true
    // when it ends within a few seconds (the listener had closed it).
    bool SlowClientClosed() const;
    void MeasureMemory(long before);
    void MeasureIdle();
    void Play();
    void Report(double seconds);
    void CatchUp();
    void RunSim(const std::vector<std::string>& args);

    static std::string HostName(const Options& o, int index) {
        return o.hostPrefix + std::to_string(index + 1);
    }

    const Options options;
    int epollFd = -1;
    std::vector<Connection> connections;
    int loggedIn = 0;

    // The measuring window, and the arrival stamp of the bytes being parsed.
    bool windowOpen = false;
    Clock::time_point windowStart;
    Clock::time_point windowEnd;
    Clock::time_point arrivedAt;
    int64_t arrivedAtWall = 0;
    std::vector<int64_t> latencies;  // microseconds
    long unparsedTimes = 0;

    // The client that never reads.
    int slowFd = -1;
    // The catch-up phase: only host `latencyHost`'s records are timed;
    // records of `catchHost` reaching the first client are counted.
    std::string latencyHost;
    std::string catchHost;
    long caught = 0;
    long catchReestab = 0;
    long catchFailed = 0;
    Clock::time_point lastCaught;

    static constexpr size_t kAddWindow = 16;
    std::vector<std::string> addLines;
    size_t addsSent = 0;
};

int Driver::Connect() { return loadclient::Connect(options.address, options.port, Fail); }

void Driver::Watch(Connection& c, size_t index) {
    epoll_event event{};
    event.events = EPOLLIN | (c.wantWrite ? EPOLLOUT : 0u);
    event.data.u64 = index;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &event);
}

void Driver::Queue(Connection& c, const std::string& text) {
    c.output += text;
    Flush(c);
}

void Driver::Flush(Connection& c) {
    while (!c.output.empty()) {
        ssize_t n = ::send(c.fd, c.output.data(), c.output.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.output.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        Fail(std::string("send: ") + std::strerror(errno));
    }
    bool want = !c.output.empty();
    if (want != c.wantWrite) {
        c.wantWrite = want;
        Watch(c, static_cast<size_t>(&c - connections.data()));
    }
}

bool Driver::PumpUntil(Clock::time_point deadline, const std::function<bool()>& done) {
    std::vector<epoll_event> events(connections.size());
    while (!done()) {
        if (g_interrupted) Fail("interrupted");
        Clock::time_point now = Clock::now();
        if (now >= deadline) return false;
        if (windowOpen && now >= windowEnd) windowOpen = false;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        int n = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()),
                           static_cast<int>(std::clamp<long>(wait, 1, 100)));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(std::string("epoll_wait: ") + std::strerror(errno));
        }
        arrivedAt = Clock::now();
        arrivedAtWall = WallMicros();
        for (int i = 0; i < n; ++i) {
            Connection& c = connections[events[i].data.u64];
            if (events[i].events & EPOLLOUT) Flush(c);
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) OnReadable(c);
        }
    }
    return true;
}

void Driver::OnReadable(Connection& c) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            c.input.append(buffer, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buffer) break;
            continue;
        }
        if (n == 0) Fail("the listener closed a connection");
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == ECONNRESET) Fail("the listener reset a connection");
        if (errno != EINTR) Fail(std::string("recv: ") + std::strerror(errno));
    }
    loadclient::TakeLines(c.input, [&](std::string_view line) { OnLine(c, line); });
}

void Driver::OnLine(Connection& c, std::string_view line) {
    auto startsWith = [&](std::string_view prefix) {
        return line.substr(0, prefix.size()) == prefix;
    };
    switch (loadclient::Login(
        c.login, line, options.user, options.password,
        [&](const std::string& text) { Queue(c, text); }, Fail)) {
        case loadclient::LoginResult::kPending:
            return;
        case loadclient::LoginResult::kLoggedIn:
            ++loggedIn;
            return;
        case loadclient::LoginResult::kNotMine:
            break;
    }
    if (startsWith("NTEVENT: ")) {
        OnEvent(c, line);
    } else if (startsWith("CONNECTION_OK ")) {
        ++c.connected;
    } else if (startsWith("OK queuing subscription")) {
        ++c.queued;
        if (&c == &connections[0]) SendMoreAdds();
    } else if (startsWith("CONNECTION_REESTAB ")) {
        if (&c == &connections[0] && !catchHost.empty() &&
            line.substr(19, catchHost.size() + 1) == catchHost + " ") {
            ++catchReestab;
        }
    } else if (startsWith("CONNECTION_FAILED")) {
        if (&c == &connections[0] && !catchHost.empty() &&
            line.find(" " + catchHost + " ") != std::string_view::npos) {
            ++catchFailed;
        }
        ++c.failed;
        if (c.firstProblem.empty()) c.firstProblem = line;
    } else if (startsWith("ERROR")) {
        ++c.refused;
        if (c.firstProblem.empty()) c.firstProblem = line;
        if (&c == &connections[0]) SendMoreAdds();
    } else if (startsWith("Server shutdown")) {
        Fail("the listener is shutting down");
    }
}

void Driver::OnEvent(Connection& c, std::string_view line) {
    ++c.allEvents;
    if (!catchHost.empty()) {
        std::string_view host = line.substr(9, line.find(' ', 9) - 9);
        if (host == catchHost) {
            if (&c == &connections[0]) {
                ++caught;
                lastCaught = arrivedAt;
            }
            return;
        }
        if (host != latencyHost) return;
    }
    if (!windowOpen || arrivedAt < windowStart) return;
    if (arrivedAt >= windowEnd) {
        windowOpen = false;
        return;
    }
    ++c.events;
    // "NTEVENT: <host> <time> ..."
    std::string_view rest = line.substr(9);
    size_t blank = rest.find(' ');
    int64_t written = 0;
    if (blank == std::string_view::npos || !ParseDmtf(rest.substr(blank + 1), &written)) {
        ++unparsedTimes;
        return;
    }
    latencies.push_back(arrivedAtWall - written);
}

void Driver::Subscribe() {
    static const char* const kNamedLogs[] = {"*", "System", "Security", "Application", "Setup"};
    Connection& control = connections[0];
    for (int k = 0; k < options.subscriptions; ++k) {
        int host = k % options.hosts;
        int round = k / options.hosts;
        std::string category = round < 5 ? kNamedLogs[round] : "Log" + std::to_string(round);
        if (host < options.playHosts && round > 0) category = "Quiet" + std::to_string(round);
        std::string severity = round == 0 ? "*" : std::to_string(1 + k % 5);
        addLines.push_back("ADD " + HostName(options, host) + " " + category + " " + severity +
                           "\r\n");
    }
    Clock::time_point started = Clock::now();
    SendMoreAdds();
    const long wanted = options.subscriptions;
    bool complete = PumpUntil(started + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options.connectTimeout)),
                              [&] {
                                  return control.queued + control.refused >= wanted &&
                                         control.connected + control.failed >= control.queued;
                              });
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf(
        "subscriptions=%d hosts=%d queued=%ld refused=%ld connected=%ld failed=%ld "
        "subscribe_seconds=%.3f%s\n",
        options.subscriptions, options.hosts, control.queued, control.refused, control.connected,
        control.failed, seconds, complete ? "" : " timed_out=1");
    if (!control.firstProblem.empty()) {
        std::printf("first_problem=\"%s\"\n", control.firstProblem.c_str());
    }
    std::fflush(stdout);
    if (control.connected == 0) Fail("no subscription connected");
}

void Driver::SendMoreAdds() {
    Connection& control = connections[0];
    const size_t answered = static_cast<size_t>(control.queued + control.refused);
    while (addsSent < addLines.size() && addsSent - answered < kAddWindow) {
        Queue(control, addLines[addsSent++]);
    }
}

void Driver::ConnectSlowClient() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(options.port));
    inet_pton(AF_INET, options.address.c_str(), &sa.sin_addr);
    slowFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A small receive buffer: what the client does not read stays with the
    // listener.
    int size = 4096;
    setsockopt(slowFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (connect(slowFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Fail(std::string("connect: ") + std::strerror(errno));
    }
    auto readLine = [&] {
        std::string line;
        char c;
        while (recv(slowFd, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n') break;
        }
        return line;
    };
    readLine();
    std::string login = "LOGIN " + options.user + " " + options.password + "\r\n";
    send(slowFd, login.data(), login.size(), MSG_NOSIGNAL);
    std::string reply = readLine();
    if (reply.rfind("OK authentication", 0) != 0) Fail("the slow client's login: " + reply);
}

bool Driver::SlowClientClosed() const {
    char buffer[65536];
    for (;;) {
        pollfd entry{slowFd, POLLIN, 0};
        if (poll(&entry, 1, 5000) != 1) return false;
        ssize_t n = recv(slowFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return errno == ECONNRESET;
    }
}

void Driver::MeasureMemory(long before) {
    PumpUntil(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.settle)),
              [] { return false; });
    long after = ResidentKib(options.serverPid);
    long connected = connections[0].connected;
    double perSubscription =
        connected > 0 ? static_cast<double>(after - before) / static_cast<double>(connected) : 0;
    std::printf("rss_before_kib=%ld rss_after_kib=%ld rss_per_subscription_kib=%.1f\n", before,
                after, perSubscription);
    std::fflush(stdout);
}

void Driver::MeasureIdle() {
    // A moment for the last connections to settle into polling.
    PumpUntil(Clock::now() + std::chrono::seconds(2), [] { return false; });
    double cpuAtStart = CpuSeconds(options.serverPid);
    Clock::time_point started = Clock::now();
    PumpUntil(started + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(options.idle)),
              [] { return false; });
    double cpuAtEnd = CpuSeconds(options.serverPid);
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("idle_seconds=%.1f listener_idle_cpu_seconds=%.2f listener_idle_cpu_share=%.4f\n",
                seconds, cpuAtEnd - cpuAtStart, (cpuAtEnd - cpuAtStart) / seconds);
    std::fflush(stdout);
}

void Driver::Play() {
    const int playedHosts = options.playHosts < 0 ? options.hosts : options.playHosts;
    for (int h = 0; h < playedHosts; ++h) {
        g_players.push_back(StartPlayer(options, HostName(options, h)));
    }
    Clock::time_point playStarted = Clock::now();
    windowStart = playStarted + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(options.warmup));
    windowEnd = windowStart + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options.duration));
    windowOpen = true;
    PumpUntil(windowStart, [] { return false; });
    double cpuAtStart = options.serverPid > 0 ? CpuSeconds(options.serverPid) : -1;
    // The window in slices, to sample the listener's memory between them.
    long peakKib = -1;
    const auto slice = std::chrono::milliseconds(250);
    for (Clock::time_point now = Clock::now(); now < windowEnd; now = Clock::now()) {
        PumpUntil(std::min(windowEnd, now + slice), [] { return false; });
        if (options.serverPid > 0) peakKib = std::max(peakKib, ResidentKib(options.serverPid));
    }
    windowOpen = false;
    double cpuAtEnd = options.serverPid > 0 ? CpuSeconds(options.serverPid) : -1;
    double playSeconds = std::chrono::duration<double>(Clock::now() - playStarted).count();
    StopPlayers();
    long played = 0;
    for (const Player& player : g_players) played += player.played;
    std::printf(
        "play_hosts=%d rate_per_host=%ld played=%ld play_seconds=%.3f "
        "played_per_second=%.0f\n",
        playedHosts, options.rate, played, playSeconds, static_cast<double>(played) / playSeconds);
    Report(options.duration);
    if (peakKib >= 0) std::printf("rss_peak_kib=%ld\n", peakKib);
    if (slowFd >= 0) std::printf("slow_client_closed=%d\n", SlowClientClosed() ? 1 : 0);
    if (cpuAtStart >= 0 && cpuAtEnd >= 0) {
        // How busy the listener was while the window was open.
        std::printf("listener_cpu_seconds=%.2f listener_cpu_share=%.2f\n", cpuAtEnd - cpuAtStart,
                    (cpuAtEnd - cpuAtStart) / options.duration);
    }
}

void Driver::Report(double seconds) {
    long least = -1;
    for (size_t i = 0; i < connections.size(); ++i) {
        const Connection& c = connections[i];
        std::printf("client=%zu events=%ld events_per_second=%.0f events_in_all=%ld\n", i, c.events,
                    static_cast<double>(c.events) / seconds, c.allEvents);
        if (least < 0 || c.events < least) least = c.events;
    }
    std::printf("least_events_per_second_per_client=%.0f\n", static_cast<double>(least) / seconds);
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "latency_samples=%zu latency_p50_ms=%.1f latency_p99_ms=%.1f latency_max_ms=%.1f "
        "unparsed_times=%ld\n",
        latencies.size(), static_cast<double>(Percentile(latencies, 0.50)) / 1000.0,
        static_cast<double>(Percentile(latencies, 0.99)) / 1000.0,
        latencies.empty() ? 0.0 : static_cast<double>(latencies.back()) / 1000.0, unparsedTimes);
    std::fflush(stdout);
}

void Driver::RunSim(const std::vector<std::string>& args) {
    std::vector<std::string> words = {options.sim, "--store", options.store};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) Fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execv(options.sim.c_str(), argv.data());
        _exit(127);
    }
    // The listener's traffic goes on being read while the tool runs.
    int status = 0;
    PumpUntil(Clock::now() + std::chrono::minutes(10),
              [&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("quellon-sim " + args[0] + " failed");
}

void Driver::CatchUp() {
    catchHost = HostName(options, 0);
    latencyHost = HostName(options, 1);
    g_players.push_back(StartPlayer(options, latencyHost));
    auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    // Host 2 alone: its latency without a catch-up running.
    windowStart = Clock::now() + seconds(options.warmup);
    windowEnd = windowStart + seconds(options.duration);
    windowOpen = true;
    PumpUntil(windowEnd, [] { return false; });
    windowOpen = false;
    std::vector<int64_t> alone;
    alone.swap(latencies);

    RunSim({"host", "down", catchHost});
    if (!PumpUntil(Clock::now() + std::chrono::seconds(60), [&] { return catchFailed > 0; })) {
        Fail("host " + catchHost + " was not reported down");
    }
    Clock::time_point writeStart = Clock::now();
    RunSim({"play", catchHost, "--count", std::to_string(options.catchup), "--rate", "0"});
    double writeSeconds = std::chrono::duration<double>(Clock::now() - writeStart).count();
    caught = 0;
    RunSim({"host", "up", catchHost});
    if (!PumpUntil(Clock::now() + std::chrono::seconds(120), [&] { return catchReestab > 0; })) {
        Fail("host " + catchHost + " did not reconnect");
    }
    Clock::time_point reestab = arrivedAt;
    long before = caught;
    windowStart = reestab;
    windowEnd = reestab + std::chrono::hours(1);
    windowOpen = true;
    bool complete = PumpUntil(Clock::now() + std::chrono::seconds(300),
                              [&] { return caught >= options.catchup; });
    windowOpen = false;
    double catchSeconds = std::chrono::duration<double>(lastCaught - reestab).count();
    StopPlayers();
    std::sort(alone.begin(), alone.end());
    std::sort(latencies.begin(), latencies.end());
    std::printf("catchup_written=%ld catchup_write_seconds=%.3f catchup_received=%ld%s\n",
                options.catchup, writeSeconds, caught, complete ? "" : " timed_out=1");
    // Records that had arrived with the reconnect notice are part of the
    // catch-up too; the rate counts from the notice.
    std::printf("catchup_seconds=%.3f catchup_records_per_second=%.0f with_the_notice=%ld\n",
                catchSeconds, catchSeconds > 0 ? static_cast<double>(caught) / catchSeconds : 0.0,
                before);
    std::printf(
        "live_alone_samples=%zu live_alone_p50_ms=%.1f live_alone_p99_ms=%.1f "
        "live_during_samples=%zu live_during_p50_ms=%.1f live_during_p99_ms=%.1f\n",
        alone.size(), static_cast<double>(Percentile(alone, 0.50)) / 1000.0,
        static_cast<double>(Percentile(alone, 0.99)) / 1000.0, latencies.size(),
        static_cast<double>(Percentile(latencies, 0.50)) / 1000.0,
        static_cast<double>(Percentile(latencies, 0.99)) / 1000.0);
    std::fflush(stdout);
}

void Driver::Run() {
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    connections.resize(static_cast<size_t>(options.clients));
    for (size_t i = 0; i < connections.size(); ++i) {
        connections[i].fd = Connect();
        loadclient::WatchReadable(epollFd, connections[i].fd, i);
    }
    if (!PumpUntil(Clock::now() + std::chrono::seconds(10),
                   [&] { return loggedIn == options.clients; })) {
        Fail("the clients did not log in within 10 s");
    }
    if (options.slowClient) ConnectSlowClient();
    long before = options.serverPid > 0 ? ResidentKib(options.serverPid) : -1;
    if (before >= 0) std::printf("rss_start_kib=%ld\n", before);
    Subscribe();
    if (options.serverPid > 0 && options.settle > 0) MeasureMemory(before);
    if (options.serverPid > 0 && options.idle > 0) MeasureIdle();
    if (options.catchup > 0) {
        CatchUp();
    } else if (options.rate >= 0) {
        Play();
    }
    for (Connection& c : connections) close(c.fd);
    if (slowFd >= 0) close(slowFd);
    close(epollFd);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--address") {
            o.address = value();
        } else if (arg == "--port") {
            o.port = std::atoi(value().c_str());
        } else if (arg == "--clients") {
            o.clients = std::atoi(value().c_str());
        } else if (arg == "--user") {
            o.user = value();
        } else if (arg == "--password") {
            o.password = value();
        } else if (arg == "--host-prefix") {
            o.hostPrefix = value();
        } else if (arg == "--hosts") {
            o.hosts = std::atoi(value().c_str());
        } else if (arg == "--subscriptions") {
            o.subscriptions = std::atoi(value().c_str());
        } else if (arg == "--server-pid") {
            o.serverPid = std::atoi(value().c_str());
        } else if (arg == "--settle") {
            o.settle = std::atof(value().c_str());
        } else if (arg == "--sim") {
            o.sim = value();
        } else if (arg == "--store") {
            o.store = value();
        } else if (arg == "--rate") {
            o.rate = std::atol(value().c_str());
        } else if (arg == "--play-hosts") {
            o.playHosts = std::atoi(value().c_str());
        } else if (arg == "--idle") {
            o.idle = std::atof(value().c_str());
        } else if (arg == "--warmup") {
            o.warmup = std::atof(value().c_str());
        } else if (arg == "--duration") {
            o.duration = std::atof(value().c_str());
        } else if (arg == "--slow-client") {
            o.slowClient = true;
        } else if (arg == "--catchup") {
            o.catchup = std::atol(value().c_str());
        } else if (arg == "--connect-timeout") {
            o.connectTimeout = std::atof(value().c_str());
        } else {
            Fail("unknown option " + arg);
        }
    }
    if (o.port < 1 || o.port > 65535) Fail("--port must be between 1 and 65535");
    if (o.clients < 1 || o.hosts < 1 || o.subscriptions < 1) {
        Fail("--clients, --hosts and --subscriptions must be positive");
    }
    if (o.rate >= 0 && (o.sim.empty() || o.store.empty())) Fail("--rate needs --sim and --store");
    if (o.duration <= 0 || o.warmup < 0 || o.settle < 0 || o.idle < 0) {
        Fail("durations must not be negative");
    }
    if (o.playHosts > o.hosts) Fail("--play-hosts must not exceed --hosts");
    if (o.catchup > 0 && (o.hosts < 2 || o.rate < 0)) Fail("--catchup needs --hosts 2 and --rate");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = Parse(argc, argv);
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Driver driver(options);
    driver.Run();
    return 0;
}
