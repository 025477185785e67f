#pragma once
// The values of the program runtime: strings (UTF-16 code units), numbers (double),
// booleans, null, undefined, arrays, maps, functions, statements (unevaluated program
// nodes) and control values (break, continue, return), with the conversions between them,
// property maps and lexical scopes.
//
// Thread-safety: none. A runtime and every value it makes are used from one queue at a
// time; only the shared singletons (undefined, null, true, false, the empty-element
// marker) are touched from several threads, and only through their reference counts.
//
// Ownership: values are std::shared_ptr. Containers that can take part in reference
// cycles (scopes, arrays, maps, functions) are also registered with the run state of the
// runtime that makes them (TLWPRunState), which frees cycles and deep chains without
// recursion (see TLWPRunState::collect).
//
// Failure: conversions and operations fill a TLWPError and return a neutral value; no
// exception is thrown for a program's fault.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/monitor/TLWError.h"

inline constexpr std::string_view kTLWPErrorDomain = "com.vorlix.zel.measurement.zorav.ErrorDomain";
inline constexpr std::string_view kTLWPRegexErrorDomain = "com.vorlix.zel.measurement.zorav.RegexErrorDomain";

// Runtime error codes.
namespace tlwp_error {
inline constexpr std::int64_t kUndeclaredAssignment = 2;
inline constexpr std::int64_t kNotBoolean = 3;
inline constexpr std::int64_t kNotNumber = 4;
inline constexpr std::int64_t kNotString = 5;
inline constexpr std::int64_t kPropertyOnNull = 6;
inline constexpr std::int64_t kMethodOnNull = 7;
inline constexpr std::int64_t kReduceEmpty = 8;
inline constexpr std::int64_t kArgumentCount = 9;
inline constexpr std::int64_t kArgumentType = 10;
inline constexpr std::int64_t kInvalidLength = 11;
inline constexpr std::int64_t kUnknownEntityType = 12;
inline constexpr std::int64_t kNotConvertible = 13;
inline constexpr std::int64_t kNoOperationName = 14;
inline constexpr std::int64_t kModuleCreatorFailed = 15;
inline constexpr std::int64_t kNotIterable = 16;
inline constexpr std::int64_t kUnknownMethod = 17;
// The instruction budget, the depth bound or the memory bound is exhausted.
inline constexpr std::int64_t kResourceExhausted = 18;
}  // namespace tlwp_error

// A failure inside the runtime; empty (code 0) while all is well.
struct TLWPError {
  std::int64_t code = 0;
  std::string domain;
  std::string message;

  bool failed() const { return code != 0; }
  explicit operator bool() const { return failed(); }
  // Keeps the first failure: later ones are consequences of it.
  void set(std::int64_t c, std::string_view text, std::string_view d = kTLWPErrorDomain) {
    if (code != 0) return;
    code = c;
    domain = std::string(d);
    message = std::string(text);
  }
  TLWError asError() const;
};

enum class TLWPKind : std::uint8_t { Base, String, Number, Boolean, Null, Undefined, Array, Map, Function, Statement, Control };

class TLWPRuntimeValue;
class TLWPScope;
class TLWPRunState;
using TLWPValueRef = std::shared_ptr<TLWPRuntimeValue>;
using TLWPValues = std::vector<TLWPValueRef>;

// What the collector needs of a container.
class TLWPTraceable {
 public:
  virtual ~TLWPTraceable() = default;
  // Hands every container this one references to `visit`.
  virtual void trace(std::vector<TLWPTraceable*>& visit) const { (void)visit; }
  // Drops every reference this container holds.
  virtual void clearContents() {}
  // Memory this container holds itself (slots, names, the strings it stores), in the run
  // state's units; what it references is counted by those containers.
  virtual std::int64_t footprint() const { return 0; }
  std::uint32_t markEpoch = 0;
};

// TLWPRuntimeValue: the base of every value. Its conversions fail (string: error 5, number:
// error 4, boolean: error 3); it is also the empty-element marker of arrays.
class TLWPRuntimeValue : public TLWPTraceable {
 public:
  explicit TLWPRuntimeValue(TLWPKind kind = TLWPKind::Base) : kind_(kind) {}
  ~TLWPRuntimeValue() override = default;
  TLWPRuntimeValue(const TLWPRuntimeValue&) = delete;
  TLWPRuntimeValue& operator=(const TLWPRuntimeValue&) = delete;

  TLWPKind kind() const { return kind_; }
  virtual std::u16string stringValue(TLWPError& error) const;
  virtual double doubleValue(TLWPError& error) const;
  virtual bool booleanValue(TLWPError& error) const;
  // Value identity (two NaNs are the same number).
  virtual bool isEqualToRuntimeValue(const TLWPRuntimeValue& other) const { return this == &other; }

  bool isString() const { return kind_ == TLWPKind::String; }
  bool isNumber() const { return kind_ == TLWPKind::Number; }
  bool isArray() const { return kind_ == TLWPKind::Array; }
  bool isMap() const { return kind_ == TLWPKind::Map; }
  bool isFunction() const { return kind_ == TLWPKind::Function; }
  bool isStatement() const { return kind_ == TLWPKind::Statement; }
  bool isControl() const { return kind_ == TLWPKind::Control; }
  bool isNullOrUndefined() const { return kind_ == TLWPKind::Null || kind_ == TLWPKind::Undefined; }
  // Strings, arrays, maps and functions take part in concatenation and string ordering.
  bool isStringLike() const {
    return kind_ == TLWPKind::String || kind_ == TLWPKind::Array || kind_ == TLWPKind::Map ||
           kind_ == TLWPKind::Function;
  }

  static const TLWPValueRef& undefinedValue();
  static const TLWPValueRef& nullValue();
  static const TLWPValueRef& booleanValue(bool b);
  // The marker of an empty array slot: a bare base value, one per process.
  static const TLWPValueRef& emptyValue();

 private:
  TLWPKind kind_;
};

class TLWPStringValue final : public TLWPRuntimeValue {
 public:
  explicit TLWPStringValue(std::u16string s) : TLWPRuntimeValue(TLWPKind::String), value(std::move(s)) {}
  std::u16string stringValue(TLWPError&) const override;
  double doubleValue(TLWPError&) const override;
  bool booleanValue(TLWPError&) const override { return !value.empty(); }
  bool isEqualToRuntimeValue(const TLWPRuntimeValue& other) const override;
  const std::u16string value;
};

class TLWPNumberValue final : public TLWPRuntimeValue {
 public:
  explicit TLWPNumberValue(double d) : TLWPRuntimeValue(TLWPKind::Number), value(d) {}
  std::u16string stringValue(TLWPError&) const override;
  double doubleValue(TLWPError&) const override { return value; }
  bool booleanValue(TLWPError&) const override { return value != 0 && value == value; }
  bool isEqualToRuntimeValue(const TLWPRuntimeValue& other) const override;
  const double value;
};

class TLWPBooleanValue final : public TLWPRuntimeValue {
 public:
  explicit TLWPBooleanValue(bool b) : TLWPRuntimeValue(TLWPKind::Boolean), value(b) {}
  std::u16string stringValue(TLWPError&) const override { return value ? u"true" : u"false"; }
  double doubleValue(TLWPError&) const override { return value ? 1 : 0; }
  bool booleanValue(TLWPError&) const override { return value; }
  const bool value;
};

class TLWPNullValue final : public TLWPRuntimeValue {
 public:
  TLWPNullValue() : TLWPRuntimeValue(TLWPKind::Null) {}
  std::u16string stringValue(TLWPError&) const override { return u"null"; }
  double doubleValue(TLWPError&) const override { return 0; }
  bool booleanValue(TLWPError&) const override { return false; }
};

class TLWPUndefinedValue final : public TLWPRuntimeValue {
 public:
  TLWPUndefinedValue() : TLWPRuntimeValue(TLWPKind::Undefined) {}
  std::u16string stringValue(TLWPError&) const override { return u"undefined"; }
  double doubleValue(TLWPError&) const override;
  bool booleanValue(TLWPError&) const override { return false; }
};

// TLWPPropertyMap: name to value with immutable names and an immutable flag; a missing
// name reads as undefined. Keeps insertion order (for-in visits names in that order).
class TLWPPropertyMap {
 public:
  const TLWPValueRef* find(std::u16string_view name) const;
  TLWPValueRef valueForName(std::u16string_view name) const;
  bool hasName(std::u16string_view name) const { return find(name) != nullptr; }
  void setValue(std::u16string_view name, TLWPValueRef value);
  void setImmutableValue(std::u16string_view name, TLWPValueRef value);
  void removeValue(std::u16string_view name);
  void makeImmutable() { immutable_ = true; }
  bool isImmutable() const { return immutable_; }
  std::vector<std::u16string> allNames() const;
  std::size_t size() const { return entries_.size(); }
  std::int64_t footprint() const;
  void trace(std::vector<TLWPTraceable*>& visit) const;
  void clear();

 private:
  struct Entry {
    std::u16string name;
    TLWPValueRef value;
    bool immutable = false;
  };
  Entry* entry(std::u16string_view name);
  const Entry* entry(std::u16string_view name) const;
  void rebuildIndex();

  std::vector<Entry> entries_;
  // Built once the map outgrows a linear search.
  std::unordered_map<std::u16string, std::uint32_t> index_;
  bool immutable_ = false;
};

// TLWPScope: a parent (null for the root) and the names declared here.
class TLWPScope final : public TLWPTraceable, public std::enable_shared_from_this<TLWPScope> {
 public:
  static std::shared_ptr<TLWPScope> make(std::shared_ptr<TLWPScope> parent);
  explicit TLWPScope(std::shared_ptr<TLWPScope> parent) : parent_(std::move(parent)) {}

  bool hasName(std::u16string_view name) const;
  void addValue(std::u16string_view name, TLWPValueRef value);
  void addImmutableValue(std::u16string_view name, TLWPValueRef value);
  void setValue(std::u16string_view name, TLWPValueRef value);
  TLWPValueRef valueForName(std::u16string_view name) const;
  std::shared_ptr<TLWPScope> createChildScope();
  void makeImmutable() { map_.makeImmutable(); }
  const std::shared_ptr<TLWPScope>& parent() const { return parent_; }

  void trace(std::vector<TLWPTraceable*>& visit) const override;
  void clearContents() override;
  std::int64_t footprint() const override { return map_.footprint(); }

 private:
  std::shared_ptr<TLWPScope> parent_;
  TLWPPropertyMap map_;
};

// The element slots of an array: a length up to 2^32 - 1 and the slots that hold a value.
// Holes cost nothing: a sparse array keeps only its present slots.
class TLWPArraySlots {
 public:
  static constexpr std::uint64_t kMaxLength = 4294967295ull;

  std::uint64_t length() const { return length_; }
  // The slot's value, or null for a hole or an index past the end.
  TLWPRuntimeValue* get(std::uint64_t index) const;
  TLWPValueRef getRef(std::uint64_t index) const;
  // Stores at `index` (below kMaxLength), extending the length.
  void set(std::uint64_t index, TLWPValueRef value);
  // The dense slots that set(index) or setLength(length) would add (to charge first).
  std::uint64_t growthOfSet(std::uint64_t index) const;
  std::uint64_t growthOfLength(std::uint64_t length) const;
  std::int64_t footprint() const;
  // The slot becomes a hole; the length stays.
  void erase(std::uint64_t index);
  void setLength(std::uint64_t length);
  // The first present index at or after `from`, if any.
  std::optional<std::uint64_t> nextPresent(std::uint64_t from) const;
  // The last present index at or before `from`, if any.
  std::optional<std::uint64_t> previousPresent(std::uint64_t from) const;
  std::size_t presentCount() const;
  // Present slots in ascending order.
  std::vector<std::pair<std::uint64_t, TLWPValueRef>> entries() const;
  // Replaces everything (entries ascending, each below `length`).
  void assign(std::vector<std::pair<std::uint64_t, TLWPValueRef>> entries, std::uint64_t length);
  void append(TLWPValueRef value) { set(length_, std::move(value)); }
  void trace(std::vector<TLWPTraceable*>& visit) const;
  void clear();

 private:
  // Dense form: dense_.size() == length_, null for a hole. Sparse form: dense_ holds a
  // present prefix, sparse_ the present slots beyond it.
  std::vector<TLWPValueRef> dense_;
  std::map<std::uint64_t, TLWPValueRef> sparse_;
  std::uint64_t length_ = 0;
};

class TLWPArrayValue final : public TLWPRuntimeValue {
 public:
  TLWPArrayValue() : TLWPRuntimeValue(TLWPKind::Array) {}
  // A new array registered with the current run state.
  static std::shared_ptr<TLWPArrayValue> make();
  static std::shared_ptr<TLWPArrayValue> make(TLWPValues elements);

  std::u16string stringValue(TLWPError& error) const override;
  double doubleValue(TLWPError& error) const override;
  bool booleanValue(TLWPError&) const override { return true; }

  // Property operations; `property` is classified as "length", an index or a name.
  TLWPValueRef valueForProperty(const TLWPRuntimeValue& property, TLWPError& error) const;
  void setValueForProperty(const TLWPRuntimeValue& property, TLWPValueRef value, TLWPError& error);
  void removeValueForProperty(const TLWPRuntimeValue& property, TLWPError& error);
  bool hasProperty(const TLWPRuntimeValue& property, TLWPError& error) const;
  // Named properties first, then the present indices ascending.
  std::vector<std::u16string> allPropertyNames() const;
  // Every slot, holes as undefined; charged to the run first (nothing and `error` when
  // the run cannot afford it).
  TLWPValues allElements(TLWPError& error) const;
  std::int64_t footprint() const override { return slots.footprint() + properties.footprint(); }

  void trace(std::vector<TLWPTraceable*>& visit) const override;
  void clearContents() override;

  TLWPArraySlots slots;
  TLWPPropertyMap properties;
};

class TLWPMapValue final : public TLWPRuntimeValue {
 public:
  TLWPMapValue() : TLWPRuntimeValue(TLWPKind::Map) {}
  static std::shared_ptr<TLWPMapValue> make();

  std::u16string stringValue(TLWPError&) const override { return u"[object Object]"; }
  double doubleValue(TLWPError&) const override;
  bool booleanValue(TLWPError&) const override { return true; }
  void trace(std::vector<TLWPTraceable*>& visit) const override { properties.trace(visit); }
  void clearContents() override { properties.clear(); }
  std::int64_t footprint() const override { return properties.footprint(); }

  TLWPPropertyMap properties;
};

// A program function, or (subclasses) a native one.
class TLWPFunctionValue : public TLWPRuntimeValue {
 public:
  TLWPFunctionValue(std::u16string name, std::vector<std::u16string> parameterNames, TLWPValues statements,
                    std::shared_ptr<TLWPScope> scope);
  // Registers a new function with the current run state.
  static std::shared_ptr<TLWPFunctionValue> make(std::u16string name, std::vector<std::u16string> parameterNames,
                                                 TLWPValues statements, std::shared_ptr<TLWPScope> scope);

  std::u16string stringValue(TLWPError&) const override { return name_; }
  double doubleValue(TLWPError&) const override;
  bool booleanValue(TLWPError&) const override { return true; }

  // Evaluates `arguments` (statements) in `scope`, in order, then invokes.
  virtual TLWPValueRef invokeWithArguments(const TLWPValues& arguments, const std::shared_ptr<TLWPScope>& scope,
                                           TLWPError& error);
  // Runs the body in a child of the defining scope with the parameters bound.
  virtual TLWPValueRef invokeWithEvaluatedArguments(const TLWPValues& arguments, TLWPError& error);

  const std::u16string& name() const { return name_; }
  void trace(std::vector<TLWPTraceable*>& visit) const override;
  void clearContents() override;
  std::int64_t footprint() const override;

  TLWPPropertyMap properties;

 protected:
  std::u16string name_;
  std::vector<std::u16string> parameterNames_;
  TLWPValues statements_;
  std::shared_ptr<TLWPScope> scope_;
};

// An unevaluated program node: an operation name and its argument nodes.
class TLWPStatementValue final : public TLWPRuntimeValue {
 public:
  TLWPStatementValue(std::u16string operation, TLWPValues arguments);
  const std::u16string operation;
  // The operation's number when it is a registered opcode, else -1.
  const int opcode;
  const TLWPValues arguments;
};

class TLWPControlValue final : public TLWPRuntimeValue {
 public:
  enum class Type : std::uint8_t { Break, Continue, Return };
  TLWPControlValue(Type t, TLWPValueRef d) : TLWPRuntimeValue(TLWPKind::Control), type(t), data(std::move(d)) {}
  const Type type;
  const TLWPValueRef data;
};

// Conversions and comparisons shared by the instructions.
namespace tlwp {
TLWPValueRef number(double d);
TLWPValueRef string(std::u16string s);
TLWPValueRef string(std::string_view utf8);
std::u16string numberToString(double d);
double stringToNumber(std::u16string_view s);
std::int32_t toInt32(double d);
std::uint32_t toUInt32(double d);
double toInteger(double d);
// A finite, non-negative, integral number (or string of one); its value when so.
std::optional<double> arrayIndex(const TLWPRuntimeValue& value);
bool strictEquals(const TLWPRuntimeValue& a, const TLWPRuntimeValue& b);
bool looseEquals(const TLWPRuntimeValue& a, const TLWPRuntimeValue& b, TLWPError& error);
// a < b (orEqual: a <= b); NaN is neither.
bool lessThan(const TLWPRuntimeValue& a, const TLWPRuntimeValue& b, bool orEqual, TLWPError& error);
std::u16string utf16(std::string_view utf8);
std::string utf8(std::u16string_view utf16);
// Whether a character is white space or a line break.
bool isSpace(char16_t c);
std::u16string_view trim(std::u16string_view s);
// The elements' strings joined by `separator` (undefined, null and holes contribute
// nothing; an array inside itself converts to the empty string).
std::u16string joinArray(const TLWPArrayValue& array, std::u16string_view separator, TLWPError& error);
}  // namespace tlwp
