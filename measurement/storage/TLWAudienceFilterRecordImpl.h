#pragma once
// The message-dependent members of TLWAudienceFilterRecord. Included only by the source
// file that instantiates the record for one filter message.

#include <span>

#include "measurement/storage/TLWAudienceFilterRecord.h"

template <class Derived, class Message>
std::shared_ptr<Derived> TLWAudienceFilterRecord<Derived, Message>::initWithAudienceID(
    std::int32_t audienceID, std::int32_t filterID, std::string_view subjectName, Bytes data, bool sessionScoped,
    bool dynamic, bool sequence) {
  return std::make_shared<Derived>(Token{}, audienceID, filterID, std::string(subjectName), std::move(data),
                                   sessionScoped, dynamic, sequence);
}

template <class Derived, class Message>
std::shared_ptr<Derived> TLWAudienceFilterRecord<Derived, Message>::initWithAudienceID(std::int32_t audienceID,
                                                                                      std::int32_t filterID,
                                                                                      std::string_view subjectName,
                                                                                      Bytes data) {
  auto message = Message::initWithBuffer(std::span<const std::uint8_t>(data.data(), data.size()));
  const bool sessionScoped = message && message->GetBool(Message::kSessionScoped);
  const bool dynamic = message && message->GetBool(Message::kDynamic);
  const bool sequence = message && message->GetBool(Message::kSequence);
  return initWithAudienceID(audienceID, filterID, subjectName, std::move(data), sessionScoped, dynamic, sequence);
}

template <class Derived, class Message>
std::shared_ptr<Derived> TLWAudienceFilterRecord<Derived, Message>::filterWithAudienceID(std::int32_t audienceID,
                                                                                        const Message& message) {
  auto bytes = message.protoBuffer();
  if (!bytes) return nullptr;
  return initWithAudienceID(audienceID, message.GetInt32(Message::kFilterId),
                            message.GetString(Derived::subjectNameField()).value_or(""), std::move(*bytes),
                            message.GetBool(Message::kSessionScoped), message.GetBool(Message::kDynamic),
                            message.GetBool(Message::kSequence));
}

template <class Derived, class Message>
std::shared_ptr<Message> TLWAudienceFilterRecord<Derived, Message>::filterMessage() const {
  return Message::initWithBuffer(std::span<const std::uint8_t>(data_.data(), data_.size()));
}
