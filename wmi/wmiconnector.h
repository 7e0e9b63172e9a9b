// CWmiConnector: the process-wide pool of WMI connections. Subscriptions
// that name the same namespace path, user and password share one services
// handle, counted by references: the connector threads call connect when a
// subscription is new or reconnecting and disconnect when it is done; the
// pool opens and secures a connection on first use and releases it with its
// last reference. setProxyBlanket, the same security step, is also applied
// by the query threads to enumerators and event objects.
//
// One object for the process (Instance()), living until exit; tests may
// make their own. Any number of threads call it at once: `lock` serialises
// the map, the platform calls (locator, ConnectServer, blanket, Release)
// run without it, so two threads connecting the same key may both reach the
// platform; the later one to insert gives its handle up and shares the
// earlier one.
// No log line carries a password.
#pragma once

#include <wbemidl.h>

#include <cstdint>
#include <map>
#include <string>

#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"
#include "wmi/comptr.h"

class CWmiConnector {
  public:
    CWmiConnector();
    // Releases the handles still in the pool.
    virtual ~CWmiConnector();

    // The pool of the process.
    static CWmiConnector& Instance();

    // Stores a shared services handle for host/namespace with these
    // credentials in *services (the pool keeps the reference; the caller
    // must not release it) and returns 1; a negative platform code on
    // failure. `connectFlags` goes to ConnectServer (0x80 from the
    // connector threads).
    int32_t connect(IWbemServices** services, const std::string& host,
                    const std::string& wmiNamespace, const std::string& user,
                    const std::string& password, int32_t connectFlags) EXCLUDES(lock);
    // Gives back one reference taken by connect; true when one was dropped,
    // false when the pool has no such connection. Leaves the caller's copy
    // of the handle alone.
    bool disconnect(const std::string& host, const std::string& wmiNamespace,
                    const std::string& user, const std::string& password) EXCLUDES(lock);

    // Under the lock: takes one more reference to an existing connection
    // and stores its handle in *services; false when there is none.
    bool findConnection(IWbemServices** services, const std::string& namespacePath,
                        const std::string& user, const std::string& password) EXCLUDES(lock);
    // Opens, secures and enters a connection (or shares one another thread
    // entered meanwhile). 1, or a negative platform code.
    int32_t createConnection(IWbemServices** services, const std::string& namespacePath,
                             const std::string& user, const std::string& password,
                             int32_t connectFlags) EXCLUDES(lock);
    // Under the lock: drops one reference; with the last one the key leaves
    // the pool and its handle is released after the lock. False when the
    // key is not in the pool.
    bool removeConnection(const std::string& namespacePath, const std::string& user,
                          const std::string& password) EXCLUDES(lock);
    // Makes `proxy` authenticate as user ("domain\name" or "name") with
    // password, or with the default identity when user is empty. Returns the
    // platform code of the last step.
    int32_t setProxyBlanket(IUnknown* proxy, const std::string& user, const std::string& password);

    // "\\" host "\" namespace; no separating backslash when the namespace
    // already starts with one.
    static std::string NamespacePath(const std::string& host, const std::string& wmiNamespace);
    // namespace path "?" user "?" password.
    static std::string ConnectionKey(const std::string& namespacePath, const std::string& user,
                                     const std::string& password);

    // Reference count of a key (0 when absent), for inspection by tests.
    int32_t ReferenceCount(const std::string& namespacePath, const std::string& user,
                           const std::string& password) EXCLUDES(lock);

  private:
    // findConnection for a caller that already holds the lock.
    bool findConnectionLocked(IWbemServices** services, const std::string& namespacePath,
                              const std::string& user, const std::string& password) REQUIRES(lock);

    struct TConnection {
        int32_t referenceCount;
        wmi::ComPtr<IWbemServices> wbemServices;  // the pool's one reference
    };

    // Guards connections. Taken with no other engine lock held; only the
    // logger's writeLock is taken inside it.
    RSLibrary::RSCriticalSection lock;
    std::map<std::string, TConnection> connections GUARDED_BY(lock);
};
