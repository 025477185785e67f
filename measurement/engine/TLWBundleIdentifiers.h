#pragma once
// The identifier rule of a bundle: which consent signals, tracking-authorisation status,
// advertising ID, vendor ID, app instance ID and limited-ad-tracking flag a bundle may
// carry. The same rule runs when raw-event metadata is created, when raw events are
// bundled and again before upload, so that a consent change between those moments
// removes identifiers that are no longer allowed.
//
// Thread-safety: a pure function over its arguments; the bundle needs exclusive access
// for the call. The inputs are a snapshot the caller gathers (from TLWIdentity,
// TLWConsentSettingsUtil and TLWRemoteConfig); nothing here reads shared state.
//
// Failure: none; a field that cannot be set is logged by the message layer and left as
// it was.

#include <cstdint>
#include <optional>
#include <string>

class TLWConsentSettingsUtil;
class TLWIdentity;
class TLWPBBundleBytes;
class TLWPBMeasurementBundle;

struct TLWBundleIdentifierInputs {
  // TLWConsentSettingsUtil consentSignals: "G1" + one digit per consent type and more;
  // character 2 is ad storage, character 3 analytics storage ("0" = denied).
  std::string consentSignals;
  // TLWRemoteConfig gateIDFAOnATTMASEnabled.
  bool gateIDFAOnATTMASEnabled = false;
  // TLWIdentity iOS14OrAbove.
  bool iOS14OrAbove = true;
  // TLWIdentity appleConsentStatus (1 to 6; 3 authorised; 6, framework absent or OS
  // older than 14, is never sent).
  std::int32_t appleConsentStatus = 6;
  // TLWIdentity limitedAdTracking, present only when hasLimitedAdTracking.
  std::optional<bool> limitedAdTracking;
  // TLWIdentity resettableDeviceID (advertising identifier); nullopt or empty = none.
  std::optional<std::string> resettableDeviceID;
  // TLWIdentity identifierForVendor; nullopt or empty = none.
  std::optional<std::string> identifierForVendor;
  // TLWIdentity appInstanceID; empty = none.
  std::string appInstanceID;

  bool operator==(const TLWBundleIdentifierInputs&) const = default;
};

// What the rule decided, for callers that log or test it.
struct TLWBundleIdentifierDecision {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
  bool trackingAllowed = true;
  bool usedAdvertisingID = false;
};

// The consent stamp alone: writes the signal (at least 4 characters; an empty one removes
// the field, a shorter one leaves it), removes the advertising identifier when ad or
// analytics storage is denied and the vendor identifier and app instance ID when analytics
// storage is. It runs last wherever identifiers are set, so consent always wins.
struct TLWConsentStamp {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
};
TLWConsentStamp TLWApplyConsentSignals(TLWPBMeasurementBundle& bundle, const std::string& consentSignals);

// Applies the rule to `bundle` in place: sets or clears consent_signals,
// att_consent_status, resettable_device_id, vendor_device_id, app_instance_id and
// limited_ad_tracking. Identifiers already on the bundle are kept where allowed (the
// rule never overwrites a set ID) and cleared where consent forbids them.
TLWBundleIdentifierDecision TLWApplyBundleIdentifiers(TLWPBMeasurementBundle& bundle,
                                                      const TLWBundleIdentifierInputs& inputs);
// The same rule on a queued bundle's bytes, as an upload stamps it.
TLWBundleIdentifierDecision TLWApplyBundleIdentifiers(TLWPBBundleBytes& bundle, const TLWBundleIdentifierInputs& inputs);

// The inputs as the engine reads them now: consent signals (none reads as empty), the
// identity's facts (synchronous hops onto the identity queue; not from that queue) and
// the configuration's gate switch.
TLWBundleIdentifierInputs TLWBundleIdentifierInputsFromIdentity(TLWIdentity& identity,
                                                                const TLWConsentSettingsUtil& consent,
                                                                bool gateIDFAOnATTMASEnabled);
