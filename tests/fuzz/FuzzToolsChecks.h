#pragma once
// What the developer-tools fuzz target checks for every input, shared with the corpus
// replay: the JSON the inspector encodes messages from and the measurement service reads
// configurations and control rules from, and the wire files the inspector decodes. Nothing
// crashes or throws; a message encoded from JSON decodes to JSON that encodes to the same
// bytes.

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>

#include "tools/common/TLWPBJson.h"
#include "tools/measurement-service/ServiceCore.h"

namespace fuzzchecks {

inline std::string checkToolsInput(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  try {
    for (auto kind : {tools::WireMessage::Config, tools::WireMessage::Batch, tools::WireMessage::Bundle}) {
      std::string error;
      if (auto encoded = tools::encodeFromJson(kind, text, &error)) {
        auto json = tools::decodeToJson(kind, *encoded, false, &error);
        if (!json) return "an encoded message does not decode: " + error;
        auto again = tools::encodeFromJson(kind, *json, &error);
        if (!again) return "decoded JSON does not encode again: " + error;
        if (*again != *encoded) return "the JSON round trip changed the message";
      } else if (error.empty()) {
        return "JSON refused without a reason";
      }
      (void)tools::decodeToJson(kind, bytes, true, &error);
      (void)tools::decodeToText(kind, bytes, &error);
    }
    std::string error;
    if (!measurement_service::parseRules(text, &error) && error.empty()) return "rules refused without a reason";
    if (auto date = measurement_service::parseHTTPDate(text)) {
      if (auto back = measurement_service::parseHTTPDate(measurement_service::formatHTTPDate(*date)); back != date)
        return "an HTTP date does not survive formatting";
    }
  } catch (const std::exception& e) {
    return std::string("threw: ") + e.what();
  }
  return {};
}

}  // namespace fuzzchecks
