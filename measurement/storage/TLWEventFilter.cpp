#include "measurement/storage/TLWEventFilter.h"

#include <span>

#include "measurement/proto/TLWPBMeasurementConfig.h"

std::shared_ptr<TLWEventFilter> TLWEventFilter::initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                                   std::string_view eventName, Bytes data,
                                                                   bool sessionScoped, bool dynamic, bool sequence) {
  return std::make_shared<TLWEventFilter>(Token{}, audienceID, filterID, std::string(eventName), std::move(data),
                                          sessionScoped, dynamic, sequence);
}

std::shared_ptr<TLWEventFilter> TLWEventFilter::initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                                   std::string_view eventName, Bytes data) {
  auto message = TLWPBEventFilter::initWithBuffer(std::span<const std::uint8_t>(data.data(), data.size()));
  const bool sessionScoped = message && message->GetBool(TLWPBEventFilter::kSessionScoped);
  const bool dynamic = message && message->GetBool(TLWPBEventFilter::kDynamic);
  const bool sequence = message && message->GetBool(TLWPBEventFilter::kSequence);
  return initWithAudienceID(audienceID, filterID, eventName, std::move(data), sessionScoped, dynamic, sequence);
}

std::shared_ptr<TLWEventFilter> TLWEventFilter::filterWithAudienceID(std::int32_t audienceID,
                                                                     const TLWPBEventFilter& message) {
  auto bytes = message.protoBuffer();
  if (!bytes) return nullptr;
  return initWithAudienceID(audienceID, message.GetInt32(TLWPBEventFilter::kFilterId),
                            message.GetString(TLWPBEventFilter::kEventName).value_or(""), std::move(*bytes),
                            message.GetBool(TLWPBEventFilter::kSessionScoped), message.GetBool(TLWPBEventFilter::kDynamic),
                            message.GetBool(TLWPBEventFilter::kSequence));
}

std::shared_ptr<TLWPBEventFilter> TLWEventFilter::filterMessage() const {
  return TLWPBEventFilter::initWithBuffer(std::span<const std::uint8_t>(data_.data(), data_.size()));
}
