#pragma once
// TLWAudienceFilterEvaluator: evaluates one audience filter against one event or user
// property. Results are three-valued: true, false, or nullopt for "not evaluated" (a
// malformed filter, a missing parameter, a value of the wrong kind, an expression that
// ran out of time), which audience evaluation treats differently from false.
//
// Strings compare case-insensitively through Unicode case folding, lengths count UTF-16
// units, regular expressions are ICU's and each match has a time limit so that a hostile
// pattern cannot hold the worker. Integers and numeric strings compare as exact decimals;
// doubles compare as doubles, equality within two representable neighbours.
//
// Regular expressions are compiled once per set of definitions (forgetPatterns() starts a
// new set); a pattern that ran out of time is not run again for that set, and the matching
// time of one bundle (startBundle()) is bounded by kBundleRegexTimeBudget: past it, the
// remaining regular-expression filters are not evaluated.
//
// Thread-safety: const members may run on any thread at once; in the library they run on
// the worker queue. The pattern cache is shared by copies and guarded by a lock.
// Ownership: holds the monitor it logs to.
// Failure: every problem is logged with its code and gives nullopt; nothing throws.

#include <unicode/utypes.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/audience/TLWAudienceFilterDefinitions.h"
#include "measurement/audience/TLWDecimalNumber.h"
#include "measurement/model/TLWValue.h"

class TLWEventAggregates;
class TLWEventFilter;
class TLWMonitor;
class TLWPropertyFilter;
class TLWUserAttribute;

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

using TLWFilterOutcome = std::optional<bool>;

// TLWAudienceComparisonValues: the parsed comparison values of one number filter.
struct TLWAudienceComparisonValues {
  bool valid = false;
  std::optional<TLWDecimalNumber> comparisonValue;
  std::optional<TLWDecimalNumber> maxComparisonValue;
  std::optional<TLWDecimalNumber> minComparisonValue;
};

class TLWAudienceFilterEvaluator {
 public:
  // ICU time-limit units (roughly milliseconds) one regular-expression match may use.
  static constexpr std::int32_t kDefaultRegexTimeLimit = 50;
  // Milliseconds of matching one bundle's evaluations may spend in all.
  static constexpr std::int32_t kBundleRegexTimeBudget = 250;

  explicit TLWAudienceFilterEvaluator(std::shared_ptr<TLWMonitor> monitor = nullptr,
                                      std::int32_t regexTimeLimit = kDefaultRegexTimeLimit);

  // Stored rows: decode the row's message (nullopt with 6035 / 6036 when it does not).
  TLWFilterOutcome evaluateEventFilterRow(const TLWEventFilter& row, const TLWParameters& parameters,
                                          const TLWEventAggregates& aggregates) const;
  // Drops a non-true result (nullopt) when the stored result is already true and the row
  // is neither dynamic, sequence nor session-scoped.
  TLWFilterOutcome evaluatePropertyFilterRow(bool storedResultIsTrue, const TLWPropertyFilter& row,
                                             const TLWUserAttribute* attribute) const;

  TLWFilterOutcome evaluateEventFilter(const TLWEventFilterDefinition* filter, std::string_view eventName,
                                       const TLWParameters& parameters, const TLWEventAggregates& aggregates) const;
  TLWFilterOutcome evaluatePropertyFilter(const TLWPropertyFilterDefinition* filter,
                                          const TLWUserAttribute* attribute) const;
  TLWFilterOutcome evaluateFilter(const TLWFilterDefinition& filter, const TLWValue& value) const;
  TLWFilterOutcome evaluateStringFilter(const TLWStringFilterDefinition& filter, const std::string* value) const;
  TLWFilterOutcome compareDecimal(const TLWNumberFilterDefinition& filter, const TLWDecimalNumber& value) const;
  TLWFilterOutcome compareDouble(const TLWNumberFilterDefinition& filter, double value) const;
  TLWFilterOutcome compareInt64(const TLWNumberFilterDefinition& filter, std::int64_t value) const {
    return compareDecimal(filter, TLWDecimalNumber::fromInt64(value));
  }

  // Validity checks, also used when audiences are saved. Each logs why a filter is
  // invalid. A regular expression must also compile.
  bool isValidStringFilter(const TLWStringFilterDefinition& filter) const;
  bool isValidNumberFilter(const TLWNumberFilterDefinition& filter) const;

  // A numeric string parsed exactly; nullopt with 26001 / 26003.
  std::optional<TLWDecimalNumber> decimalFromString(std::string_view s) const;
  TLWAudienceComparisonValues comparisonValues(const TLWNumberFilterDefinition& filter) const;

  // New definitions: compiled and timed-out patterns are forgotten.
  void forgetPatterns() const;
  // A new bundle: its matching time starts from zero.
  void startBundle() const;

 private:
  struct Patterns;
  // The compiled pattern (cached), or null with the ICU status.
  std::shared_ptr<icu::RegexPattern> compiledPattern(const std::string& expression, bool caseSensitive,
                                                     UErrorCode& status) const;

  std::shared_ptr<TLWMonitor> monitor_;
  std::int32_t regexTimeLimit_;
  std::shared_ptr<Patterns> patterns_;
};
