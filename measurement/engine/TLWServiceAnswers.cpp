#include "measurement/engine/TLWServiceAnswers.h"

#include "measurement/proto/TLWPBMeasurementConfig.h"

namespace {

bool asksToBackOff(long status) {
  return status == platform::kVXLNetworkHTTPStatusCodeUnavailable ||
         status == platform::kVXLNetworkHTTPStatusCodeCannotAcceptTraffic;
}

}  // namespace

TLWConfigAnswer TLWReadConfigAnswer(const platform::VXLHTTPResponse& response, const platform::Value::Data& body) {
  const long status = response.statusCode;
  TLWConfigAnswer answer;
  answer.answered = status == platform::kVXLNetworkHTTPStatusOK ||
                    status == platform::kVXLNetworkHTTPStatusCodeNotModified ||
                    status == platform::kVXLNetworkHTTPStatusNoContent ||
                    status == platform::kVXLNetworkHTTPStatusCodeNotFound;
  if (!answer.answered) {
    answer.backOff = asksToBackOff(status);
    return answer;
  }
  answer.lastModified = response.valueForHeader("Last-Modified");
  answer.hasBody =
      (status == platform::kVXLNetworkHTTPStatusOK || status == platform::kVXLNetworkHTTPStatusNoContent) &&
      !body.empty();
  return answer;
}

std::optional<TLWFetchedConfig> TLWDecodeFetchedConfig(std::span<const std::uint8_t> bytes, std::string_view appID,
                                                       TLWConfigRefusal* refusal) {
  auto config = TLWPBMeasurementConfig::initWithBuffer(bytes);
  if (!config || !config->protoBuffer()) {
    if (refusal) *refusal = TLWConfigRefusal::Undecodable;
    return std::nullopt;
  }
  if (appID.empty() || config->GetString(TLWPBMeasurementConfig::kAppId).value_or("") != appID) {
    if (refusal) *refusal = TLWConfigRefusal::WrongAppID;
    return std::nullopt;
  }
  TLWFetchedConfig fetched;
  fetched.audiences = config->GetRepeated<TLWPBAudience>(TLWPBMeasurementConfig::kAudiences);
  config->ClearField(TLWPBMeasurementConfig::kAudiences);
  fetched.config = std::move(config);
  return fetched;
}

TLWUploadAnswer TLWReadUploadAnswer(const platform::VXLHTTPResponse& response) {
  const long status = response.statusCode;
  TLWUploadAnswer answer;
  answer.accepted = status == platform::kVXLNetworkHTTPStatusOK || status == platform::kVXLNetworkHTTPStatusNoContent;
  answer.backOff = !answer.accepted && asksToBackOff(status);
  return answer;
}
