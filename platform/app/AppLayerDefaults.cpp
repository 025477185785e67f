// The application-layer services of an Environment, built on first use from its other
// services and kept for its lifetime.

#include <mutex>

#include "platform/Environment.h"
#include "platform/Sandbox.h"
#include "platform/StoreKit.h"
#include "platform/app/Application.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"
#include "platform/app/NotificationCenter.h"
#include "platform/app/ViewController.h"

namespace platform {

struct AppLayerDefaults {
  std::mutex mutex;
  std::shared_ptr<NotificationCenter> center;
  std::shared_ptr<Application> application;
  std::shared_ptr<Bundle> bundle;
  std::shared_ptr<ClassRegistry> registry;
  std::shared_ptr<StoreKit> storeKit;
  std::shared_ptr<ViewHierarchy> views;
};

std::shared_ptr<AppLayerDefaults> makeAppLayerDefaults() { return std::make_shared<AppLayerDefaults>(); }

std::shared_ptr<NotificationCenter> Environment::notificationCenter() {
  std::lock_guard lock(appLayer_->mutex);
  if (!appLayer_->center) appLayer_->center = std::make_shared<NotificationCenter>();
  return appLayer_->center;
}

std::shared_ptr<Application> Environment::application() {
  auto center = notificationCenter();
  std::lock_guard lock(appLayer_->mutex);
  if (!appLayer_->application) appLayer_->application = Application::create(std::move(center));
  return appLayer_->application;
}

std::shared_ptr<Bundle> Environment::mainBundle() {
  {
    std::lock_guard lock(appLayer_->mutex);
    if (appLayer_->bundle) return appLayer_->bundle;
  }
  // Built outside the lock: reading the lists logs, and the logger must not wait on us.
  auto info = processInfo();
  // Without an Info.plist identifier the bundle takes the one the sandbox is named after,
  // so a plain program's bundles carry an app identifier and the two never disagree.
  auto bundle = info ? Bundle::bundleWithPath(defaultMainBundlePath(*info), fileSystem(), defaultBundleIdentifier(*info))
                     : Bundle::bundleWithPath(std::string(), fileSystem());
  std::lock_guard lock(appLayer_->mutex);
  if (!appLayer_->bundle) appLayer_->bundle = std::move(bundle);
  return appLayer_->bundle;
}

std::shared_ptr<ClassRegistry> Environment::classRegistry() {
  std::lock_guard lock(appLayer_->mutex);
  if (!appLayer_->registry) appLayer_->registry = std::make_shared<ClassRegistry>();
  return appLayer_->registry;
}

std::shared_ptr<StoreKit> Environment::storeKit() {
  {
    std::lock_guard lock(appLayer_->mutex);
    if (appLayer_->storeKit) return appLayer_->storeKit;
  }
  // Built outside the lock: it asks this environment for its bundle.
  auto store = makeLinuxStoreKit(*this);
  std::lock_guard lock(appLayer_->mutex);
  if (!appLayer_->storeKit) appLayer_->storeKit = std::move(store);
  return appLayer_->storeKit;
}

void Environment::setStoreKit(std::shared_ptr<StoreKit> storeKit) {
  std::lock_guard lock(appLayer_->mutex);
  appLayer_->storeKit = std::move(storeKit);
}

std::shared_ptr<ViewHierarchy> Environment::viewHierarchy() {
  auto registry = classRegistry();
  std::lock_guard lock(appLayer_->mutex);
  if (!appLayer_->views) appLayer_->views = ViewHierarchy::create(std::move(registry));
  return appLayer_->views;
}

}  // namespace platform
