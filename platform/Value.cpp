#include "platform/Value.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace platform {

namespace {

// Containers nested however deep are released and compared without recursion, so a value
// an app builds 100 000 levels deep cannot exhaust the native stack of whichever thread
// drops it last.

// Payloads whose release was deferred while an outer one was being destroyed on this
// thread. Trivially destructible, so it is safe to use during thread exit.
struct PendingRelease {
  const void* payload;
  void (*destroy)(const void*);
  PendingRelease* next;
};
thread_local bool tReleasing = false;
thread_local PendingRelease* tPending = nullptr;

template <class T>
void destroyPayload(const void* payload) {
  delete static_cast<const T*>(payload);
}

template <class T>
struct NestedPayloadDeleter {
  void operator()(const T* payload) const noexcept {
    if (tReleasing) {
      tPending = new PendingRelease{payload, &destroyPayload<T>, tPending};
      return;
    }
    tReleasing = true;
    delete payload;
    while (PendingRelease* next = tPending) {
      tPending = next->next;
      next->destroy(next->payload);
      delete next;
    }
    tReleasing = false;
  }
};

template <class T>
std::shared_ptr<const T> makeNestedPayload(T&& contents) {
  return std::shared_ptr<const T>(new T(std::move(contents)), NestedPayloadDeleter<T>{});
}

using PendingComparisons = std::vector<std::pair<const Value*, const Value*>>;

// Compares what `a` and `b` hold at their own level and queues their children.
bool equalAtThisLevel(const Value& a, const Value& b, PendingComparisons& pending);

bool queueDictionaryEntries(const Dictionary& a, const Dictionary& b, PendingComparisons& pending) {
  if (&a == &b) return true;
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const Value* other = b.findKey(key);
    if (!other) return false;
    pending.emplace_back(&value, other);
  }
  return true;
}

bool equalAtThisLevel(const Value& a, const Value& b, PendingComparisons& pending) {
  if (a.isNumber() && b.isNumber()) return a.compareNumber(b) == std::partial_ordering::equivalent;
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::Null: return true;
    case Value::Kind::String: return *a.string() == *b.string();
    case Value::Kind::URL: return *a.urlString() == *b.urlString();
    case Value::Kind::Data: return *a.dataBytes() == *b.dataBytes();
    case Value::Kind::Date: return *a.dateValue() == *b.dateValue();
    case Value::Kind::Array: {
      const Array& x = *a.array();
      const Array& y = *b.array();
      if (&x == &y) return true;
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) pending.emplace_back(&x[i], &y[i]);
      return true;
    }
    case Value::Kind::Dictionary: return queueDictionaryEntries(*a.dictionary(), *b.dictionary(), pending);
    case Value::Kind::Object: return a.object() == b.object() || a.object()->isEqual(*b.object());
    default: return false;
  }
}

bool drainComparisons(PendingComparisons& pending) {
  while (!pending.empty()) {
    auto [a, b] = pending.back();
    pending.pop_back();
    if (!equalAtThisLevel(*a, *b, pending)) return false;
  }
  return true;
}

}  // namespace

std::string ValueObject::description() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(this));
  std::string out = "<";
  out.append(className()).append(" ").append(buf).append(">");
  return out;
}

// ---------------------------------------------------------------- Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  entries_.reserve(entries.size());
  for (const auto& e : entries) set(e.first, e.second);
}

const Value* Dictionary::find(std::string_view key) const {
  for (const auto& e : entries_) {
    const std::string* s = e.first.string();
    if (s && *s == key) return &e.second;
  }
  return nullptr;
}

const Value* Dictionary::findKey(const Value& key) const {
  if (const std::string* s = key.string()) return find(std::string_view(*s));
  for (const auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

const Value& Dictionary::get(std::string_view key) const {
  // Never destroyed: library threads may still use it while the process exits.
  static const Value& kNull = *new Value();
  const Value* v = find(key);
  return v ? *v : kNull;
}

void Dictionary::set(Value key, Value value) {
  for (auto& e : entries_) {
    if (e.first == key) {
      e.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

bool Dictionary::erase(std::string_view key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    const std::string* s = it->first.string();
    if (s && *s == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

bool Dictionary::eraseKey(const Value& key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

std::vector<std::string> Dictionary::stringKeys() const {
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const auto& e : entries_)
    if (const std::string* s = e.first.string()) keys.push_back(*s);
  return keys;
}

bool Dictionary::operator==(const Dictionary& other) const {
  PendingComparisons pending;
  return queueDictionaryEntries(*this, other, pending) && drainComparisons(pending);
}

// ---------------------------------------------------------------- Value

Value::Value(const char* s) : Value(std::string_view(s ? s : "")) {}
Value::Value(std::string s) {
  if (s.size() <= kShortStringBytes) {
    v_.emplace<ShortString>(std::move(s));
  } else {
    v_ = std::make_shared<const std::string>(std::move(s));
  }
}
Value::Value(std::string_view s) {
  if (s.size() <= kShortStringBytes) {
    v_.emplace<ShortString>(s);
  } else {
    v_ = std::make_shared<const std::string>(s);
  }
}
Value::Value(platform::Array a) : v_(makeNestedPayload(std::move(a))) {}
Value::Value(platform::Dictionary d) : v_(makeNestedPayload(std::move(d))) {}
Value::Value(std::initializer_list<Dictionary::Entry> entries) : v_(makeNestedPayload(platform::Dictionary(entries))) {}
Value::Value(std::shared_ptr<ValueObject> object) {
  if (object) v_ = std::move(object);
}

Value Value::data(Data bytes) {
  Value v;
  v.v_ = std::make_shared<const Data>(std::move(bytes));
  return v;
}

Value Value::data(std::string_view bytes) { return data(Data(bytes.begin(), bytes.end())); }

Value Value::url(std::string absolute) {
  Value v;
  v.v_ = URLRef{std::make_shared<const std::string>(std::move(absolute))};
  return v;
}

Value::Kind Value::kind() const noexcept {
  switch (v_.index()) {
    case 0: return Kind::Null;
    case 1: return Kind::Bool;
    case 2: return Kind::Int;
    case 3: return Kind::UInt;
    case 4: return Kind::Double;
    case 5: return Kind::String;
    case 6: return Kind::Data;
    case 7: return Kind::Date;
    case 8: return Kind::URL;
    case 9: return Kind::Array;
    case 10: return Kind::Dictionary;
    case 11: return Kind::Object;
    case 12: return Kind::String;
    default: return Kind::Null;  // valueless after a failed assignment
  }
}

const char* Value::kindName() const noexcept {
  static const char* const kNames[] = {"null", "bool", "int", "uint", "double", "string",
                                       "data", "date", "url", "array", "dictionary", "object"};
  return kNames[static_cast<int>(kind())];
}

bool Value::isNumber() const noexcept {
  Kind k = kind();
  return k == Kind::Bool || k == Kind::Int || k == Kind::UInt || k == Kind::Double;
}

const std::string* Value::string() const& noexcept {
  if (auto p = std::get_if<ShortString>(&v_)) return p;
  auto p = std::get_if<StringRef>(&v_);
  return p ? p->get() : nullptr;
}
const Value::Data* Value::dataBytes() const noexcept {
  auto p = std::get_if<DataRef>(&v_);
  return p ? p->get() : nullptr;
}
const std::string* Value::urlString() const noexcept {
  auto p = std::get_if<URLRef>(&v_);
  return p ? p->s.get() : nullptr;
}
const platform::Array* Value::array() const noexcept {
  auto p = std::get_if<ArrayRef>(&v_);
  return p ? p->get() : nullptr;
}
const platform::Dictionary* Value::dictionary() const noexcept {
  auto p = std::get_if<DictRef>(&v_);
  return p ? p->get() : nullptr;
}
std::optional<Date> Value::dateValue() const noexcept {
  auto p = std::get_if<Date>(&v_);
  return p ? std::optional<Date>(*p) : std::nullopt;
}
const std::shared_ptr<ValueObject>& Value::object() const noexcept {
  static const std::shared_ptr<ValueObject>& kNone = *new std::shared_ptr<ValueObject>();
  auto p = std::get_if<ObjectRef>(&v_);
  return p ? *p : kNone;
}

namespace {

template <class Int>
Int saturate(double d) noexcept {
  if (std::isnan(d)) return 0;
  // 2^63 and 2^64 are exact doubles; anything at or past them does not fit.
  constexpr double kMax = static_cast<double>(std::numeric_limits<Int>::max()) + 1.0;
  if (d >= kMax) return std::numeric_limits<Int>::max();
  if (d <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  return static_cast<Int>(d);
}

std::partial_ordering cmpIntUInt(std::int64_t a, std::uint64_t b) {
  if (a < 0) return std::partial_ordering::less;
  return static_cast<std::uint64_t>(a) <=> b;
}

// Exact comparison of an integer with a double, without rounding the integer.
template <class Int>
std::partial_ordering cmpIntDouble(Int a, double d) {
  if (std::isnan(d)) return std::partial_ordering::unordered;
  constexpr double kMax = static_cast<double>(std::numeric_limits<Int>::max()) + 1.0;
  constexpr double kMin = static_cast<double>(std::numeric_limits<Int>::min());
  if (d >= kMax) return std::partial_ordering::less;
  if (d < kMin) return std::partial_ordering::greater;
  double whole = std::trunc(d);
  Int t = static_cast<Int>(whole);
  if (a != t) return a < t ? std::partial_ordering::less : std::partial_ordering::greater;
  return 0.0 <=> (d - whole);
}

}  // namespace

std::optional<bool> Value::boolValue() const noexcept {
  if (auto b = std::get_if<bool>(&v_)) return *b;
  if (auto i = std::get_if<std::int64_t>(&v_)) return *i != 0;
  if (auto u = std::get_if<std::uint64_t>(&v_)) return *u != 0;
  if (auto d = std::get_if<double>(&v_)) return *d != 0;
  return std::nullopt;
}

std::optional<std::int64_t> Value::int64Value() const noexcept {
  if (auto b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
  if (auto i = std::get_if<std::int64_t>(&v_)) return *i;
  if (auto u = std::get_if<std::uint64_t>(&v_))
    return *u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(*u);
  if (auto d = std::get_if<double>(&v_)) return saturate<std::int64_t>(*d);
  return std::nullopt;
}

std::optional<std::uint64_t> Value::uint64Value() const noexcept {
  if (auto b = std::get_if<bool>(&v_)) return *b ? 1u : 0u;
  if (auto i = std::get_if<std::int64_t>(&v_)) return *i < 0 ? 0u : static_cast<std::uint64_t>(*i);
  if (auto u = std::get_if<std::uint64_t>(&v_)) return *u;
  if (auto d = std::get_if<double>(&v_)) return saturate<std::uint64_t>(*d);
  return std::nullopt;
}

std::optional<double> Value::doubleValue() const noexcept {
  if (auto b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
  if (auto i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
  if (auto u = std::get_if<std::uint64_t>(&v_)) return static_cast<double>(*u);
  if (auto d = std::get_if<double>(&v_)) return *d;
  return std::nullopt;
}

std::string Value::stringOr(std::string_view fallback) const {
  const std::string* s = string();
  return s ? *s : std::string(fallback);
}

std::partial_ordering Value::compareNumber(const Value& other) const {
  if (!isNumber() || !other.isNumber()) return std::partial_ordering::unordered;
  // Booleans compare as 0 and 1.
  auto norm = [](const Value& v) -> std::variant<std::int64_t, std::uint64_t, double> {
    if (auto b = std::get_if<bool>(&v.v_)) return std::int64_t{*b ? 1 : 0};
    if (auto i = std::get_if<std::int64_t>(&v.v_)) return *i;
    if (auto u = std::get_if<std::uint64_t>(&v.v_)) return *u;
    return std::get<double>(v.v_);
  };
  auto a = norm(*this), b = norm(other);
  return std::visit(
      [](auto x, auto y) -> std::partial_ordering {
        using X = decltype(x);
        using Y = decltype(y);
        if constexpr (std::is_same_v<X, Y>) {
          return x <=> y;
        } else if constexpr (std::is_same_v<X, std::int64_t> && std::is_same_v<Y, std::uint64_t>) {
          return cmpIntUInt(x, y);
        } else if constexpr (std::is_same_v<X, std::uint64_t> && std::is_same_v<Y, std::int64_t>) {
          return 0 <=> cmpIntUInt(y, x);
        } else if constexpr (std::is_same_v<Y, double>) {
          return cmpIntDouble<X>(x, y);
        } else {
          return 0 <=> cmpIntDouble<Y>(y, x);
        }
      },
      a, b);
}

bool Value::operator==(const Value& other) const {
  PendingComparisons pending;
  return equalAtThisLevel(*this, other, pending) && drainComparisons(pending);
}

namespace {

std::string formatDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

void quote(std::string& out, const std::string& s) {
  out += '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  out += '"';
}

// Bare words print unquoted, as property-list descriptions do.
bool isBareWord(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '/' || c == '-')) return false;
  return true;
}

void describe(std::string& out, const Value& v, int depth) {
  if (depth > 64) {
    out += "...";
    return;
  }
  switch (v.kind()) {
    case Value::Kind::Null: out += "(null)"; break;
    case Value::Kind::Bool: out += *v.boolValue() ? "true" : "false"; break;
    case Value::Kind::Int: out += std::to_string(*v.int64Value()); break;
    case Value::Kind::UInt: out += std::to_string(*v.uint64Value()); break;
    case Value::Kind::Double: out += formatDouble(*v.doubleValue()); break;
    case Value::Kind::String:
      if (depth > 0 && !isBareWord(*v.string()))
        quote(out, *v.string());
      else
        out += *v.string();
      break;
    case Value::Kind::URL: out += *v.urlString(); break;
    case Value::Kind::Date: out += "date:" + formatDouble(v.dateValue()->secondsSince1970); break;
    case Value::Kind::Data: {
      static const char kHex[] = "0123456789abcdef";
      const auto& d = *v.dataBytes();
      out += '<';
      std::size_t n = std::min<std::size_t>(d.size(), 64);
      for (std::size_t i = 0; i < n; ++i) {
        out += kHex[d[i] >> 4];
        out += kHex[d[i] & 15];
      }
      if (n < d.size()) out += "... " + std::to_string(d.size()) + " bytes";
      out += '>';
      break;
    }
    case Value::Kind::Array: {
      out += '(';
      bool first = true;
      for (const auto& e : *v.array()) {
        if (!first) out += ", ";
        first = false;
        describe(out, e, depth + 1);
      }
      out += ')';
      break;
    }
    case Value::Kind::Dictionary: {
      out += '{';
      bool first = true;
      for (const auto& [k, e] : *v.dictionary()) {
        if (!first) out += ' ';
        first = false;
        describe(out, k, depth + 1);
        out += " = ";
        describe(out, e, depth + 1);
        out += ';';
      }
      out += '}';
      break;
    }
    case Value::Kind::Object: out += v.object()->description(); break;
  }
}

}  // namespace

std::string Value::description() const {
  std::string out;
  describe(out, *this, 0);
  return out;
}

// ---------------------------------------------------------------- UTF-8

namespace utf8 {
namespace {

// Decodes one code point at s[i]; returns its length, or 0 for an invalid sequence.
std::size_t decodeOne(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// The length of the leading ASCII run: names, keys and most values are ASCII throughout.
std::size_t asciiPrefix(std::string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

template <class F>
void forEach(std::string_view s, F&& f, std::size_t from = 0) {
  std::size_t i = from;
  while (i < s.size()) {
    char32_t cp;
    std::size_t n = decodeOne(s, i, cp);
    if (n == 0) {
      f(U'\uFFFD', i, 1);
      ++i;
    } else {
      f(cp, i, n);
      i += n;
    }
  }
}

}  // namespace

bool isValid(std::string_view s) noexcept {
  std::size_t i = asciiPrefix(s);
  while (i < s.size()) {
    char32_t cp;
    std::size_t n = decodeOne(s, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::size_t codePointCount(std::string_view s) noexcept {
  std::size_t count = asciiPrefix(s);
  forEach(s, [&](char32_t, std::size_t, std::size_t) { ++count; }, count);
  return count;
}

std::size_t utf16Length(std::string_view s) noexcept {
  std::size_t count = asciiPrefix(s);
  forEach(s, [&](char32_t cp, std::size_t, std::size_t) { count += cp >= 0x10000 ? 2 : 1; }, count);
  return count;
}

std::u32string decode(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  forEach(s, [&](char32_t cp, std::size_t, std::size_t) { out += cp; });
  return out;
}

std::string encode(std::u32string_view cps) {
  std::string out;
  out.reserve(cps.size());
  for (char32_t cp : cps) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string prefix(std::string_view s, std::size_t maxCodePoints) {
  std::size_t count = 0, end = 0;
  forEach(s, [&](char32_t, std::size_t at, std::size_t n) {
    if (count < maxCodePoints) {
      ++count;
      end = at + n;
    }
  });
  return std::string(s.substr(0, end));
}

std::string sanitize(std::string_view s) {
  if (isValid(s)) return std::string(s);
  return encode(decode(s));
}

}  // namespace utf8
}  // namespace platform
