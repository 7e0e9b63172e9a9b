// Clang thread-safety annotations. They expand to nothing for compilers
// without the analysis (GCC); the Clang build checks them with
// -Wthread-safety.
//
// Lock order of the whole system (outermost first). This is the one place
// it is written; each lock's declaration says what it guards and refers
// here for its place.
//   the service's serverLock (service mode only)
//   the command server's controllerLock (held while a command is inside the
//     controller)
//   dispatcher subsListLock
//     -> a thread object's internal mutex (the dispatcher stops its worker
//        threads while holding subsListLock; a parent's before its
//        children's), then that object's handleLock
//     -> the dispatcher's timerLock
//     -> any job queue's queueLock, the command server's listLock (before
//        the connection server's sendLock, and before the command server's
//        tallyLock, which is let go before sendLock is taken)
//     -> the command server's tallyLock (a delivery report; also taken
//        alone by the connection server's worker)
//     -> the delivery ledger's lock (DELETE forgets, ADD sets a start time
//        under subsListLock; reports under tallyLock; query threads alone)
//     -> the resume-point state file's pendingLock (handed points, under
//        the ledger's lock)
//   the Kafka output's reportLock (held while a delivery report goes to the
//     ledger) -> the delivery ledger's lock; the Kafka output's errorLock
//     and markLock are leaves (errorLock is taken under subsListLock when a
//     notice cannot be queued)
//   the resume-point state file's dbLock (taken by the command server
//     under controllerLock, by the controller and the store's writer with
//     no engine lock held) -> its pendingLock
//   WMI connection pool lock: taken with no other engine lock held (a
//     store's lock can still be reached under it when the pool's destructor
//     releases the last handles)
//   a live query's pollLock (simulated hosts)
//     -> the shared store connections' lock or a store's own lock (each a
//        leaf)
//   a WS-Management enumerator's pollLock (live, data or polling query)
//     -> its host's Transport lock (a leaf; libcurl and GSSAPI run outside
//        it) and the logger's writeLock
//   the NT service's statusLock: taken alone; only the service dispatcher's
//     lock is reached under it
//   the completion port's internal lock: innermost but for writeLock
//   logger writeLock: always innermost
// Leaf locks, under which nothing else is taken: the engine's event-rate
// counter lock, the command server's login budget lock, the connection
// server's refusal-log lock (taken under sendLock too), the metrics
// endpoint's connectionLock and its collector's historyLock (a scrape takes
// the command server's and the engine's locks before or after it, never
// under it), a COM object's proxy
// blanket lock, the locator factory's lock, the store registry's lock, the
// service's stop event, and the platform layer's own state locks (thread,
// waitable object, timer queue, service dispatcher).
// No thread waits for subsListLock while it holds one of the locks after it.
#pragma once

#if defined(__clang__)
#define QUELLON_TSA(x) __attribute__((x))
#else
#define QUELLON_TSA(x)
#endif

#define CAPABILITY(x) QUELLON_TSA(capability(x))
#define SCOPED_CAPABILITY QUELLON_TSA(scoped_lockable)
#define GUARDED_BY(x) QUELLON_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) QUELLON_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QUELLON_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QUELLON_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QUELLON_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QUELLON_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QUELLON_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUELLON_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QUELLON_TSA(try_acquire_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QUELLON_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QUELLON_TSA(no_thread_safety_analysis)
