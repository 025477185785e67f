#include "platform/PropertyList.h"

#include <plist/plist.h>

#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {
namespace {

// Property-list dates count from 2001-01-01.
constexpr double kReferenceDateOffset = 978307200.0;

struct PlistDeleter {
  void operator()(void* node) const {
    if (node) plist_free(static_cast<plist_t>(node));
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

// ---- Value -> plist -------------------------------------------------------------------

// libplist can only make integers above INT64_MAX by parsing them.
plist_t newLargeUnsigned(std::uint64_t value) {
  char xml[160];
  int n = std::snprintf(xml, sizeof xml, "<plist version=\"1.0\"><integer>%" PRIu64 "</integer></plist>", value);
  plist_t node = nullptr;
  plist_from_xml(xml, static_cast<std::uint32_t>(n), &node);
  return node;
}

plist_t toPlist(const Value& value, std::size_t depth, std::string* error) {
  if (depth >= PropertyList::kMaxDepth && (value.isArray() || value.isDictionary())) {
    setError(error, "nested deeper than " + std::to_string(PropertyList::kMaxDepth) + " levels");
    return nullptr;
  }
  switch (value.kind()) {
    case Value::Kind::Bool:
      return plist_new_bool(*value.boolValue() ? 1 : 0);
    case Value::Kind::Int:
      // libplist keeps integers as 64-bit patterns and writes negative ones as signed.
      return plist_new_uint(static_cast<std::uint64_t>(*value.int64Value()));
    case Value::Kind::UInt: {
      std::uint64_t u = *value.uint64Value();
      if (u <= static_cast<std::uint64_t>(INT64_MAX)) return plist_new_uint(u);
      plist_t node = newLargeUnsigned(u);
      if (!node) setError(error, "cannot encode the integer " + std::to_string(u));
      return node;
    }
    case Value::Kind::Double:
      return plist_new_real(*value.doubleValue());
    case Value::Kind::String: {
      const std::string& s = *value.string();
      if (s.find('\0') != std::string::npos || !utf8::isValid(s)) {
        setError(error, "a string holding NUL or invalid UTF-8 has no property-list form");
        return nullptr;
      }
      return plist_new_string(s.c_str());
    }
    case Value::Kind::Data: {
      const Value::Data& d = *value.dataBytes();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Kind::Date: {
      double t = value.dateValue()->secondsSince1970 - kReferenceDateOffset;
      if (!std::isfinite(t)) {
        setError(error, "a date that is not finite has no property-list form");
        return nullptr;
      }
      double whole = std::floor(t);
      double usec = std::round((t - whole) * 1e6);
      if (usec >= 1e6) {
        whole += 1;
        usec = 0;
      }
      if (whole < static_cast<double>(INT32_MIN) || whole > static_cast<double>(INT32_MAX)) {
        setError(error, "a date outside 1933-2069 has no property-list form");
        return nullptr;
      }
      return plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(usec));
    }
    case Value::Kind::Array: {
      PlistPtr array(plist_new_array());
      for (const Value& item : *value.array()) {
        plist_t child = toPlist(item, depth + 1, error);
        if (!child) return nullptr;
        plist_array_append_item(static_cast<plist_t>(array.get()), child);
      }
      return static_cast<plist_t>(array.release());
    }
    case Value::Kind::Dictionary: {
      PlistPtr dict(plist_new_dict());
      for (const auto& [key, item] : *value.dictionary()) {
        const std::string* k = key.string();
        if (!k) {
          setError(error, std::string("a dictionary key of kind ") + key.kindName() + " has no property-list form");
          return nullptr;
        }
        if (k->find('\0') != std::string::npos || !utf8::isValid(*k)) {
          setError(error, "a dictionary key holding NUL or invalid UTF-8 has no property-list form");
          return nullptr;
        }
        plist_t child = toPlist(item, depth + 1, error);
        if (!child) return nullptr;
        plist_dict_set_item(static_cast<plist_t>(dict.get()), k->c_str(), child);
      }
      return static_cast<plist_t>(dict.release());
    }
    case Value::Kind::Null:
    case Value::Kind::URL:
    case Value::Kind::Object:
      break;
  }
  setError(error, std::string("a value of kind ") + value.kindName() + " has no property-list form");
  return nullptr;
}

// ---- plist -> Value -------------------------------------------------------------------

bool isNegativeInteger(plist_t node) {
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  bool negative = xml && std::strstr(xml, "<integer>-") != nullptr;
  if (xml) plist_to_xml_free(xml);
  return negative;
}

// libplist hands dates back as seconds truncated toward zero plus the magnitude of the
// fraction, which loses the fraction's sign just after the epoch; the binary form keeps
// the exact double.
double dateSeconds(plist_t node) {
  std::int32_t sec = 0, usec = 0;
  plist_get_date_val(node, &sec, &usec);
  if (sec < 0) return static_cast<double>(sec) - static_cast<double>(usec) / 1e6;
  if (sec > 0 || usec == 0) return static_cast<double>(sec) + static_cast<double>(usec) / 1e6;
  char* bin = nullptr;
  std::uint32_t length = 0;
  plist_t copy = plist_copy(node);
  plist_to_bin(copy, &bin, &length);
  plist_free(copy);
  double value = static_cast<double>(usec) / 1e6;
  // "bplist00", then the date object: marker 0x33 and a big-endian double.
  if (bin && length >= 17 && static_cast<unsigned char>(bin[8]) == 0x33) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<unsigned char>(bin[9 + i]);
    std::memcpy(&value, &bits, sizeof value);
  }
  if (bin) plist_to_bin_free(bin);
  return value;
}

bool isWritableString(const std::string& s) { return s.find('\0') == std::string::npos && utf8::isValid(s); }

std::optional<Value> fromPlist(plist_t node, std::size_t depth, std::string* error) {
  const plist_type type = plist_get_node_type(node);
  if (depth >= PropertyList::kMaxDepth && (type == PLIST_ARRAY || type == PLIST_DICT)) {
    setError(error, "nested deeper than " + std::to_string(PropertyList::kMaxDepth) + " levels");
    return std::nullopt;
  }
  switch (type) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // The top bit is set both for negative numbers and for large unsigned ones.
      if (u > static_cast<std::uint64_t>(INT64_MAX) && !isNegativeInteger(node)) return Value(u);
      return Value(static_cast<long long>(static_cast<std::int64_t>(u)));
    }
    case PLIST_UID: {
      std::uint64_t u = 0;
      plist_get_uid_val(node, &u);
      return Value(u);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      std::string text(s ? s : "", s ? static_cast<std::size_t>(length) : 0);
      // What could not be written back is refused here: a preferences file holding it
      // would otherwise fail every later write.
      if (!isWritableString(text)) {
        setError(error, "a string holding NUL or invalid UTF-8");
        return std::nullopt;
      }
      return Value(std::move(text));
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* d = plist_get_data_ptr(node, &length);
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(d);
      return Value::data(d ? Value::Data(bytes, bytes + length) : Value::Data{});
    }
    case PLIST_DATE: {
      double seconds = dateSeconds(node);
      if (!std::isfinite(seconds) || seconds < static_cast<double>(INT32_MIN) + 1.0 ||
          seconds >= static_cast<double>(INT32_MAX)) {
        setError(error, "a date outside 1933-2069");
        return std::nullopt;
      }
      return Value::date(seconds + kReferenceDateOffset);
    }
    case PLIST_ARRAY: {
      Array items;
      std::uint32_t n = plist_array_get_size(node);
      items.reserve(n);
      for (std::uint32_t i = 0; i < n; ++i) {
        auto item = fromPlist(plist_array_get_item(node, i), depth + 1, error);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
      }
      return Value(std::move(items));
    }
    case PLIST_DICT: {
      Dictionary dict;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      if (!iter) return Value(std::move(dict));
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        std::string k = key ? key : "";
        std::free(key);
        if (!isWritableString(k)) {
          std::free(iter);
          setError(error, "a dictionary key holding NUL or invalid UTF-8");
          return std::nullopt;
        }
        auto v = fromPlist(item, depth + 1, error);
        if (!v) {
          std::free(iter);
          return std::nullopt;
        }
        dict.set(Value(std::move(k)), std::move(*v));
      }
      std::free(iter);
      return Value(std::move(dict));
    }
    default:
      break;
  }
  setError(error, "unsupported property-list node");
  return std::nullopt;
}

// ---- checks before libplist parses (it recurses without a bound) ------------------------

bool startsWithAt(std::string_view s, std::size_t at, std::string_view prefix) {
  return s.size() - at >= prefix.size() && s.compare(at, prefix.size(), prefix) == 0;
}

// Element nesting of an XML list, found by reading the markup the way an XML parser does:
// processing instructions end at "?>", comments at "-->", CDATA sections at "]]>", and a
// ">" inside a quoted attribute value does not end a tag. Every element counts, whatever
// its name, and every end tag must close the innermost open element, so nothing the
// parser sees as nesting can look flat here. Markup this reading does not settle (another
// "<!" declaration, an internal document-type subset, an unquoted attribute, a "<" inside
// a tag, anything left unterminated) is refused rather than guessed at.
bool checkXML(std::string_view s, std::string* error) {
  // The property list's own element and a leaf element around kMaxDepth containers.
  constexpr std::size_t kMaxElements = PropertyList::kMaxDepth + 2;
  auto refuse = [&](const std::string& why) {
    setError(error, "malformed XML property list: " + why);
    return false;
  };
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  auto isNameEnd = [&](char c) { return isSpace(c) || c == '/' || c == '>' || c == '<' || c == '=' || c == '"' || c == '\''; };
  // The position just after `terminator`, searching from `from`; npos when missing.
  auto skipPast = [&](std::size_t from, std::string_view terminator) {
    std::size_t end = s.find(terminator, from);
    return end == std::string_view::npos ? end : end + terminator.size();
  };
  std::vector<std::string_view> open;
  std::size_t i = 0;
  while ((i = s.find('<', i)) != std::string_view::npos) {
    if (startsWithAt(s, i, "<?")) {
      i = skipPast(i + 2, "?>");
      if (i == std::string_view::npos) return refuse("unterminated processing instruction");
      continue;
    }
    if (startsWithAt(s, i, "<!--")) {
      i = skipPast(i + 4, "-->");
      if (i == std::string_view::npos) return refuse("unterminated comment");
      continue;
    }
    if (startsWithAt(s, i, "<![CDATA[")) {
      i = skipPast(i + 9, "]]>");
      if (i == std::string_view::npos) return refuse("unterminated CDATA section");
      continue;
    }
    if (startsWithAt(s, i, "<!DOCTYPE")) {
      // Quoted identifiers may hold ">"; an internal subset could declare anything.
      std::size_t j = i + 9;
      for (; j < s.size() && s[j] != '>'; ++j) {
        if (s[j] == '[' || s[j] == '<') return refuse("document-type declaration with an internal subset");
        if (s[j] == '"' || s[j] == '\'') {
          j = s.find(s[j], j + 1);
          if (j == std::string_view::npos) break;
        }
      }
      if (j == std::string_view::npos || j >= s.size()) return refuse("unterminated document-type declaration");
      i = j + 1;
      continue;
    }
    if (startsWithAt(s, i, "<!")) return refuse("unsupported declaration");
    const bool closing = startsWithAt(s, i, "</");
    std::size_t j = i + (closing ? 2 : 1);
    const std::size_t nameStart = j;
    while (j < s.size() && !isNameEnd(s[j])) ++j;
    const std::string_view name = s.substr(nameStart, j - nameStart);
    if (name.empty()) return refuse("a tag without a name");
    bool selfClosing = false;
    for (;;) {
      while (j < s.size() && isSpace(s[j])) ++j;
      if (j >= s.size()) return refuse("unterminated tag");
      if (s[j] == '>') break;
      if (!closing && s[j] == '/' && j + 1 < s.size() && s[j + 1] == '>') {
        selfClosing = true;
        ++j;
        break;
      }
      if (closing) return refuse("an end tag with attributes");
      // name="value" or name='value'
      const std::size_t attributeStart = j;
      while (j < s.size() && !isNameEnd(s[j])) ++j;
      if (j == attributeStart) return refuse("unexpected character in a tag");
      while (j < s.size() && isSpace(s[j])) ++j;
      if (j >= s.size() || s[j] != '=') return refuse("an attribute without a value");
      ++j;
      while (j < s.size() && isSpace(s[j])) ++j;
      if (j >= s.size() || (s[j] != '"' && s[j] != '\'')) return refuse("an unquoted attribute value");
      std::size_t end = s.find(s[j], j + 1);
      if (end == std::string_view::npos) return refuse("unterminated attribute value");
      if (s.substr(j + 1, end - j - 1).find('<') != std::string_view::npos) return refuse("\"<\" in an attribute value");
      j = end + 1;
    }
    if (closing) {
      if (open.empty() || open.back() != name) return refuse("mismatched end tag");
      open.pop_back();
    } else if (!selfClosing) {
      if (open.size() >= kMaxElements) {
        setError(error, "property list nested deeper than " + std::to_string(PropertyList::kMaxDepth) + " levels");
        return false;
      }
      open.push_back(name);
    }
    i = j + 1;
  }
  return true;
}

std::uint64_t readBigEndian(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Walks the object graph of a binary list: offsets and references in range, no cycles,
// nesting within kMaxDepth and at most kMaxValues values once shared objects are expanded
// (a few bytes of shared references can otherwise describe billions of values).
bool checkBinary(std::string_view s, std::string* error) {
  auto fail = [&](const char* why) {
    setError(error, std::string("malformed binary property list: ") + why);
    return false;
  };
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t size = s.size();
  if (size < 8 + 1 + 32) return fail("too short");
  const unsigned char* trailer = b + size - 32;
  const std::size_t offsetSize = trailer[6];
  const std::size_t refSize = trailer[7];
  const std::uint64_t numObjects = readBigEndian(trailer + 8, 8);
  const std::uint64_t top = readBigEndian(trailer + 16, 8);
  const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return fail("bad integer sizes");
  if (numObjects == 0 || numObjects > PropertyList::kMaxValues) return fail("bad object count");
  if (top >= numObjects) return fail("bad top object");
  const std::uint64_t dataEnd = size - 32;
  if (tableOffset < 8 || tableOffset > dataEnd || numObjects > (dataEnd - tableOffset) / offsetSize)
    return fail("bad offset table");

  auto offsetOf = [&](std::uint64_t index) { return readBigEndian(b + tableOffset + index * offsetSize, offsetSize); };

  struct Container {
    std::uint64_t refs = 0;   // position of the first reference
    std::uint64_t count = 0;  // number of references
  };
  // Containers (arrays, sets, dictionaries) get their references; anything else is a leaf.
  // The count in an object's marker (or the integer after it); false when out of bounds.
  auto countAt = [&](std::uint64_t offset, std::uint64_t* count, std::uint64_t* pos) {
    *count = b[offset] & 0x0F;
    *pos = offset + 1;
    if (*count != 0x0F) return true;
    if (*pos >= tableOffset) return false;
    unsigned intMarker = b[*pos];
    if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
    std::size_t bytes = std::size_t{1} << (intMarker & 0x0F);
    if (*pos + 1 + bytes > tableOffset) return false;
    *count = readBigEndian(b + *pos + 1, bytes);
    *pos += 1 + bytes;
    return *count <= size;
  };
  // libplist aborts on an assertion when a dictionary key holds NUL: keys must be ASCII or
  // UTF-16 strings without one. Each key object is looked at once, however often shared.
  std::vector<std::uint8_t> keyState(numObjects, 0);  // 0 unseen, 1 fine, 2 refused
  auto keyIsSafe = [&](std::uint64_t index) {
    if (index >= numObjects) return false;
    if (keyState[index] == 0) {
      keyState[index] = 2;
      std::uint64_t offset = offsetOf(index), length = 0, pos = 0;
      if (offset < 8 || offset >= tableOffset) return false;
      const unsigned type = b[offset] >> 4;
      if ((type != 0x5 && type != 0x6) || !countAt(offset, &length, &pos)) return false;
      const std::uint64_t unit = type == 0x6 ? 2 : 1;
      if (length > (tableOffset - pos) / unit) return false;
      for (std::uint64_t i = 0; i < length * unit; i += unit) {
        if (b[pos + i] == 0 && (unit == 1 || b[pos + i + 1] == 0)) return false;
      }
      keyState[index] = 1;
    }
    return keyState[index] == 1;
  };
  auto containerAt = [&](std::uint64_t index, Container* out) -> int {  // -1 bad, 0 leaf, 1 container
    std::uint64_t offset = offsetOf(index);
    if (offset < 8 || offset >= tableOffset) return -1;
    unsigned type = b[offset] >> 4;
    if (type != 0xA && type != 0xC && type != 0xD) return 0;
    std::uint64_t count = 0, pos = 0;
    if (!countAt(offset, &count, &pos)) return -1;
    std::uint64_t refs = (type == 0xD) ? count * 2 : count;
    if (count > size || refs > (tableOffset - pos) / refSize) return -1;
    if (type == 0xD) {
      for (std::uint64_t k = 0; k < count; ++k) {
        if (!keyIsSafe(readBigEndian(b + pos + k * refSize, refSize))) return -1;
      }
    }
    out->refs = pos;
    out->count = refs;
    return 1;
  };

  std::vector<std::uint8_t> state(numObjects, 0);  // 0 new, 1 on the path, 2 done
  std::vector<std::uint32_t> height(numObjects, 0);
  std::vector<std::uint64_t> expanded(numObjects, 0);
  struct Frame {
    std::uint64_t index;
    Container container;
    std::uint64_t next = 0;
    std::uint32_t maxChildHeight = 0;
    std::uint64_t total = 1;
  };
  std::vector<Frame> stack;

  auto enter = [&](std::uint64_t index) -> int {  // -1 bad, 0 finished as leaf, 1 pushed
    Container c;
    int kind = containerAt(index, &c);
    if (kind < 0) return -1;
    if (kind == 0) {
      state[index] = 2;
      height[index] = 1;
      expanded[index] = 1;
      return 0;
    }
    if (stack.size() >= PropertyList::kMaxDepth) return -2;
    state[index] = 1;
    stack.push_back(Frame{index, c});
    return 1;
  };

  int r = enter(top);
  if (r == -1) return fail("bad object");
  if (r == -2) return fail("nested too deep");
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.container.count) {
      std::uint64_t child = readBigEndian(b + f.container.refs + f.next * refSize, refSize);
      ++f.next;
      if (child >= numObjects) return fail("reference out of range");
      if (state[child] == 1) return fail("reference cycle");
      if (state[child] == 0) {
        int e = enter(child);
        if (e == -1) return fail("bad object");
        if (e == -2) {
          setError(error, "property list nested deeper than " + std::to_string(PropertyList::kMaxDepth) + " levels");
          return false;
        }
        if (e == 1) continue;  // `f` may dangle now; the child is processed first
      }
      Frame& parent = stack.back();
      parent.maxChildHeight = std::max(parent.maxChildHeight, height[child]);
      parent.total += expanded[child];
      if (parent.total > PropertyList::kMaxValues) return fail("expands to too many values");
      continue;
    }
    Frame done = f;
    stack.pop_back();
    state[done.index] = 2;
    height[done.index] = done.maxChildHeight + 1;
    expanded[done.index] = done.total;
    if (height[done.index] > PropertyList::kMaxDepth + 1) return fail("nested too deep");
    if (!stack.empty()) {
      Frame& parent = stack.back();
      parent.maxChildHeight = std::max(parent.maxChildHeight, height[done.index]);
      parent.total += done.total;
      if (parent.total > PropertyList::kMaxValues) return fail("expands to too many values");
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> PropertyList::dataWithPropertyList(const Value& value, PropertyListFormat format,
                                                              std::string* error) {
  PlistPtr root(toPlist(value, 0, error));
  if (!root) return std::nullopt;
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (format == PropertyListFormat::XML) {
    plist_to_xml(static_cast<plist_t>(root.get()), &bytes, &length);
  } else {
    plist_to_bin(static_cast<plist_t>(root.get()), &bytes, &length);
  }
  if (!bytes) {
    setError(error, "the property list could not be encoded");
    return std::nullopt;
  }
  std::string out(bytes, length);
  if (format == PropertyListFormat::XML) {
    plist_to_xml_free(bytes);
  } else {
    plist_to_bin_free(bytes);
  }
  return out;
}

std::optional<Value> PropertyList::propertyListWithData(std::string_view bytes, std::string* error) {
  if (bytes.empty()) {
    setError(error, "empty property list");
    return std::nullopt;
  }
  if (bytes.size() > kMaxBytes) {
    setError(error, "property list larger than " + std::to_string(kMaxBytes) + " bytes");
    return std::nullopt;
  }
  const bool binary = bytes.size() >= 8 && bytes.substr(0, 6) == "bplist";
  if (binary ? !checkBinary(bytes, error) : !checkXML(bytes, error)) return std::nullopt;
  plist_t raw = nullptr;
  if (binary) {
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  } else {
    plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  }
  PlistPtr root(raw);
  if (!root) {
    setError(error, binary ? "malformed binary property list" : "malformed XML property list");
    return std::nullopt;
  }
  return fromPlist(static_cast<plist_t>(root.get()), 0, error);
}

bool PropertyList::isRepresentable(const Value& value, std::string* why) {
  PlistPtr root(toPlist(value, 0, why));
  return root != nullptr;
}

}  // namespace platform
