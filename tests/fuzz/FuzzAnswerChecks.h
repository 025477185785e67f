#pragma once
// What the fuzz targets for the measurement service's answers check, shared with the
// corpus replay: the SDK-experiments answer as the task manager reads it, and an HTTP
// answer (status, header lines, body) as the network client, the configuration fetcher and
// the uploader read it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "measurement/engine/TLWServiceAnswers.h"
#include "measurement/experiments/TLWEExperimentAnswer.h"
#include "measurement/experiments/TLWPBExperimentMessages.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "platform/network/VXLHTTPHeaderLine.h"
#include "tests/fuzz/FuzzChecks.h"

namespace fuzzchecks {

inline std::string checkInflatedExperimentAnswer(std::span<const std::uint8_t> bytes) {
  std::string problem = checkDecoder<TLWPBExperimentResponse>(bytes);
  if (!problem.empty()) return problem;
  TLWError error;
  auto answer = TLWEDecodeExperimentAnswer(bytes, &error);
  if (!answer) return {};
  for (const auto& snapshot : answer->snapshots) {
    if (snapshot.SDKName.empty()) return "a snapshot without an SDK name was kept";
    // A snapshot is stored through its message form: it must come back the same.
    auto again = TLWESnapshot::fromProto(*snapshot.toProto());
    if (!again || again->SDKName != snapshot.SDKName || again->experiments.size() != snapshot.experiments.size())
      return "a snapshot does not survive its message form";
    for (std::size_t i = 0; i < snapshot.experiments.size(); ++i) {
      const auto& a = snapshot.experiments[i];
      const auto& b = again->experiments[i];
      if (a.experimentID != b.experimentID || a.flags != b.flags) return "an experiment changed in its message form";
      for (const auto& [name, value] : a.flags)
        if (snapshot.flagByName(name).isNull()) return "a kept flag cannot be looked up";
    }
  }
  for (const auto& [name, e] : answer->errors)
    if (name.empty() || e.code() >= 0) return "an SDK error without a name or with a success code";
  return {};
}

// The body as it comes off the network (gzip), and, since fuzzed bytes seldom inflate, the
// same bytes as if already inflated.
inline std::string checkExperimentAnswer(std::span<const std::uint8_t> bytes) {
  std::string reason;
  if (auto inflated = TLWEInflateExperimentAnswer(bytes, &reason)) {
    if (inflated->size() > kTLWEMaxResponseBytes) return "inflated past the bound";
    std::string problem = checkInflatedExperimentAnswer(*inflated);
    if (!problem.empty()) return "inflated: " + problem;
  } else if (reason.empty()) {
    return "refused without a reason";
  }
  return checkInflatedExperimentAnswer(bytes);
}

// The input: two bytes of status (modulo 600), header lines up to an empty line, the body.
inline std::string checkServiceAnswer(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kMaxBody = 1u << 20;
  if (bytes.size() < 2) return {};
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + 2, bytes.size() - 2);
  platform::VXLHTTPResponse response;
  response.statusCode = ((long{bytes[0]} << 8) | bytes[1]) % 600;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(at, end - at);
    at = end;
    if (line == "\n" || line == "\r\n") break;
    switch (platform::vxl_receiveHeaderLine(line, kMaxBody, response.headers)) {
      case platform::VXLHeaderLine::TooLarge:
        return {};  // the transfer is refused: no answer reaches the engine
      case platform::VXLHeaderLine::NewResponse:
        if (!response.headers.empty()) return "a status line kept earlier headers";
        break;
      default:
        break;
    }
  }
  for (const auto& [name, value] : response.headers) {
    if (name.empty()) return "a header without a name was kept";
    // Last-Modified goes back out as If-Modified-Since, which the client refuses to send with these.
    if (name.find_first_of(std::string_view(":\r\n\0", 4)) != std::string::npos ||
        value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
      return "a header keeps a separator, a line break or a NUL";
    for (const std::string* s : {&name, &value})
      if (!s->empty() && (s->front() == ' ' || s->front() == '\t' || s->back() == ' ' || s->back() == '\t'))
        return "a header keeps surrounding blanks";
  }
  const platform::Value::Data body(bytes.begin() + 2 + static_cast<std::ptrdiff_t>(at), bytes.end());
  const long status = response.statusCode;
  const bool ok = status == 200 || status == 204;

  const TLWUploadAnswer upload = TLWReadUploadAnswer(response);
  if (upload.accepted != ok || (upload.backOff && status != 429 && status != 503))
    return "the upload answer is misread";
  const TLWConfigAnswer config = TLWReadConfigAnswer(response, body);
  if (config.answered != (ok || status == 304 || status == 404)) return "the configuration answer is misread";
  if (config.hasBody != (ok && !body.empty())) return "the configuration body is misjudged";
  if (config.answered && config.lastModified != response.valueForHeader("Last-Modified"))
    return "Last-Modified is misread";
  if (!config.hasBody) return {};

  TLWConfigRefusal refusal{};
  (void)TLWDecodeFetchedConfig(body, "1:123:ios:abc", &refusal);
  auto decoded = TLWPBMeasurementConfig::initWithBuffer(body);
  if (!decoded || !decoded->protoBuffer()) return {};
  const std::string appID = decoded->GetString(TLWPBMeasurementConfig::kAppId).value_or("");
  auto fetched = TLWDecodeFetchedConfig(body, appID, &refusal);
  if (appID.empty()) return fetched ? "a configuration without an app ID was accepted" : "";
  if (!fetched) return "a configuration of the app was refused";
  if (!fetched->config->GetRepeated<TLWPBAudience>(TLWPBMeasurementConfig::kAudiences).empty())
    return "the stored configuration keeps its audiences";
  if (fetched->audiences.size() != decoded->GetRepeated<TLWPBAudience>(TLWPBMeasurementConfig::kAudiences).size())
    return "audiences were lost";
  auto stored = fetched->config->protoBuffer();
  if (!stored) return "the accepted configuration does not serialise";
  return checkConfig(*stored);
}

}  // namespace fuzzchecks
