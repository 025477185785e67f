#include "measurement/experiments/TLWEExperimentAnswer.h"

#include "measurement/experiments/TLWPBExperimentMessages.h"
#include "platform/Gzip.h"

std::optional<std::vector<std::uint8_t>> TLWEInflateExperimentAnswer(std::span<const std::uint8_t> body,
                                                                     std::string* reason) {
  if (body.empty()) return std::vector<std::uint8_t>{};
  return platform::vxl_dataByInflatingGzippedData(body, reason, kTLWEMaxResponseBytes);
}

std::optional<TLWEExperimentAnswer> TLWEDecodeExperimentAnswer(std::span<const std::uint8_t> bytes,
                                                               TLWError* error) {
  TLWEExperimentAnswer answer;
  answer.response = TLWPBExperimentResponse::initWithBuffer(bytes, error);
  if (!answer.response) return std::nullopt;
  auto protos = answer.response->GetRepeated<TLWPBSnapshot>(TLWPBExperimentResponse::kSnapshots);
  const auto sdkResponses = answer.response->GetRepeated<TLWPBSdkResponse>(TLWPBExperimentResponse::kSdkResponses);
  // Older services answer with bare snapshots; newer ones wrap each in its SDK's response.
  if (protos.empty()) {
    for (const auto& r : sdkResponses) {
      auto snapshot = r->GetMessage<TLWPBSnapshot>(TLWPBSdkResponse::kSnapshot);
      if (!snapshot) continue;
      const auto name = r->GetString(TLWPBSdkResponse::kSdkName).value_or("");
      if (!name.empty()) snapshot->SetString(TLWPBSnapshot::kSdkName, name);
      protos.push_back(std::move(snapshot));
    }
  }
  for (const auto& proto : protos) {
    auto snapshot = TLWESnapshot::fromProto(*proto);
    if (!snapshot) {
      ++answer.droppedSnapshots;
      continue;
    }
    answer.snapshots.push_back(std::move(*snapshot));
  }
  for (const auto& r : sdkResponses) {
    const auto status = r->GetInt32(TLWPBSdkResponse::kStatus);
    const auto name = r->GetString(TLWPBSdkResponse::kSdkName).value_or("");
    if (status == 0 || name.empty()) continue;
    answer.errors.emplace(name, TLWError(std::string(kTLWExperimentErrorDomain),
                                         status >= 1 && status <= 3 ? -(status + 1) : -1));
  }
  return answer;
}
