#include "wmi/sim/storeconnections.h"

#include <map>

namespace wmi::sim {

namespace {

// Guards the registry of shared objects; a leaf lock.
struct Registry {
    RSLibrary::RSCriticalSection lock;
    std::map<std::string, std::weak_ptr<StoreConnections>> byPath GUARDED_BY(lock);
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();  // outlives every provider object
    return *registry;
}

}  // namespace

std::shared_ptr<StoreConnections> StoreConnections::For(const std::string& path) {
    Registry& registry = TheRegistry();
    RSLibrary::RSSynchronizeGuard guard(registry.lock);
    for (auto it = registry.byPath.begin(); it != registry.byPath.end();) {
        it = it->second.expired() ? registry.byPath.erase(it) : std::next(it);
    }
    std::shared_ptr<StoreConnections> shared = registry.byPath[path].lock();
    if (!shared) {
        shared = std::make_shared<StoreConnections>(path);
        registry.byPath[path] = shared;
    }
    return shared;
}

StoreConnections::StoreConnections(std::string p) : path(std::move(p)) {}

StoreConnections::~StoreConnections() = default;

std::unique_ptr<SimStore> StoreConnections::Acquire() {
    {
        RSLibrary::RSSynchronizeGuard guard(lock);
        if (!idle.empty()) {
            std::unique_ptr<SimStore> store = std::move(idle.back());
            idle.pop_back();
            return store;
        }
    }
    auto store = std::make_unique<SimStore>();
    if (store->open(path, false) != SimResult::Ok) return nullptr;
    return store;
}

void StoreConnections::Release(std::unique_ptr<SimStore> store) {
    {
        RSLibrary::RSSynchronizeGuard guard(lock);
        if (idle.size() < kMaxIdle) {
            idle.push_back(std::move(store));
            return;
        }
    }
    // Closed here, outside the lock, when it goes out of scope.
}

}  // namespace wmi::sim
