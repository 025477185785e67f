#pragma once
// An app's components: instances of the interop protocols that registered libraries
// offer, created on first request (or at configure for eager ones) and cached.
//
// Thread-safety: any thread. Creation runs under the container's (recursive) lock, so a
// creation block may ask the same container for its dependencies; a dependency cycle
// yields null (logged) instead of recursing forever.
//
// Ownership: the container holds the instances it cached and its app weakly.

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/TWKComponent.h"

namespace platform {

class TWKApp;

class TWKComponentContainer {
 public:
  TWKComponentContainer(std::weak_ptr<TWKApp> app, std::vector<std::shared_ptr<const TWKComponent>> components);

  // The app this container belongs to (null once the app is gone).
  std::shared_ptr<TWKApp> app() const { return app_.lock(); }

  // The instance for `protocol`, or null when no component offers it or creation failed.
  std::shared_ptr<TWKInterop> instanceForProtocol(std::string_view protocol);
  template <class T>
  std::shared_ptr<T> instanceFor(std::string_view protocol) {
    return std::dynamic_pointer_cast<T>(instanceForProtocol(protocol));
  }

  // Creates the eager components (AlwaysEager, and EagerInDefaultApp when `isDefaultApp`).
  void instantiateEagerComponents(bool isDefaultApp);
  bool hasComponentForProtocol(std::string_view protocol) const;
  // Components of a library registered after the app was configured: protocols not offered
  // yet are added, and the eager ones among them created.
  void addComponents(std::vector<std::shared_ptr<const TWKComponent>> components, bool isDefaultApp);

 private:
  std::shared_ptr<const TWKComponent> componentFor(std::string_view protocol) const;

  std::weak_ptr<TWKApp> app_;
  mutable std::mutex mutex_;  // guards components_ and cached_; never held while app code runs
  std::map<std::string, std::shared_ptr<const TWKComponent>, std::less<>> components_;
  std::map<std::string, std::shared_ptr<TWKInterop>, std::less<>> cached_;
};

}  // namespace platform
