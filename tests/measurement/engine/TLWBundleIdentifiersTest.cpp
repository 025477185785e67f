#include "measurement/engine/TLWBundleIdentifiers.h"

#include <gtest/gtest.h>

#include <functional>

#include "measurement/engine/TLWRawEventMetadataBuilder.h"
#include "measurement/model/TLWUserAttribute.h"

#include "measurement/proto/TLWPBMeasurementBatch.h"

namespace {

using B = TLWPBMeasurementBundle;

constexpr const char* kIDFA = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kIDFV = "599F9C00-92DC-4B5C-9464-7971F01F8370";
constexpr const char* kAppInstance = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";

// Everything available, everything granted, tracking authorised.
TLWBundleIdentifierInputs allGranted() {
  TLWBundleIdentifierInputs in;
  in.consentSignals = "G111";
  in.gateIDFAOnATTMASEnabled = true;
  in.iOS14OrAbove = true;
  in.appleConsentStatus = 3;
  in.limitedAdTracking = false;
  in.resettableDeviceID = kIDFA;
  in.identifierForVendor = kIDFV;
  in.appInstanceID = kAppInstance;
  return in;
}

struct Outcome {
  std::optional<std::string> consent, idfa, idfv, appInstance;
  std::optional<std::int32_t> att;
  std::optional<bool> lat;
};

Outcome applyRule(const TLWBundleIdentifierInputs& in, std::shared_ptr<B> bundle = nullptr) {
  if (!bundle) bundle = B::initWithMessageInfo();
  TLWApplyBundleIdentifiers(*bundle, in);
  Outcome o;
  o.consent = bundle->GetString(B::kConsentSignals);
  o.idfa = bundle->GetString(B::kResettableDeviceId);
  o.idfv = bundle->GetString(B::kVendorDeviceId);
  o.appInstance = bundle->GetString(B::kAppInstanceId);
  if (bundle->HasField(B::kAttConsentStatus)) o.att = bundle->GetInt32(B::kAttConsentStatus);
  if (bundle->HasField(B::kLimitedAdTracking)) o.lat = bundle->GetBool(B::kLimitedAdTracking);
  return o;
}

TEST(TLWBundleIdentifiersTest, ConsentSignalsDecideWhichIdentifiersStay) {
  struct Case {
    const char* signals;
    bool idfa, idfv, appInstance;
    std::optional<std::string> consentField;
  };
  // Character 2 is ad storage, character 3 analytics storage.
  const Case cases[] = {
      {"G111", true, false, true, "G111"},   // advertising ID wins over the vendor ID
      {"G101", false, true, true, "G101"},   // ad denied: the vendor ID instead
      {"G110", false, false, false, "G110"}, // analytics denied: no identifier at all
      {"G100", false, false, false, "G100"}, // both denied: nothing
      {"G1", true, false, true, std::nullopt},   // too short: both granted, field untouched
      {"", true, false, true, std::nullopt},     // empty: field cleared
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signals);
    auto in = allGranted();
    in.consentSignals = c.signals;
    const Outcome o = applyRule(in);
    EXPECT_EQ(o.idfa.has_value(), c.idfa);
    EXPECT_EQ(o.idfv.has_value(), c.idfv);
    EXPECT_EQ(o.appInstance.has_value(), c.appInstance);
    EXPECT_EQ(o.consent, c.consentField);
  }
  // A short string leaves an earlier value; an empty one clears it.
  auto bundle = B::initWithMessageInfo();
  bundle->SetString(B::kConsentSignals, "G1-1");
  auto in = allGranted();
  in.consentSignals = "G1";
  EXPECT_EQ(applyRule(in, bundle).consent, "G1-1");
  in.consentSignals = "";
  EXPECT_FALSE(applyRule(in, bundle).consent);
}

TEST(TLWBundleIdentifiersTest, TrackingAuthorisationGatesTheAdvertisingID) {
  struct Case {
    bool os14;
    std::int32_t status;
    bool gate;
    bool idfa;
    std::optional<std::int32_t> att;
  };
  const Case cases[] = {
      {true, 3, true, true, 3},             // authorised
      {true, 2, true, false, 2},            // denied, gate on: vendor ID instead
      {true, 4, true, false, 4},            // not determined, gate on
      {true, 2, false, true, 2},            // gate off: status sent, ID allowed
      {true, 6, true, false, std::nullopt}, // framework absent: never sent, gated
      {true, 6, false, true, std::nullopt},
      {false, 2, true, true, std::nullopt}, // before 14: no status, always allowed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.os14 << "/" << c.status << "/" << c.gate);
    auto in = allGranted();
    in.iOS14OrAbove = c.os14;
    in.appleConsentStatus = c.status;
    in.gateIDFAOnATTMASEnabled = c.gate;
    const Outcome o = applyRule(in);
    EXPECT_EQ(o.idfa.has_value(), c.idfa);
    EXPECT_EQ(o.idfv.has_value(), !c.idfa);
    EXPECT_EQ(o.att, c.att);
  }
}

TEST(TLWBundleIdentifiersTest, AdvertisingIDNeedsAKnownTrackingStateAndAnID) {
  auto in = allGranted();
  in.limitedAdTracking.reset();  // state unknown: vendor ID, and no flag
  Outcome o = applyRule(in);
  EXPECT_FALSE(o.idfa);
  EXPECT_EQ(o.idfv, kIDFV);
  EXPECT_FALSE(o.lat);

  in = allGranted();
  in.limitedAdTracking = true;
  o = applyRule(in);
  EXPECT_EQ(o.idfa, kIDFA);
  EXPECT_EQ(o.lat, true);

  in = allGranted();
  in.resettableDeviceID = "";
  in.identifierForVendor.reset();
  o = applyRule(in);  // neither ID: both cleared, app instance ID still sent
  EXPECT_FALSE(o.idfa);
  EXPECT_FALSE(o.idfv);
  EXPECT_EQ(o.appInstance, kAppInstance);
}

TEST(TLWBundleIdentifiersTest, ExistingIDsAreKeptWhereAllowedAndClearedWhereNot) {
  auto bundle = B::initWithMessageInfo();
  bundle->SetString(B::kResettableDeviceId, "OLD-IDFA");
  bundle->SetString(B::kVendorDeviceId, "OLD-IDFV");
  bundle->SetString(B::kAppInstanceId, "OLD-INSTANCE");
  auto in = allGranted();
  Outcome o = applyRule(in, bundle);
  EXPECT_EQ(o.idfa, "OLD-IDFA");  // never overwritten
  EXPECT_FALSE(o.idfv);
  EXPECT_EQ(o.appInstance, "OLD-INSTANCE");

  // Consent withdrawn between metadata creation and upload removes what was there.
  bundle->SetString(B::kVendorDeviceId, "OLD-IDFV");
  in.consentSignals = "G100";
  o = applyRule(in, bundle);
  EXPECT_FALSE(o.idfa);
  EXPECT_FALSE(o.idfv);
  EXPECT_FALSE(o.appInstance);
  EXPECT_EQ(o.consent, "G100");
}


// The metadata cache hands back the last bytes only while nothing that goes into them
// changed; each change below must give exactly the bytes of a fresh build.
TEST(TLWRawEventMetadataCacheTest, AnyChangedInputBuildsAgainAndMatchesAFreshBuild) {
  TLWRawEventMetadataInputs inputs;
  inputs.appID = "com.vorlix.skyforge";
  inputs.identifiers = allGranted();
  TLWDeviceFacts device{"arm64", "17.4", 60, "en-gb"};
  std::vector<std::shared_ptr<TLWUserAttribute>> attributes{
      TLWUserAttribute::initWithOrigin("app", "hero", TLWValue::initWithString("mage"), 1700000000.0)};
  TLWRawEventMetadataCache cache;

  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"first event", [] {}},
      {"consent", [&] { inputs.identifiers.consentSignals = "G101"; }},
      {"app version", [&] { inputs.appVersion = "2.0"; }},
      {"time zone", [&] { device.timeZoneOffsetMinutes = 120; }},
      {"language", [&] { device.language.reset(); }},
      // An equal value in a new record: the record is what counts, never its address alone.
      {"same property set again",
       [&] { attributes[0] = TLWUserAttribute::initWithOrigin("app", "hero", TLWValue::initWithString("mage"), 1700000000.0); }},
      {"property changed",
       [&] { attributes[0] = TLWUserAttribute::initWithOrigin("app", "hero", TLWValue::initWithString("rogue"), 1700000001.0); }},
      {"property added",
       [&] { attributes.push_back(TLWUserAttribute::initWithOrigin("auto", "_sid", TLWValue::initWithInt64(7), 1700000002.0)); }},
  };
  std::uint64_t builds = 0;
  for (const auto& [what, change] : changes) {
    SCOPED_TRACE(what);
    change();
    const auto* metadata = cache.metadataFor(inputs, device, attributes, nullptr);
    ASSERT_NE(metadata, nullptr);
    EXPECT_EQ(cache.builds(), ++builds);
    EXPECT_EQ(metadata->bytes, *TLWCreateRawEventMetadata(inputs, device, attributes)->protoBuffer());
    // The next event with the same inputs shares it.
    EXPECT_EQ(cache.metadataFor(inputs, device, attributes, nullptr), metadata);
    EXPECT_EQ(cache.builds(), builds);
  }
}

}  // namespace
