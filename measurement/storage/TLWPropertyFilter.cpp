#include "measurement/storage/TLWPropertyFilter.h"

#include <span>

#include "measurement/proto/TLWPBMeasurementConfig.h"

std::shared_ptr<TLWPropertyFilter> TLWPropertyFilter::initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                                   std::string_view propertyName, Bytes data,
                                                                   bool sessionScoped, bool dynamic, bool sequence) {
  return std::make_shared<TLWPropertyFilter>(Token{}, audienceID, filterID, std::string(propertyName), std::move(data),
                                          sessionScoped, dynamic, sequence);
}

std::shared_ptr<TLWPropertyFilter> TLWPropertyFilter::initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                                   std::string_view propertyName, Bytes data) {
  auto message = TLWPBPropertyFilter::initWithBuffer(std::span<const std::uint8_t>(data.data(), data.size()));
  const bool sessionScoped = message && message->GetBool(TLWPBPropertyFilter::kSessionScoped);
  const bool dynamic = message && message->GetBool(TLWPBPropertyFilter::kDynamic);
  const bool sequence = message && message->GetBool(TLWPBPropertyFilter::kSequence);
  return initWithAudienceID(audienceID, filterID, propertyName, std::move(data), sessionScoped, dynamic, sequence);
}

std::shared_ptr<TLWPropertyFilter> TLWPropertyFilter::filterWithAudienceID(std::int32_t audienceID,
                                                                     const TLWPBPropertyFilter& message) {
  auto bytes = message.protoBuffer();
  if (!bytes) return nullptr;
  return initWithAudienceID(audienceID, message.GetInt32(TLWPBPropertyFilter::kFilterId),
                            message.GetString(TLWPBPropertyFilter::kPropertyName).value_or(""), std::move(*bytes),
                            message.GetBool(TLWPBPropertyFilter::kSessionScoped), message.GetBool(TLWPBPropertyFilter::kDynamic),
                            message.GetBool(TLWPBPropertyFilter::kSequence));
}

std::shared_ptr<TLWPBPropertyFilter> TLWPropertyFilter::filterMessage() const {
  return TLWPBPropertyFilter::initWithBuffer(std::span<const std::uint8_t>(data_.data(), data_.size()));
}
