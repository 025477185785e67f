#include "measurement/api/TLWAppDelegateInterceptor.h"

#include "measurement/api/TLWAnalytics.h"
#include "measurement/engine/TLWMeasurement.h"

std::shared_ptr<TLWAppDelegateInterceptor> TLWAppDelegateInterceptor::sharedInstance() {
  static const auto& instance = *new auto(std::make_shared<TLWAppDelegateInterceptor>());
  return instance;
}

bool TLWAppDelegateInterceptor::respondsToSelector(std::string_view selector) const {
  return selector == platform::kSelOpenURLOptions || selector == platform::kSelOpenURLSourceApplication ||
         selector == platform::kSelContinueUserActivity || selector == platform::kSelHandleEventsForBackgroundURLSession;
}

bool TLWAppDelegateInterceptor::application(platform::Application&, const platform::Value& openURL,
                                            const platform::Dictionary&) {
  TLWAnalytics::handleOpenURL(openURL);
  return false;
}

bool TLWAppDelegateInterceptor::application(platform::Application&, const platform::Value& openURL,
                                            const std::string&, const platform::Value&) {
  TLWAnalytics::handleOpenURL(openURL);
  return false;
}

bool TLWAppDelegateInterceptor::application(platform::Application&,
                                            const std::shared_ptr<platform::UserActivity>& continueUserActivity,
                                            const RestorationHandler&) {
  const std::string link = TLWMeasurement::deepLinkFromUserActivity(
      platform::Value(std::shared_ptr<platform::ValueObject>(continueUserActivity)));
  if (!link.empty()) TLWAnalytics::handleOpenURL(platform::Value::url(link));
  return false;
}

void TLWAppDelegateInterceptor::application(platform::Application&, const std::string& handleEventsForBackgroundURLSession,
                                            const CompletionHandler& completionHandler) {
  TLWAnalytics::handleEventsForBackgroundURLSession(handleEventsForBackgroundURLSession, completionHandler);
}
