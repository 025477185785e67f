#pragma once
// TLWCampaignReporting: campaigns and deep links as the engine drives them: the stored
// campaign link reported at start-up and after first open, the deferred deep link, URLs
// opened later, and the clean-up of an old stored link when collection is switched off.
// Links given at launch are stored by TLWCampaignReporter::storeLinkFromLaunchInfo,
// which needs no engine.
//
// Thread-safety: the OnWorkerQueue operations and the deferred-deep-link ones run on the
// worker queue; the others may come from any thread.

#include <cstdint>
#include <optional>
#include <string>

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
  // Not on the worker queue.
  virtual void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds) = 0;
};
