#include "measurement/audience/TLWAudienceFilterEvaluator.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWEventFilter.h"
#include "measurement/storage/TLWPropertyFilter.h"

using platform::Value;

namespace {
constexpr std::int32_t kRegexp = 1;
constexpr std::int32_t kBeginsWith = 2;
constexpr std::int32_t kEndsWith = 3;
constexpr std::int32_t kContains = 4;
constexpr std::int32_t kExact = 5;
constexpr std::int32_t kInList = 6;

constexpr std::int32_t kLessThan = 1;
constexpr std::int32_t kGreaterThan = 2;
constexpr std::int32_t kEqual = 3;
constexpr std::int32_t kBetween = 4;

icu::UnicodeString folded(std::string_view s) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<std::int32_t>(s.size())));
  u.foldCase(U_FOLD_CASE_DEFAULT);
  return u;
}

icu::UnicodeString unicode(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<std::int32_t>(s.size())));
}

// Exact match ignoring case: the folded forms agree and so do the original UTF-16 lengths.
bool equalIgnoringCase(std::string_view s, std::string_view e) {
  return unicode(s).length() == unicode(e).length() && folded(s) == folded(e);
}

std::optional<double> parseDouble(const std::optional<std::string>& s) {
  if (!s || !TLWDecimalNumber::isNumericString(*s)) return std::nullopt;
  std::string_view text = *s;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  std::string normalised(text);
  if (!normalised.empty() && normalised.front() == '.') normalised.insert(normalised.begin(), '0');
  if (!normalised.empty() && normalised.back() == '.') normalised.pop_back();
  double value = 0;
  const auto [end, ec] = std::from_chars(normalised.data(), normalised.data() + normalised.size(), value);
  if (ec != std::errc() || end != normalised.data() + normalised.size() || !std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

Value ctx(const std::optional<std::string>& s) { return s ? Value(*s) : Value(); }
}  // namespace

TLWAudienceFilterEvaluator::TLWAudienceFilterEvaluator(std::shared_ptr<TLWMonitor> monitor,
                                                       std::int32_t regexTimeLimit)
    : monitor_(monitor ? std::move(monitor) : TLWMonitor::sharedInstance()),
      regexTimeLimit_(regexTimeLimit),
      patterns_(std::make_shared<Patterns>()) {}

struct TLWAudienceFilterEvaluator::Patterns {
  // Bounds the cache whatever the definitions hold.
  static constexpr std::size_t kMaxCompiled = 1024;
  std::mutex mutex;
  // Keyed by case sensitivity and expression.
  std::unordered_map<std::string, std::shared_ptr<icu::RegexPattern>> compiled;
  std::unordered_set<std::string> timedOut;
  std::chrono::steady_clock::duration spent{};
  bool budgetSpentLogged = false;
};

void TLWAudienceFilterEvaluator::forgetPatterns() const {
  std::lock_guard lock(patterns_->mutex);
  patterns_->compiled.clear();
  patterns_->timedOut.clear();
}

void TLWAudienceFilterEvaluator::startBundle() const {
  std::lock_guard lock(patterns_->mutex);
  patterns_->spent = {};
  patterns_->budgetSpentLogged = false;
}

std::shared_ptr<icu::RegexPattern> TLWAudienceFilterEvaluator::compiledPattern(const std::string& expression,
                                                                               bool caseSensitive,
                                                                               UErrorCode& status) const {
  const std::string key = (caseSensitive ? "s" : "i") + expression;
  {
    std::lock_guard lock(patterns_->mutex);
    if (auto it = patterns_->compiled.find(key); it != patterns_->compiled.end()) return it->second;
  }
  UParseError parseError{};
  std::shared_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
      unicode(expression), caseSensitive ? 0 : UREGEX_CASE_INSENSITIVE, parseError, status));
  if (U_FAILURE(status) || !pattern) return nullptr;
  std::lock_guard lock(patterns_->mutex);
  if (patterns_->compiled.size() < Patterns::kMaxCompiled) patterns_->compiled.emplace(key, pattern);
  return pattern;
}

// ------------------------------------------------------------------ stored rows

TLWFilterOutcome TLWAudienceFilterEvaluator::evaluateEventFilterRow(const TLWEventFilter& row,
                                                                    const TLWParameters& parameters,
                                                                    const TLWEventAggregates& aggregates) const {
  auto message = row.filterMessage();
  if (!message) {
    monitor_->logWithLevel(1, 6035,
                           "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, "
                           "filter ID, audience ID, dynamic",
                           platform::Array{Value(row.eventName()), Value(row.filterID()), Value(row.audienceID()),
                                           Value(row.dynamic())});
    return std::nullopt;
  }
  const auto definition = TLWEventFilterDefinition::fromMessage(*message);
  return evaluateEventFilter(&definition, row.eventName(), parameters, aggregates);
}

TLWFilterOutcome TLWAudienceFilterEvaluator::evaluatePropertyFilterRow(bool storedResultIsTrue,
                                                                       const TLWPropertyFilter& row,
                                                                       const TLWUserAttribute* attribute) const {
  auto message = row.filterMessage();
  if (!message) {
    monitor_->logWithLevel(1, 6036,
                           "User property filter contains no data or corrupt data. User property will not be "
                           "evaluated. User property name, filter ID, audience ID, dynamic",
                           platform::Array{Value(row.propertyName()), Value(row.filterID()), Value(row.audienceID()),
                                           Value(row.dynamic())});
    return std::nullopt;
  }
  const auto definition = TLWPropertyFilterDefinition::fromMessage(*message);
  TLWFilterOutcome result = evaluatePropertyFilter(&definition, attribute);
  if (result != std::optional<bool>(true) && storedResultIsTrue && !row.dynamic() && !row.sequence() &&
      !row.sessionScoped()) {
    return std::nullopt;
  }
  return result;
}

// ------------------------------------------------------------------ events and properties

TLWFilterOutcome TLWAudienceFilterEvaluator::evaluateEventFilter(const TLWEventFilterDefinition* filter,
                                                                 std::string_view eventName,
                                                                 const TLWParameters& parameters,
                                                                 const TLWEventAggregates& aggregates) const {
  if (!filter) {
    monitor_->logWithLevel(1, 7004, "Event filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (eventName.empty()) {
    monitor_->logWithLevel(1, 7005, "Event name is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (filter->eventName.value_or("") != eventName) {
    monitor_->logWithLevel(1, 7006, "Event filter name does not match event name. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!filter->countFilter && filter->filters.empty()) return true;
  if (filter->countFilter) {
    if (aggregates.name() != eventName) {
      monitor_->logWithLevel(
          1, 7007, "Event aggregates name does not match event name. Audience filter will not be evaluated");
      return std::nullopt;
    }
    const std::int32_t count = filter->sessionScoped ? aggregates.currentSessionCount() : aggregates.lifetimeCount();
    TLWFilterOutcome counted = compareInt64(*filter->countFilter, count);
    if (counted != std::optional<bool>(true)) return counted;
  }
  for (const auto& parameterFilter : filter->filters) {
    if (!parameterFilter.paramName) {
      monitor_->logWithLevel(1, 7008,
                             "Event filter does not have parameter name. Audience filter will not be evaluated");
      return std::nullopt;
    }
    auto found = parameters.find(*parameterFilter.paramName);
    if (found == parameters.end()) {
      monitor_->logWithLevel(3, 7009,
                             "Event does not have parameter required by filter. Audience filter will not be "
                             "evaluated",
                             Value(std::string(eventName)), Value(static_cast<std::int64_t>(parameters.size())),
                             ctx(parameterFilter.paramName));
      return std::nullopt;
    }
    if (found->second.isString() && !parameterFilter.stringFilter) {
      monitor_->logWithLevel(3, 7010,
                             "Event param is a string and the filter does not have a string filter. Audience filter "
                             "will not be evaluated. Event name, event params, filter",
                             Value(std::string(eventName)), Value(found->first), ctx(parameterFilter.paramName));
      return std::nullopt;
    }
    TLWFilterOutcome result = evaluateFilter(parameterFilter, found->second);
    if (result != std::optional<bool>(true)) return result;
  }
  return true;
}

TLWFilterOutcome TLWAudienceFilterEvaluator::evaluatePropertyFilter(const TLWPropertyFilterDefinition* filter,
                                                                    const TLWUserAttribute* attribute) const {
  if (!filter) {
    monitor_->logWithLevel(1, 7011, "Property filter is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!attribute) {
    monitor_->logWithLevel(1, 7012, "User property is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (filter->propertyName.value_or("") != attribute->name()) {
    monitor_->logWithLevel(
        1, 7013, "User property name does not match property filter name. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!filter->filter) {
    monitor_->logWithLevel(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const TLWValue& value = attribute->value();
  if (!value.isString() && !value.isInt64() && !value.isDouble()) {
    monitor_->logWithLevel(1, 7015,
                           "Unknown user property type. Audience filter will not be evaluated. Property Name",
                           Value(attribute->name()));
    return std::nullopt;
  }
  return evaluateFilter(*filter->filter, value);
}

TLWFilterOutcome TLWAudienceFilterEvaluator::evaluateFilter(const TLWFilterDefinition& filter,
                                                            const TLWValue& value) const {
  TLWFilterOutcome result;
  if (!filter.numberFilter && !filter.stringFilter) {
    monitor_->logWithLevel(1, 7000,
                           "Filter has neither a number nor string filter. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (filter.numberFilter) {
    if (value.isString()) {
      const std::string* s = value.stringValue();
      if (s && TLWDecimalNumber::isNumericString(*s)) {
        if (auto decimal = decimalFromString(*s)) result = compareDecimal(*filter.numberFilter, *decimal);
      } else {
        monitor_->logWithLevel(3, 7001,
                               "String value is not a numeric value. Audience filter will not be evaluated. Value, "
                               "filter",
                               Value(s ? *s : std::string()), ctx(filter.paramName));
        return std::nullopt;
      }
    } else if (value.isDouble()) {
      const double d = value.doubleValue();
      if (!std::isfinite(d)) {
        monitor_->logWithLevel(3, 7002, "Value is not within double range. Audience filter will not be evaluated");
        return std::nullopt;
      }
      result = compareDouble(*filter.numberFilter, d);
    } else if (value.isInt64()) {
      result = compareInt64(*filter.numberFilter, value.int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    if (!value.isString()) {
      monitor_->logWithLevel(3, 7003, "Value is not a string. Audience filter will not be evaluated");
      return std::nullopt;
    }
    result = evaluateStringFilter(*filter.stringFilter, value.stringValue());
  }
  if (result && filter.complement.value_or(false)) result = !*result;
  return result;
}

// ------------------------------------------------------------------ strings

bool TLWAudienceFilterEvaluator::isValidStringFilter(const TLWStringFilterDefinition& filter) const {
  if (!filter.matchType) {
    monitor_->logWithLevel(1, 9000, "String filter has no match type");
    return false;
  }
  const std::int32_t type = *filter.matchType;
  if (type == 0) {
    monitor_->logWithLevel(1, 9001, "String filter has unknown match type");
    return false;
  }
  if (type == kInList) {
    if (filter.expressionList.empty()) {
      monitor_->logWithLevel(1, 9003, "String filter has no expression list");
      return false;
    }
    return true;
  }
  if (!filter.expression) {
    monitor_->logWithLevel(1, 9002, "String filter has no expression");
    return false;
  }
  if (type == kRegexp) {
    UErrorCode status = U_ZERO_ERROR;
    auto pattern = compiledPattern(*filter.expression, filter.caseSensitive.value_or(false), status);
    if (U_FAILURE(status) || !pattern) {
      monitor_->logWithLevel(1, 9004, "Unable to parse regular expression", Value(*filter.expression),
                             Value(std::string(u_errorName(status))));
      return false;
    }
  }
  return true;
}

TLWFilterOutcome TLWAudienceFilterEvaluator::evaluateStringFilter(const TLWStringFilterDefinition& filter,
                                                                  const std::string* value) const {
  if (!value) {
    monitor_->logWithLevel(1, 9005, "Evaluation string is nil. Audience filter will not be evaluated");
    return std::nullopt;
  }
  if (!isValidStringFilter(filter)) {
    monitor_->logWithLevel(1, 9006, "String filter is invalid. Audience filter will not be evaluated");
    return std::nullopt;
  }
  const std::int32_t type = *filter.matchType;
  const bool caseSensitive = filter.caseSensitive.value_or(false);
  const std::string& s = *value;
  const std::string e = filter.expression.value_or("");
  switch (type) {
    case kRegexp: {
      const std::string key = (caseSensitive ? "s" : "i") + e;
      std::int32_t timeLeft = 0;
      {
        std::lock_guard lock(patterns_->mutex);
        // It ran out of time once: it would again.
        if (patterns_->timedOut.count(key)) return std::nullopt;
        timeLeft = kBundleRegexTimeBudget -
                   static_cast<std::int32_t>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(patterns_->spent).count());
        if (timeLeft <= 0) {
          if (!patterns_->budgetSpentLogged) {
            patterns_->budgetSpentLogged = true;
            monitor_->logWithLevel(1, 9009,
                                   "Regular expressions of this bundle ran out of time. Audience filter will not be "
                                   "evaluated. Expression",
                                   Value(e));
          }
          return std::nullopt;
        }
      }
      UErrorCode status = U_ZERO_ERROR;
      auto pattern = compiledPattern(e, caseSensitive, status);
      if (U_FAILURE(status) || !pattern) {
        monitor_->logWithLevel(1, 9008, "Parsed regex is nil. Audience filter will not be evaluated");
        return false;
      }
      const icu::UnicodeString subject = unicode(s);
      std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(subject, status));
      if (U_FAILURE(status) || !matcher) {
        monitor_->logWithLevel(1, 9008, "Parsed regex is nil. Audience filter will not be evaluated");
        return false;
      }
      matcher->setTimeLimit(std::min(regexTimeLimit_, timeLeft), status);
      const auto began = std::chrono::steady_clock::now();
      const bool found = matcher->find(status);
      {
        std::lock_guard lock(patterns_->mutex);
        patterns_->spent += std::chrono::steady_clock::now() - began;
        if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) patterns_->timedOut.insert(key);
      }
      if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
        monitor_->logWithLevel(1, 9009,
                               "Regular expression match ran out of time. Audience filter will not be evaluated. "
                               "Expression",
                               Value(e));
        return std::nullopt;
      }
      if (U_FAILURE(status)) return std::nullopt;
      return found;
    }
    case kBeginsWith:
      if (caseSensitive) return s.compare(0, e.size(), e) == 0 && s.size() >= e.size();
      return folded(s).startsWith(folded(e));
    case kEndsWith:
      if (caseSensitive) return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
      return folded(s).endsWith(folded(e));
    case kContains:
      if (caseSensitive) return s.find(e) != std::string::npos;
      return folded(s).indexOf(folded(e)) >= 0;
    case kExact:
      return caseSensitive ? s == e : equalIgnoringCase(s, e);
    case kInList:
      for (const auto& entry : filter.expressionList) {
        if (caseSensitive ? s == entry : equalIgnoringCase(s, entry)) return true;
      }
      return false;
    default:
      if (type == 0) {
        monitor_->logWithLevel(1, 9007,
                               "Validated string filter has unknown comparison type. Audience filter will not be "
                               "evaluated");
        return std::nullopt;
      }
      return false;
  }
}

// ------------------------------------------------------------------ numbers

bool TLWAudienceFilterEvaluator::isValidNumberFilter(const TLWNumberFilterDefinition& filter) const {
  Value context(filter.comparisonValue.value_or(""));
  if (!filter.comparisonType) {
    monitor_->logWithLevel(1, 8006, "Number filter has no comparison type", context);
    return false;
  }
  const std::int32_t type = *filter.comparisonType;
  auto numeric = [](const std::optional<std::string>& s) { return s && TLWDecimalNumber::isNumericString(*s); };
  if (type == 0) {
    monitor_->logWithLevel(1, 8007, "Number filter has unknown comparison type", context);
    return false;
  }
  if (type <= kEqual) {
    if (!numeric(filter.comparisonValue)) {
      monitor_->logWithLevel(1, 8008, "Numeric filter does not have a valid comparison value. Filter", context);
      return false;
    }
    return true;
  }
  if (type == kBetween) {
    bool valid = true;
    if (!numeric(filter.minComparisonValue)) {
      monitor_->logWithLevel(1, 8009, "Numeric filter does not have a valid min comparison value. Filter",
                             ctx(filter.minComparisonValue));
      valid = false;
    }
    if (!numeric(filter.maxComparisonValue)) {
      monitor_->logWithLevel(1, 8010, "Numeric filter does not have a valid max comparison value. Filter",
                             ctx(filter.maxComparisonValue));
      valid = false;
    }
    return valid;
  }
  monitor_->logWithLevel(1, 8011, "Number filter has a real unknown comparison type. Filter", Value(type));
  return false;
}

std::optional<TLWDecimalNumber> TLWAudienceFilterEvaluator::decimalFromString(std::string_view s) const {
  TLWDecimalNumber::ParseFailure failure{};
  auto decimal = TLWDecimalNumber::fromString(s, &failure);
  if (!decimal) {
    if (failure == TLWDecimalNumber::ParseFailure::NotNumeric) {
      monitor_->logWithLevel(2, 26001, "String value does not represent a numeric value. Value", Value(std::string(s)));
    } else {
      monitor_->logWithLevel(2, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
                             Value(std::string(s)));
    }
  }
  return decimal;
}

TLWAudienceComparisonValues TLWAudienceFilterEvaluator::comparisonValues(
    const TLWNumberFilterDefinition& filter) const {
  TLWAudienceComparisonValues values;
  values.valid = true;
  const std::int32_t type = filter.comparisonType.value_or(0);
  if (type >= kLessThan && type <= kEqual) {
    if (!filter.comparisonValue) {
      monitor_->logWithLevel(1, 8001, "Number filter has no comparison value");
      values.valid = false;
    } else if (!(values.comparisonValue = decimalFromString(*filter.comparisonValue))) {
      monitor_->logWithLevel(1, 8002, "Number filter comparison value is not a number");
      values.valid = false;
    }
  } else if (type == kBetween) {
    if (!filter.minComparisonValue || !filter.maxComparisonValue) {
      monitor_->logWithLevel(1, 8003, "Number filter does not have both min and max comparison values");
      values.valid = false;
    } else {
      if (!(values.minComparisonValue = decimalFromString(*filter.minComparisonValue))) {
        monitor_->logWithLevel(1, 8004, "Number filter min comparison value is not a number");
        values.valid = false;
      }
      if (!(values.maxComparisonValue = decimalFromString(*filter.maxComparisonValue))) {
        monitor_->logWithLevel(1, 8005, "Number filter max comparison value is not a number");
        values.valid = false;
      }
    }
  } else if (type == 0) {
    monitor_->logWithLevel(1, 8000, "Number filter has unknown comparison type");
  }
  return values;
}

TLWFilterOutcome TLWAudienceFilterEvaluator::compareDecimal(const TLWNumberFilterDefinition& filter,
                                                            const TLWDecimalNumber& value) const {
  if (!isValidNumberFilter(filter)) return std::nullopt;
  const TLWAudienceComparisonValues values = comparisonValues(filter);
  if (!values.valid) {
    monitor_->logWithLevel(1, 8015,
                           "Parsed decimal number comparison values are not valid. Audience filter will not be "
                           "evaluated. Filter",
                           ctx(filter.comparisonValue));
    return std::nullopt;
  }
  switch (*filter.comparisonType) {
    case kLessThan:
      return value < *values.comparisonValue;
    case kGreaterThan:
      return value > *values.comparisonValue;
    case kEqual:
      return value == *values.comparisonValue;
    case kBetween:
      return *values.minComparisonValue <= value && value <= *values.maxComparisonValue;
    default:
      return false;
  }
}

TLWFilterOutcome TLWAudienceFilterEvaluator::compareDouble(const TLWNumberFilterDefinition& filter,
                                                           double value) const {
  if (!isValidNumberFilter(filter)) return std::nullopt;
  const std::int32_t type = *filter.comparisonType;
  std::optional<double> c, lo, hi;
  bool parsed = true;
  if (type == kBetween) {
    lo = parseDouble(filter.minComparisonValue);
    hi = parseDouble(filter.maxComparisonValue);
    parsed = lo && hi;
  } else {
    c = parseDouble(filter.comparisonValue);
    parsed = c.has_value();
  }
  if (!parsed) {
    monitor_->logWithLevel(1, 8012,
                           "Number filter is invalid, the comparison filter is not valid. Audience filter will not "
                           "be evaluated");
    return std::nullopt;
  }
  const double inf = std::numeric_limits<double>::infinity();
  switch (type) {
    case kLessThan:
      return value < *c;
    case kGreaterThan:
      return value > *c;
    case kEqual: {
      const double below = std::nextafter(std::nextafter(*c, -inf), -inf);
      const double above = std::nextafter(std::nextafter(*c, inf), inf);
      return below < value && value < above;
    }
    case kBetween:
      return *lo <= value && value <= *hi;
    default:
      return false;
  }
}
