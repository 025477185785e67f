#pragma once
// The app-delegate proxy: puts a proxy in front of the application's delegate so that
// registered interceptors receive the delegate's open-URL, user-activity and
// background-session calls as well as the original delegate. The application's delegate
// stays the object the app set, and the proxy stands in front of any delegate it sets later.
//
// Thread-safety: every operation may be called from any thread; delegate calls arrive on
// the main queue (see Application). Interceptors are called in registration order, before
// the original delegate.
//
// Ownership: interceptors are held weakly (one that is gone is skipped); the proxy holds
// the original delegate strongly and the swizzler weakly.
//
// The proxy answers what the original delegate answers; when the original does not
// implement a call, it answers YES if an interceptor did. Each receiver of background-session
// events gets a handler of its own; the system's handler runs once, when all of them have
// been called (a receiver that does not handle the session calls its own at once).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/app/Application.h"
#include "platform/app/ApplicationDelegate.h"
#include "platform/app/Bundle.h"

namespace platform {

// Info.plist switch; a number that is false disables the proxy.
inline constexpr std::string_view kAppDelegateProxyEnabledPlistKey = "VorlixAppDelegateProxyEnabled";

class VXLAppDelegateSwizzler : public std::enable_shared_from_this<VXLAppDelegateSwizzler> {
 public:
  using InterceptorID = std::uint64_t;
  static constexpr InterceptorID kInvalidInterceptor = 0;
  static constexpr std::size_t kMaxInterceptors = 64;

  // The process-wide swizzler on the current environment's application and main bundle.
  static std::shared_ptr<VXLAppDelegateSwizzler> sharedInstance();
  static std::shared_ptr<VXLAppDelegateSwizzler> create(std::shared_ptr<Application> application,
                                                        std::shared_ptr<Bundle> mainBundle);

  bool isAppDelegateProxyEnabled() const;

  // Installs the proxy in front of the app's delegate, once. False when the proxy is
  // disabled, the application has no delegate yet, or the proxy is already installed
  // (the earlier proxy stays).
  bool proxyOriginalDelegate();
  bool isProxyInstalled() const;

  // kInvalidInterceptor for a null interceptor or when kMaxInterceptors are registered.
  InterceptorID registerAppDelegateInterceptor(const std::shared_ptr<ApplicationDelegate>& interceptor);
  bool unregisterAppDelegateInterceptorWithID(InterceptorID id);

  // The live interceptors, in registration order.
  std::vector<std::shared_ptr<ApplicationDelegate>> interceptors() const;

 private:
  VXLAppDelegateSwizzler(std::shared_ptr<Application> application, std::shared_ptr<Bundle> mainBundle)
      : application_(std::move(application)), bundle_(std::move(mainBundle)) {}

  std::shared_ptr<Application> application_;
  std::shared_ptr<Bundle> bundle_;
  mutable std::mutex mutex_;
  bool installed_ = false;
  std::vector<std::pair<InterceptorID, std::weak_ptr<ApplicationDelegate>>> interceptors_;
  InterceptorID nextID_ = 1;
};

}  // namespace platform
