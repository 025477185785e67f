#pragma once
// TLWCampaignReporter: attribution of app opens to marketing campaigns. A URL that opens
// the app (a custom-scheme URL, a universal link of a browsing user activity, a link
// stored at launch, or the deferred deep link fetched from the ads service after install)
// is parsed for campaign parameters and becomes "_cmp" (or "_cmpx" for a stored link that
// had expired) through the engine's internal-event path, which also tells the listeners
// (once). Links that arrive before the engine can handle them are stored in the standard
// preferences with the time they were stored.
//
// Thread-safety: handleNonFirstOpenEventURL and the class operations may be called from
// any thread except the worker queue; the OnWorkerQueue and deferred-deep-link operations
// run on the worker queue; the app delegate is handed the deferred deep link on the main
// queue.
//
// Ownership: the engine owns it; it holds its host strongly (the host holds the engine
// weakly) and scheduled blocks hold the reporter weakly.
//
// Bad input: URLs longer than kMaxURLLength and queries with more than kMaxQueryPieces
// pieces are refused (logged); the deferred-deep-link answer is parsed with bounded size
// and depth.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "measurement/reporters/TLWCampaignReporting.h"
#include "platform/Environment.h"
#include "platform/Value.h"

class TLWEvent;
class TLWIdentity;
class TLWMonitor;
class TLWPersistedConfig;
class TLWRemoteConfig;
class TLWScheduler;
class TLWUserAttribute;
namespace platform {
class VXLNetwork;
}

inline constexpr const char* kTLWDeepLinkKey = "/vorlix/measurement/deep_link";
inline constexpr const char* kTLWDeepLinkTimestampKey = "/vorlix/measurement/deep_link_timestamp_seconds";
// Overrides the ads service the deferred deep link is asked of.
inline constexpr const char* kTLWAdsServiceURLEnvironmentVariable = "TALLYWISE_ADS_SERVICE_URL";

// What only the engine knows or does.
class TLWCampaignHost {
 public:
  virtual ~TLWCampaignHost() = default;
  // Worker queue: the internal-event path (it tells the listeners).
  virtual void handleInternalEventOnWorkerQueue(std::shared_ptr<TLWEvent> event) = 0;
  virtual void setUserPropertyInDatabaseOnWorkerQueue(std::shared_ptr<TLWUserAttribute> attribute) = 0;
  virtual void updateSchedule() = 0;
  virtual void setNetworkRequestPending(bool pending) = 0;
  virtual bool shouldUseBackgroundSession() = 0;
  // The engine's remote configuration (the default one before start-up).
  virtual std::shared_ptr<TLWRemoteConfig> remoteConfig() = 0;
  // Null before start-up.
  virtual std::shared_ptr<TLWIdentity> identity() = 0;
  virtual std::shared_ptr<platform::VXLNetwork> network() = 0;
};

class TLWCampaignReporter : public TLWCampaignReporting, public std::enable_shared_from_this<TLWCampaignReporter> {
 public:
  struct Dependencies {
    std::shared_ptr<TLWCampaignHost> host;                // required
    std::shared_ptr<TLWScheduler> scheduler;              // required
    std::shared_ptr<TLWPersistedConfig> persistedConfig;  // required
    std::shared_ptr<platform::Environment> env;           // null: Environment::current()
    std::shared_ptr<TLWMonitor> monitor;                  // null: TLWMonitor::sharedInstance()
  };
  static constexpr std::size_t kMaxURLLength = 8192;
  static constexpr std::size_t kMaxQueryPieces = 256;
  static constexpr std::size_t kMaxDeferredDeepLinkResponseBytes = 64 * 1024;

  // Null (logged) when a required dependency is missing.
  static std::shared_ptr<TLWCampaignReporter> create(Dependencies dependencies);
  explicit TLWCampaignReporter(Dependencies dependencies);

  // ---- Class operations (any thread) ----
  // The web page URL of a browsing activity; "" (logged) for anything else.
  static std::string deepLinkFromUserActivity(const platform::Value& userActivity, TLWMonitor& monitor);
  // Stores the link of the did-finish-launching user info (a browsing activity, else the
  // URL) with the current time. Needs no engine.
  static void storeLinkFromLaunchInfo(platform::Environment& env, const platform::Dictionary& userInfo,
                                      TLWMonitor& monitor);
  // The query parser: "&"-separated pieces, "+" and percent-encoding undone, the first
  // occurrence of a key wins.
  // The query's arguments, the first of a repeated name winning; nullopt for a query of
  // more than kMaxQueryPieces pieces (refused whole).
  static std::optional<platform::Dictionary> dictionaryWithHttpArgumentsString(std::string_view query);
  static std::string stringByUnescapingFromURLArgument(std::string_view text);
  static bool isValidCampaignURLParamDictionary(const platform::Dictionary& parameters);
  // A flat reading of a JSON object; nullopt when it is not one.
  static std::optional<platform::Dictionary> deepLinkInfoFromResponseData(const platform::Value::Data& data,
                                                                          TLWMonitor& monitor);

  // ---- TLWCampaignReporting ----
  bool hasStoredDeepLink() override;
  void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampMillis) override;
  bool shouldAllowRequestDeferredDeepLink() override;
  void requestDeferredDeepLink() override;
  void dropStoredDeepLinkOlderThan(double maxAgeSeconds) override;
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) override;

  void handleOpenURLOnWorkerQueue(const std::optional<std::string>& url, std::optional<std::int64_t> clickTimestampMillis,
                                  double eventTimestampInSeconds, const platform::Dictionary& extraParameters);
  bool shouldAllowClickID();
  void handleDeferredDeepLinkInfo(const platform::Dictionary& info);
  // Main queue: false when the app delegate cannot take the link.
  bool sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url, const platform::Dictionary& extraInfo);

 private:
  void handleDeferredDeepLinkResponse(long statusCode, const platform::Value::Data& data, bool failed,
                                      const std::string& errorText);

  Dependencies deps_;
};
