#pragma once
// The options an app of the family is configured with, normally read from the bundle's
// service-info property list ("VorlixService-Info.plist").
//
// Thread-safety: a TWKOptions is a plain value: build or change it on one thread, then
// hand a copy over (TWKApp keeps its own copy). The class operations may be called from
// any thread.
//
// Keys read: "VORLIX_APP_ID" (required, a non-empty string), "QUADO_APP_ID" (string),
// "TARNWICK_ANALYTICS_COLLECTION_ENABLED" and "TARNWICK_ANALYTICS_COLLECTION_DEACTIVATED"
// (numbers; absent means enabled and not deactivated), "ANALYTICS_SAFELISTED_EVENTS"
// (kept as given; the measurement library validates it). A value of the wrong kind is
// logged and ignored.

#include <memory>
#include <optional>
#include <string>

#include "platform/Environment.h"
#include "platform/Value.h"

namespace platform {

inline constexpr std::string_view kTWKOptionsVorlixAppIDKey = "VORLIX_APP_ID";
inline constexpr std::string_view kTWKOptionsQuadoAppIDKey = "QUADO_APP_ID";
inline constexpr std::string_view kTWKOptionsCollectionEnabledKey = "TARNWICK_ANALYTICS_COLLECTION_ENABLED";
inline constexpr std::string_view kTWKOptionsCollectionDeactivatedKey = "TARNWICK_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr std::string_view kTWKOptionsSafelistedEventsKey = "ANALYTICS_SAFELISTED_EVENTS";

class TWKOptions {
 public:
  static constexpr std::size_t kMaxAppIDLength = 256;

  // The options of the current environment's main bundle; null when the bundle has no
  // readable service-info list or it lacks a valid "VORLIX_APP_ID" (logged).
  static std::shared_ptr<TWKOptions> defaultOptions();
  static std::shared_ptr<TWKOptions> defaultOptions(Environment& env);
  // The service-info list as read; nullopt when absent or unreadable.
  static std::optional<Dictionary> defaultOptionsDictionary();
  static std::optional<Dictionary> defaultOptionsDictionary(Environment& env);

  // Null with `error` filled when "VORLIX_APP_ID" is missing, not a string, empty or
  // longer than kMaxAppIDLength.
  static std::shared_ptr<TWKOptions> initWithDictionary(const Dictionary& dictionary, std::string* error = nullptr);
  static std::shared_ptr<TWKOptions> initWithContentsOfFile(Environment& env, const std::string& path,
                                                            std::string* error = nullptr);
  explicit TWKOptions(std::string vorlixAppID) : vorlixAppID_(std::move(vorlixAppID)) {}

  const std::string& vorlixAppID() const { return vorlixAppID_; }
  void setVorlixAppID(std::string appID) { vorlixAppID_ = std::move(appID); }
  const std::string& quadoAppID() const { return quadoAppID_; }
  void setQuadoAppID(std::string appID) { quadoAppID_ = std::move(appID); }
  bool isAnalyticsCollectionEnabled() const { return collectionEnabled_; }
  void setAnalyticsCollectionEnabled(bool enabled) { collectionEnabled_ = enabled; }
  bool isAnalyticsCollectionDeactivated() const { return collectionDeactivated_; }
  void setAnalyticsCollectionDeactivated(bool deactivated) { collectionDeactivated_ = deactivated; }
  // "ANALYTICS_SAFELISTED_EVENTS" as given; null when absent.
  const Value& safelistedEvents() const { return safelistedEvents_; }
  void setSafelistedEvents(Value events) { safelistedEvents_ = std::move(events); }

 private:
  std::string vorlixAppID_;
  std::string quadoAppID_;
  bool collectionEnabled_ = true;
  bool collectionDeactivated_ = false;
  Value safelistedEvents_;
};

}  // namespace platform
