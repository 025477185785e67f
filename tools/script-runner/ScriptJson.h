#pragma once
// Programs and events as JSON, for the program runner and the tests.
//
// A program in compact form: a JSON array is a statement whose first element is the
// operation name ("0", "52", or a function's name) and whose other elements are its
// arguments; a string, number or boolean is a value. A whole program is either an array
// of statements or {"instructions": [...], "activities": [{"name": ..., "data": [...]}]}.
// Example: [["52", "x", ["0", 1, 2]], ["15", "x"]] declares x = 1 + 2 and reads it.
//
// An event: {"name": ..., "timestamp": seconds, "parameters": {...}}.
//
// Thread-safety: pure functions. Failures: null / nullopt with a reason in `error`.

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "measurement/config/TLWEventEditing.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/script/TLWPRuntimeValue.h"

namespace tools {

std::shared_ptr<TLWPBRuntimeEntity> entityFromJson(const nlohmann::json& json, std::string* error, int depth = 0);
std::shared_ptr<TLWPBProgram> programFromJson(const nlohmann::json& json, std::string* error);
std::optional<TLWEvent::EditForm> eventFromJson(const nlohmann::json& json, std::string* error);
nlohmann::json eventToJson(const TLWEvent::EditForm& event);
nlohmann::json plainToJson(const platform::Value& value);
// A runtime value for display: {"type": typeof, "value": its string or null}.
nlohmann::json runtimeValueToJson(const TLWPRuntimeValue& value);

}  // namespace tools
