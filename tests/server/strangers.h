// Strangers for the listener's per-source tests: connections from one
// loopback address that never send a byte (so never log in, and over TLS
// never finish a handshake) and reconnect at once whenever the server closes
// or resets them, until the object goes. One thread per connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/loopbackclient.h"

class Strangers {
  public:
    Strangers(uint16_t port, const std::string& source, int count) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, port, source] {
                while (!stop.load()) {
                    LoopbackClient client(port, 50, 0, source.c_str());
                    if (!client.Connected()) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                        continue;
                    }
                    connects.fetch_add(1);
                    char buffer[512];
                    while (!stop.load()) {
                        long n = client.Receive(buffer, sizeof buffer);
                        if (n == 0 || (n < 0 && client.PeerReset())) break;
                    }
                }
            });
        }
    }
    ~Strangers() {
        stop.store(true);
        for (std::thread& thread : threads) thread.join();
    }
    Strangers(const Strangers&) = delete;
    Strangers& operator=(const Strangers&) = delete;

    // Connections made so far (each reconnect counts).
    int Connects() const { return connects.load(); }

  private:
    std::atomic<bool> stop{false};
    std::atomic<int> connects{0};
    std::vector<std::thread> threads;
};
