// Costs of the platform services the library leans on per write: preference flushes,
// property-list coding, gzip of a bundle-sized payload, keychain reads, secure random.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/Digest.h"
#include "platform/FileSystem.h"
#include "platform/Gzip.h"
#include "platform/Keychain.h"
#include "platform/Preferences.h"
#include "platform/PropertyList.h"
#include "platform/Random.h"
#include "platform/Sandbox.h"

namespace {

using namespace platform;

struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/tallywise-bench-XXXXXX";
    root = ::mkdtemp(pattern) ? pattern : "/tmp";
    sandbox = std::make_shared<DirectorySandbox>(root);
    (void)prepareSandbox(*fs, *sandbox);
  }
  ~Scratch() { (void)fs->removeAll(root); }
  std::string root;
  std::shared_ptr<PosixFileSystem> fs = std::make_shared<PosixFileSystem>();
  std::shared_ptr<DirectorySandbox> sandbox;
};

// The persisted configuration holds about thirty small values.
Dictionary configLike() {
  Dictionary d;
  for (int i = 0; i < 30; ++i) {
    std::string key = "/vorlix/measurement/key_" + std::to_string(i);
    if (i % 3 == 0) d.set(Value(key), Value(1700000000.0 + i));
    else if (i % 3 == 1) d.set(Value(key), Value(i * 1000));
    else d.set(Value(key), Value("value-" + std::to_string(i)));
  }
  return d;
}

void BM_PreferencesSetAndSynchronize(benchmark::State& state) {
  Scratch scratch;
  FilePreferences prefs(scratch.fs, scratch.sandbox, "com.vorlix.bench");
  auto suite = prefs.suite("com.vorlix.zel.measurement");
  for (const auto& [k, v] : configLike()) suite->setObject(*k.string(), v);
  std::int64_t n = 0;
  for (auto _ : state) {
    suite->setObject("/vorlix/measurement/session_number", ++n);
    if (!suite->synchronize()) state.SkipWithError("synchronize failed");
  }
}
BENCHMARK(BM_PreferencesSetAndSynchronize)->Unit(benchmark::kMicrosecond);

void BM_PreferencesRead(benchmark::State& state) {
  Scratch scratch;
  FilePreferences prefs(scratch.fs, scratch.sandbox, "com.vorlix.bench");
  auto suite = prefs.suite("s");
  for (const auto& [k, v] : configLike()) suite->setObject(*k.string(), v);
  for (auto _ : state) benchmark::DoNotOptimize(suite->objectForKey("/vorlix/measurement/key_29"));
}
BENCHMARK(BM_PreferencesRead);

void BM_PropertyListBinaryRoundTrip(benchmark::State& state) {
  Value config(configLike());
  for (auto _ : state) {
    auto bytes = PropertyList::dataWithPropertyList(config, PropertyListFormat::Binary);
    benchmark::DoNotOptimize(PropertyList::propertyListWithData(*bytes));
  }
}
BENCHMARK(BM_PropertyListBinaryRoundTrip)->Unit(benchmark::kMicrosecond);

// A bundle-sized payload with the repetitiveness of serialized events.
std::vector<std::uint8_t> bundleLike(std::size_t size) {
  std::vector<std::uint8_t> out;
  SecureRandom random;
  while (out.size() < size) {
    std::string event = "_e\x12\x04_et\x18" + std::to_string(random.uniform(100000)) + "\x22\x03_sc";
    out.insert(out.end(), event.begin(), event.end());
  }
  out.resize(size);
  return out;
}

void BM_GzipBundle(benchmark::State& state) {
  auto payload = bundleLike(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(vxl_dataByGzippingData(payload));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_GzipBundle)->Arg(4 << 10)->Arg(64 << 10)->Unit(benchmark::kMicrosecond);

void BM_InflateBundle(benchmark::State& state) {
  auto packed = *vxl_dataByGzippingData(bundleLike(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(vxl_dataByInflatingGzippedData(packed));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_InflateBundle)->Arg(64 << 10)->Unit(benchmark::kMicrosecond);

void BM_KeychainRead(benchmark::State& state) {
  Scratch scratch;
  FileKeychain keychain(scratch.fs, scratch.sandbox);
  (void)keychain.write("1:123:ios:abc", "_pfo", {'1'});
  for (auto _ : state) benchmark::DoNotOptimize(keychain.read("1:123:ios:abc", "_pfo"));
}
BENCHMARK(BM_KeychainRead)->Unit(benchmark::kMicrosecond);

void BM_SecureUniform(benchmark::State& state) {
  SecureRandom random;
  for (auto _ : state) benchmark::DoNotOptimize(random.uniform(86400000));
}
BENCHMARK(BM_SecureUniform);

void BM_MD5Of1KiB(benchmark::State& state) {
  std::string data(1024, 'x');
  for (auto _ : state) benchmark::DoNotOptimize(md5Digest(data));
}
BENCHMARK(BM_MD5Of1KiB);

}  // namespace
