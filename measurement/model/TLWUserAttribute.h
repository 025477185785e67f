#pragma once
// TLWUserAttribute: a user property: origin, name, value and the time it was last set.
//
// Thread-safety: immutable after construction; any thread may read.
// Failure: null when the name fails the internal user property name check or the value
// the internal user property value check (strings of 1 to 36 code points, 256 for "_id"
// and "_vbraid"). The origin is copied unchecked.

#include <memory>
#include <string>
#include <string_view>

#include "measurement/model/TLWValue.h"

class TLWPBUserAttribute;

class TLWUserAttribute {
 public:
  [[nodiscard]] static std::shared_ptr<TLWUserAttribute> initWithOrigin(std::string_view origin,
                                                                        std::string_view name, const TLWValue& value,
                                                                        double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const TLWValue& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // The name is non-empty and does not begin with "_".
  bool isPublic() const { return !name_.empty() && name_[0] != '_'; }
  // The batch-format user property: name, the double, integer or string field by value
  // type, and the set time in milliseconds (truncated toward zero).
  std::shared_ptr<TLWPBUserAttribute> protoUserAttribute() const;

 private:
  struct Token {
    explicit Token() = default;
  };

 public:
  TLWUserAttribute(Token, std::string origin, std::string name, TLWValue value, double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)), lastSetTimestamp_(lastSetTimestamp) {}

 private:
  std::string origin_;
  std::string name_;
  TLWValue value_;
  double lastSetTimestamp_;
};
