#pragma once
// What the decoder fuzz targets check for every input, shared with the test that replays
// the committed corpus: decoding never crashes, and whatever decodes serialises again and
// decodes to an equal message (a property list: is written and read again).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/proto/TLWPBBundleBytes.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "platform/PropertyList.h"

namespace fuzzchecks {

// Returns an empty string when the input behaves, else what went wrong.
template <class Message>
std::string checkDecoder(std::span<const std::uint8_t> bytes) {
  auto message = Message::initWithBuffer(bytes);
  if (!message) return {};
  auto again = message->protoBuffer();
  if (!again) return "decoded message does not serialise";
  auto twice = Message::initWithBuffer(*again);
  if (!twice) return "re-serialised message does not decode";
  if (!twice->isEqualMessage(*message)) return "round trip changed the message";
  auto third = twice->protoBuffer();
  if (!third || *third != *again) return "serialisation is not stable";
  return {};
}

// Bundling reads a stored event straight from its bytes when it can: the same event, or
// the same error, as the message decoder's reading.
inline std::string checkStoredEvent(std::span<const std::uint8_t> bytes) {
  TLWError expectedError, error;
  std::shared_ptr<TLWEvent> expected;
  if (auto message = TLWPBEvent::initWithBuffer(bytes)) {
    expected = TLWEvent::initWithStoredEventProto(*message, std::nullopt, std::nullopt, &expectedError);
  } else {
    expectedError = TLWError::errorWithCode(3, "Failed to parse event from data");
  }
  auto read = TLWEvent::initWithStoredEventBytes(bytes, std::nullopt, std::nullopt, &error);
  if (!read || !expected) {
    if (read || expected) return "a stored event read straight and through the message: one is refused";
    if (error.code() != expectedError.code() || error.localizedDescription() != expectedError.localizedDescription())
      return "a stored event refused with another error when read straight";
    return {};
  }
  if (read->origin() != expected->origin() || read->name() != expected->name() ||
      read->timestamp() != expected->timestamp() || read->previousTimestamp() != expected->previousTimestamp() ||
      read->protoEventBytes() != expected->protoEventBytes())
    return "a stored event read straight differs from the message reading";
  return {};
}

inline std::string checkBundle(std::span<const std::uint8_t> bytes) {
  std::string problem = checkStoredEvent(bytes);
  if (!problem.empty()) return problem;
  problem = checkDecoder<TLWPBMeasurementBundle>(bytes);
  if (!problem.empty()) return problem;
  if (auto bundle = TLWPBMeasurementBundle::initWithBuffer(bytes)) {
    if (!bundle->checksum()) return "decoded bundle has no checksum";
    // An upload reads queued bundles as bytes: one the decoder takes must be taken there
    // too (or it would be skipped as damaged), and a stamp must decode as the decoder's.
    auto stored = TLWPBBundleBytes::initWithBuffer(*bundle->protoBuffer());
    if (!stored) return "a decodable bundle is refused as bytes";
    stored->SetInt64(TLWPBMeasurementBundle::kUploadTimestamp, 7);
    bundle->SetInt64(TLWPBMeasurementBundle::kUploadTimestamp, 7);
    if (stored->bytes() != *bundle->protoBuffer()) return "bytes stamped unlike the decoded bundle";
  }
  return checkDecoder<TLWPBMeasurementBatch>(bytes);
}

inline std::string checkConfig(std::span<const std::uint8_t> bytes) {
  return checkDecoder<TLWPBMeasurementConfig>(bytes);
}

// The property-list reader (its own nesting checks, then libplist). What it accepts must
// be writable again, or a preferences file holding it would block every later write.
inline std::string checkPropertyList(std::span<const std::uint8_t> bytes) {
  using platform::PropertyList;
  using platform::PropertyListFormat;
  std::string error;
  auto value = PropertyList::propertyListWithData(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &error);
  if (!value) return error.empty() ? "refused without a reason" : std::string();
  if (!PropertyList::dataWithPropertyList(*value, PropertyListFormat::XML, &error)) {
    return "read but cannot be written as XML: " + error;
  }
  auto binary = PropertyList::dataWithPropertyList(*value, PropertyListFormat::Binary, &error);
  if (!binary) return "read but cannot be written as binary: " + error;
  // Dates far from 2001 may move by a microsecond on the way, so the bytes are not compared.
  if (!PropertyList::propertyListWithData(*binary, &error)) return "its binary form does not read: " + error;
  return {};
}

}  // namespace fuzzchecks
