// CLoginBudget: the password-guessing budget of the command server, per
// source block (serverframework/sourceblock.h: a client's address cut to a
// configured prefix, by default a /32 for IPv4 and a /64 for IPv6, so that
// the addresses of one network share one budget). Each connection already
// waits a second after each failed LOGIN and is closed after the third, but
// a source with many connections could still guess hundreds of times a
// second. The budget is kept across connections: a block's failed logins are
// answered at most ten a second, and once it has failed more than ten times
// within a minute each further failure is answered twice as late as the one
// before, up to a minute; while it is over its budget it may hold only a few
// connections that have not logged in. A block without recent failures is
// never slowed down, and a correct LOGIN is always answered at once.
//
// Owned by the command server (CWmiLogEventServer), which passes each
// connection's source block as `address`. Called from the thread that
// announces a connection, the worker thread (failed and successful logins)
// and any thread that closes a connection; every member is thread-safe.
// Times are given by the caller, so tests need no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class CLoginBudget {
  public:
    using Clock = std::chrono::steady_clock;

    // Failed logins an address may have within kWindow before the back-off.
    static constexpr int kFreeFailures = 10;
    static constexpr auto kWindow = std::chrono::seconds(60);
    // The wait of a failed login within the budget, and the longest one.
    static constexpr auto kFailureDelay = std::chrono::milliseconds(1000);
    static constexpr auto kMaxFailureDelay = std::chrono::milliseconds(60000);
    // Failed logins of one address are answered at least this far apart.
    static constexpr auto kAnswerSpacing = std::chrono::milliseconds(100);
    // Connections not logged in that an address over its budget may hold.
    static constexpr int kMaxWaitingOverBudget = 3;

    // A new connection from address that has not logged in. True when it is
    // taken (and counted until Release); false, with nothing counted, when
    // the address is over its budget and already holds
    // kMaxWaitingOverBudget such connections.
    bool Admit(const std::string& address, Clock::time_point now);

    // A connection that Admit took has logged in or was closed.
    void Release(const std::string& address);

    // Records a failed login of address at now and returns how long its
    // reply must wait: kFailureDelay within the budget (later when other
    // failures of the address are due to be answered within
    // kAnswerSpacing), else kFailureDelay doubled for each failure beyond
    // the budget within kWindow, at most kMaxFailureDelay.
    std::chrono::milliseconds Failed(const std::string& address, Clock::time_point now);

    // Whether address has failed more than kFreeFailures times within
    // kWindow before now.
    bool OverBudget(const std::string& address, Clock::time_point now);

  private:
    struct TAddress {
        // Times of the failures within the window, oldest first; never more
        // than enough to reach the longest delay.
        std::deque<Clock::time_point> failures;
        // When the last failure recorded is answered.
        Clock::time_point lastAnswer;
        // Connections taken by Admit and not yet released.
        int waiting = 0;
    };
    // Drops the failures of entry older than kWindow before now.
    static void Expire(TAddress& entry, Clock::time_point now);
    // Forgets the addresses with no connection waiting and no failure in
    // the window, once the table has grown large.
    void Sweep(Clock::time_point now) REQUIRES(lock);

    // Guards addresses. A leaf: nothing else is taken under it (lock order:
    // platform/thread_annotations.h).
    platform::Mutex lock;
    std::unordered_map<std::string, TAddress> addresses GUARDED_BY(lock);
};
