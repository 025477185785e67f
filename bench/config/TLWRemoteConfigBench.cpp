// Reading settings and per-event configurations on the event path, and applying a
// configuration with many event configurations.

#include <benchmark/benchmark.h>

#include <string>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:abcdef";

std::shared_ptr<TLWPBMeasurementConfig> configWithEvents(int count) {
  auto config = TLWPBMeasurementConfig::initWithMessageInfo();
  config->SetString(TLWPBMeasurementConfig::kAppId, kAppID);
  auto setting = TLWPBSetting::initWithMessageInfo();
  setting->SetString(TLWPBSetting::kName, "measurement.upload.max_public_event_params");
  setting->SetString(TLWPBSetting::kValue, "40");
  config->AddRepeatedMessage(TLWPBMeasurementConfig::kSettings, *setting);
  for (int i = 0; i < count; ++i) {
    auto eventConfig = TLWPBEventConfig::initWithMessageInfo();
    eventConfig->SetString(TLWPBEventConfig::kName, "event_" + std::to_string(i));
    eventConfig->SetBool(TLWPBEventConfig::kBlocklisted, i % 3 == 0);
    eventConfig->SetInt32(TLWPBEventConfig::kSamplingRate, 2 + i % 50);
    config->AddRepeatedMessage(TLWPBMeasurementConfig::kEventConfig, *eventConfig);
  }
  return config;
}

// An instance with an app ID but no database: it parses configurations it is handed.
std::shared_ptr<TLWRemoteConfig> remoteConfigWith(int eventCount) {
  auto rc = TLWRemoteConfig::initWithAppID(kAppID, nullptr, std::shared_ptr<TLWPBMeasurementConfig>(), nullptr);
  rc->parseRemoteConfigFromMeasurementConfig(*configWithEvents(eventCount));
  return rc;
}

void BM_SettingRead(benchmark::State& state) {
  auto rc = remoteConfigWith(10);
  for (auto _ : state) benchmark::DoNotOptimize(rc->maxPublicEventParams());
}
BENCHMARK(BM_SettingRead);

void BM_LimitsCurrentRead(benchmark::State& state) {
  auto rc = remoteConfigWith(10);
  rc->installAsCurrentLimits();
  for (auto _ : state) benchmark::DoNotOptimize(TLWLimits::current()->maxPublicEventParams());
}
BENCHMARK(BM_LimitsCurrentRead);

// The cost per lookup should not grow with the number of event configurations.
void BM_EventBlocklistLookup(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  auto rc = remoteConfigWith(count);
  const std::string name = "event_" + std::to_string(count / 2);
  for (auto _ : state) benchmark::DoNotOptimize(rc->isEventBlocklisted(name));
}
BENCHMARK(BM_EventBlocklistLookup)->Arg(10)->Arg(1000)->Arg(20000);

void BM_ApplyConfiguration(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  auto rc = remoteConfigWith(0);
  auto config = configWithEvents(count);
  for (auto _ : state) rc->parseRemoteConfigFromMeasurementConfig(*config);
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_ApplyConfiguration)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
