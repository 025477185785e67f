#pragma once
// What the local measurement service makes of an upload: it decodes the batch, checks
// every bundle (an app ID, at least one event or user property, a checksum that matches
// when one is sent) and summarises each bundle in one readable line.
//
// Thread-safety: pure functions; any thread.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace measurement_service {

class ServiceCore;
class DebugView;
struct RecordedRequest;

struct BundleSummary {
  std::string appID;
  std::string appInstanceID;
  std::int64_t sequenceIndex = 0;
  std::int64_t retryCount = 0;
  std::int64_t uploadTimestamp = 0;
  std::string platform;
  std::string osVersion;
  std::string deviceModel;
  std::string appVersion;
  std::int64_t sdkVersion = 0;
  // Event names in order, and user properties as "name" or "name=value" (strings and
  // integers show their value).
  std::vector<std::string> events;
  std::vector<std::string> userProperties;
  // Audience results as "<id>[ new] results=<hex words>/status=<hex words>".
  std::vector<std::string> audiences;
};

struct BatchCheck {
  // The batch as JSON (the inspector's shape); set whenever it decoded and was rendered.
  std::optional<std::string> json;
  std::vector<BundleSummary> bundles;
  // Empty when the batch is valid.
  std::string problem;
  bool decoded = false;
  bool valid() const { return decoded && problem.empty(); }
};

// Decodes and checks an upload's payload (raw or gzip). The JSON is rendered only when
// `render` is set: it costs more than the checks (benchmarks leave it out).
BatchCheck checkBatch(std::string_view payload, bool render = true);

// "bundle app=1:1:ios:abc seq=3 retry=0 events=4 [_f, level_up x2, _e] user_properties=[_fot, hero=mage]"
// followed by " audiences=[1 new results=0x3/status=0x3]" when the bundle carries any.
std::string describeBundle(const BundleSummary& bundle);

// The development hooks of the executable: uploads must decode and pass the checks (else
// 400), configurations may be written as JSON, and each received bundle prints one line
// to `out` (with the answer the service gave). With a debug view, every upload and
// configuration request is also published there; the view must outlive the service's
// serving (it is attached to it beforehand).
void installDevelopmentHooks(ServiceCore& service, std::FILE* out, DebugView* view = nullptr);

// The checks of the development hooks without rendering: a valid upload is recorded with
// an empty decoded form.
void installUploadChecksOnly(ServiceCore& service);

}  // namespace measurement_service
