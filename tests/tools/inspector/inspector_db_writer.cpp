// An app's measurement database held open, as the inspector meets it while the app runs:
// fills every table the inspector prints through the library's own storage, answers
// "ready", then stores one more raw event per line read from standard input (answering
// "ok" after each) and closes the database at end of input. Times count from <base>
// (seconds since 1970): the first event at base + 0.25, later ones at base + 11, + 12 ...
//
// Usage: inspector_db_writer <sandbox root> <base>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWConditionalUserProperty.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/Sandbox.h"
#include "tests/support/RootedEnvironment.h"

namespace {

using tw_test_support::RootedEnvironment;

int failed(const char* what, const TLWError& error) {
  std::fprintf(stderr, "%s failed: %s\n", what, error.localizedDescription().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <sandbox root> <base>\n", argv[0]);
    return 2;
  }
  const double base = std::strtod(argv[2], nullptr);
  auto env = std::make_shared<RootedEnvironment>(argv[1]);
  auto monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
  auto config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                      TLWUserDefaults::initWithSuiteName("", env), monitor);
  TLWError error;
  auto db = TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, &error, env, monitor);
  if (!db) return failed("open", error);

  auto metadata = TLWPBMeasurementBundle::initWithMessageInfo();
  metadata->SetString(TLWPBMeasurementBundle::kAppId, "1:1:ios:inspect");
  metadata->SetString(TLWPBMeasurementBundle::kAppInstanceId, "instance-7");
  auto metadataBytes = metadata->protoBuffer();
  const std::int64_t fingerprint = TLWDatabase::fingerprintOfBytes(*metadataBytes);
  if (!db->insertIfNotExistsRawEventMetadata(*metadata, &error)) return failed("metadata", error);
  auto storeEvent = [&](const std::string& name, double timestamp) {
    auto event = TLWEvent::initWithOrigin("app", false, name, timestamp, 0,
                                          platform::Dictionary{{"level", 5}, {"hero", "mage"}});
    return event && db->insertRawEvent(event.get(), fingerprint, true, &error);
  };
  if (!storeEvent("level_up", base + 0.25)) return failed("raw event", error);

  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  bundle->SetString(TLWPBMeasurementBundle::kAppId, "1:1:ios:inspect");
  bundle->SetInt32(TLWPBMeasurementBundle::kBundleSequenceIndex, 4);
  bundle->SetInt64(TLWPBMeasurementBundle::kEndTimestamp, static_cast<std::int64_t>(base) * 1000 + 1000);
  auto queued = TLWPBEvent::initWithMessageInfo();
  queued->SetString(TLWPBEvent::kName, "queued_event");
  bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kEvents, *queued);
  if (!db->insertBundle(*bundle, false, &error)) return failed("bundle", error);

  auto property = TLWUserAttribute::initWithOrigin("app", "favorite_hero", TLWValue::initWithString("mage"),
                                                   base + 2);
  if (!property || !db->updateUserAttribute(property.get(), &error)) return failed("user property", error);

  TLWConditionalUserProperty conditional;
  conditional.setName("vip_player");
  conditional.setOrigin("app");
  conditional.setValue(TLWValue::initWithString("yes"));
  conditional.setTriggerEventName("level_end");
  conditional.setTriggerTimeout(600);
  conditional.setTimeToLive(3600);
  conditional.setCreationTimestamp(base + 3);
  conditional.setTriggeredEvent(TLWEvent::initWithOrigin("app", false, "vip_unlocked", 0, 0, TLWParameters{}));
  if (!db->updateConditionalUserProperty(&conditional, &error)) return failed("conditional property", error);

  auto counts = db->dailyCounts(&error);
  if (!counts) return failed("daily counts", error);
  counts->incrementCountsForCurrentDay(counts->day(), true, false);
  if (!db->updateDailyCounts(*counts, &error)) return failed("daily counts", error);

  auto remote = TLWPBMeasurementConfig::initWithMessageInfo();
  remote->SetString(TLWPBMeasurementConfig::kAppId, "1:1:ios:inspect");
  remote->SetInt64(TLWPBMeasurementConfig::kVersion, 77);
  if (!db->updateRemoteConfig(*remote, &error)) return failed("configuration", error);

  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  double timestamp = base + 10;
  while (std::getline(std::cin, line)) {
    if (!storeEvent(line, timestamp += 1)) return failed("raw event", error);
    std::printf("ok\n");
    std::fflush(stdout);
  }
  return 0;
}
