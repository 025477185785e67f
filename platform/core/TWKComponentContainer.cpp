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
  return componentFor(protocol) != nullptr;
}

std::shared_ptr<const TWKComponent> TWKComponentContainer::componentFor(std::string_view protocol) const {
  std::lock_guard lock(mutex_);
  auto it = components_.find(protocol);
  return it == components_.end() ? nullptr : it->second;
}

namespace {
bool isEager(const TWKComponent& component, bool isDefaultApp) {
  const auto timing = component.instantiationTiming();
  return timing == TWKInstantiationTiming::AlwaysEager ||
         (isDefaultApp && timing == TWKInstantiationTiming::EagerInDefaultApp);
}
}  // namespace

void TWKComponentContainer::addComponents(std::vector<std::shared_ptr<const TWKComponent>> components,
                                          bool isDefaultApp) {
  std::vector<std::string> eager;
  {
    std::lock_guard lock(mutex_);
    for (auto& c : components) {
      if (!c) continue;
      const bool wanted = isEager(*c, isDefaultApp);
      auto [it, added] = components_.emplace(c->protocol(), std::move(c));
      if (added && wanted) eager.push_back(it->first);
    }
  }
  for (const auto& protocol : eager) (void)instanceForProtocol(protocol);
}

namespace {
// The creations running on this thread, innermost last: a protocol asked for again while
// its own creation runs here is a dependency cycle.
thread_local std::vector<std::pair<const TWKComponentContainer*, std::string>> tCreating;
}  // namespace

std::shared_ptr<TWKInterop> TWKComponentContainer::instanceForProtocol(std::string_view protocol) {
  std::shared_ptr<const TWKComponent> component;
  {
    std::lock_guard lock(mutex_);
    auto found = components_.find(protocol);
    if (found == components_.end()) return nullptr;
    component = found->second;
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
    instance = component->creationBlock()(*this, cacheable);
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
  std::vector<std::string> eager;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [protocol, component] : components_) {
      if (isEager(*component, isDefaultApp)) eager.push_back(protocol);
    }
  }
  for (const auto& protocol : eager) (void)instanceForProtocol(protocol);
}

}  // namespace platform
