#pragma once
// The app delegate: what the host app implements to receive opened URLs, user activities
// and background-session events. Operations are named after their first keyword
// (`application:openURL:options:` is application(app, openURL, options)); the overloads
// differ by their argument types.
//
// Thread-safety: the application calls its delegate on the main queue only.
// respondsToSelector tells which operations the delegate implements; the application and
// the proxy call only those (the defaults answer NO and do nothing).

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Value.h"
#include "platform/app/UserActivity.h"

namespace platform {

class Application;

inline constexpr std::string_view kSelOpenURLOptions = "application:openURL:options:";
inline constexpr std::string_view kSelOpenURLSourceApplication = "application:openURL:sourceApplication:annotation:";
inline constexpr std::string_view kSelContinueUserActivity = "application:continueUserActivity:restorationHandler:";
inline constexpr std::string_view kSelHandleEventsForBackgroundURLSession =
    "application:handleEventsForBackgroundURLSession:completionHandler:";
inline constexpr std::string_view kSelDidFinishLaunching = "application:didFinishLaunchingWithOptions:";

class ApplicationDelegate {
 public:
  using RestorationHandler = std::function<void(const Array& restorableObjects)>;
  using CompletionHandler = std::function<void()>;

  virtual ~ApplicationDelegate() = default;

  virtual bool respondsToSelector(std::string_view selector) const = 0;

  // application:didFinishLaunchingWithOptions:
  virtual bool application(Application& app, const Dictionary& didFinishLaunchingWithOptions) {
    (void)app;
    (void)didFinishLaunchingWithOptions;
    return true;
  }
  // application:openURL:options: (the URL is a Value of kind URL)
  virtual bool application(Application& app, const Value& openURL, const Dictionary& options) {
    (void)app;
    (void)openURL;
    (void)options;
    return false;
  }
  // application:openURL:sourceApplication:annotation:
  virtual bool application(Application& app, const Value& openURL, const std::string& sourceApplication,
                           const Value& annotation) {
    (void)app;
    (void)openURL;
    (void)sourceApplication;
    (void)annotation;
    return false;
  }
  // application:continueUserActivity:restorationHandler:
  virtual bool application(Application& app, const std::shared_ptr<UserActivity>& continueUserActivity,
                           const RestorationHandler& restorationHandler) {
    (void)app;
    (void)continueUserActivity;
    (void)restorationHandler;
    return false;
  }
  // application:handleEventsForBackgroundURLSession:completionHandler:
  virtual void application(Application& app, const std::string& handleEventsForBackgroundURLSession,
                           const CompletionHandler& completionHandler) {
    (void)app;
    (void)handleEventsForBackgroundURLSession;
    (void)completionHandler;
  }
};

}  // namespace platform
