#pragma once
// TLWKeyValueStore: what the persisted configuration needs of its backing store, shared by
// TLWUserDefaults (preference suites) and TLWPersistentDictionary (a property-list file).
//
// Thread-safety: implementations are safe to call from any thread.
//
// Values: keys are non-empty strings; accepted values are strings, numbers, arrays,
// dictionaries, dates and data (containers holding only such values). Setting a null
// value removes the key. Typed getters never convert between kinds: they answer 0, 0.0,
// false or nullopt when the stored value is of another kind.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

class TLWKeyValueStore {
 public:
  virtual ~TLWKeyValueStore() = default;

  // Null when absent or when the key is invalid.
  virtual platform::Value objectForKey(std::string_view key) = 0;
  // False (and logged) when the key is empty or the value has no stored form.
  virtual bool setObject(const platform::Value& value, std::string_view key) = 0;
  virtual void removeObjectForKey(std::string_view key) = 0;
  virtual void clearAllData() = 0;
  virtual bool synchronize() = 0;

  std::int64_t integerForKey(std::string_view key) { return objectForKey(key).int64Value().value_or(0); }
  float floatForKey(std::string_view key) {
    return static_cast<float>(objectForKey(key).doubleValue().value_or(0.0));
  }
  double doubleForKey(std::string_view key) { return objectForKey(key).doubleValue().value_or(0.0); }
  bool boolForKey(std::string_view key) { return objectForKey(key).boolValue().value_or(false); }
  std::optional<std::string> stringForKey(std::string_view key) {
    auto v = objectForKey(key);
    if (const std::string* s = v.string()) return *s;
    return std::nullopt;
  }
  std::optional<platform::Array> arrayForKey(std::string_view key) {
    auto v = objectForKey(key);
    if (const auto* a = v.array()) return *a;
    return std::nullopt;
  }
  std::optional<platform::Dictionary> dictionaryForKey(std::string_view key) {
    auto v = objectForKey(key);
    if (const auto* d = v.dictionary()) return *d;
    return std::nullopt;
  }
  bool setInteger(std::int64_t value, std::string_view key) {
    return setObject(platform::Value(static_cast<long long>(value)), key);
  }
  bool setFloat(float value, std::string_view key) { return setObject(platform::Value(value), key); }
  bool setDouble(double value, std::string_view key) { return setObject(platform::Value(value), key); }
  bool setBool(bool value, std::string_view key) { return setObject(platform::Value(value), key); }

  // The kinds a store accepts at the top level.
  static bool isStorableKind(const platform::Value& value) {
    return value.isString() || value.isNumber() || value.isArray() || value.isDictionary() || value.isDate() ||
           value.isData();
  }
};
