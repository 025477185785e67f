// Serialising and parsing a bundle of 100 events with 8 parameters each: events per
// second both ways, and the bytes per event before and after gzip.
#include <benchmark/benchmark.h>

#include <string>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "platform/Gzip.h"

namespace {

constexpr int kEvents = 100;
constexpr int kParams = 8;

std::shared_ptr<TLWPBMeasurementBundle> makeBundle() {
  using B = TLWPBMeasurementBundle;
  auto bundle = B::initWithMessageInfo();
  (void)bundle->SetInt32(B::kProtocolVersion, 1);
  (void)bundle->SetString(B::kPlatform, "ios");
  (void)bundle->SetString(B::kOsVersion, "17.2");
  (void)bundle->SetString(B::kDeviceModel, "iPhone15,2");
  (void)bundle->SetString(B::kAppId, "com.example.game");
  (void)bundle->SetString(B::kAppInstanceId, "3f2a6c1e0b8d4e5f9a7c2b1d0e4f6a8b");
  (void)bundle->SetInt32(B::kTimezoneOffsetMinutes, -300);
  (void)bundle->SetInt64(B::kSdkVersion, 80901);
  const char* names[] = {"level_up", "purchase", "screen_view", "tutorial_complete", "_e"};
  for (int e = 0; e < kEvents; ++e) {
    auto event = TLWPBEvent::initWithMessageInfo();
    (void)event->SetString(TLWPBEvent::kName, names[e % 5]);
    (void)event->SetInt64(TLWPBEvent::kTimestamp, 1700000000000 + e * 1375);
    (void)event->SetInt64(TLWPBEvent::kPreviousTimestamp, 1699999000000 + e * 977);
    for (int p = 0; p < kParams; ++p) {
      auto param = TLWPBEventParam::initWithMessageInfo();
      (void)param->SetString(TLWPBEventParam::kName, p == 0 ? std::string("_o") : "param_" + std::to_string(p));
      switch (p % 3) {
        case 0: (void)param->SetString(TLWPBEventParam::kStringValue, p == 0 ? "app" : "value_" + std::to_string(e)); break;
        case 1: (void)param->SetInt64(TLWPBEventParam::kIntValue, e * 1000 + p); break;
        default: (void)param->SetDouble(TLWPBEventParam::kDoubleValue, e * 0.25 + p); break;
      }
      (void)event->AddRepeatedMessage(TLWPBEvent::kParams, *param);
    }
    (void)bundle->AddRepeatedMessage(B::kEvents, *event);
  }
  return bundle;
}

void BM_SerialiseBundle(benchmark::State& state) {
  auto bundle = makeBundle();
  std::size_t size = 0;
  for (auto _ : state) {
    auto bytes = bundle->protoBuffer();
    if (!bytes) state.SkipWithError("serialise failed");
    size = bytes ? bytes->size() : 0;
    benchmark::DoNotOptimize(bytes);
  }
  auto gz = platform::vxl_dataByGzippingData(*bundle->protoBuffer());
  state.counters["events/s"] = benchmark::Counter(double(kEvents), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/event"] = double(size) / kEvents;
  state.counters["gzip_bytes/event"] = gz ? double(gz->size()) / kEvents : 0.0;
}
BENCHMARK(BM_SerialiseBundle);

void BM_ParseBundle(benchmark::State& state) {
  auto bytes = *makeBundle()->protoBuffer();
  for (auto _ : state) {
    auto bundle = TLWPBMeasurementBundle::initWithBuffer(bytes);
    if (!bundle) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(bundle);
  }
  state.counters["events/s"] = benchmark::Counter(double(kEvents), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ParseBundle);

}  // namespace
