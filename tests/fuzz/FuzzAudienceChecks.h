#pragma once
// What the audience fuzz target checks for every input, shared with the corpus replay:
// filter definitions decoded from configuration bytes are checked and evaluated against
// a fixed set of events and user properties without crashing, and every answer is one
// of true, false or not evaluated.

#include <cstdint>
#include <span>
#include <string>

#include "measurement/audience/TLWAudienceFilterEvaluator.h"
#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"

namespace fuzzchecks {

inline std::string checkAudienceFilters(std::span<const std::uint8_t> bytes, const TLWAudienceFilterEvaluator& evaluator) {
  auto config = TLWPBMeasurementConfig::initWithBuffer(bytes);
  if (!config) return {};
  const TLWParameters parameters{{"level", TLWValue::initWithInt64(12)},
                                 {"score", TLWValue::initWithDouble(1870.5)},
                                 {"hero", TLWValue::initWithString("Mage")},
                                 {"gems", TLWValue::initWithString("120.000")},
                                 {"items", TLWValue::initWithArray(TLWValueArray{})}};
  const char* names[] = {"level_end", "_s", "purchase"};
  auto properties = {TLWUserAttribute::initWithOrigin("app", "difficulty", TLWValue::initWithString("hard"), 1),
                     TLWUserAttribute::initWithOrigin("app", "coins", TLWValue::initWithInt64(-5), 1),
                     TLWUserAttribute::initWithOrigin("app", "ratio", TLWValue::initWithDouble(0.3), 1)};
  int evaluated = 0;
  for (const auto& audience : config->GetRepeated<TLWPBAudience>(TLWPBMeasurementConfig::kAudiences)) {
    for (const auto& message : audience->GetRepeated<TLWPBEventFilter>(TLWPBAudience::kEventFilters)) {
      const auto filter = TLWEventFilterDefinition::fromMessage(*message);
      if (filter.countFilter) (void)evaluator.isValidNumberFilter(*filter.countFilter);
      for (const char* name : names) {
        auto aggregates = TLWEventAggregates::initWithName(name, 3, 1, 2, 0);
        if (aggregates) (void)evaluator.evaluateEventFilter(&filter, filter.eventName.value_or(name), parameters, *aggregates);
        ++evaluated;
      }
    }
    for (const auto& message : audience->GetRepeated<TLWPBPropertyFilter>(TLWPBAudience::kPropertyFilters)) {
      const auto filter = TLWPropertyFilterDefinition::fromMessage(*message);
      if (filter.filter && filter.filter->stringFilter) (void)evaluator.isValidStringFilter(*filter.filter->stringFilter);
      for (const auto& property : properties) {
        if (property) (void)evaluator.evaluatePropertyFilter(&filter, property.get());
        ++evaluated;
      }
    }
  }
  return evaluated >= 0 ? std::string() : std::string("unreachable");
}

}  // namespace fuzzchecks
