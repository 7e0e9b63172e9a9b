// A blocking TCP client for server tests: connects to 127.0.0.1, sends raw
// bytes and reads CR LF terminated lines, with a receive time-out so that a
// missing reply fails the test instead of hanging it. Eventually
// (tests/platform/eventually.h) comes with it for the server's side effects.
#pragma once

#include <string>
#include <vector>

#include "tests/platform/eventually.h"
#include "tests/platform/loopbackclient.h"

class LineClient {
  public:
    // A receiveBuffer above 0 sets the socket's receive buffer (SO_RCVBUF)
    // before it connects, which keeps the data in flight to it small. A
    // source ("127.0.0.2") is the loopback address it connects from.
    explicit LineClient(uint16_t port, int timeoutMs = 5000, int receiveBuffer = 0,
                        const char* source = nullptr)
        : socket(port, timeoutMs, receiveBuffer, source) {}
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    bool Connected() const { return socket.Connected(); }

    bool SendRaw(const std::string& bytes) { return socket.Send(bytes.data(), bytes.size()); }
    bool SendLine(const std::string& line) { return SendRaw(line + "\r\n"); }

    // Reads lines until one starts with `prefix`; returns it ("" on time-out
    // or close). Lines read on the way are appended to *skipped when given.
    std::string ReadUntil(const std::string& prefix, std::vector<std::string>* skipped = nullptr) {
        for (int i = 0; i < 10000; ++i) {
            std::string line = ReadLine();
            if (line.empty()) return "";
            if (line.rfind(prefix, 0) == 0) return line;
            if (skipped) skipped->push_back(line);
        }
        return "";
    }

    // The next line including its CR LF; what arrived before a time-out or
    // the end of the connection otherwise (possibly empty).
    std::string ReadLine() {
        for (;;) {
            size_t end = pending.find("\r\n");
            if (end != std::string::npos) {
                std::string line = pending.substr(0, end + 2);
                pending.erase(0, end + 2);
                return line;
            }
            if (!Fill()) {
                std::string rest;
                rest.swap(pending);
                return rest;
            }
        }
    }

    // Exactly count bytes, or fewer at a time-out or the end of the connection.
    std::string ReadBytes(size_t count) {
        while (pending.size() < count && Fill()) {
        }
        std::string bytes = pending.substr(0, count);
        pending.erase(0, bytes.size());
        return bytes;
    }

    // True when data that was not read yet has arrived; does not wait.
    bool HasData() { return !pending.empty() || socket.HasData(); }

    // True when the server closes the connection (end of stream or reset)
    // before the time-out, with no further data on the way.
    bool WaitClosed() {
        if (!pending.empty()) return false;
        char c;
        long n = socket.Receive(&c, 1);
        return n == 0 || (n < 0 && socket.PeerReset());
    }

    // True when the server ends the connection in order (end of stream, no
    // reset) before the time-out, with no further data on the way.
    bool WaitOrderlyEnd() {
        if (!pending.empty()) return false;
        char c;
        return socket.Receive(&c, 1) == 0;
    }

    // The error the connection has met (ECONNRESET once the peer reset it),
    // 0 when none; reading it clears it. Reads no data and does not wait, so
    // it also tells a client with unread data that it was reset.
    int TakeError() { return socket.TakeError(); }

    // Reads the greeting, logs in and returns the reply.
    std::string Login(const std::string& user, const std::string& password) {
        ReadLine();
        SendLine("LOGIN " + user + " " + password);
        return ReadLine();
    }

    // Closes with a reset instead of an orderly close.
    void Reset() { socket.Reset(); }
    void Close() { socket.Close(); }

  private:
    bool Fill() {
        char buffer[8192];
        long n = socket.Receive(buffer, sizeof buffer);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<size_t>(n));
        return true;
    }

    LoopbackClient socket;
    std::string pending;
};
