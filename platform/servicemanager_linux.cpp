// DESIGN
// The service manager is systemd.
//
// Registration. A service is a unit file "<name>.service" in the unit folder
// (/etc/systemd/system, or $QUELLON_UNIT_DIR when set and not empty).
// Creating the service writes Description=, ExecStart=, Type=notify and User=
// (when an account is given) and no [Install] section, so the service runs
// when started by hand. The folder is the "manager": it opens when it exists,
// is a folder and may be written. The command line is escaped for systemd so
// that the program receives exactly its words; the unit names only the user
// of "domain\user" (root without an account). What systemd cannot give: there
// is no password to store (the account runs without one; it is not written)
// and no logon right to grant; a unit written while systemd runs is seen
// after "systemctl daemon-reload". Registration writes and removes one unit
// file; nothing is kept in memory.
//
// Controls and status. SIGTERM and SIGINT become the stop control, SIGHUP the
// interrogate control. Status reports become READY=1 (RUNNING), STOPPING=1
// (STOP_PENDING) and STATUS= datagrams on $NOTIFY_SOCKET when it is set; an
// unreachable notify socket is not a failure.
//
// Dispatch uses two threads. The dispatching thread (the caller of
// StartServiceDispatcher) blocks SIGTERM, SIGINT and SIGHUP before it starts
// the service thread, so every thread of the service inherits the blocked set
// and the signals stay pending until the dispatcher reads them from a
// signalfd. It polls that signalfd and an eventfd ("wake") which the service
// side writes after registering its handler, after every status report and
// when its main routine returns. Signals become controls in arrival order in
// a queue owned by the dispatching thread; a control is handed to the handler
// once the last reported state lets the service take it (held while starting,
// dropped while stopping). The handler runs on the dispatching thread without
// any lock held. Shutdown: when the main routine has returned the dispatcher
// joins its thread, reads away signals still pending, closes its descriptors
// and restores the caller's signal mask.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "platform/servicemanager.h"

namespace platform {

namespace {

constexpr const char* kDefaultUnitDirectory = "/etc/systemd/system";

// ---- Registration helpers ----

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// systemd expands specifiers (%) in both settings and variables ($) and
// C escapes (\) in command lines; doubling them passes them on literally.
std::string escapeCommandLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '%' || c == '$') out += c;
        out += c;
    }
    return out;
}

std::string escapeSpecifiers(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '%') out += c;
        out += c;
    }
    return out;
}

// The user part of "domain\user"; the whole text when it has no backslash.
std::string localUserName(const std::string& account) {
    std::string::size_type slash = account.find('\\');
    return slash == std::string::npos ? account : account.substr(slash + 1);
}

bool writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// ---- Dispatch state ----

// Shared between the dispatching thread and every thread of the service.
struct Dispatcher {
    // Guards every field below. A leaf lock: nothing else is taken while it
    // is held; the notify datagram is sent under it without blocking, so the
    // datagrams leave in the order of the reports.
    Mutex lock;
    bool active GUARDED_BY(lock) = false;
    std::string serviceName GUARDED_BY(lock);
    ServiceHandlerFunction handler GUARDED_BY(lock) = nullptr;
    ServiceStatusHandle handle GUARDED_BY(lock) = 0;
    ServiceStatusHandle lastHandle GUARDED_BY(lock) = 0;
    bool statusReported GUARDED_BY(lock) = false;
    ServiceStatus status GUARDED_BY(lock);
    bool serviceEnded GUARDED_BY(lock) = false;
    std::string notifySocket GUARDED_BY(lock);
    int wakeFd GUARDED_BY(lock) = -1;
};

Dispatcher g_dispatcher;

void wake(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    // A full counter already means "wake"; nothing else can fail here.
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

std::string notifyText(uint32_t state) {
    switch (state) {
        case kServiceStartPending:
            return "STATUS=Starting";
        case kServiceRunning:
            return "READY=1\nSTATUS=Running";
        case kServiceStopPending:
            return "STOPPING=1\nSTATUS=Stopping";
        case kServiceStopped:
            return "STATUS=Stopped";
        case kServicePausePending:
            return "STATUS=Pausing";
        case kServicePaused:
            return "STATUS=Paused";
        case kServiceContinuePending:
            return "STATUS=Resuming";
        default:
            return "STATUS=State " + std::to_string(state);
    }
}

// Sends one datagram to the service manager's socket: a path, or an abstract
// name written with a leading '@'. Never blocks; a manager that does not take
// the datagram does not hold up the service.
void notifyServiceManager(const std::string& socketName, const std::string& text) {
    if (socketName.empty() || (socketName[0] != '/' && socketName[0] != '@')) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketName.size() > sizeof addr.sun_path ||
        (socketName[0] == '/' && socketName.size() == sizeof addr.sun_path)) {
        return;
    }
    std::memcpy(addr.sun_path, socketName.data(), socketName.size());
    if (socketName[0] == '@') addr.sun_path[0] = '\0';
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName.size());
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ssize_t sent;
    do {
        sent = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                        reinterpret_cast<const sockaddr*>(&addr), length);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
}

// Turns every signal waiting on the signalfd into a control.
void readSignals(int signalFd, std::deque<uint32_t>& controls) {
    signalfd_siginfo info;
    for (;;) {
        ssize_t n = ::read(signalFd, &info, sizeof info);
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof info)) return;
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) {
            controls.push_back(kServiceControlStop);
        } else if (info.ssi_signo == SIGHUP) {
            controls.push_back(kServiceControlInterrogate);
        }
    }
}

void drainWake(int fd) {
    uint64_t count;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

// Hands queued controls to the handler as far as the service's state allows.
void deliverControls(std::deque<uint32_t>& controls) {
    while (!controls.empty()) {
        uint32_t control = controls.front();
        ServiceHandlerFunction handler = nullptr;
        {
            MutexLock guard(g_dispatcher.lock);
            if (g_dispatcher.serviceEnded) {
                controls.clear();
                return;
            }
            if (g_dispatcher.handler == nullptr || !g_dispatcher.statusReported ||
                g_dispatcher.status.currentState == kServiceStartPending) {
                return;  // held until the service runs
            }
            uint32_t state = g_dispatcher.status.currentState;
            bool accepted = state != kServiceStopped && state != kServiceStopPending;
            if (control == kServiceControlStop &&
                (g_dispatcher.status.controlsAccepted & kServiceAcceptStop) == 0) {
                accepted = false;
            }
            if (accepted) handler = g_dispatcher.handler;
        }
        controls.pop_front();
        // The handler may report status and so take the lock itself.
        if (handler != nullptr) handler(control);
    }
}

// The unit folder.
std::string ServiceUnitDirectory() {
    const char* dir = std::getenv("QUELLON_UNIT_DIR");
    return (dir != nullptr && *dir != '\0') ? std::string(dir) : std::string(kDefaultUnitDirectory);
}

// Full path of the unit file of serviceName.
std::string ServiceUnitPath(const std::string& serviceName) {
    return ServiceUnitDirectory() + "/" + serviceName + ".service";
}

}  // namespace

// ---- Registration ----

bool OpenServiceManager() {
    std::string dir = ServiceUnitDirectory();
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

bool ServiceExists(const std::string& serviceName) {
    struct stat st;
    return ::stat(ServiceUnitPath(serviceName).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RegisterService(const std::string& serviceName, const std::string& displayName,
                     const std::string& commandLine, const std::string& account,
                     const std::string& /*password*/) {
    if (serviceName.empty() || serviceName.find('/') != std::string::npos ||
        hasLineBreak(serviceName) || hasLineBreak(displayName) || hasLineBreak(commandLine) ||
        hasLineBreak(account)) {
        return false;
    }
    std::string user;
    if (!account.empty()) {
        user = localUserName(account);
        if (!AccountExists(user)) return false;
    }

    std::string text = "[Unit]\nDescription=" + escapeSpecifiers(displayName) +
                       "\n\n[Service]\nType=notify\nExecStart=" + escapeCommandLine(commandLine) +
                       "\n";
    if (!user.empty()) text += "User=" + escapeSpecifiers(user) + "\n";

    std::string path = ServiceUnitPath(serviceName);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (!ok) ::unlink(path.c_str());
    return ok;
}

bool DeleteService(const std::string& serviceName) {
    return ServiceExists(serviceName) && ::unlink(ServiceUnitPath(serviceName).c_str()) == 0;
}

bool AccountExists(const std::string& userName) {
    if (userName.empty()) return false;
    passwd entry;
    passwd* found = nullptr;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    for (;;) {
        int rc = ::getpwnam_r(userName.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return rc == 0 && found != nullptr;
    }
}

// ---- Dispatch ----

bool StartServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain) {
    {
        MutexLock guard(g_dispatcher.lock);
        if (g_dispatcher.active || serviceMain == nullptr) return false;
        g_dispatcher.active = true;  // claims the dispatcher for this call
    }
    auto release = [] {
        MutexLock guard(g_dispatcher.lock);
        g_dispatcher.active = false;
        g_dispatcher.handler = nullptr;
        g_dispatcher.handle = 0;
        g_dispatcher.wakeFd = -1;
    };

    sigset_t controlSignals;
    sigemptyset(&controlSignals);
    sigaddset(&controlSignals, SIGTERM);
    sigaddset(&controlSignals, SIGINT);
    sigaddset(&controlSignals, SIGHUP);
    sigset_t previousMask;
    if (pthread_sigmask(SIG_BLOCK, &controlSignals, &previousMask) != 0) {
        release();
        return false;
    }
    int signalFd = ::signalfd(-1, &controlSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    auto closeAll = [&] {
        if (signalFd >= 0) ::close(signalFd);
        if (wakeFd >= 0) ::close(wakeFd);
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    };
    if (signalFd < 0 || wakeFd < 0) {
        release();
        closeAll();
        return false;
    }

    {
        MutexLock guard(g_dispatcher.lock);
        g_dispatcher.serviceName = serviceName;
        g_dispatcher.handler = nullptr;
        g_dispatcher.handle = 0;
        g_dispatcher.statusReported = false;
        g_dispatcher.status = ServiceStatus();
        g_dispatcher.serviceEnded = false;
        const char* notify = std::getenv("NOTIFY_SOCKET");
        g_dispatcher.notifySocket = notify != nullptr ? notify : "";
        g_dispatcher.wakeFd = wakeFd;
    }

    std::thread serviceThread;
    try {
        serviceThread = std::thread([serviceName, serviceMain] {
            std::string name = serviceName;
            char* argv[2] = {name.data(), nullptr};
            serviceMain(1, argv);
            MutexLock guard(g_dispatcher.lock);
            g_dispatcher.serviceEnded = true;
            wake(g_dispatcher.wakeFd);
        });
    } catch (const std::system_error&) {
        release();
        closeAll();
        return false;
    }

    std::deque<uint32_t> controls;
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            // Only EINTR or a shortage of kernel memory can end up here; try
            // again rather than leave the service without its controls.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        readSignals(signalFd, controls);
        drainWake(wakeFd);
        deliverControls(controls);
        MutexLock guard(g_dispatcher.lock);
        if (g_dispatcher.serviceEnded) break;
    }

    serviceThread.join();
    std::deque<uint32_t> late;
    readSignals(signalFd, late);  // the service has ended; these are dropped
    release();
    closeAll();
    return true;
}

ServiceStatusHandle RegisterServiceHandler(const std::string& serviceName,
                                           ServiceHandlerFunction handler) {
    MutexLock guard(g_dispatcher.lock);
    if (!g_dispatcher.active || handler == nullptr || serviceName != g_dispatcher.serviceName) {
        return 0;
    }
    g_dispatcher.handler = handler;
    g_dispatcher.handle = ++g_dispatcher.lastHandle;
    if (g_dispatcher.handle == 0) g_dispatcher.handle = ++g_dispatcher.lastHandle;
    wake(g_dispatcher.wakeFd);
    return g_dispatcher.handle;
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    MutexLock guard(g_dispatcher.lock);
    if (!g_dispatcher.active || handle == 0 || handle != g_dispatcher.handle) return false;
    bool changed =
        !g_dispatcher.statusReported || g_dispatcher.status.currentState != status.currentState;
    g_dispatcher.status = status;
    g_dispatcher.statusReported = true;
    if (changed) notifyServiceManager(g_dispatcher.notifySocket, notifyText(status.currentState));
    wake(g_dispatcher.wakeFd);
    return true;
}

unsigned long CurrentThreadId() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

}  // namespace platform
