#include "platform/app/VXLAppDelegateSwizzler.h"

#include <atomic>

namespace platform {

namespace {

class ProxyDelegate : public ApplicationDelegate {
 public:
  ProxyDelegate(std::shared_ptr<ApplicationDelegate> original, std::weak_ptr<VXLAppDelegateSwizzler> swizzler)
      : original_(std::move(original)), swizzler_(std::move(swizzler)) {}

  using ApplicationDelegate::application;

  // Opened URLs and user activities are answered only in the forms the app's delegate
  // implements: the platform then picks the form the app has, and nothing is claimed as
  // handled that the app cannot handle. Background sessions are answered always, as the
  // library's own sessions need them.
  bool respondsToSelector(std::string_view selector) const override {
    return selector == kSelHandleEventsForBackgroundURLSession || originalResponds(selector);
  }

  bool application(Application& app, const Dictionary& options) override {
    return originalResponds(kSelDidFinishLaunching) ? original_->application(app, options) : true;
  }

  bool application(Application& app, const Value& url, const Dictionary& options) override {
    bool any = false;
    for (auto& i : interceptors()) {
      if (i->respondsToSelector(kSelOpenURLOptions)) any = i->application(app, url, options) || any;
    }
    if (originalResponds(kSelOpenURLOptions)) return original_->application(app, url, options);
    return any;
  }

  bool application(Application& app, const Value& url, const std::string& sourceApplication,
                   const Value& annotation) override {
    bool any = false;
    for (auto& i : interceptors()) {
      if (i->respondsToSelector(kSelOpenURLSourceApplication)) {
        any = i->application(app, url, sourceApplication, annotation) || any;
      }
    }
    if (originalResponds(kSelOpenURLSourceApplication)) {
      return original_->application(app, url, sourceApplication, annotation);
    }
    return any;
  }

  bool application(Application& app, const std::shared_ptr<UserActivity>& activity,
                   const RestorationHandler& restorationHandler) override {
    bool any = false;
    for (auto& i : interceptors()) {
      if (i->respondsToSelector(kSelContinueUserActivity)) {
        any = i->application(app, activity, restorationHandler) || any;
      }
    }
    if (originalResponds(kSelContinueUserActivity)) {
      return original_->application(app, activity, restorationHandler);
    }
    return any;
  }

  void application(Application& app, const std::string& identifier,
                   const CompletionHandler& completionHandler) override {
    std::vector<std::shared_ptr<ApplicationDelegate>> receivers;
    for (auto& i : interceptors()) {
      if (i->respondsToSelector(kSelHandleEventsForBackgroundURLSession)) receivers.push_back(i);
    }
    if (originalResponds(kSelHandleEventsForBackgroundURLSession)) receivers.push_back(original_);
    if (receivers.empty()) {
      if (completionHandler) completionHandler();
      return;
    }
    // The system's handler runs once, after every receiver has called its own (one that
    // does not handle the session calls it at once), so none gets a spent handler.
    auto remaining = std::make_shared<std::atomic<std::size_t>>(receivers.size());
    for (auto& receiver : receivers) {
      auto called = std::make_shared<std::atomic<bool>>(false);
      CompletionHandler share = [remaining, called, completionHandler] {
        if (called->exchange(true)) return;
        if (remaining->fetch_sub(1) == 1 && completionHandler) completionHandler();
      };
      receiver->application(app, identifier, share);
    }
  }

 private:
  bool originalResponds(std::string_view selector) const {
    return original_ && original_->respondsToSelector(selector);
  }
  std::vector<std::shared_ptr<ApplicationDelegate>> interceptors() const {
    if (auto s = swizzler_.lock()) return s->interceptors();
    return {};
  }

  std::shared_ptr<ApplicationDelegate> original_;
  std::weak_ptr<VXLAppDelegateSwizzler> swizzler_;
};

}  // namespace

std::shared_ptr<VXLAppDelegateSwizzler> VXLAppDelegateSwizzler::sharedInstance() {
  // Never destroyed: library threads may still use it while the process exits.
  static std::shared_ptr<VXLAppDelegateSwizzler>& instance = *new std::shared_ptr<VXLAppDelegateSwizzler>([] {
    auto env = Environment::current();
    return create(env->application(), env->mainBundle());
  }());
  return instance;
}

std::shared_ptr<VXLAppDelegateSwizzler> VXLAppDelegateSwizzler::create(std::shared_ptr<Application> application,
                                                                      std::shared_ptr<Bundle> mainBundle) {
  return std::shared_ptr<VXLAppDelegateSwizzler>(
      new VXLAppDelegateSwizzler(std::move(application), std::move(mainBundle)));
}

bool VXLAppDelegateSwizzler::isAppDelegateProxyEnabled() const {
  if (!bundle_) return true;
  return bundle_->boolForInfoDictionaryKey(kAppDelegateProxyEnabledPlistKey).value_or(true);
}

bool VXLAppDelegateSwizzler::proxyOriginalDelegate() {
  if (!application_ || !isAppDelegateProxyEnabled()) return false;
  {
    std::lock_guard lock(mutex_);
    if (installed_ || !application_->delegate()) return false;
    installed_ = true;
  }
  // In front of whatever delegate the app sets, now or later; the app's delegate stays its own.
  application_->setDelegateProxy([weak = weak_from_this()](std::shared_ptr<ApplicationDelegate> original) {
    return std::make_shared<ProxyDelegate>(std::move(original), weak);
  });
  return true;
}

bool VXLAppDelegateSwizzler::isProxyInstalled() const {
  std::lock_guard lock(mutex_);
  return installed_;
}

VXLAppDelegateSwizzler::InterceptorID VXLAppDelegateSwizzler::registerAppDelegateInterceptor(
    const std::shared_ptr<ApplicationDelegate>& interceptor) {
  if (!interceptor) return kInvalidInterceptor;
  std::lock_guard lock(mutex_);
  std::erase_if(interceptors_, [](const auto& entry) { return entry.second.expired(); });
  if (interceptors_.size() >= kMaxInterceptors) return kInvalidInterceptor;
  InterceptorID id = nextID_++;
  interceptors_.emplace_back(id, interceptor);
  return id;
}

bool VXLAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(InterceptorID id) {
  std::lock_guard lock(mutex_);
  return std::erase_if(interceptors_, [id](const auto& entry) { return entry.first == id; }) > 0;
}

std::vector<std::shared_ptr<ApplicationDelegate>> VXLAppDelegateSwizzler::interceptors() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<ApplicationDelegate>> live;
  for (const auto& [id, weak] : interceptors_) {
    if (auto strong = weak.lock()) live.push_back(std::move(strong));
  }
  return live;
}

}  // namespace platform
