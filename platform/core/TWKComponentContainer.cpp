#include "platform/core/TWKComponentContainer.h"

#include <exception>
#include <utility>
#include <vector>

#include "platform/app/AppLog.h"

namespace platform {

TWKComponentContainer::TWKComponentContainer(std::weak_ptr<TWKApp> app,
                                             std::vector<std::shared_ptr<const TWKComponent>> components)
    : app_(std::move(app)) {
  for (auto& c : components) {
    if (!c) continue;
    // The first library to offer a protocol keeps it.
    components_.emplace(c->protocol(), std::move(c));
  }
}

bool TWKComponentContainer::hasComponentForProtocol(std::string_view protocol) const {
  return components_.find(protocol) != components_.end();
}

namespace {
// The creations running on this thread, innermost last: a protocol asked for again while
// its own creation runs here is a dependency cycle.
thread_local std::vector<std::pair<const TWKComponentContainer*, std::string>> tCreating;
}  // namespace

std::shared_ptr<TWKInterop> TWKComponentContainer::instanceForProtocol(std::string_view protocol) {
  auto component = components_.find(protocol);
  if (component == components_.end()) return nullptr;
  {
    std::lock_guard lock(mutex_);
    if (auto it = cached_.find(protocol); it != cached_.end()) return it->second;
  }
  for (const auto& [container, creating] : tCreating) {
    if (container == this && creating == protocol) {
      applog::log(VXLLoggerLevel::Error, applog::kCoreService, "I-COR000010",
                  "Dependency cycle while creating the component for " + std::string(protocol));
      return nullptr;
    }
  }
  // The creation block is app code: it runs without the lock (it may wait for another
  // thread that asks this container), and the first instance published is the one kept.
  tCreating.emplace_back(this, std::string(protocol));
  bool cacheable = true;
  std::shared_ptr<TWKInterop> instance;
  try {
    instance = component->second->creationBlock()(*this, cacheable);
  } catch (const std::exception& e) {
    applog::log(VXLLoggerLevel::Error, applog::kCoreService, "I-COR000011",
                "Creating the component for " + std::string(protocol) + " threw: " + e.what());
    instance = nullptr;
  } catch (...) {
    instance = nullptr;
  }
  tCreating.pop_back();
  if (!instance || !cacheable) return instance;
  std::lock_guard lock(mutex_);
  return cached_.emplace(std::string(protocol), std::move(instance)).first->second;
}

void TWKComponentContainer::instantiateEagerComponents(bool isDefaultApp) {
  for (const auto& [protocol, component] : components_) {
    const auto timing = component->instantiationTiming();
    if (timing == TWKInstantiationTiming::AlwaysEager ||
        (isDefaultApp && timing == TWKInstantiationTiming::EagerInDefaultApp)) {
      (void)instanceForProtocol(protocol);
    }
  }
}

}  // namespace platform
