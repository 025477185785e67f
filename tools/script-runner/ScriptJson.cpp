#include "tools/script-runner/ScriptJson.h"

#include <cmath>

namespace tools {

namespace {

constexpr int kMaxDepth = 100;  // as deep as the wire decoder lets a program nest

platform::Value plainFromJson(const nlohmann::json& json, int depth) {
  if (depth > kMaxDepth) return {};
  switch (json.type()) {
    case nlohmann::json::value_t::boolean:
      return platform::Value(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return platform::Value(json.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return platform::Value(json.get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
      return platform::Value(json.get<double>());
    case nlohmann::json::value_t::string:
      return platform::Value(json.get<std::string>());
    case nlohmann::json::value_t::array: {
      platform::Array out;
      for (const auto& e : json) out.push_back(plainFromJson(e, depth + 1));
      return platform::Value(std::move(out));
    }
    case nlohmann::json::value_t::object: {
      platform::Dictionary out;
      for (const auto& [k, v] : json.items()) out.set(platform::Value(k), plainFromJson(v, depth + 1));
      return platform::Value(std::move(out));
    }
    default:
      return {};
  }
}

}  // namespace

std::shared_ptr<TLWPBRuntimeEntity> entityFromJson(const nlohmann::json& json, std::string* error, int depth) {
  auto entity = TLWPBRuntimeEntity::initWithMessageInfo();
  auto failWith = [&](std::string text) -> std::shared_ptr<TLWPBRuntimeEntity> {
    if (error) *error = std::move(text);
    return nullptr;
  };
  if (depth > kMaxDepth) return failWith("program nests too deep");
  if (json.is_string()) {
    entity->SetInt32(TLWPBRuntimeEntity::kType, 1);
    entity->SetString(TLWPBRuntimeEntity::kStringValue, json.get<std::string>());
  } else if (json.is_number()) {
    entity->SetInt32(TLWPBRuntimeEntity::kType, 2);
    entity->SetDouble(TLWPBRuntimeEntity::kNumberValue, json.get<double>());
  } else if (json.is_boolean()) {
    entity->SetInt32(TLWPBRuntimeEntity::kType, 3);
    entity->SetBool(TLWPBRuntimeEntity::kBooleanValue, json.get<bool>());
  } else if (json.is_array() && !json.empty() && json[0].is_string()) {
    entity->SetInt32(TLWPBRuntimeEntity::kType, 4);
    entity->SetString(TLWPBRuntimeEntity::kStatement, json[0].get<std::string>());
    for (std::size_t i = 1; i < json.size(); ++i) {
      auto argument = entityFromJson(json[i], error, depth + 1);
      if (!argument) return nullptr;
      entity->AddRepeatedMessage(TLWPBRuntimeEntity::kValue, *argument);
    }
  } else {
    return failWith("not a value or a statement: " + json.dump());
  }
  return entity;
}

std::shared_ptr<TLWPBProgram> programFromJson(const nlohmann::json& json, std::string* error) {
  auto program = TLWPBProgram::initWithMessageInfo();
  const nlohmann::json* instructions = &json;
  if (json.is_object()) {
    instructions = json.contains("instructions") ? &json["instructions"] : nullptr;
    if (json.contains("activities")) {
      auto activities = TLWPBOgtActivities::initWithMessageInfo();
      for (const auto& a : json["activities"]) {
        auto activity = TLWPBOgtActivity::initWithMessageInfo();
        activity->SetString(TLWPBOgtActivity::kName, a.value("name", std::string()));
        for (const auto& d : a.value("data", nlohmann::json::array())) {
          auto entity = entityFromJson(d, error);
          if (!entity) return nullptr;
          activity->AddRepeatedMessage(TLWPBOgtActivity::kData, *entity);
        }
        activities->AddRepeatedMessage(TLWPBOgtActivities::kActivities, *activity);
      }
      program->SetMessage(TLWPBProgram::kActivities, activities.get());
    }
  } else if (!json.is_array()) {
    if (error) *error = "a program is an array of statements or an object";
    return nullptr;
  }
  if (instructions) {
    for (const auto& statement : *instructions) {
      auto entity = entityFromJson(statement, error);
      if (!entity) return nullptr;
      program->AddRepeatedMessage(TLWPBProgram::kInstructions, *entity);
    }
  }
  return program;
}

std::optional<TLWEvent::EditForm> eventFromJson(const nlohmann::json& json, std::string* error) {
  if (!json.is_object() || !json.contains("name") || !json["name"].is_string()) {
    if (error) *error = "an event is an object with a string \"name\"";
    return std::nullopt;
  }
  TLWEvent::EditForm event;
  event.name = json["name"].get<std::string>();
  event.timestamp = json.value("timestamp", 0.0);
  if (json.contains("parameters")) {
    platform::Value parameters = plainFromJson(json["parameters"], 0);
    if (!parameters.isDictionary()) {
      if (error) *error = "\"parameters\" must be an object";
      return std::nullopt;
    }
    event.parameters = *parameters.dictionary();
  }
  return event;
}

nlohmann::json plainToJson(const platform::Value& value) {
  if (value.isString()) return *value.string();
  if (value.isBool()) return *value.boolValue();
  if (value.isInteger()) return *value.int64Value();
  if (value.isNumber()) {
    double d = *value.doubleValue();
    return std::isfinite(d) ? nlohmann::json(d) : nlohmann::json(nullptr);
  }
  if (const platform::Array* a = value.array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& e : *a) out.push_back(plainToJson(e));
    return out;
  }
  if (const platform::Dictionary* d = value.dictionary()) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [k, v] : *d) out[k.stringOr(k.description())] = plainToJson(v);
    return out;
  }
  return nullptr;
}

nlohmann::json eventToJson(const TLWEvent::EditForm& event) {
  return {{"name", event.name}, {"timestamp", event.timestamp}, {"parameters", plainToJson(platform::Value(event.parameters))}};
}

nlohmann::json runtimeValueToJson(const TLWPRuntimeValue& value) {
  static const char* const kTypes[] = {"object", "string", "number", "boolean", "object", "undefined",
                                       "object", "object", "function", "statement", "control"};
  TLWPError ignored;
  std::u16string text = value.stringValue(ignored);
  return {{"type", kTypes[static_cast<int>(value.kind())]},
          {"value", ignored ? nlohmann::json(nullptr) : nlohmann::json(tlwp::utf8(text))}};
}

}  // namespace tools
