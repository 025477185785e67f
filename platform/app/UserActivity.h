#pragma once
// A user activity handed to the app (a browsing activity carries the web page URL of a
// universal link). Carried inside launch options as a library object.
//
// Thread-safety: immutable after construction; share freely.

#include <memory>
#include <string>

#include "platform/Value.h"

namespace platform {

inline constexpr std::string_view kNSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

class UserActivity : public ValueObject {
 public:
  UserActivity(std::string activityType, std::string webpageURL = {}, Dictionary userInfo = {})
      : activityType_(std::move(activityType)), webpageURL_(std::move(webpageURL)), userInfo_(std::move(userInfo)) {}

  const std::string& activityType() const { return activityType_; }
  // The absolute URL string, "" when none.
  const std::string& webpageURL() const { return webpageURL_; }
  const Dictionary& userInfo() const { return userInfo_; }

  std::string className() const override { return "NSUserActivity"; }
  std::string description() const override { return "<NSUserActivity " + activityType_ + " " + webpageURL_ + ">"; }

 private:
  std::string activityType_;
  std::string webpageURL_;
  Dictionary userInfo_;
};

}  // namespace platform
