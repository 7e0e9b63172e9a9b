// StoreConnections: the open connections of one simulated hosts' store that
// the provider's objects (locators, services, enumerators) share. A caller
// leases a connection for one call and gives it back, so polling never
// opens a database; up to kMaxIdle idle connections stay open. One object
// per store path, shared (by shared_ptr) by every provider object of that
// store and closed with the last of them. Thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"
#include "serverframework/synchronization.h"
#include "wmi/sim/simstore.h"

namespace wmi::sim {

class StoreConnections {
  public:
    static constexpr size_t kMaxIdle = 8;

    // The shared object of `path` (made on first use).
    static std::shared_ptr<StoreConnections> For(const std::string& path);

    explicit StoreConnections(std::string path);
    ~StoreConnections();

    // An open connection for the caller alone: an idle one, or a new one.
    // Null when the store cannot be opened.
    std::unique_ptr<SimStore> Acquire();
    // Gives a connection back (closed when enough are idle already).
    void Release(std::unique_ptr<SimStore> store);

    const std::string& Path() const { return path; }

  private:
    const std::string path;
    // Leaf lock: guards idle; no other lock is taken while it is held (a
    // store is opened and closed outside it).
    RSLibrary::RSCriticalSection lock;
    std::vector<std::unique_ptr<SimStore>> idle GUARDED_BY(lock);
};

// A connection leased for the life of a block.
class StoreLease : public RSLibrary::RSNonCopyable {
  public:
    explicit StoreLease(StoreConnections& owner) : owner(owner), store(owner.Acquire()) {}
    ~StoreLease() {
        if (store) owner.Release(std::move(store));
    }
    explicit operator bool() const { return store != nullptr; }
    SimStore* operator->() const { return store.get(); }

  private:
    StoreConnections& owner;
    std::unique_ptr<SimStore> store;
};

}  // namespace wmi::sim
