#pragma once
// The pipeline's views of the remote configuration (TLWEventPipelineSettings) and of the
// identity and consent state (TLWEventPipelineIdentity), as the engine builds them over
// the real objects.
//
// Thread-safety: as the objects they wrap; the pipeline calls them from the worker queue.
// Ownership: they share the wrapped objects; a null object answers the base class's
// defaults.

#include <memory>

#include "measurement/engine/TLWEventPipeline.h"

class TLWConsentSettingsUtil;
class TLWIdentity;
class TLWRemoteConfig;

class TLWRemoteConfigPipelineSettings final : public TLWEventPipelineSettings {
 public:
  explicit TLWRemoteConfigPipelineSettings(std::shared_ptr<TLWRemoteConfig> remoteConfig);

  std::int32_t maxEventsPerDay() override;
  std::int32_t maxPublicEventsPerDay() override;
  std::int32_t maxErrorEventsPerDay() override;
  std::int32_t maxConversionsPerDay() override;
  std::int32_t maxRealtimeEventCountPerDay() override;
  std::int32_t maxEventNameCardinality() override;
  std::int32_t maxPublicEventParams() override;
  std::int32_t maxPublicUserProperties() override;
  std::int32_t maxTrackedCurrencies() override;
  bool isEventBlocklisted(std::string_view name) override;
  bool blocklistInternal() override;
  bool blocklistPublic() override;
  bool isEventCustomConversion(std::string_view name) override;
  bool lastAdvertisingIDResetFeatureEnabled() override;
  bool gateIDFAOnATTMASEnabled() override;
  bool isEventEditingEnabled() override;
  TLWEventEditOutcome editEvent(const TLWEvent::EditForm& event) override;

 private:
  std::shared_ptr<TLWRemoteConfig> remoteConfig_;
};

class TLWIdentityPipelineIdentity final : public TLWEventPipelineIdentity {
 public:
  TLWIdentityPipelineIdentity(std::shared_ptr<TLWIdentity> identity, std::shared_ptr<TLWConsentSettingsUtil> consent,
                              std::shared_ptr<TLWRemoteConfig> remoteConfig);

  void updateIdentifiers() override;
  // Synchronous hops onto the identity queue: never call it from that queue.
  TLWRawEventMetadataInputs rawEventMetadataInputs() override;
  bool isAnalyticsStorageDenied() override;

 private:
  std::shared_ptr<TLWIdentity> identity_;
  std::shared_ptr<TLWConsentSettingsUtil> consent_;
  std::shared_ptr<TLWRemoteConfig> remoteConfig_;
};
