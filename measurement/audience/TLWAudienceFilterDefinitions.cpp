#include "measurement/audience/TLWAudienceFilterDefinitions.h"

#include "measurement/proto/TLWPBMeasurementConfig.h"

namespace {
template <class M>
std::optional<std::string> optionalString(const M& m, std::int32_t index) {
  if (!m.HasField(index)) return std::nullopt;
  return m.GetString(index);
}
template <class M>
std::optional<std::int32_t> optionalInt32(const M& m, std::int32_t index) {
  if (!m.HasField(index)) return std::nullopt;
  return m.GetInt32(index);
}
template <class M>
std::optional<bool> optionalBool(const M& m, std::int32_t index) {
  if (!m.HasField(index)) return std::nullopt;
  return m.GetBool(index);
}
}  // namespace

TLWStringFilterDefinition TLWStringFilterDefinition::fromMessage(const TLWPBStringFilter& m) {
  using S = TLWPBStringFilter;
  TLWStringFilterDefinition d;
  d.matchType = optionalInt32(m, S::kMatchType);
  d.expression = optionalString(m, S::kExpression);
  d.caseSensitive = optionalBool(m, S::kCaseSensitive);
  for (const auto& entry : m.GetRepeated(S::kExpressionList)) {
    if (const std::string* s = entry.string()) d.expressionList.push_back(*s);
  }
  return d;
}

TLWNumberFilterDefinition TLWNumberFilterDefinition::fromMessage(const TLWPBNumberFilter& m) {
  using N = TLWPBNumberFilter;
  TLWNumberFilterDefinition d;
  d.comparisonType = optionalInt32(m, N::kComparisonType);
  d.matchAsFloat = optionalBool(m, N::kMatchAsFloat);
  d.comparisonValue = optionalString(m, N::kComparisonValue);
  d.minComparisonValue = optionalString(m, N::kMinComparisonValue);
  d.maxComparisonValue = optionalString(m, N::kMaxComparisonValue);
  return d;
}

TLWFilterDefinition TLWFilterDefinition::fromMessage(const TLWPBFilter& m) {
  using F = TLWPBFilter;
  TLWFilterDefinition d;
  if (auto s = m.GetMessage<TLWPBStringFilter>(F::kStringFilter)) d.stringFilter = TLWStringFilterDefinition::fromMessage(*s);
  if (auto n = m.GetMessage<TLWPBNumberFilter>(F::kNumberFilter)) d.numberFilter = TLWNumberFilterDefinition::fromMessage(*n);
  d.complement = optionalBool(m, F::kComplement);
  d.paramName = optionalString(m, F::kParamName);
  return d;
}

TLWEventFilterDefinition TLWEventFilterDefinition::fromMessage(const TLWPBEventFilter& m) {
  using E = TLWPBEventFilter;
  TLWEventFilterDefinition d;
  d.filterID = optionalInt32(m, E::kFilterId);
  d.eventName = optionalString(m, E::kEventName);
  for (const auto& f : m.GetRepeated<TLWPBFilter>(E::kFilters)) d.filters.push_back(TLWFilterDefinition::fromMessage(*f));
  if (auto c = m.GetMessage<TLWPBNumberFilter>(E::kCountFilter)) d.countFilter = TLWNumberFilterDefinition::fromMessage(*c);
  d.dynamic = m.GetBool(E::kDynamic);
  d.sequence = m.GetBool(E::kSequence);
  d.sessionScoped = m.GetBool(E::kSessionScoped);
  return d;
}

TLWPropertyFilterDefinition TLWPropertyFilterDefinition::fromMessage(const TLWPBPropertyFilter& m) {
  using P = TLWPBPropertyFilter;
  TLWPropertyFilterDefinition d;
  d.filterID = optionalInt32(m, P::kFilterId);
  d.propertyName = optionalString(m, P::kPropertyName);
  if (auto f = m.GetMessage<TLWPBFilter>(P::kFilter)) d.filter = TLWFilterDefinition::fromMessage(*f);
  d.dynamic = m.GetBool(P::kDynamic);
  d.sequence = m.GetBool(P::kSequence);
  d.sessionScoped = m.GetBool(P::kSessionScoped);
  return d;
}
