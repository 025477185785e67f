#pragma once
// Plain, decoded forms of the filter messages of an audience definition. A stored filter
// row is decoded once into these and then evaluated as often as needed without touching
// the message layer again. Every field keeps "absent" apart from its default, because
// the evaluation rules tell the two apart.
//
// Thread-safety: plain values.
// Failure: decoding never fails once the message decoded; absent fields stay absent.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TLWPBEventFilter;
class TLWPBFilter;
class TLWPBNumberFilter;
class TLWPBPropertyFilter;
class TLWPBStringFilter;

struct TLWStringFilterDefinition {
  std::optional<std::int32_t> matchType;
  std::optional<std::string> expression;
  std::optional<bool> caseSensitive;
  std::vector<std::string> expressionList;

  static TLWStringFilterDefinition fromMessage(const TLWPBStringFilter& message);
};

struct TLWNumberFilterDefinition {
  std::optional<std::int32_t> comparisonType;
  std::optional<bool> matchAsFloat;
  std::optional<std::string> comparisonValue;
  std::optional<std::string> minComparisonValue;
  std::optional<std::string> maxComparisonValue;

  static TLWNumberFilterDefinition fromMessage(const TLWPBNumberFilter& message);
};

struct TLWFilterDefinition {
  std::optional<TLWStringFilterDefinition> stringFilter;
  std::optional<TLWNumberFilterDefinition> numberFilter;
  std::optional<bool> complement;
  std::optional<std::string> paramName;

  static TLWFilterDefinition fromMessage(const TLWPBFilter& message);
};

struct TLWEventFilterDefinition {
  std::optional<std::int32_t> filterID;
  std::optional<std::string> eventName;
  std::vector<TLWFilterDefinition> filters;
  std::optional<TLWNumberFilterDefinition> countFilter;
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;

  static TLWEventFilterDefinition fromMessage(const TLWPBEventFilter& message);
};

struct TLWPropertyFilterDefinition {
  std::optional<std::int32_t> filterID;
  std::optional<std::string> propertyName;
  std::optional<TLWFilterDefinition> filter;
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;

  static TLWPropertyFilterDefinition fromMessage(const TLWPBPropertyFilter& message);
};
