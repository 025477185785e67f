#pragma once
// platform::Value: the one variant type for the Foundation-like values that cross the
// library's boundary (strings, numbers that remember their kind, data, dates, URLs,
// arrays, insertion-ordered dictionaries, an explicit null and library objects).
//
// Thread-safety: a Value is immutable once built; copies share their payload, so any
// number of threads may read and copy the same Value. Building a Dictionary or Array is
// not synchronised: build it on one thread, then wrap it in a Value.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

// A library object carried inside a Value (an error, a screen, a store item ...).
class ValueObject {
 public:
  virtual ~ValueObject() = default;
  virtual std::string className() const = 0;
  // What log output shows; by default the class name and address.
  virtual std::string description() const;
  // Object equality; by default identity.
  virtual bool isEqual(const ValueObject& other) const { return this == &other; }
};

// Seconds since 1970.
struct Date {
  double secondsSince1970 = 0;
  bool operator==(const Date&) const = default;
};

class Value;

// An insertion-ordered dictionary. Keys are Values (nearly always strings); setting an
// existing key replaces its value in place.
class Dictionary {
 public:
  using Entry = std::pair<Value, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;

  Dictionary() = default;
  Dictionary(std::initializer_list<Entry> entries);

  std::size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;
  const Entry& at(std::size_t index) const;

  // Null when the key is absent.
  const Value* find(std::string_view key) const;
  const Value* findKey(const Value& key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // The value, or an explicit null when absent.
  const Value& get(std::string_view key) const;
  const Value& operator[](std::string_view key) const { return get(key); }

  void set(Value key, Value value);
  bool erase(std::string_view key);
  bool eraseKey(const Value& key);
  void clear();
  std::vector<std::string> stringKeys() const;

  bool operator==(const Dictionary& other) const;

 private:
  std::vector<Entry> entries_;
};

using Array = std::vector<Value>;

class Value {
 public:
  enum class Kind { Null, Bool, Int, UInt, Double, String, Data, Date, URL, Array, Dictionary, Object };
  using Data = std::vector<std::uint8_t>;

  Value() noexcept = default;
  Value(std::nullptr_t) noexcept {}
  Value(bool b) noexcept : v_(b) {}
  Value(int i) noexcept : v_(std::int64_t{i}) {}
  Value(long i) noexcept : v_(std::int64_t{i}) {}
  Value(long long i) noexcept : v_(std::int64_t{i}) {}
  Value(unsigned u) noexcept : v_(std::uint64_t{u}) {}
  Value(unsigned long u) noexcept : v_(std::uint64_t{u}) {}
  Value(unsigned long long u) noexcept : v_(std::uint64_t{u}) {}
  Value(double d) noexcept : v_(d) {}
  Value(float f) noexcept : v_(double{f}) {}
  Value(const char* s);
  Value(std::string s);
  Value(std::string_view s);
  Value(platform::Array a);
  Value(platform::Dictionary d);
  Value(std::initializer_list<Dictionary::Entry> entries);  // a dictionary
  Value(Date d) noexcept : v_(d) {}
  Value(std::shared_ptr<ValueObject> object);

  static Value data(Data bytes);
  static Value data(std::string_view bytes);
  static Value date(double secondsSince1970) { return Value(Date{secondsSince1970}); }
  static Value url(std::string absolute);
  static Value array(std::initializer_list<Value> items) { return Value(platform::Array(items)); }

  Kind kind() const noexcept;
  const char* kindName() const noexcept;

  bool isNull() const noexcept { return kind() == Kind::Null; }
  bool isBool() const noexcept { return kind() == Kind::Bool; }
  bool isInteger() const noexcept { return kind() == Kind::Int || kind() == Kind::UInt; }
  // Booleans, integers and floating numbers.
  bool isNumber() const noexcept;
  bool isString() const noexcept { return kind() == Kind::String; }
  bool isData() const noexcept { return kind() == Kind::Data; }
  bool isDate() const noexcept { return kind() == Kind::Date; }
  bool isURL() const noexcept { return kind() == Kind::URL; }
  bool isArray() const noexcept { return kind() == Kind::Array; }
  bool isDictionary() const noexcept { return kind() == Kind::Dictionary; }
  bool isObject() const noexcept { return kind() == Kind::Object; }

  // Typed access without conversion: null when the kind differs.
  // Points into this value for a short string: not on a temporary, which would dangle.
  const std::string* string() const& noexcept;
  const std::string* string() const&& = delete;
  const Data* dataBytes() const noexcept;
  const std::string* urlString() const noexcept;
  const platform::Array* array() const noexcept;
  const platform::Dictionary* dictionary() const noexcept;
  std::optional<Date> dateValue() const noexcept;
  const std::shared_ptr<ValueObject>& object() const noexcept;
  template <class T>
  std::shared_ptr<T> objectAs() const {
    return std::dynamic_pointer_cast<T>(object());
  }

  // Numeric access: nullopt unless the value is a number. Conversions that do not fit
  // saturate (NaN reads as 0 for the integer forms), never undefined behaviour.
  std::optional<bool> boolValue() const noexcept;
  std::optional<std::int64_t> int64Value() const noexcept;
  std::optional<std::uint64_t> uint64Value() const noexcept;
  std::optional<double> doubleValue() const noexcept;

  // Convenience: the string, or `fallback` when this is not a string.
  std::string stringOr(std::string_view fallback = {}) const;

  // Equality as Foundation has it: numbers compare by value across kinds (1 == 1.0 ==
  // true), strings and data by content, containers element-wise, objects by isEqual.
  bool operator==(const Value& other) const;
  // Numeric ordering across kinds; unordered for non-numbers and NaN.
  std::partial_ordering compareNumber(const Value& other) const;

  // Log output, e.g. {level = 5; hero = "mage"}.
  std::string description() const;

 private:
  using StringRef = std::shared_ptr<const std::string>;
  using DataRef = std::shared_ptr<const Data>;
  struct URLRef {
    std::shared_ptr<const std::string> s;
  };
  using ArrayRef = std::shared_ptr<const platform::Array>;
  using DictRef = std::shared_ptr<const platform::Dictionary>;
  using ObjectRef = std::shared_ptr<ValueObject>;

  // Strings that fit the small-string buffer (names, keys and most values) are held in
  // place: no allocation and no shared count to touch when a value is made, copied or freed.
  using ShortString = std::string;
  static constexpr std::size_t kShortStringBytes = 15;

  std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, StringRef, DataRef, Date, URLRef,
               ArrayRef, DictRef, ObjectRef, ShortString>
      v_;
};

inline std::size_t Dictionary::size() const { return entries_.size(); }
inline bool Dictionary::empty() const { return entries_.empty(); }
inline Dictionary::const_iterator Dictionary::begin() const { return entries_.begin(); }
inline Dictionary::const_iterator Dictionary::end() const { return entries_.end(); }
inline const Dictionary::Entry& Dictionary::at(std::size_t index) const { return entries_.at(index); }
inline void Dictionary::clear() { entries_.clear(); }

// UTF-8 helpers. Invalid sequences count as one code point per offending byte (they are
// shown as U+FFFD), so lengths are defined for any byte string.
namespace utf8 {
bool isValid(std::string_view s) noexcept;
std::size_t codePointCount(std::string_view s) noexcept;
std::size_t utf16Length(std::string_view s) noexcept;
// Decodes to code points, invalid bytes becoming U+FFFD.
std::u32string decode(std::string_view s);
std::string encode(std::u32string_view cps);
// The first `maxCodePoints` code points, never splitting a sequence.
std::string prefix(std::string_view s, std::size_t maxCodePoints);
// Replaces invalid sequences by U+FFFD.
std::string sanitize(std::string_view s);
}  // namespace utf8

}  // namespace platform
