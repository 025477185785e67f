#include "measurement/script/TLWPRuntimeValue.h"

#include <unicode/numberformatter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "measurement/script/TLWPEvaluator.h"
#include "measurement/script/TLWPRunState.h"
#include "platform/Value.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Nested arrays deeper than this do not convert to a string.
constexpr int kMaxStringConversionDepth = 256;
// A map switches to a hash index past this many names.
constexpr std::size_t kLinearSearchLimit = 8;
// A dense array grows over a hole of at most this many slots (or its own size).
constexpr std::uint64_t kDenseGap = 64;

template <class T>
std::shared_ptr<T> tracked(std::shared_ptr<T> container) {
  TLWPRunState::track(container);
  return container;
}

}  // namespace

TLWError TLWPError::asError() const {
  platform::Dictionary info;
  if (!message.empty()) info.set(std::string(kTLWLocalizedDescriptionKey), message);
  return TLWError(domain.empty() ? std::string(kTLWPErrorDomain) : domain, code, std::move(info));
}

// ------------------------------------------------------------------ base and scalars

std::u16string TLWPRuntimeValue::stringValue(TLWPError& error) const {
  error.set(tlwp_error::kNotString, "Value cannot be converted to a string");
  return {};
}

double TLWPRuntimeValue::doubleValue(TLWPError& error) const {
  error.set(tlwp_error::kNotNumber, "Value cannot be converted to a number");
  return kNaN;
}

bool TLWPRuntimeValue::booleanValue(TLWPError& error) const {
  error.set(tlwp_error::kNotBoolean, "Value cannot be converted to a boolean");
  return false;
}

const TLWPValueRef& TLWPRuntimeValue::undefinedValue() {
  static const TLWPValueRef& value = *new TLWPValueRef(std::make_shared<TLWPUndefinedValue>());
  return value;
}

const TLWPValueRef& TLWPRuntimeValue::nullValue() {
  static const TLWPValueRef& value = *new TLWPValueRef(std::make_shared<TLWPNullValue>());
  return value;
}

const TLWPValueRef& TLWPRuntimeValue::booleanValue(bool b) {
  static const TLWPValueRef& t = *new TLWPValueRef(std::make_shared<TLWPBooleanValue>(true));
  static const TLWPValueRef& f = *new TLWPValueRef(std::make_shared<TLWPBooleanValue>(false));
  return b ? t : f;
}

const TLWPValueRef& TLWPRuntimeValue::emptyValue() {
  static const TLWPValueRef& value = *new TLWPValueRef(std::make_shared<TLWPRuntimeValue>());
  return value;
}

std::u16string TLWPStringValue::stringValue(TLWPError&) const {
  TLWPRunState::addWork(value.size());
  return value;
}

double TLWPStringValue::doubleValue(TLWPError&) const { return tlwp::stringToNumber(value); }

bool TLWPStringValue::isEqualToRuntimeValue(const TLWPRuntimeValue& other) const {
  return other.isString() && static_cast<const TLWPStringValue&>(other).value == value;
}

std::u16string TLWPNumberValue::stringValue(TLWPError&) const { return tlwp::numberToString(value); }

bool TLWPNumberValue::isEqualToRuntimeValue(const TLWPRuntimeValue& other) const {
  if (!other.isNumber()) return false;
  double o = static_cast<const TLWPNumberValue&>(other).value;
  return o == value || (o != o && value != value);
}

double TLWPUndefinedValue::doubleValue(TLWPError&) const { return kNaN; }

// ------------------------------------------------------------------ property map

const TLWPPropertyMap::Entry* TLWPPropertyMap::entry(std::u16string_view name) const {
  if (!index_.empty()) {
    auto it = index_.find(std::u16string(name));
    return it == index_.end() ? nullptr : &entries_[it->second];
  }
  for (const Entry& e : entries_) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

TLWPPropertyMap::Entry* TLWPPropertyMap::entry(std::u16string_view name) {
  return const_cast<Entry*>(static_cast<const TLWPPropertyMap*>(this)->entry(name));
}

const TLWPValueRef* TLWPPropertyMap::find(std::u16string_view name) const {
  const Entry* e = entry(name);
  return e ? &e->value : nullptr;
}

TLWPValueRef TLWPPropertyMap::valueForName(std::u16string_view name) const {
  const Entry* e = entry(name);
  return e ? e->value : TLWPRuntimeValue::undefinedValue();
}

void TLWPPropertyMap::setValue(std::u16string_view name, TLWPValueRef value) {
  if (immutable_) return;
  if (Entry* e = entry(name)) {
    if (!e->immutable) e->value = std::move(value);
    return;
  }
  entries_.push_back(Entry{std::u16string(name), std::move(value), false});
  if (!index_.empty()) {
    index_.emplace(entries_.back().name, static_cast<std::uint32_t>(entries_.size() - 1));
  } else if (entries_.size() > kLinearSearchLimit) {
    rebuildIndex();
  }
}

void TLWPPropertyMap::setImmutableValue(std::u16string_view name, TLWPValueRef value) {
  if (immutable_) return;
  if (Entry* e = entry(name)) {
    if (e->immutable) return;
    e->value = std::move(value);
    e->immutable = true;
    return;
  }
  setValue(name, std::move(value));
  entry(name)->immutable = true;
}

void TLWPPropertyMap::removeValue(std::u16string_view name) {
  if (immutable_) return;
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; });
  if (it == entries_.end() || it->immutable) return;
  entries_.erase(it);
  if (!index_.empty()) rebuildIndex();
}

void TLWPPropertyMap::rebuildIndex() {
  index_.clear();
  if (entries_.size() <= kLinearSearchLimit) return;
  for (std::uint32_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].name, i);
}

std::vector<std::u16string> TLWPPropertyMap::allNames() const {
  std::vector<std::u16string> names;
  names.reserve(entries_.size());
  for (const Entry& e : entries_) names.push_back(e.name);
  return names;
}

void TLWPPropertyMap::trace(std::vector<TLWPTraceable*>& visit) const {
  for (const Entry& e : entries_) visit.push_back(e.value.get());
}

namespace {

std::int64_t stringUnits(const TLWPRuntimeValue* v) {
  return v && v->isString() ? static_cast<std::int64_t>(static_cast<const TLWPStringValue&>(*v).value.size()) : 0;
}

}  // namespace

std::int64_t TLWPPropertyMap::footprint() const {
  std::int64_t units = 0;
  for (const Entry& e : entries_) {
    units += TLWPRunState::kSlotWeight + static_cast<std::int64_t>(e.name.size()) + stringUnits(e.value.get());
  }
  return units;
}

void TLWPPropertyMap::clear() {
  // Moved out first: releasing a value may reach back into this map.
  std::vector<Entry> old;
  old.swap(entries_);
  index_.clear();
}

// ------------------------------------------------------------------ scope

std::shared_ptr<TLWPScope> TLWPScope::make(std::shared_ptr<TLWPScope> parent) {
  return tracked(std::make_shared<TLWPScope>(std::move(parent)));
}

bool TLWPScope::hasName(std::u16string_view name) const {
  for (const TLWPScope* s = this; s; s = s->parent_.get()) {
    if (s->map_.hasName(name)) return true;
  }
  return false;
}

void TLWPScope::addValue(std::u16string_view name, TLWPValueRef value) { map_.setValue(name, std::move(value)); }

void TLWPScope::addImmutableValue(std::u16string_view name, TLWPValueRef value) {
  map_.setImmutableValue(name, std::move(value));
}

void TLWPScope::setValue(std::u16string_view name, TLWPValueRef value) {
  for (TLWPScope* s = this; s; s = s->parent_.get()) {
    if (s->map_.hasName(name)) {
      s->map_.setValue(name, std::move(value));
      return;
    }
  }
  map_.setValue(name, std::move(value));
}

TLWPValueRef TLWPScope::valueForName(std::u16string_view name) const {
  for (const TLWPScope* s = this; s; s = s->parent_.get()) {
    if (const TLWPValueRef* v = s->map_.find(name)) return *v;
  }
  return TLWPRuntimeValue::undefinedValue();
}

std::shared_ptr<TLWPScope> TLWPScope::createChildScope() {
  return make(shared_from_this());
}

void TLWPScope::trace(std::vector<TLWPTraceable*>& visit) const {
  if (parent_) visit.push_back(parent_.get());
  map_.trace(visit);
}

void TLWPScope::clearContents() {
  map_.clear();
  auto parent = std::move(parent_);
  parent_.reset();
}

// ------------------------------------------------------------------ array slots

TLWPRuntimeValue* TLWPArraySlots::get(std::uint64_t index) const {
  if (index >= length_) return nullptr;
  if (index < dense_.size()) return dense_[index].get();
  auto it = sparse_.find(index);
  return it == sparse_.end() ? nullptr : it->second.get();
}

TLWPValueRef TLWPArraySlots::getRef(std::uint64_t index) const {
  if (index >= length_) return nullptr;
  if (index < dense_.size()) return dense_[index];
  auto it = sparse_.find(index);
  return it == sparse_.end() ? nullptr : it->second;
}

void TLWPArraySlots::set(std::uint64_t index, TLWPValueRef value) {
  if (index < dense_.size()) {
    dense_[index] = std::move(value);
    return;
  }
  const bool denseForm = sparse_.empty() && dense_.size() == length_;
  if (denseForm && index - dense_.size() <= std::max<std::uint64_t>(kDenseGap, dense_.size())) {
    dense_.resize(index + 1);
    dense_[index] = std::move(value);
    length_ = index + 1;
    return;
  }
  sparse_[index] = std::move(value);
  length_ = std::max(length_, index + 1);
}

std::uint64_t TLWPArraySlots::growthOfSet(std::uint64_t index) const {
  if (index < dense_.size()) return 0;
  const bool denseForm = sparse_.empty() && dense_.size() == length_;
  if (denseForm && index - dense_.size() <= std::max<std::uint64_t>(kDenseGap, dense_.size())) {
    return index + 1 - dense_.size();
  }
  return 1;
}

std::uint64_t TLWPArraySlots::growthOfLength(std::uint64_t length) const {
  if (length > length_ && sparse_.empty() && dense_.size() == length_ &&
      length - length_ <= std::max<std::uint64_t>(kDenseGap, length_)) {
    return length - length_;
  }
  return 0;
}

std::int64_t TLWPArraySlots::footprint() const {
  // A sparse slot is a tree node: several slots' worth.
  std::int64_t units = static_cast<std::int64_t>(dense_.size() + 6 * sparse_.size()) * TLWPRunState::kSlotWeight;
  for (const auto& v : dense_) units += stringUnits(v.get());
  for (const auto& [i, v] : sparse_) units += stringUnits(v.get());
  return units;
}

void TLWPArraySlots::erase(std::uint64_t index) {
  if (index < dense_.size()) {
    dense_[index].reset();
  } else {
    sparse_.erase(index);
  }
}

void TLWPArraySlots::setLength(std::uint64_t length) {
  if (length < length_) {
    if (dense_.size() > length) dense_.resize(length);
    sparse_.erase(sparse_.lower_bound(length), sparse_.end());
  } else if (length > length_ && sparse_.empty() && dense_.size() == length_ &&
             length - length_ <= std::max<std::uint64_t>(kDenseGap, length_)) {
    dense_.resize(length);
  }
  length_ = length;
}

std::optional<std::uint64_t> TLWPArraySlots::nextPresent(std::uint64_t from) const {
  for (std::uint64_t i = from; i < dense_.size(); ++i) {
    if (dense_[i]) {
      TLWPRunState::addWork(i - from + 1);
      return i;
    }
  }
  TLWPRunState::addWork(from < dense_.size() ? dense_.size() - from : 1);
  auto it = sparse_.lower_bound(std::max<std::uint64_t>(from, dense_.size()));
  if (it != sparse_.end()) return it->first;
  return std::nullopt;
}

std::optional<std::uint64_t> TLWPArraySlots::previousPresent(std::uint64_t from) const {
  if (length_ == 0) return std::nullopt;
  from = std::min(from, length_ - 1);
  if (from >= dense_.size()) {
    auto it = sparse_.upper_bound(from);
    if (it != sparse_.begin()) {
      --it;
      if (it->first >= dense_.size()) return it->first;
    }
    if (dense_.empty()) return std::nullopt;
    from = dense_.size() - 1;
  }
  for (std::uint64_t i = from + 1; i-- > 0;) {
    if (dense_[i]) {
      TLWPRunState::addWork(from - i + 1);
      return i;
    }
  }
  TLWPRunState::addWork(from + 1);
  return std::nullopt;
}

std::size_t TLWPArraySlots::presentCount() const {
  TLWPRunState::addWork(dense_.size());
  std::size_t n = sparse_.size();
  for (const auto& v : dense_) n += v ? 1 : 0;
  return n;
}

std::vector<std::pair<std::uint64_t, TLWPValueRef>> TLWPArraySlots::entries() const {
  TLWPRunState::addWork(dense_.size() + sparse_.size());
  std::vector<std::pair<std::uint64_t, TLWPValueRef>> out;
  out.reserve(dense_.size() + sparse_.size());
  for (std::uint64_t i = 0; i < dense_.size(); ++i) {
    if (dense_[i]) out.emplace_back(i, dense_[i]);
  }
  for (const auto& [i, v] : sparse_) out.emplace_back(i, v);
  return out;
}

void TLWPArraySlots::assign(std::vector<std::pair<std::uint64_t, TLWPValueRef>> entries, std::uint64_t length) {
  dense_.clear();
  sparse_.clear();
  length_ = length;
  if (length <= 2 * entries.size() + kDenseGap) {
    dense_.resize(length);
    for (auto& [i, v] : entries) dense_[i] = std::move(v);
  } else {
    for (auto& [i, v] : entries) sparse_.emplace_hint(sparse_.end(), i, std::move(v));
  }
}

void TLWPArraySlots::trace(std::vector<TLWPTraceable*>& visit) const {
  for (const auto& v : dense_) {
    if (v) visit.push_back(v.get());
  }
  for (const auto& [i, v] : sparse_) visit.push_back(v.get());
}

void TLWPArraySlots::clear() {
  std::vector<TLWPValueRef> dense;
  dense.swap(dense_);
  std::map<std::uint64_t, TLWPValueRef> sparse;
  sparse.swap(sparse_);
  length_ = 0;
}

// ------------------------------------------------------------------ arrays

std::shared_ptr<TLWPArrayValue> TLWPArrayValue::make() { return tracked(std::make_shared<TLWPArrayValue>()); }

std::shared_ptr<TLWPArrayValue> TLWPArrayValue::make(TLWPValues elements) {
  auto array = make();
  for (auto& e : elements) array->slots.append(std::move(e));
  return array;
}

namespace {

// Arrays being converted on this thread: a cycle converts to the empty string.
thread_local std::vector<const TLWPArrayValue*> tConverting;

}  // namespace

std::u16string TLWPArrayValue::stringValue(TLWPError& error) const {
  return tlwp::joinArray(*this, u",", error);
}

double TLWPArrayValue::doubleValue(TLWPError& error) const {
  std::u16string s = stringValue(error);
  return error ? kNaN : tlwp::stringToNumber(s);
}

namespace {

enum class PropertyClass { Length, Index, Name };

PropertyClass classify(const TLWPRuntimeValue& property, double* index) {
  if (property.isString() && static_cast<const TLWPStringValue&>(property).value == u"length") {
    return PropertyClass::Length;
  }
  if (auto i = tlwp::arrayIndex(property)) {
    *index = *i;
    return PropertyClass::Index;
  }
  return PropertyClass::Name;
}

}  // namespace

TLWPValueRef TLWPArrayValue::valueForProperty(const TLWPRuntimeValue& property, TLWPError& error) const {
  double index = 0;
  switch (classify(property, &index)) {
    case PropertyClass::Length:
      return tlwp::number(static_cast<double>(slots.length()));
    case PropertyClass::Index: {
      if (index >= static_cast<double>(slots.length())) return undefinedValue();
      TLWPValueRef v = slots.getRef(static_cast<std::uint64_t>(index));
      return v ? v : undefinedValue();
    }
    case PropertyClass::Name:
      break;
  }
  std::u16string name = property.stringValue(error);
  if (error) return undefinedValue();
  return properties.valueForName(name);
}

void TLWPArrayValue::setValueForProperty(const TLWPRuntimeValue& property, TLWPValueRef value, TLWPError& error) {
  double index = 0;
  switch (classify(property, &index)) {
    case PropertyClass::Length: {
      auto length = tlwp::arrayIndex(*value);
      if (!length || *length > static_cast<double>(TLWPArraySlots::kMaxLength)) {
        error.set(tlwp_error::kInvalidLength, "Invalid array length");
        return;
      }
      const auto newLength = static_cast<std::uint64_t>(*length);
      if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(slots.growthOfLength(newLength)), error)) return;
      slots.setLength(newLength);
      return;
    }
    case PropertyClass::Index:
      if (index >= static_cast<double>(TLWPArraySlots::kMaxLength)) {
        error.set(tlwp_error::kInvalidLength, "Array index out of range");
        return;
      }
      if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(slots.growthOfSet(static_cast<std::uint64_t>(index))),
                                     error)) {
        return;
      }
      slots.set(static_cast<std::uint64_t>(index), std::move(value));
      return;
    case PropertyClass::Name:
      break;
  }
  std::u16string name = property.stringValue(error);
  if (error) return;
  if (!TLWPRunState::chargeSlots(1, error)) return;
  properties.setValue(name, std::move(value));
}

void TLWPArrayValue::removeValueForProperty(const TLWPRuntimeValue& property, TLWPError& error) {
  double index = 0;
  switch (classify(property, &index)) {
    case PropertyClass::Length:
      return;
    case PropertyClass::Index:
      if (index < static_cast<double>(slots.length())) slots.erase(static_cast<std::uint64_t>(index));
      return;
    case PropertyClass::Name:
      break;
  }
  std::u16string name = property.stringValue(error);
  if (!error) properties.removeValue(name);
}

bool TLWPArrayValue::hasProperty(const TLWPRuntimeValue& property, TLWPError& error) const {
  double index = 0;
  switch (classify(property, &index)) {
    case PropertyClass::Length:
      return properties.hasName(u"length");
    case PropertyClass::Index:
      return index < static_cast<double>(slots.length()) && slots.get(static_cast<std::uint64_t>(index));
    case PropertyClass::Name:
      break;
  }
  std::u16string name = property.stringValue(error);
  return !error && properties.hasName(name);
}

std::vector<std::u16string> TLWPArrayValue::allPropertyNames() const {
  std::vector<std::u16string> names = properties.allNames();
  for (std::optional<std::uint64_t> i = slots.nextPresent(0); i; i = slots.nextPresent(*i + 1)) {
    names.push_back(tlwp::numberToString(static_cast<double>(*i)));
  }
  return names;
}

TLWPValues TLWPArrayValue::allElements(TLWPError& error) const {
  if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(slots.length()), error)) return {};
  TLWPRunState::addWork(static_cast<std::size_t>(slots.length()));
  TLWPValues out;
  out.reserve(static_cast<std::size_t>(slots.length()));
  for (std::uint64_t i = 0; i < slots.length(); ++i) {
    TLWPValueRef v = slots.getRef(i);
    out.push_back(v ? std::move(v) : undefinedValue());
  }
  return out;
}

void TLWPArrayValue::trace(std::vector<TLWPTraceable*>& visit) const {
  slots.trace(visit);
  properties.trace(visit);
}

void TLWPArrayValue::clearContents() {
  slots.clear();
  properties.clear();
}

// ------------------------------------------------------------------ maps and functions

std::shared_ptr<TLWPMapValue> TLWPMapValue::make() { return tracked(std::make_shared<TLWPMapValue>()); }

double TLWPMapValue::doubleValue(TLWPError&) const { return kNaN; }

TLWPFunctionValue::TLWPFunctionValue(std::u16string name, std::vector<std::u16string> parameterNames,
                                     TLWPValues statements, std::shared_ptr<TLWPScope> scope)
    : TLWPRuntimeValue(TLWPKind::Function),
      name_(std::move(name)),
      parameterNames_(std::move(parameterNames)),
      statements_(std::move(statements)),
      scope_(std::move(scope)) {}

std::shared_ptr<TLWPFunctionValue> TLWPFunctionValue::make(std::u16string name,
                                                           std::vector<std::u16string> parameterNames,
                                                           TLWPValues statements, std::shared_ptr<TLWPScope> scope) {
  return tracked(std::make_shared<TLWPFunctionValue>(std::move(name), std::move(parameterNames),
                                                     std::move(statements), std::move(scope)));
}

double TLWPFunctionValue::doubleValue(TLWPError&) const { return kNaN; }

TLWPValueRef TLWPFunctionValue::invokeWithArguments(const TLWPValues& arguments,
                                                    const std::shared_ptr<TLWPScope>& scope, TLWPError& error) {
  TLWPValues evaluated;
  evaluated.reserve(arguments.size());
  for (const auto& argument : arguments) {
    evaluated.push_back(TLWPEvaluator::evaluateStatement(argument, scope, error));
    if (error) return undefinedValue();
  }
  return invokeWithEvaluatedArguments(evaluated, error);
}

TLWPValueRef TLWPFunctionValue::invokeWithEvaluatedArguments(const TLWPValues& arguments, TLWPError& error) {
  TLWPRunState* state = TLWPRunState::current();
  if (!state) {
    error.set(tlwp_error::kResourceExhausted, "No run in progress");
    return undefinedValue();
  }
  if (state->callDepth >= TLWPRunState::kMaxCallDepth) {
    error.set(tlwp_error::kResourceExhausted, "Call depth exhausted");
    return undefinedValue();
  }
  // Methods call back without a statement of their own: each call is an instruction.
  if (!state->countInstruction(error)) return undefinedValue();
  struct DepthGuard {
    TLWPRunState* s;
    ~DepthGuard() { --s->callDepth; }
  } guard{state};
  ++state->callDepth;
  auto scope = TLWPScope::make(scope_);
  for (std::size_t i = 0; i < parameterNames_.size(); ++i) {
    scope->addValue(parameterNames_[i], i < arguments.size() ? arguments[i] : undefinedValue());
  }
  TLWPValueRef result = TLWPEvaluator::executeStatements(statements_, scope, error);
  if (error) return undefinedValue();
  if (result->isControl()) {
    const auto& control = static_cast<const TLWPControlValue&>(*result);
    if (control.type == TLWPControlValue::Type::Return) return control.data;
  }
  return result;
}

void TLWPFunctionValue::trace(std::vector<TLWPTraceable*>& visit) const {
  if (scope_) visit.push_back(scope_.get());
  properties.trace(visit);
}

std::int64_t TLWPFunctionValue::footprint() const {
  return properties.footprint() + static_cast<std::int64_t>(name_.size()) +
         static_cast<std::int64_t>(parameterNames_.size() + statements_.size()) * TLWPRunState::kSlotWeight;
}

void TLWPFunctionValue::clearContents() {
  properties.clear();
  auto scope = std::move(scope_);
  scope_.reset();
}

// ------------------------------------------------------------------ statements

namespace {

int parseOpcode(std::u16string_view op) {
  if (op.empty() || op.size() > 2) return -1;
  int n = 0;
  for (char16_t c : op) {
    if (c < u'0' || c > u'9') return -1;
    n = n * 10 + (c - u'0');
  }
  if (op.size() == 2 && op[0] == u'0') return -1;
  return TLWPEvaluator::isRegisteredOpcode(n) ? n : -1;
}

}  // namespace

TLWPStatementValue::TLWPStatementValue(std::u16string op, TLWPValues args)
    : TLWPRuntimeValue(TLWPKind::Statement),
      operation(std::move(op)),
      opcode(parseOpcode(operation)),
      arguments(std::move(args)) {}

// ------------------------------------------------------------------ conversions

namespace tlwp {

TLWPValueRef number(double d) { return std::make_shared<TLWPNumberValue>(d); }
TLWPValueRef string(std::u16string s) { return std::make_shared<TLWPStringValue>(std::move(s)); }
TLWPValueRef string(std::string_view s) { return string(utf16(s)); }

std::u16string numberToString(double d) {
  if (d != d) return u"NaN";
  if (std::isinf(d)) return d > 0 ? u"Infinity" : u"-Infinity";
  if (d == 0) return u"0";
  // Integers that fit a double exactly print the same through ICU; skip it for them.
  if (std::fabs(d) < 9007199254740992.0 && d == std::trunc(d)) {
    char buffer[32];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(d)).ptr;
    return std::u16string(buffer, end);
  }
  using namespace icu::number;
  // Never destroyed: library threads may still use it while the process exits.
  static const LocalizedNumberFormatter& decimal =
      *new LocalizedNumberFormatter(NumberFormatter::withLocale(icu::Locale("en_US"))
                                        .precision(Precision::maxSignificantDigits(17))
                                        .roundingMode(UNUM_ROUND_HALFUP)
                                        .grouping(UNUM_GROUPING_OFF));
  static const LocalizedNumberFormatter& scientific =
      *new LocalizedNumberFormatter(decimal.notation(Notation::scientific()));
  const double magnitude = std::fabs(d);
  const bool useScientific = magnitude >= 1e21 || magnitude < 1e-6;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString formatted =
      (useScientific ? scientific : decimal).formatDouble(d, status).toString(status);
  if (U_FAILURE(status)) return u"NaN";
  std::u16string out;
  out.reserve(static_cast<std::size_t>(formatted.length()) + 1);
  for (int32_t i = 0; i < formatted.length(); ++i) {
    char16_t c = formatted.charAt(i);
    if (c == u',') continue;
    if (c == u'E') {
      out += u'e';
      if (i + 1 < formatted.length() && formatted.charAt(i + 1) != u'-') out += u'+';
      continue;
    }
    out += c;
  }
  return out;
}

bool isSpace(char16_t c) {
  return c == u' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || u_isUWhiteSpace(c) || u_charType(c) == U_SPACE_SEPARATOR;
}

std::u16string_view trim(std::u16string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

double stringToNumber(std::u16string_view input) {
  std::u16string_view s = trim(input);
  if (s.empty()) return 0;
  if (s == u"NaN") return kNaN;
  if (s == u"Infinity") return std::numeric_limits<double>::infinity();
  if (s == u"-Infinity") return -std::numeric_limits<double>::infinity();
  if (s.size() > 512) return kNaN;
  // A decimal number, nothing else: [+-] digits [. digits] [e [+-] digits].
  std::string ascii;
  ascii.reserve(s.size());
  std::size_t i = 0;
  bool negative = false;
  if (s[i] == u'+' || s[i] == u'-') negative = s[i++] == u'-';
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') ascii += static_cast<char>(s[i++]), ++digits;
  if (i < s.size() && s[i] == u'.') {
    ascii += '.';
    ++i;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') ascii += static_cast<char>(s[i++]), ++digits;
  }
  if (digits == 0) return kNaN;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
    ascii += 'e';
    ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ascii += static_cast<char>(s[i++]);
    std::size_t exponentDigits = 0;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') ascii += static_cast<char>(s[i++]), ++exponentDigits;
    if (exponentDigits == 0) return kNaN;
  }
  if (i != s.size()) return kNaN;
  double value = 0;
  auto [ptr, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Overflow saturates, underflow goes to zero, as a scanner would.
    bool tiny = ascii.find("e-") != std::string::npos;
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (ec != std::errc() || ptr != ascii.data() + ascii.size()) {
    return kNaN;
  }
  return negative ? -value : value;
}

std::int32_t toInt32(double d) {
  if (d != d || std::isinf(d)) return 0;
  double r = std::fmod(std::trunc(d), 4294967296.0);
  if (r >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (r <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(r);
}

std::uint32_t toUInt32(double d) { return static_cast<std::uint32_t>(toInt32(d)); }

double toInteger(double d) {
  if (d != d) return 0;
  if (d == 0 || std::isinf(d)) return d;
  return std::trunc(d);
}

std::optional<double> arrayIndex(const TLWPRuntimeValue& value) {
  double d;
  if (value.isNumber()) {
    d = static_cast<const TLWPNumberValue&>(value).value;
  } else if (value.isString()) {
    d = stringToNumber(static_cast<const TLWPStringValue&>(value).value);
  } else {
    return std::nullopt;
  }
  if (!std::isfinite(d) || d < 0 || d != std::trunc(d)) return std::nullopt;
  return d == 0 ? 0.0 : d;
}

bool strictEquals(const TLWPRuntimeValue& a, const TLWPRuntimeValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case TLWPKind::Number:
      return static_cast<const TLWPNumberValue&>(a).value == static_cast<const TLWPNumberValue&>(b).value;
    case TLWPKind::Boolean:
      return static_cast<const TLWPBooleanValue&>(a).value == static_cast<const TLWPBooleanValue&>(b).value;
    case TLWPKind::String: {
      const auto& x = static_cast<const TLWPStringValue&>(a).value;
      const auto& y = static_cast<const TLWPStringValue&>(b).value;
      TLWPRunState::addWork(std::min(x.size(), y.size()));
      return x == y;
    }
    case TLWPKind::Null:
    case TLWPKind::Undefined:
      return true;
    default:
      return &a == &b;
  }
}

namespace {

int equalityRank(const TLWPRuntimeValue& v) {
  switch (v.kind()) {
    case TLWPKind::Null:
    case TLWPKind::Undefined:
      return 0;
    case TLWPKind::Number:
    case TLWPKind::Boolean:
      return 1;
    case TLWPKind::String:
      return 2;
    default:
      return 3;
  }
}

}  // namespace

bool looseEquals(const TLWPRuntimeValue& a, const TLWPRuntimeValue& b, TLWPError& error) {
  int ra = equalityRank(a), rb = equalityRank(b);
  if (ra == rb) {
    switch (ra) {
      case 0:
        return true;
      case 1:
        return a.doubleValue(error) == b.doubleValue(error);
      case 2:
        return static_cast<const TLWPStringValue&>(a).value == static_cast<const TLWPStringValue&>(b).value;
      default:
        return &a == &b;
    }
  }
  if ((ra == 1 && rb == 2) || (ra == 2 && rb == 1)) return a.doubleValue(error) == b.doubleValue(error);
  return false;
}

bool lessThan(const TLWPRuntimeValue& a, const TLWPRuntimeValue& b, bool orEqual, TLWPError& error) {
  if (a.isStringLike() && b.isStringLike()) {
    std::u16string sa = a.stringValue(error);
    std::u16string sb = b.stringValue(error);
    if (error) return false;
    return orEqual ? sa <= sb : sa < sb;
  }
  double da = a.doubleValue(error);
  double db = b.doubleValue(error);
  if (error) return false;
  return orEqual ? da <= db : da < db;
}

std::u16string utf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (char32_t cp : platform::utf8::decode(s)) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string utf8(std::u16string_view s) {
  std::u32string cps;
  cps.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    cps += c;
  }
  return platform::utf8::encode(cps);
}

std::u16string joinArray(const TLWPArrayValue& array, std::u16string_view separator, TLWPError& error) {
  if (std::find(tConverting.begin(), tConverting.end(), &array) != tConverting.end()) return {};
  if (tConverting.size() >= kMaxStringConversionDepth) {
    error.set(tlwp_error::kResourceExhausted, "Array nesting too deep to convert");
    return {};
  }
  const std::uint64_t length = array.slots.length();
  if (length > 1 && separator.size() * (length - 1) > TLWPRunState::kMaxStringLength) {
    error.set(tlwp_error::kResourceExhausted, "String too long");
    return {};
  }
  // The separators are charged before they are written, each element's string as it comes.
  if (length > 1 && !TLWPRunState::chargeCurrent(static_cast<std::int64_t>(separator.size() * (length - 1)), error)) {
    return {};
  }
  tConverting.push_back(&array);
  std::u16string out;
  std::uint64_t written = 0;  // separators up to this index are in `out`
  for (std::optional<std::uint64_t> i = array.slots.nextPresent(0); i; i = array.slots.nextPresent(*i + 1)) {
    // An empty separator writes nothing for the holes: they are skipped, not walked.
    if (separator.empty()) written = *i;
    for (; written < *i; ++written) out += separator;
    const TLWPRuntimeValue* v = array.slots.get(*i);
    if (!v->isNullOrUndefined()) {
      std::u16string part = v->stringValue(error);
      if (!error && out.size() + part.size() <= TLWPRunState::kMaxStringLength) {
        (void)TLWPRunState::chargeCurrent(static_cast<std::int64_t>(part.size()), error);
      }
      out += part;
    }
    if (error || out.size() > TLWPRunState::kMaxStringLength) {
      error.set(tlwp_error::kResourceExhausted, "String too long");
      break;
    }
  }
  if (!error && !separator.empty()) {
    for (; written + 1 < length; ++written) out += separator;
  }
  tConverting.pop_back();
  if (error) return {};
  return out;
}

}  // namespace tlwp
