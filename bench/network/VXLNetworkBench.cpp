// Round trips of the network client against the local measurement service on loopback:
// one post at a time (latency, including gzip of the body), and batches of concurrent posts.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>

#include "platform/network/VXLNetwork.h"
#include "tools/measurement-service/ServiceCore.h"

namespace {

struct Fixture {
  Fixture() : service(measurement_service::ServiceOptions{}) {
    if (!service.start()) std::abort();
    queue = platform::DispatchQueue::create("bench.network");
  }
  measurement_service::ServiceCore service;
  std::shared_ptr<platform::DispatchQueue> queue;
};

platform::Value::Data payloadOf(std::size_t size) {
  // Half repetitive, half random: roughly how a serialized batch compresses.
  std::mt19937 rng(11);
  platform::Value::Data bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = i % 2 ? static_cast<std::uint8_t>(rng()) : 'e';
  return bytes;
}

void BM_PostRoundTrip(benchmark::State& state) {
  Fixture fixture;
  platform::VXLNetwork network("127.0.0.1");
  auto payload = payloadOf(static_cast<std::size_t>(state.range(0)));
  std::string url = fixture.service.baseURL() + "/a";
  std::mutex mutex;
  std::condition_variable cv;
  for (auto _ : state) {
    bool done = false;
    long status = 0;
    (void)network.postURL(url, payload, fixture.queue, false,
                          [&](const platform::VXLHTTPResponse& r, const platform::Value::Data&,
                              const std::optional<platform::VXLNetworkError>&) {
                            std::lock_guard lock(mutex);
                            status = r.statusCode;
                            done = true;
                            cv.notify_all();
                          });
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
    if (status != 204) state.SkipWithError("unexpected status");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PostRoundTrip)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ConcurrentPosts(benchmark::State& state) {
  Fixture fixture;
  platform::VXLNetwork network("127.0.0.1");
  auto payload = payloadOf(16 * 1024);
  std::string url = fixture.service.baseURL() + "/a";
  const int batch = static_cast<int>(state.range(0));
  std::mutex mutex;
  std::condition_variable cv;
  for (auto _ : state) {
    int remaining = batch;
    for (int i = 0; i < batch; ++i) {
      (void)network.postURL(url, payload, fixture.queue, false,
                            [&](const platform::VXLHTTPResponse&, const platform::Value::Data&,
                                const std::optional<platform::VXLNetworkError>&) {
                              std::lock_guard lock(mutex);
                              if (--remaining == 0) cv.notify_all();
                            });
    }
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return remaining == 0; });
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * batch);
}
BENCHMARK(BM_ConcurrentPosts)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
