#pragma once
// Helpers shared by the model tests.

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "measurement/model/TLWValue.h"

namespace model_test {

// `count` copies of `unit` (one code point, any UTF-8 length).
inline std::string repeat(std::string_view unit, std::size_t count) {
  std::string out;
  out.reserve(unit.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

inline TLWValue str(std::string_view s) { return TLWValue::initWithString(s); }
inline TLWValue i64(std::int64_t v) { return TLWValue::initWithInt64(v); }

inline const TLWValue* find(const TLWParameters& p, std::string_view key) {
  auto it = p.find(key);
  return it == p.end() ? nullptr : &it->second;
}

inline std::int64_t intParam(const TLWParameters& p, std::string_view key, std::int64_t absent = -999) {
  const TLWValue* v = find(p, key);
  return v && v->isInt64() ? v->int64Value() : absent;
}

inline std::string stringParam(const TLWParameters& p, std::string_view key) {
  const TLWValue* v = find(p, key);
  return v && v->stringValue() ? *v->stringValue() : std::string("<absent>");
}

}  // namespace model_test

// Readable test output.
inline void PrintTo(const TLWValue& v, std::ostream* os) { *os << v.description() << " (type " << v.valueType() << ")"; }
