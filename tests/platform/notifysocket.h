// The service manager's side of status notifications in tests: a datagram
// socket bound where NOTIFY_SOCKET points (a path, or an abstract name that
// starts with '@'), collecting every datagram the service sends.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

class NotifySocket {
  public:
    explicit NotifySocket(const std::string& name) : name(name) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (name.empty() || name.size() >= sizeof addr.sun_path) return;
        std::memcpy(addr.sun_path, name.data(), name.size());
        if (name[0] == '@') addr.sun_path[0] = '\0';
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    }
    ~NotifySocket() {
        close(fd);
        if (bound && name[0] == '/') unlink(name.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Reads the datagrams waiting now, keeps them in messages and returns them.
    std::vector<std::string> drain() {
        std::vector<std::string> fresh;
        char buffer[512];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            fresh.emplace_back(buffer, static_cast<size_t>(n));
        }
        messages.insert(messages.end(), fresh.begin(), fresh.end());
        return fresh;
    }

    // Collects datagrams until one received so far contains want or limitMs
    // have passed.
    bool waitFor(const std::string& want, int limitMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            if (index(want) >= 0) return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) > 0) drain();
        }
    }

    // Position of the first datagram received so far that contains want; -1
    // when none does.
    int index(const std::string& want) const {
        for (size_t i = 0; i < messages.size(); ++i) {
            if (messages[i].find(want) != std::string::npos) return static_cast<int>(i);
        }
        return -1;
    }

    std::string name;
    int fd;
    bool bound = false;
    std::vector<std::string> messages;  // every datagram received, in order
};
