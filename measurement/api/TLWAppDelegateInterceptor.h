#pragma once
// TLWAppDelegateInterceptor: registered with the utilities' app-delegate proxy when the
// front controller creates it; hands opened URLs and the links of user activities to the
// front controller and background-session events to the network client. It answers NO
// wherever an answer is asked, so the app's own delegate decides.
//
// Thread-safety: the proxy calls it on the main queue; it only forwards.
//
// Ownership: one process-wide instance (the proxy holds interceptors weakly).

#include <memory>

#include "platform/app/ApplicationDelegate.h"

class TLWAppDelegateInterceptor final : public platform::ApplicationDelegate {
 public:
  static std::shared_ptr<TLWAppDelegateInterceptor> sharedInstance();

  using ApplicationDelegate::application;
  bool respondsToSelector(std::string_view selector) const override;
  bool application(platform::Application& app, const platform::Value& openURL,
                   const platform::Dictionary& options) override;
  bool application(platform::Application& app, const platform::Value& openURL, const std::string& sourceApplication,
                   const platform::Value& annotation) override;
  bool application(platform::Application& app, const std::shared_ptr<platform::UserActivity>& continueUserActivity,
                   const RestorationHandler& restorationHandler) override;
  void application(platform::Application& app, const std::string& handleEventsForBackgroundURLSession,
                   const CompletionHandler& completionHandler) override;
};
