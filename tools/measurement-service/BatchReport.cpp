#include "tools/measurement-service/BatchReport.h"

#include <optional>
#include <span>
#include <vector>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBWire.h"
#include "tools/common/TLWPBJson.h"
#include "tools/measurement-service/DebugView.h"
#include "tools/measurement-service/ServiceCore.h"

namespace measurement_service {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The bundles of a batch as byte spans, when it is well formed and holds nothing else
// (else nullopt, and the batch is decoded whole). Decoding each bundle from its span
// spares the copy of every bundle that reading them from the decoded batch makes.
std::optional<std::vector<std::span<const std::uint8_t>>> bundleSpans(std::span<const std::uint8_t> raw) {
  std::vector<std::span<const std::uint8_t>> spans;
  std::size_t at = 0;
  auto varint = [&](std::uint64_t& out) { return TLWPBReadVarint(raw, at, out); };
  while (at < raw.size()) {
    std::uint64_t key = 0, size = 0;
    // Field 1 (bundles), length-delimited.
    if (!varint(key) || key != ((1u << 3) | kTLWPBWireLength) || !varint(size) || size > raw.size() - at) return std::nullopt;
    spans.push_back(raw.subspan(at, static_cast<std::size_t>(size)));
    at += static_cast<std::size_t>(size);
  }
  return spans;
}

BundleSummary summarise(const TLWPBMeasurementBundle& bundle) {
  using B = TLWPBMeasurementBundle;
  BundleSummary s;
  s.appID = bundle.GetString(B::kAppId).value_or("");
  s.appInstanceID = bundle.GetString(B::kAppInstanceId).value_or("");
  s.sequenceIndex = bundle.GetInt32(B::kBundleSequenceIndex);
  s.retryCount = bundle.GetInt32(B::kRetryCount);
  s.uploadTimestamp = bundle.GetInt64(B::kUploadTimestamp);
  s.platform = bundle.GetString(B::kPlatform).value_or("");
  s.osVersion = bundle.GetString(B::kOsVersion).value_or("");
  s.deviceModel = bundle.GetString(B::kDeviceModel).value_or("");
  s.appVersion = bundle.GetString(B::kAppVersion).value_or("");
  s.sdkVersion = bundle.GetInt64(B::kUploadSdkVersion);
  for (const auto& event : bundle.GetRepeated<TLWPBEvent>(B::kEvents))
    s.events.push_back(event->GetString(TLWPBEvent::kName).value_or("?"));
  for (const auto& property : bundle.GetRepeated<TLWPBUserAttribute>(B::kUserAttributes)) {
    using U = TLWPBUserAttribute;
    std::string entry = property->GetString(U::kName).value_or("?");
    if (property->HasField(U::kStringValue)) {
      entry += "=" + property->GetString(U::kStringValue).value_or("");
    } else if (property->HasField(U::kIntValue)) {
      entry += "=" + std::to_string(property->GetInt64(U::kIntValue));
    }
    s.userProperties.push_back(std::move(entry));
  }
  using L = TLWPBAudienceLeafFilterResult;
  for (const auto& leaf : bundle.GetRepeated<L>(B::kAudienceEvaluationResults)) {
    std::string entry = std::to_string(leaf->GetInt32(L::kAudienceId));
    if (leaf->GetBool(L::kNewAudience)) entry += " new";
    auto words = [](const platform::Array& values) {
      std::string out;
      for (const auto& v : values) {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "%s0x%llx", out.empty() ? "" : ",",
                      static_cast<unsigned long long>(v.uint64Value().value_or(0)));
        out += buffer;
      }
      return out.empty() ? std::string("0") : out;
    };
    if (auto current = leaf->GetMessage<TLWPBResultData>(L::kCurrentData)) {
      entry += " results=" + words(current->GetRepeated(TLWPBResultData::kResults)) +
               "/status=" + words(current->GetRepeated(TLWPBResultData::kStatus));
    }
    s.audiences.push_back(std::move(entry));
  }
  return s;
}

}  // namespace

BatchCheck checkBatch(std::string_view payload, bool render) {
  BatchCheck check;
  std::string reason;
  auto raw = tools::gunzipIfNeeded(bytesOf(payload), &reason);
  if (!raw) {
    check.problem = "cannot inflate: " + reason;
    return check;
  }
  TLWError error;
  std::vector<std::shared_ptr<TLWPBMeasurementBundle>> bundles;
  const auto spans = bundleSpans(*raw);
  for (const auto& span : spans.value_or(std::vector<std::span<const std::uint8_t>>{})) {
    bundles.push_back(TLWPBMeasurementBundle::initWithBuffer(span, &error));
    if (!bundles.back()) {
      check.problem = "not a measurement batch: bundle " + std::to_string(bundles.size() - 1) + ": " + error.description();
      return check;
    }
  }
  if (!spans) {
    auto batch = TLWPBMeasurementBatch::initWithBuffer(std::span<const std::uint8_t>(*raw), &error);
    if (!batch) {
      check.problem = "not a measurement batch: " + error.description();
      return check;
    }
    bundles = batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles);
  }
  if (render) {
    check.json = tools::decodeToJson(tools::WireMessage::Batch, std::span<const std::uint8_t>(*raw), true, &reason);
    if (!check.json) {
      check.problem = "cannot render: " + reason;
      return check;
    }
  }
  check.decoded = true;
  if (bundles.empty()) check.problem = "batch without bundles";
  for (std::size_t i = 0; i < bundles.size(); ++i) {
    const auto& bundle = *bundles[i];
    BundleSummary summary = summarise(bundle);
    const std::string where = "bundle " + std::to_string(i) + ": ";
    if (check.problem.empty() && summary.appID.empty()) check.problem = where + "no app_id";
    if (check.problem.empty() && summary.events.empty() && summary.userProperties.empty())
      check.problem = where + "no events and no user properties";
    if (check.problem.empty() && bundle.HasField(TLWPBMeasurementBundle::kBundleChecksum)) {
      auto expected = bundle.checksum();
      if (!expected || *expected != bundle.GetInt64(TLWPBMeasurementBundle::kBundleChecksum))
        check.problem = where + "bundle_checksum does not match its content";
    }
    check.bundles.push_back(std::move(summary));
  }
  return check;
}

std::string describeBundle(const BundleSummary& b) {
  std::string line = "bundle app=" + b.appID + " seq=" + std::to_string(b.sequenceIndex) +
                     " retry=" + std::to_string(b.retryCount) + " events=" + std::to_string(b.events.size()) + " [";
  // Consecutive repeats of one name fold into "name xN".
  for (std::size_t i = 0; i < b.events.size();) {
    std::size_t j = i;
    while (j < b.events.size() && b.events[j] == b.events[i]) ++j;
    if (i > 0) line += ", ";
    line += b.events[i];
    if (j - i > 1) line += " x" + std::to_string(j - i);
    i = j;
  }
  line += "] user_properties=[";
  for (std::size_t i = 0; i < b.userProperties.size(); ++i) line += (i ? ", " : "") + b.userProperties[i];
  line += "]";
  if (!b.audiences.empty()) {
    line += " audiences=[";
    for (std::size_t i = 0; i < b.audiences.size(); ++i) line += (i ? ", " : "") + b.audiences[i];
    line += "]";
  }
  return line;
}

void installUploadChecksOnly(ServiceCore& service) {
  service.setUploadDecoder([](std::string_view payload) -> std::optional<std::string> {
    if (!checkBatch(payload, false).valid()) return std::nullopt;
    return std::string();
  });
}

void installDevelopmentHooks(ServiceCore& service, std::FILE* out, DebugView* view) {
  service.setUploadDecoder([](std::string_view payload) -> std::optional<std::string> {
    BatchCheck check = checkBatch(payload);
    if (!check.valid()) return std::nullopt;
    return check.json;
  });
  service.setConfigEncoder([](std::string_view json, std::string* error) -> std::optional<std::string> {
    auto bytes = tools::encodeFromJson(tools::WireMessage::Config, json, error);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
  });
  service.setRequestObserver([out, view, &service](const RecordedRequest& request) {
    static constexpr std::string_view kConfigPrefix = "/config/app/";
    const bool upload = request.method == "POST" && request.path == "/a";
    if (!out && !view) return;
    const BatchCheck check = upload ? checkBatch(request.payload()) : BatchCheck{};
    if (view && upload) view->publishUpload(request, check.json, check.problem);
    if (view && request.method == "GET" && request.path.starts_with(kConfigPrefix))
      view->publishConfiguration(request.path.substr(kConfigPrefix.size()), request, service);
    if (!out) return;
    const std::string answer = request.action == "drop" || request.action == "stall" ? request.action
                                                                                     : std::to_string(request.status);
    if (upload) {
      if (!check.valid()) {
        std::fprintf(out, "upload #%llu -> %s: refused (%s)\n", static_cast<unsigned long long>(request.sequence),
                     answer.c_str(), check.problem.c_str());
      } else {
        std::fprintf(out, "upload #%llu -> %s: %zu bundle(s), %zu bytes on the wire\n",
                     static_cast<unsigned long long>(request.sequence), answer.c_str(), check.bundles.size(),
                     request.body.size());
        for (const auto& bundle : check.bundles) std::fprintf(out, "  %s\n", describeBundle(bundle).c_str());
      }
    } else {
      std::fprintf(out, "%s %s -> %s\n", request.method.c_str(), request.path.c_str(), answer.c_str());
    }
    std::fflush(out);
  });
}

}  // namespace measurement_service
