#include "measurement/engine/TLWEventPipelineAdapters.h"

#include <limits>

#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWEventEditing.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/engine/TLWBundleIdentifiers.h"

namespace {

std::optional<std::int32_t> int32Of(const std::optional<std::int64_t>& v) {
  if (!v || *v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*v);
}

}  // namespace

// ------------------------------------------------------------------ settings

TLWRemoteConfigPipelineSettings::TLWRemoteConfigPipelineSettings(std::shared_ptr<TLWRemoteConfig> remoteConfig)
    : remoteConfig_(std::move(remoteConfig)) {}

#define TLW_FORWARD(type, name)                                                       \
  type TLWRemoteConfigPipelineSettings::name() {                                      \
    return remoteConfig_ ? remoteConfig_->name() : TLWEventPipelineSettings::name(); \
  }
TLW_FORWARD(std::int32_t, maxEventsPerDay)
TLW_FORWARD(std::int32_t, maxPublicEventsPerDay)
TLW_FORWARD(std::int32_t, maxErrorEventsPerDay)
TLW_FORWARD(std::int32_t, maxConversionsPerDay)
TLW_FORWARD(std::int32_t, maxRealtimeEventCountPerDay)
TLW_FORWARD(std::int32_t, maxEventNameCardinality)
TLW_FORWARD(std::int32_t, maxPublicEventParams)
TLW_FORWARD(std::int32_t, maxPublicUserProperties)
TLW_FORWARD(std::int32_t, maxTrackedCurrencies)
TLW_FORWARD(bool, blocklistInternal)
TLW_FORWARD(bool, blocklistPublic)
TLW_FORWARD(bool, lastAdvertisingIDResetFeatureEnabled)
TLW_FORWARD(bool, gateIDFAOnATTMASEnabled)
#undef TLW_FORWARD

bool TLWRemoteConfigPipelineSettings::isEventBlocklisted(std::string_view name) {
  return remoteConfig_ && remoteConfig_->isEventBlocklisted(name);
}

bool TLWRemoteConfigPipelineSettings::isEventCustomConversion(std::string_view name) {
  return remoteConfig_ && remoteConfig_->isEventCustomConversion(name);
}

bool TLWRemoteConfigPipelineSettings::isEventEditingEnabled() {
  return remoteConfig_ && remoteConfig_->eesFeatureEnabled() && remoteConfig_->eventEditing() != nullptr;
}

TLWEventEditOutcome TLWRemoteConfigPipelineSettings::editEvent(const TLWEvent::EditForm& event) {
  TLWEventEditOutcome outcome;
  auto editor = remoteConfig_ ? remoteConfig_->eventEditing() : nullptr;
  if (!editor) return outcome;
  if (!editor->handleEvent(event, &outcome.error)) {
    outcome.failed = true;
    return outcome;
  }
  const TLWEventEditingContext& context = editor->eventContext();
  if (editor->hasEdits()) outcome.editedEvent = context.outputEvent;
  if (editor->hasCreatedEvents()) outcome.createdEvents = context.eventsToLog;
  return outcome;
}

// ------------------------------------------------------------------ identity

TLWIdentityPipelineIdentity::TLWIdentityPipelineIdentity(std::shared_ptr<TLWIdentity> identity,
                                                         std::shared_ptr<TLWConsentSettingsUtil> consent,
                                                         std::shared_ptr<TLWRemoteConfig> remoteConfig)
    : identity_(std::move(identity)), consent_(std::move(consent)), remoteConfig_(std::move(remoteConfig)) {}

void TLWIdentityPipelineIdentity::updateIdentifiers() {
  // Called on the worker queue for every stored event.
  if (identity_) identity_->refreshIdentifiersNow();
}

TLWRawEventMetadataInputs TLWIdentityPipelineIdentity::rawEventMetadataInputs() {
  TLWRawEventMetadataInputs in;
  in.libraryVersion = TLWIdentity::tallywiseLibraryVersion();
  if (!identity_) return in;
  in.appID = identity_->appID();
  in.isFromAppStore = identity_->isFromAppStore();
  if (!identity_->appVersion().empty()) in.appVersion = identity_->appVersion();
  in.appIDFromZEL = identity_->appIDFromZEL().value_or("");
  in.appIDFromQuado = identity_->appIDFromQuado().value_or("");
  in.installationID = identity_->tarnwickInstallationID().value_or("");
  in.appVersionMajor = int32Of(identity_->appVersionMajor());
  in.appVersionMinor = int32Of(identity_->appVersionMinor());
  in.appVersionRelease = int32Of(identity_->appVersionRelease());
  if (consent_) {
    in.identifiers = TLWBundleIdentifierInputsFromIdentity(
        *identity_, *consent_, remoteConfig_ && remoteConfig_->gateIDFAOnATTMASEnabled());
  }
  return in;
}

bool TLWIdentityPipelineIdentity::isAnalyticsStorageDenied() { return consent_ && consent_->isAnalyticsStorageDenied(); }
