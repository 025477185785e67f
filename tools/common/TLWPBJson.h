#pragma once
// Wire messages as JSON and readable text, for the developer tools: decode a batch, a
// bundle or a configuration (raw or gzip) and encode a configuration from JSON.
//
// Thread-safety: pure functions; any thread.
// Failures: nullopt / null with a readable reason in `error`; nothing throws.
//
// JSON shape: one object per message, keyed by the schema's field names; absent fields
// and empty lists are omitted; 64-bit integers are JSON integers; enumerations are their
// numbers. Encoding accepts the same shape and refuses unknown keys and values that do
// not fit their field.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "measurement/proto/TLWPBMessage.h"

namespace tools {

enum class WireMessage { Batch, Bundle, Config };

// "batch", "bundle", "config" (also "configuration").
std::optional<WireMessage> wireMessageNamed(std::string_view name);
const TLWPBMessageDescriptor& descriptorOf(WireMessage kind);

// Inflates gzip input (recognised by its magic bytes); other input is returned as is.
std::optional<std::vector<std::uint8_t>> gunzipIfNeeded(std::span<const std::uint8_t> bytes, std::string* error);

nlohmann::json messageToJson(const TLWPBMessageInfo& info);
// Text with one "name: value" line per field and nested messages in braces.
std::string messageToText(const TLWPBMessageInfo& info);
std::unique_ptr<TLWPBMessageInfo> messageFromJson(const TLWPBMessageDescriptor& descriptor, const nlohmann::json& json,
                                                  std::string* error);

// Decodes raw or gzip bytes of `kind` to JSON text (pretty when `pretty`) or readable text.
std::optional<std::string> decodeToJson(WireMessage kind, std::span<const std::uint8_t> bytes, bool pretty,
                                        std::string* error);
std::optional<std::string> decodeToText(WireMessage kind, std::span<const std::uint8_t> bytes, std::string* error);

// Parses JSON text as a message of `kind` and serialises it.
std::optional<std::vector<std::uint8_t>> encodeFromJson(WireMessage kind, std::string_view jsonText,
                                                        std::string* error);

}  // namespace tools
