#include "measurement/engine/TLWBundleIdentifiers.h"

#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/proto/TLWPBBundleBytes.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"

namespace {

constexpr std::int32_t kStatusAuthorized = 3;
constexpr std::int32_t kStatusUnavailable = 6;

bool nonEmpty(const std::optional<std::string>& s) { return s.has_value() && !s->empty(); }

template <class Bundle>
void setStringUnlessSet(Bundle& bundle, std::int32_t index, const std::string& value) {
  if (!bundle.HasField(index)) bundle.SetString(index, value);
}

// The rule runs on a decoded bundle and on a stored bundle's bytes alike.
template <class Bundle>
TLWConsentStamp applyConsentSignals(Bundle& bundle, const std::string& s) {
  using B = TLWPBMeasurementBundle;
  TLWConsentStamp stamp;
  if (s.size() >= 4) {
    bundle.SetString(B::kConsentSignals, s);
    stamp.adStorageDenied = s[2] == '0';
    stamp.analyticsStorageDenied = s[3] == '0';
  } else if (s.empty()) {
    bundle.ClearField(B::kConsentSignals);
  }
  if (stamp.adStorageDenied || stamp.analyticsStorageDenied) bundle.ClearField(B::kResettableDeviceId);
  if (stamp.analyticsStorageDenied) {
    bundle.ClearField(B::kVendorDeviceId);
    bundle.ClearField(B::kAppInstanceId);
  }
  return stamp;
}

template <class Bundle>
TLWBundleIdentifierDecision applyBundleIdentifiers(Bundle& bundle, const TLWBundleIdentifierInputs& in) {
  using B = TLWPBMeasurementBundle;
  TLWBundleIdentifierDecision d;

  const std::string& s = in.consentSignals;
  if (s.size() >= 4) {
    d.adStorageDenied = s[2] == '0';
    d.analyticsStorageDenied = s[3] == '0';
  }

  if (in.iOS14OrAbove) {
    if (in.appleConsentStatus != kStatusUnavailable) {
      bundle.SetInt32(B::kAttConsentStatus, in.appleConsentStatus);
    }
    d.trackingAllowed = in.appleConsentStatus == kStatusAuthorized || !in.gateIDFAOnATTMASEnabled;
  } else {
    d.trackingAllowed = true;
  }

  d.usedAdvertisingID = in.limitedAdTracking.has_value() && d.trackingAllowed && !d.adStorageDenied &&
                        nonEmpty(in.resettableDeviceID);
  if (d.usedAdvertisingID) {
    setStringUnlessSet(bundle, B::kResettableDeviceId, *in.resettableDeviceID);
    bundle.ClearField(B::kVendorDeviceId);
  } else if (!nonEmpty(in.identifierForVendor) || d.analyticsStorageDenied) {
    bundle.ClearField(B::kResettableDeviceId);
    bundle.ClearField(B::kVendorDeviceId);
  } else {
    setStringUnlessSet(bundle, B::kVendorDeviceId, *in.identifierForVendor);
    bundle.ClearField(B::kResettableDeviceId);
  }

  if (!d.analyticsStorageDenied && !in.appInstanceID.empty()) {
    setStringUnlessSet(bundle, B::kAppInstanceId, in.appInstanceID);
  }

  // The user's consent has the last word over the identifier rule above: analytics
  // storage denied keeps the advertising identifier off the bundle too.
  applyConsentSignals(bundle, s);

  if (in.limitedAdTracking.has_value()) bundle.SetBool(B::kLimitedAdTracking, *in.limitedAdTracking);
  return d;
}

}  // namespace

TLWConsentStamp TLWApplyConsentSignals(TLWPBMeasurementBundle& bundle, const std::string& consentSignals) {
  return applyConsentSignals(bundle, consentSignals);
}

TLWBundleIdentifierDecision TLWApplyBundleIdentifiers(TLWPBMeasurementBundle& bundle,
                                                      const TLWBundleIdentifierInputs& inputs) {
  return applyBundleIdentifiers(bundle, inputs);
}

TLWBundleIdentifierDecision TLWApplyBundleIdentifiers(TLWPBBundleBytes& bundle, const TLWBundleIdentifierInputs& inputs) {
  return applyBundleIdentifiers(bundle, inputs);
}

TLWBundleIdentifierInputs TLWBundleIdentifierInputsFromIdentity(TLWIdentity& identity,
                                                                const TLWConsentSettingsUtil& consent,
                                                                bool gateIDFAOnATTMASEnabled) {
  TLWBundleIdentifierInputs in;
  in.consentSignals = consent.consentSignals().value_or("");
  in.gateIDFAOnATTMASEnabled = gateIDFAOnATTMASEnabled;
  in.iOS14OrAbove = identity.iOS14OrAbove();
  auto ids = identity.identifiers();
  in.appleConsentStatus = static_cast<std::int32_t>(ids.appleConsentStatus);
  if (ids.hasLimitedAdTracking) in.limitedAdTracking = ids.limitedAdTracking;
  in.resettableDeviceID = std::move(ids.resettableDeviceID);
  in.identifierForVendor = std::move(ids.identifierForVendor);
  in.appInstanceID = ids.appInstanceID.value_or("");
  return in;
}
