#include "tools/common/TLWPBJson.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "platform/Gzip.h"

using namespace tlwpb_kind;
using nlohmann::json;

namespace tools {
namespace {

bool isSigned(std::uint32_t kind) { return (kind & (kInt32 | kInt64)) != 0; }

json numberToJson(std::uint64_t bits, std::uint32_t kind) {
  if (kind & kBool) return json(bits != 0);
  if (isSigned(kind)) return json(static_cast<std::int64_t>(bits));
  return json(bits);
}

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::string quotedText(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\%03o", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string numberText(const TLWPBSlot& slot, std::uint32_t kind) {
  if (const auto* d = std::get_if<double>(&slot)) return json(*d).dump();
  if (const auto* f = std::get_if<float>(&slot)) return json(static_cast<double>(*f)).dump();
  if (const auto* n = std::get_if<std::uint64_t>(&slot)) {
    if (kind & kBool) return *n ? "true" : "false";
    return isSigned(kind) ? std::to_string(static_cast<std::int64_t>(*n)) : std::to_string(*n);
  }
  return "";
}

void appendText(const TLWPBMessageInfo& info, int indent, std::string& out) {
  const std::string pad(static_cast<std::size_t>(indent) * 2, ' ');
  const auto& fields = info.descriptor().fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TLWPBFieldDescriptor& f = fields[i];
    const TLWPBSlot& slot = info.slot(i);
    if (const auto* list = std::get_if<std::unique_ptr<TLWPBRepeatedField>>(&slot)) {
      for (std::uint64_t n : (*list)->numbers) out += pad + f.name + ": " + numberText(TLWPBSlot(n), f.kind) + "\n";
      for (const auto& s : (*list)->strings) out += pad + f.name + ": " + quotedText(s) + "\n";
      for (const auto& m : (*list)->messages) {
        out += pad + f.name + " {\n";
        appendText(*m, indent + 1, out);
        out += pad + "}\n";
      }
    } else if (const auto* s = std::get_if<std::unique_ptr<std::string>>(&slot)) {
      out += pad + f.name + ": " + quotedText(**s) + "\n";
    } else if (const auto* m = std::get_if<std::unique_ptr<TLWPBMessageInfo>>(&slot)) {
      out += pad + f.name + " {\n";
      appendText(**m, indent + 1, out);
      out += pad + "}\n";
    } else if (!std::holds_alternative<std::monostate>(slot)) {
      out += pad + f.name + ": " + numberText(slot, f.kind) + "\n";
    }
  }
}

// One scalar JSON value as a number slot of `kind`; false when it does not fit.
bool numberFromJson(const json& v, std::uint32_t kind, std::uint64_t* out) {
  if (kind & kBool) {
    if (!v.is_boolean()) return false;
    *out = v.get<bool>() ? 1 : 0;
    return true;
  }
  if (v.is_number_unsigned()) {
    std::uint64_t u = v.get<std::uint64_t>();
    if ((kind & kInt32) && u > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return false;
    if ((kind & kInt64) && u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    if ((kind & (kUInt32 | kUInt32ListElement)) && u > std::numeric_limits<std::uint32_t>::max()) return false;
    *out = u;
    return true;
  }
  if (v.is_number_integer()) {
    std::int64_t s = v.get<std::int64_t>();
    if (!isSigned(kind)) return false;  // a negative value for an unsigned field
    if ((kind & kInt32) && (s < std::numeric_limits<std::int32_t>::min() ||
                            s > std::numeric_limits<std::int32_t>::max())) {
      return false;
    }
    *out = static_cast<std::uint64_t>(s);
    return true;
  }
  return false;
}

bool fillFromJson(TLWPBMessageInfo& info, const json& object, int depth, std::string* error) {
  if (depth > kTLWPBMaxNestingDepth) {
    setError(error, "nested deeper than " + std::to_string(kTLWPBMaxNestingDepth) + " levels");
    return false;
  }
  if (!object.is_object()) {
    setError(error, std::string("a ") + info.messageID() + " must be a JSON object");
    return false;
  }
  const auto& fields = info.descriptor().fields;
  for (auto it = object.begin(); it != object.end(); ++it) {
    std::size_t index = fields.size();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (it.key() == fields[i].name) index = i;
    }
    const std::string where = std::string(info.messageID()) + "." + it.key();
    if (index == fields.size()) {
      setError(error, "unknown field " + where);
      return false;
    }
    const TLWPBFieldDescriptor& f = fields[index];
    const json& v = it.value();
    auto bad = [&] {
      setError(error, "value of " + where + " does not fit its field");
      return false;
    };
    // One element (or the singular value) into `slot` or `list`.
    auto convert = [&](const json& e, TLWPBSlot* slot, TLWPBRepeatedField* list) -> bool {
      if (f.kind & kMessage) {
        auto child = std::make_unique<TLWPBMessageInfo>(f.child());
        if (!fillFromJson(*child, e, depth + 1, error)) return false;
        if (list) {
          list->messages.push_back(std::move(child));
        } else {
          *slot = std::move(child);
        }
        return true;
      }
      if (f.kind & kString) {
        if (!e.is_string()) return bad();
        if (list) {
          list->strings.push_back(e.get<std::string>());
        } else {
          *slot = std::make_unique<std::string>(e.get<std::string>());
        }
        return true;
      }
      if (f.kind & (kDouble | kFloat)) {
        if (!e.is_number()) return bad();
        if (f.kind & kDouble) {
          *slot = e.get<double>();
        } else {
          // Past a float's range it would be stored as infinity, which JSON cannot carry back.
          const double d = e.get<double>();
          if (std::fabs(d) > std::numeric_limits<float>::max()) return bad();
          *slot = static_cast<float>(d);
        }
        return true;
      }
      std::uint64_t n = 0;
      if (!numberFromJson(e, f.kind, &n)) return bad();
      if (list) {
        list->numbers.push_back(n);
      } else {
        *slot = n;
      }
      return true;
    };
    if (f.kind & kRepeated) {
      if (!v.is_array()) return bad();
      if (v.size() > kTLWPBMaxRepeatedCount) return bad();
      auto list = std::make_unique<TLWPBRepeatedField>();
      for (const json& e : v) {
        if (!convert(e, nullptr, list.get())) return false;
      }
      info.slot(index) = std::move(list);
    } else {
      if (v.is_null()) continue;  // explicitly absent
      if (!convert(v, &info.slot(index), nullptr)) return false;
    }
  }
  return true;
}

}  // namespace

std::optional<WireMessage> wireMessageNamed(std::string_view name) {
  if (name == "batch") return WireMessage::Batch;
  if (name == "bundle") return WireMessage::Bundle;
  if (name == "config" || name == "configuration") return WireMessage::Config;
  return std::nullopt;
}

const TLWPBMessageDescriptor& descriptorOf(WireMessage kind) {
  switch (kind) {
    case WireMessage::Batch: return TLWPBMeasurementBatch::descriptor();
    case WireMessage::Bundle: return TLWPBMeasurementBundle::descriptor();
    case WireMessage::Config: break;
  }
  return TLWPBMeasurementConfig::descriptor();
}

std::optional<std::vector<std::uint8_t>> gunzipIfNeeded(std::span<const std::uint8_t> bytes, std::string* error) {
  if (bytes.size() >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b) {
    return platform::vxl_dataByInflatingGzippedData(bytes, error);
  }
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

json messageToJson(const TLWPBMessageInfo& info) {
  json out = json::object();
  const auto& fields = info.descriptor().fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TLWPBFieldDescriptor& f = fields[i];
    const TLWPBSlot& slot = info.slot(i);
    if (const auto* list = std::get_if<std::unique_ptr<TLWPBRepeatedField>>(&slot)) {
      if ((*list)->size() == 0) continue;
      json a = json::array();
      for (std::uint64_t n : (*list)->numbers) a.push_back(numberToJson(n, f.kind));
      for (const auto& s : (*list)->strings) a.push_back(s);
      for (const auto& m : (*list)->messages) a.push_back(messageToJson(*m));
      out[f.name] = std::move(a);
    } else if (const auto* s = std::get_if<std::unique_ptr<std::string>>(&slot)) {
      out[f.name] = **s;
    } else if (const auto* m = std::get_if<std::unique_ptr<TLWPBMessageInfo>>(&slot)) {
      out[f.name] = messageToJson(**m);
    } else if (const auto* n = std::get_if<std::uint64_t>(&slot)) {
      out[f.name] = numberToJson(*n, f.kind);
    } else if (const auto* d = std::get_if<double>(&slot)) {
      out[f.name] = *d;
    } else if (const auto* fl = std::get_if<float>(&slot)) {
      out[f.name] = static_cast<double>(*fl);
    }
  }
  return out;
}

std::string messageToText(const TLWPBMessageInfo& info) {
  std::string out;
  appendText(info, 0, out);
  return out;
}

std::unique_ptr<TLWPBMessageInfo> messageFromJson(const TLWPBMessageDescriptor& descriptor, const json& object,
                                                  std::string* error) {
  auto info = std::make_unique<TLWPBMessageInfo>(descriptor);
  if (!fillFromJson(*info, object, 1, error)) return nullptr;
  return info;
}

namespace {
std::unique_ptr<TLWPBMessageInfo> decodeAny(WireMessage kind, std::span<const std::uint8_t> bytes, std::string* error) {
  auto raw = gunzipIfNeeded(bytes, error);
  if (!raw) return nullptr;
  TLWError e;
  auto info = TLWPBDecodeMessageInfo(descriptorOf(kind), *raw, &e);
  if (!info) setError(error, e.localizedDescription());
  return info;
}
}  // namespace

std::optional<std::string> decodeToJson(WireMessage kind, std::span<const std::uint8_t> bytes, bool pretty,
                                        std::string* error) {
  auto info = decodeAny(kind, bytes, error);
  if (!info) return std::nullopt;
  // Strings that are not UTF-8 are shown with U+FFFD rather than refused.
  return messageToJson(*info).dump(pretty ? 2 : -1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> decodeToText(WireMessage kind, std::span<const std::uint8_t> bytes, std::string* error) {
  auto info = decodeAny(kind, bytes, error);
  if (!info) return std::nullopt;
  return messageToText(*info);
}

std::optional<std::vector<std::uint8_t>> encodeFromJson(WireMessage kind, std::string_view jsonText,
                                                        std::string* error) {
  json parsed = json::parse(jsonText, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/true);
  if (parsed.is_discarded()) {
    setError(error, "not valid JSON");
    return std::nullopt;
  }
  auto info = messageFromJson(descriptorOf(kind), parsed, error);
  if (!info) return std::nullopt;
  TLWError e;
  auto bytes = TLWPBEncodeMessageInfo(*info, &e);
  if (!bytes) setError(error, e.localizedDescription());
  return bytes;
}

}  // namespace tools
