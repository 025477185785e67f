// The methods programs call on arrays and strings through the method-call operation.
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "measurement/script/TLWPEvaluator.h"
#include "measurement/script/TLWPRunState.h"

namespace {

using E = TLWPError;
using Entries = std::vector<std::pair<std::uint64_t, TLWPValueRef>>;
namespace err = tlwp_error;
constexpr std::uint64_t kMaxLength = TLWPArraySlots::kMaxLength;

const TLWPValueRef& undefinedV() { return TLWPRuntimeValue::undefinedValue(); }

TLWPValueRef fail(E& e, std::int64_t code, std::string_view text) {
  e.set(code, text);
  return undefinedV();
}

bool wrongCount(const TLWPValues& a, std::size_t min, std::size_t max, E& e) {
  if (a.size() >= min && a.size() <= max) return false;
  e.set(err::kArgumentCount, "Wrong number of arguments");
  return true;
}

TLWPFunctionValue* functionArgument(const TLWPValues& a, E& e) {
  if (a.empty() || !a[0]->isFunction()) {
    e.set(err::kArgumentType, "Argument is not a function");
    return nullptr;
  }
  return static_cast<TLWPFunctionValue*>(a[0].get());
}

// to-integer of an optional argument.
double integerArgument(const TLWPValues& a, std::size_t i, double fallback, E& e) {
  if (i >= a.size()) return fallback;
  return tlwp::toInteger(a[i]->doubleValue(e));
}

// A relative position (negative counts from the end), clamped to [low, count].
double relative(double position, double count, double low) {
  if (position < 0) position += count;
  return std::clamp(position, low, count);
}

TLWPValueRef num(double d) { return tlwp::number(d); }

bool fitsLength(std::uint64_t length, E& e) {
  if (length <= kMaxLength) return true;
  e.set(err::kInvalidLength, "Array too long");
  return false;
}

TLWPValueRef newArray(Entries entries, std::uint64_t length, E& e, bool charged = false) {
  if (!charged && !TLWPRunState::chargeSlots(static_cast<std::int64_t>(entries.size()) + 1, e)) return undefinedV();
  auto array = TLWPArrayValue::make();
  array->slots.assign(std::move(entries), length);
  return array;
}

// Stable merge sort that stays in bounds whatever the comparator answers.
template <class Less>
void mergeSort(std::vector<TLWPValueRef>& v, Less less) {
  std::vector<TLWPValueRef> tmp(v.size());
  for (std::size_t width = 1; width < v.size(); width *= 2) {
    for (std::size_t lo = 0; lo < v.size(); lo += 2 * width) {
      std::size_t mid = std::min(lo + width, v.size()), hi = std::min(lo + 2 * width, v.size());
      std::size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) tmp[k++] = less(*v[j], *v[i]) ? v[j++] : v[i++];
      while (i < mid) tmp[k++] = v[i++];
      while (j < hi) tmp[k++] = v[j++];
    }
    v.swap(tmp);
  }
}

TLWPValueRef sortArray(const std::shared_ptr<TLWPArrayValue>& self, const TLWPValues& a, E& e) {
  if (wrongCount(a, 0, 1, e)) return undefinedV();
  const std::uint64_t length = self->slots.length();
  // Fewer than two slots, not elements: a lone element after a hole still moves to the front.
  if (length < 2) return self;
  // The copies and handles below, before they are made.
  if (!TLWPRunState::chargeSlots(3 * static_cast<std::int64_t>(self->slots.presentCount()), e)) return self;
  Entries entries = self->slots.entries();
  TLWPFunctionValue* comparator = nullptr;
  if (!a.empty()) {
    if (!a[0]->isFunction()) {
      e.set(err::kArgumentType, "Comparator is not a function");
      return self;
    }
    comparator = static_cast<TLWPFunctionValue*>(a[0].get());
  }
  std::vector<TLWPValueRef> defined;
  std::size_t undefinedCount = 0;
  for (auto& [i, v] : entries) {
    if (v->kind() == TLWPKind::Undefined) {
      ++undefinedCount;
    } else {
      defined.push_back(v);
    }
  }
  // After the first failure every comparison is "equal"; the first error is reported.
  E first;
  auto less = [&](const TLWPRuntimeValue& x, const TLWPRuntimeValue& y) -> bool {
    if (first) return false;
    E local;
    std::u16string sx = x.stringValue(local);
    std::u16string sy = y.stringValue(local);
    if (local) {
      first = local;
      return false;
    }
    return sx < sy;
  };
  if (comparator) {
    auto lessByCall = [&](const TLWPValueRef& x, const TLWPValueRef& y) -> bool {
      if (first) return false;
      E local;
      TLWPValueRef r = comparator->invokeWithEvaluatedArguments({x, y}, local);
      double d = local ? 0 : r->doubleValue(local);
      if (local) {
        first = local;
        return false;
      }
      return d < 0;
    };
    // Sort on handles so the comparator sees the values themselves.
    std::vector<std::size_t> order(defined.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::vector<TLWPValueRef> handles;
    handles.reserve(defined.size());
    for (std::size_t i = 0; i < defined.size(); ++i) handles.push_back(tlwp::number(static_cast<double>(i)));
    mergeSort(handles, [&](const TLWPRuntimeValue& x, const TLWPRuntimeValue& y) {
      return lessByCall(defined[static_cast<std::size_t>(static_cast<const TLWPNumberValue&>(x).value)],
                        defined[static_cast<std::size_t>(static_cast<const TLWPNumberValue&>(y).value)]);
    });
    std::vector<TLWPValueRef> sorted;
    sorted.reserve(defined.size());
    for (const auto& h : handles) sorted.push_back(defined[static_cast<std::size_t>(static_cast<const TLWPNumberValue&>(*h).value)]);
    defined.swap(sorted);
  } else {
    TLWPRunState::addWork(defined.size() * 32);
    mergeSort(defined, less);
  }
  Entries out;
  out.reserve(entries.size());
  std::uint64_t i = 0;
  for (auto& v : defined) out.emplace_back(i++, std::move(v));
  for (std::size_t u = 0; u < undefinedCount; ++u) out.emplace_back(i++, undefinedV());
  self->slots.assign(std::move(out), length);
  if (first) e = first;
  return self;
}

// every, some, filter, forEach, map.
TLWPValueRef iterate(const std::shared_ptr<TLWPArrayValue>& self, const std::u16string& name, const TLWPValues& a,
                     E& e) {
  if (wrongCount(a, 1, 1, e)) return undefinedV();
  TLWPFunctionValue* fn = functionArgument(a, e);
  if (!fn) return undefinedV();
  const std::uint64_t count = self->slots.length();
  std::shared_ptr<TLWPArrayValue> out;
  if (name == u"filter" || name == u"map") out = TLWPArrayValue::make();
  for (std::optional<std::uint64_t> i = self->slots.nextPresent(0); i && *i < count;
       i = self->slots.nextPresent(*i + 1)) {
    TLWPValueRef element = self->slots.getRef(*i);
    TLWPValueRef r = fn->invokeWithEvaluatedArguments({element, num(static_cast<double>(*i)), self}, e);
    if (e) return undefinedV();
    if (name == u"forEach") continue;
    if (name == u"map") {
      if (!TLWPRunState::chargeSlots(1, e)) return undefinedV();
      out->slots.set(*i, r);
      continue;
    }
    const bool truthy = r->booleanValue(e);
    if (e) return undefinedV();
    if (name == u"every" && !truthy) return TLWPRuntimeValue::booleanValue(false);
    if (name == u"some" && truthy) return TLWPRuntimeValue::booleanValue(true);
    if (name == u"filter" && truthy) {
      if (!TLWPRunState::chargeSlots(1, e)) return undefinedV();
      out->slots.append(element);
    }
  }
  if (name == u"every") return TLWPRuntimeValue::booleanValue(true);
  if (name == u"some") return TLWPRuntimeValue::booleanValue(false);
  if (out) return out;
  return undefinedV();
}

TLWPValueRef reduce(const std::shared_ptr<TLWPArrayValue>& self, bool right, const TLWPValues& a, E& e) {
  if (wrongCount(a, 1, 2, e)) return undefinedV();
  TLWPFunctionValue* fn = functionArgument(a, e);
  if (!fn) return undefinedV();
  const std::uint64_t count = self->slots.length();
  auto first = [&]() -> std::optional<std::uint64_t> {
    if (count == 0) return std::nullopt;
    return right ? self->slots.previousPresent(count - 1) : self->slots.nextPresent(0);
  };
  auto next = [&](std::uint64_t i) -> std::optional<std::uint64_t> {
    if (right) return i == 0 ? std::nullopt : self->slots.previousPresent(i - 1);
    auto n = self->slots.nextPresent(i + 1);
    return n && *n < count ? n : std::nullopt;
  };
  std::optional<std::uint64_t> i = first();
  TLWPValueRef accumulator;
  if (a.size() == 2) {
    accumulator = a[1];
  } else {
    if (!i || *i >= count) return fail(e, err::kReduceEmpty, "Reduce of an empty array with no initial value");
    accumulator = self->slots.getRef(*i);
    i = next(*i);
  }
  for (; i && *i < count; i = next(*i)) {
    TLWPValueRef element = self->slots.getRef(*i);
    if (!element) continue;
    accumulator = fn->invokeWithEvaluatedArguments({accumulator, element, num(static_cast<double>(*i)), self}, e);
    if (e) return undefinedV();
  }
  return accumulator;
}

}  // namespace

TLWPValueRef TLWPEvaluator::applyArrayMethod(const std::shared_ptr<TLWPArrayValue>& self, const std::u16string& name,
                                             const TLWPValues& a, TLWPError& e) {
  TLWPArraySlots& slots = self->slots;
  const std::uint64_t length = slots.length();
  const double count = static_cast<double>(length);
  if (name == u"every" || name == u"some" || name == u"filter" || name == u"forEach" || name == u"map") {
    return iterate(self, name, a, e);
  }
  if (name == u"reduce" || name == u"reduceRight") return reduce(self, name == u"reduceRight", a, e);
  if (name == u"sort") return sortArray(self, a, e);
  if (name == u"concat") {
    // Charged before anything is copied.
    std::size_t present = slots.presentCount();
    for (const auto& arg : a) present += arg->isArray() ? static_cast<const TLWPArrayValue&>(*arg).slots.presentCount() : 1;
    if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(present), e)) return undefinedV();
    Entries entries = slots.entries();
    std::uint64_t total = length;
    for (const auto& arg : a) {
      if (arg->isControl()) return fail(e, err::kArgumentType, "Cannot concatenate a control value");
      if (arg->isArray()) {
        const auto& other = static_cast<const TLWPArrayValue&>(*arg).slots;
        for (auto& [i, v] : other.entries()) entries.emplace_back(total + i, v);
        total += other.length();
      } else {
        entries.emplace_back(total++, arg);
      }
      if (!fitsLength(total, e)) return undefinedV();
    }
    return newArray(std::move(entries), total, e, true);
  }
  if (name == u"hasOwnProperty") {
    if (wrongCount(a, 1, 1, e)) return undefinedV();
    if (a[0]->isString() && static_cast<const TLWPStringValue&>(*a[0]).value == u"length") {
      return TLWPRuntimeValue::booleanValue(true);
    }
    const bool has = self->hasProperty(*a[0], e);
    return e ? undefinedV() : TLWPRuntimeValue::booleanValue(has);
  }
  if (name == u"indexOf") {
    if (wrongCount(a, 0, 2, e)) return undefinedV();
    const TLWPValueRef& search = a.empty() ? undefinedV() : a[0];
    double start = integerArgument(a, 1, 0, e);
    if (e) return undefinedV();
    if (start >= count) return num(-1);
    start = relative(start, count, 0);
    for (auto i = slots.nextPresent(static_cast<std::uint64_t>(start)); i; i = slots.nextPresent(*i + 1)) {
      if (tlwp::strictEquals(*slots.get(*i), *search)) return num(static_cast<double>(*i));
    }
    return num(-1);
  }
  if (name == u"lastIndexOf") {
    if (wrongCount(a, 0, 2, e)) return undefinedV();
    const TLWPValueRef& search = a.empty() ? undefinedV() : a[0];
    double start = count - 1;
    if (a.size() == 2) {
      double d = a[1]->doubleValue(e);
      if (e) return undefinedV();
      if (d == d) start = tlwp::toInteger(d);
    }
    if (start < 0) start += count;
    if (start < 0 || length == 0) return num(-1);
    start = std::min(start, count - 1);
    for (auto i = slots.previousPresent(static_cast<std::uint64_t>(start)); i;
         i = *i == 0 ? std::nullopt : slots.previousPresent(*i - 1)) {
      if (tlwp::strictEquals(*slots.get(*i), *search)) return num(static_cast<double>(*i));
    }
    return num(-1);
  }
  if (name == u"join") {
    if (wrongCount(a, 0, 1, e)) return undefinedV();
    std::u16string separator = u",";
    if (!a.empty()) separator = a[0]->isNullOrUndefined() ? std::u16string() : a[0]->stringValue(e);
    if (e) return undefinedV();
    std::u16string s = tlwp::joinArray(*self, separator, e);
    if (e || !TLWPRunState::chargeCurrent(static_cast<std::int64_t>(s.size()), e)) return undefinedV();
    return tlwp::string(std::move(s));
  }
  if (name == u"toString") {
    if (wrongCount(a, 0, 0, e)) return undefinedV();
    std::u16string s = self->stringValue(e);
    if (e || !TLWPRunState::chargeCurrent(static_cast<std::int64_t>(s.size()), e)) return undefinedV();
    return tlwp::string(std::move(s));
  }
  if (name == u"pop" || name == u"shift") {
    if (wrongCount(a, 0, 0, e)) return undefinedV();
    if (length == 0) return undefinedV();
    const std::uint64_t at = name == u"pop" ? length - 1 : 0;
    TLWPValueRef removed = slots.getRef(at);
    if (!removed) removed = TLWPRuntimeValue::emptyValue();
    if (name == u"pop") {
      slots.setLength(length - 1);
    } else {
      Entries entries = slots.entries();
      Entries shifted;
      shifted.reserve(entries.size());
      for (auto& [i, v] : entries) {
        if (i > 0) shifted.emplace_back(i - 1, std::move(v));
      }
      slots.assign(std::move(shifted), length - 1);
    }
    return removed;
  }
  if (name == u"push" || name == u"unshift") {
    if (!fitsLength(length + a.size(), e)) return undefinedV();
    if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(a.size()), e)) return undefinedV();
    if (name == u"push") {
      for (const auto& v : a) slots.append(v);
    } else if (!a.empty()) {
      Entries entries;
      for (std::size_t i = 0; i < a.size(); ++i) entries.emplace_back(i, a[i]);
      for (auto& [i, v] : slots.entries()) entries.emplace_back(i + a.size(), std::move(v));
      slots.assign(std::move(entries), length + a.size());
    }
    return num(static_cast<double>(slots.length()));
  }
  if (name == u"reverse") {
    if (wrongCount(a, 0, 0, e)) return undefinedV();
    Entries entries = slots.entries();
    Entries reversed;
    reversed.reserve(entries.size());
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) reversed.emplace_back(length - 1 - it->first, it->second);
    slots.assign(std::move(reversed), length);
    return self;
  }
  if (name == u"slice") {
    if (wrongCount(a, 0, 2, e)) return undefinedV();
    double start = integerArgument(a, 0, 0, e);
    double end = integerArgument(a, 1, count, e);
    if (e) return undefinedV();
    start = relative(start, count, 0);
    end = relative(end, count, start);
    const auto s = static_cast<std::uint64_t>(start), t = static_cast<std::uint64_t>(end);
    Entries out;
    for (auto i = slots.nextPresent(s); i && *i < t; i = slots.nextPresent(*i + 1)) out.emplace_back(*i - s, slots.getRef(*i));
    return newArray(std::move(out), t - s, e);
  }
  if (name == u"splice") {
    if (a.empty()) return newArray({}, 0, e);
    double start = integerArgument(a, 0, 0, e);
    if (e) return undefinedV();
    start = relative(start, count, 0);
    double deleteCount = count - start;
    if (a.size() >= 2) {
      deleteCount = std::clamp(integerArgument(a, 1, 0, e), 0.0, count - start);
      if (e) return undefinedV();
    }
    const auto s = static_cast<std::uint64_t>(start), d = static_cast<std::uint64_t>(deleteCount);
    const std::uint64_t inserted = a.size() > 2 ? a.size() - 2 : 0;
    if (!fitsLength(length - d + inserted, e)) return undefinedV();
    Entries kept, removed;
    for (auto& [i, v] : slots.entries()) {
      if (i < s) {
        kept.emplace_back(i, std::move(v));
      } else if (i < s + d) {
        removed.emplace_back(i - s, std::move(v));
      }
    }
    for (std::uint64_t k = 0; k < inserted; ++k) kept.emplace_back(s + k, a[2 + k]);
    for (auto& [i, v] : slots.entries()) {
      if (i >= s + d) kept.emplace_back(i - d + inserted, std::move(v));
    }
    TLWPValueRef result = newArray(std::move(removed), d, e);
    if (e) return undefinedV();
    slots.assign(std::move(kept), length - d + inserted);
    return result;
  }
  return fail(e, err::kUnknownMethod, "Unknown array method");
}

// ------------------------------------------------------------------ strings

namespace {

icu::UnicodeString unicode(const std::u16string& s) {
  return icu::UnicodeString(s.data(), static_cast<int32_t>(s.size()));
}

std::u16string fromUnicode(const icu::UnicodeString& s) {
  return std::u16string(s.getBuffer(), static_cast<std::size_t>(s.length()));
}

// Where `needle` occurs in `hay` beginning in [from, until]: the first place, or with
// `last` the last one; npos when nowhere. Knuth-Morris-Pratt, so linear in both lengths
// whatever they hold.
std::size_t findText(std::u16string_view hay, std::u16string_view needle, std::size_t from, std::size_t until,
                     bool last, E& e) {
  constexpr std::size_t npos = std::u16string_view::npos;
  const std::size_t n = hay.size(), m = needle.size();
  if (from > n) return npos;
  if (m == 0) return last ? std::min(until, n) : from;
  if (m > n) return npos;
  until = std::min(until, n - m);
  if (from > until) return npos;
  // The table: two units per entry.
  if (!TLWPRunState::chargeCurrent(static_cast<std::int64_t>(2 * m), e)) return npos;
  std::vector<std::uint32_t> border(m, 0);
  for (std::size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = static_cast<std::uint32_t>(k);
  }
  std::size_t found = npos;
  std::size_t i = from;
  for (std::size_t k = 0, end = until + m; i < end; ++i) {
    while (k > 0 && hay[i] != needle[k]) k = border[k - 1];
    if (hay[i] == needle[k]) ++k;
    if (k == m) {
      found = i + 1 - m;
      if (!last) break;
      k = border[k - 1];
    }
  }
  // Each step moves i on or shortens k, which only i's steps lengthen.
  TLWPRunState::addWork(2 * (m + i - from));
  return found;
}

std::u16string stringArgument(const TLWPValues& a, std::size_t i, E& e) {
  if (i >= a.size()) return u"undefined";
  return a[i]->stringValue(e);
}

// The first match of `pattern` in `s`: its start and end, or nullopt.
std::optional<std::pair<std::int32_t, std::int32_t>> firstMatch(const std::u16string& pattern, const std::u16string& s,
                                                                E& e) {
  TLWPRunState* state = TLWPRunState::current();
  if (!state) {
    e.set(err::kResourceExhausted, "No run in progress");
    return std::nullopt;
  }
  std::shared_ptr<icu::RegexPattern> compiled = state->regex(pattern, e);
  if (!compiled) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString input = unicode(s);
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
  if (U_FAILURE(status)) {
    e.set(status, u_errorName(status), kTLWPRegexErrorDomain);
    return std::nullopt;
  }
  // The engine reads a limit of 0 as none: a spent budget fails before matching.
  const std::int32_t timeLeft = state->regexTimeLeft();
  if (timeLeft <= 0) {
    e.set(U_REGEX_TIME_OUT, u_errorName(U_REGEX_TIME_OUT), kTLWPRegexErrorDomain);
    return std::nullopt;
  }
  matcher->setTimeLimit(timeLeft, status);
  const auto began = std::chrono::steady_clock::now();
  const bool found = matcher->find(status);
  state->addRegexTime(std::chrono::steady_clock::now() - began);
  if (U_FAILURE(status)) {
    e.set(status, u_errorName(status), kTLWPRegexErrorDomain);
    return std::nullopt;
  }
  if (!found) return std::nullopt;
  std::int32_t start = matcher->start(status);
  std::int32_t end = matcher->end(status);
  if (U_FAILURE(status)) {
    e.set(status, u_errorName(status), kTLWPRegexErrorDomain);
    return std::nullopt;
  }
  return std::pair{start, end};
}

TLWPValueRef str(std::u16string s, E& e) {
  if (s.size() > TLWPRunState::kMaxStringLength) return fail(e, err::kResourceExhausted, "String too long");
  if (!TLWPRunState::chargeCurrent(static_cast<std::int64_t>(s.size()), e)) return undefinedV();
  return tlwp::string(std::move(s));
}

TLWPValueRef caseMapped(const std::u16string& s, bool upper, bool locale, E& e) {
  icu::UnicodeString u = unicode(s);
  const icu::Locale& where = locale ? icu::Locale::getDefault() : icu::Locale::getRoot();
  if (upper) {
    u.toUpper(where);
  } else {
    u.toLower(where);
  }
  return str(fromUnicode(u), e);
}

}  // namespace

TLWPValueRef TLWPEvaluator::applyStringMethod(const std::u16string& s, const std::u16string& name,
                                              const TLWPValues& a, TLWPError& e) {
  const double length = static_cast<double>(s.size());
  // Every string method may scan the string (searches, case mapping, splitting).
  TLWPRunState::addWork(s.size() + 1);
  if (name == u"charAt") {
    if (wrongCount(a, 0, 1, e)) return undefinedV();
    double position = integerArgument(a, 0, 0, e);
    if (e) return undefinedV();
    if (position < 0 || position >= length) return tlwp::string(std::u16string());
    return tlwp::string(std::u16string(1, s[static_cast<std::size_t>(position)]));
  }
  if (name == u"concat") {
    std::u16string out = s;
    for (const auto& arg : a) {
      out += arg->stringValue(e);
      if (e) return undefinedV();
      if (out.size() > TLWPRunState::kMaxStringLength) return fail(e, err::kResourceExhausted, "String too long");
    }
    return str(std::move(out), e);
  }
  if (name == u"hasOwnProperty") {
    if (wrongCount(a, 1, 1, e)) return undefinedV();
    std::u16string key = a[0]->stringValue(e);
    if (e) return undefinedV();
    if (key == u"length") return TLWPRuntimeValue::booleanValue(true);
    double d = a[0]->doubleValue(e);
    if (e) return undefinedV();
    return TLWPRuntimeValue::booleanValue(d >= 0 && d == std::trunc(d) && d < length);
  }
  if (name == u"indexOf" || name == u"lastIndexOf") {
    if (wrongCount(a, 0, 2, e)) return undefinedV();
    std::u16string search = stringArgument(a, 0, e);
    if (e) return undefinedV();
    if (name == u"indexOf") {
      double start = std::clamp(integerArgument(a, 1, 0, e), 0.0, length);
      if (e) return undefinedV();
      auto at = findText(s, search, static_cast<std::size_t>(start), s.size(), false, e);
      if (e) return undefinedV();
      return num(at == std::u16string::npos ? -1 : static_cast<double>(at));
    }
    double start = length;
    if (a.size() == 2) {
      double d = a[1]->doubleValue(e);
      if (e) return undefinedV();
      if (d == d) start = tlwp::toInteger(d);
    }
    start = std::clamp(start, 0.0, length);
    auto at = findText(s, search, 0, static_cast<std::size_t>(start), true, e);
    if (e) return undefinedV();
    return num(at == std::u16string::npos ? -1 : static_cast<double>(at));
  }
  if (name == u"match" || name == u"search") {
    if (wrongCount(a, 0, 1, e)) return undefinedV();
    std::u16string pattern = name == u"search" ? stringArgument(a, 0, e) : (a.empty() ? u"" : a[0]->stringValue(e));
    if (e) return undefinedV();
    if (pattern.empty()) {
      if (name == u"search") return num(0);
      return TLWPArrayValue::make({tlwp::string(std::u16string())});
    }
    auto match = firstMatch(pattern, s, e);
    if (e) return undefinedV();
    if (name == u"search") return num(match ? match->first : -1);
    if (!match) return TLWPRuntimeValue::nullValue();
    return TLWPArrayValue::make(
        {tlwp::string(s.substr(static_cast<std::size_t>(match->first),
                               static_cast<std::size_t>(match->second - match->first)))});
  }
  if (name == u"replace") {
    if (wrongCount(a, 0, 2, e)) return undefinedV();
    std::u16string search = stringArgument(a, 0, e);
    if (e) return undefinedV();
    auto at = findText(s, search, 0, s.size(), false, e);
    if (e) return undefinedV();
    if (at == std::u16string::npos) return tlwp::string(s);
    std::u16string replacement;
    if (a.size() == 2 && a[1]->isFunction()) {
      TLWPValueRef r = static_cast<TLWPFunctionValue&>(*a[1]).invokeWithEvaluatedArguments(
          {tlwp::string(search), num(static_cast<double>(at)), tlwp::string(s)}, e);
      if (e) return undefinedV();
      replacement = r->stringValue(e);
    } else {
      replacement = stringArgument(a, 1, e);
    }
    if (e) return undefinedV();
    std::u16string out = s.substr(0, at) + replacement + s.substr(at + search.size());
    return str(std::move(out), e);
  }
  if (name == u"slice" || name == u"substring") {
    if (wrongCount(a, 0, 2, e)) return undefinedV();
    double start = integerArgument(a, 0, 0, e);
    double end = integerArgument(a, 1, length, e);
    if (e) return undefinedV();
    if (name == u"slice") {
      start = relative(start, length, 0);
      end = relative(end, length, 0);
      if (end <= start) return tlwp::string(std::u16string());
    } else {
      start = std::clamp(start, 0.0, length);
      end = std::clamp(end, 0.0, length);
      if (start > end) std::swap(start, end);
    }
    return str(s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)), e);
  }
  if (name == u"split") {
    if (wrongCount(a, 0, 2, e)) return undefinedV();
    if (a.empty()) return TLWPArrayValue::make({tlwp::string(s)});
    std::u16string separator = a[0]->stringValue(e);
    if (e) return undefinedV();
    std::uint64_t limit = kMaxLength;
    if (a.size() == 2) {
      double d = a[1]->doubleValue(e);
      if (e) return undefinedV();
      limit = tlwp::toUInt32(d);
    }
    if (limit == 0) return TLWPArrayValue::make();
    if (s.empty()) return TLWPArrayValue::make({tlwp::string(s)});
    TLWPValues pieces;
    // Each piece is charged before it is made.
    auto add = [&](std::u16string piece) {
      if (!TLWPRunState::chargeSlots(1, e) ||
          !TLWPRunState::chargeCurrent(static_cast<std::int64_t>(piece.size()), e)) {
        return false;
      }
      pieces.push_back(tlwp::string(std::move(piece)));
      return true;
    };
    if (separator.empty()) {
      for (std::size_t i = 0; i < s.size() && pieces.size() < limit; ++i) {
        if (!add(std::u16string(1, s[i]))) return undefinedV();
      }
    } else {
      std::size_t from = 0;
      while (pieces.size() < limit) {
        auto at = findText(s, separator, from, s.size(), false, e);
        if (e) return undefinedV();
        if (at == std::u16string::npos) {
          if (!add(s.substr(from))) return undefinedV();
          break;
        }
        if (!add(s.substr(from, at - from))) return undefinedV();
        from = at + separator.size();
      }
    }
    return TLWPArrayValue::make(std::move(pieces));
  }
  if (name == u"toLowerCase" || name == u"toUpperCase" || name == u"toLocaleLowerCase" ||
      name == u"toLocaleUpperCase") {
    if (wrongCount(a, 0, 0, e)) return undefinedV();
    return caseMapped(s, name.find(u"Upper") != std::u16string::npos, name.starts_with(u"toLocale"), e);
  }
  if (name == u"toString") {
    if (wrongCount(a, 0, 0, e)) return undefinedV();
    return str(s, e);
  }
  if (name == u"trim") {
    if (wrongCount(a, 0, 0, e)) return undefinedV();
    return str(std::u16string(tlwp::trim(s)), e);
  }
  return fail(e, err::kUnknownMethod, "Unknown string method");
}
