#pragma once
// TLWCampaignReporting: campaigns and deep links as the engine drives them: the stored
// campaign link reported at start-up and after first open, the deferred deep link, URLs
// opened later, and the clean-up of an old stored link when collection is switched off.
//
// Thread-safety: the OnWorkerQueue operations run on the worker queue; the others may
// come from any thread.
//
// The default (TLWNoCampaignReporter) has no stored link and reports nothing.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Value.h"

class TLWCampaignReporting {
 public:
  virtual ~TLWCampaignReporting() = default;

  virtual bool hasStoredDeepLink() = 0;
  // Reports a stored campaign link with the given click time in milliseconds (none: no
  // click time).
  virtual void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t> clickTimestampMillis) = 0;
  virtual bool shouldAllowRequestDeferredDeepLink() = 0;
  virtual void requestDeferredDeepLink() = 0;
  // Drops a stored link older than `maxAgeSeconds`.
  virtual void dropStoredDeepLinkOlderThan(double maxAgeSeconds) = 0;
  virtual void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) = 0;
  // The did-finish-launching user info.
  virtual void handleStoredURLAfterAppLaunchWithUserInfo(const platform::Dictionary& userInfo) = 0;
};

class TLWNoCampaignReporter : public TLWCampaignReporting {
 public:
  bool hasStoredDeepLink() override { return false; }
  void reportStoredCampaignEventOnWorkerQueue(std::optional<std::int64_t>) override {}
  bool shouldAllowRequestDeferredDeepLink() override { return false; }
  void requestDeferredDeepLink() override {}
  void dropStoredDeepLinkOlderThan(double) override {}
  void handleNonFirstOpenEventURL(const std::string&, double) override {}
  void handleStoredURLAfterAppLaunchWithUserInfo(const platform::Dictionary&) override {}
};
