#include "measurement/script/TLWPRuntime.h"

#include <cmath>
#include <unordered_map>

#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/proto/TLWPBMessage.h"
#include "measurement/script/TLWPEvaluator.h"

namespace {

namespace err = tlwp_error;

// A function implemented here rather than by a program.
class TLWPNativeFunctionValue final : public TLWPFunctionValue {
 public:
  TLWPNativeFunctionValue(std::u16string name, TLWPRuntime::NativeBody body)
      : TLWPFunctionValue(std::move(name), {}, {}, nullptr), body_(std::move(body)) {}
  TLWPValueRef invokeWithEvaluatedArguments(const TLWPValues& arguments, TLWPError& error) override {
    // Methods call back without a statement of their own: each call is an instruction.
    TLWPRunState* state = TLWPRunState::current();
    if (state && !state->countInstruction(error)) return TLWPRuntimeValue::undefinedValue();
    TLWPValueRef r = body_(arguments, error);
    return error || !r ? TLWPRuntimeValue::undefinedValue() : r;
  }

 private:
  TLWPRuntime::NativeBody body_;
};

// Nested plain objects deeper than this are refused (and so are cycles).
constexpr int kMaxObjectDepth = 64;
// Plain values one conversion may make (shared parts counted each time they appear).
constexpr std::int64_t kMaxObjectNodes = 100000;

}  // namespace

// ------------------------------------------------------------------ runtime

TLWPRuntime::TLWPRuntime() {
  TLWPRunState::Enter enter(state_);
  initScope_ = TLWPScope::make(nullptr);
  globalScope_ = initScope_->createChildScope();
  globalScope_->addValue(u"require", makeNative(u"require", [this](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
    if (a.size() != 1) {
      e.set(err::kArgumentCount, "require takes one argument");
      return nullptr;
    }
    std::u16string name = a[0]->stringValue(e);
    if (e) return nullptr;
    return requireModule(name, e);
  }));
  setModuleCreator("internal.platform", [](TLWPRuntime&) {
    return makeObject({{u"getVersion", makeNative(u"getVersion", [](const TLWPValues&, TLWPError&) {
                          return tlwp::number(runtimeVersion());
                        })}});
  });
  state_.resetForRun();
}

TLWPRuntime::~TLWPRuntime() {
  modules_.clear();
  globalScope_.reset();
  initScope_.reset();
}

TLWPValueRef TLWPRuntime::executeStatements(const TLWPValues& statements, TLWPError& error) {
  TLWPRunState::Enter enter(state_);
  TLWPValueRef result = TLWPEvaluator::executeStatements(statements, globalScope_, error);
  return error ? TLWPRuntimeValue::undefinedValue() : result;
}

std::shared_ptr<TLWPScope> TLWPRuntime::getRunScope() {
  TLWPRunState::Enter enter(state_);
  return globalScope_->createChildScope();
}

void TLWPRuntime::setModuleCreator(std::string_view name, ModuleCreator creator) {
  std::u16string key = tlwp::utf16(name);
  modules_.erase(key);
  creators_[key] = std::move(creator);
}

TLWPValueRef TLWPRuntime::requireModule(const std::u16string& name, TLWPError& error) {
  auto cached = modules_.find(name);
  if (cached != modules_.end()) return cached->second;
  auto creator = creators_.find(name);
  if (creator == creators_.end()) return TLWPRuntimeValue::undefinedValue();
  TLWPRunState::Enter enter(state_);
  TLWPValueRef module = creator->second(*this);
  if (!module) {
    error.set(err::kModuleCreatorFailed, "Module creator returned nothing");
    return TLWPRuntimeValue::undefinedValue();
  }
  modules_.emplace(name, module);
  return module;
}

void TLWPRuntime::collectGarbage(const std::vector<TLWPTraceable*>& extraRoots) {
  std::vector<TLWPTraceable*> roots(extraRoots);
  roots.push_back(initScope_.get());
  roots.push_back(globalScope_.get());
  for (const auto& [name, module] : modules_) roots.push_back(module.get());
  state_.collectIfNeeded(roots);
}

TLWPValueRef TLWPRuntime::makeNative(std::u16string name, NativeBody body) {
  auto fn = std::make_shared<TLWPNativeFunctionValue>(std::move(name), std::move(body));
  TLWPRunState::track(fn);
  return fn;
}

TLWPValueRef TLWPRuntime::makeObject(std::vector<std::pair<std::u16string, TLWPValueRef>> properties) {
  auto map = TLWPMapValue::make();
  for (auto& [name, value] : properties) map->properties.setValue(name, std::move(value));
  return map;
}

// ------------------------------------------------------------------ converter

namespace {

enum EntityField : std::size_t { kType = 0, kValue = 1, kStatement = 2, kString = 3, kBoolean = 4, kNumber = 5 };

const std::string* slotString(const TLWPBMessageInfo& info, std::size_t field) {
  const auto* s = std::get_if<std::unique_ptr<std::string>>(&info.slot(field));
  return s && *s ? s->get() : nullptr;
}

std::uint64_t slotNumber(const TLWPBMessageInfo& info, std::size_t field) {
  const auto* n = std::get_if<std::uint64_t>(&info.slot(field));
  return n ? *n : 0;
}

const std::vector<std::unique_ptr<TLWPBMessageInfo>>* slotMessages(const TLWPBMessageInfo& info, std::size_t field) {
  if (field >= info.fieldCount()) return nullptr;
  const auto* list = std::get_if<std::unique_ptr<TLWPBRepeatedField>>(&info.slot(field));
  return list && *list ? &(*list)->messages : nullptr;
}

}  // namespace

TLWPValueRef TLWPRuntimeEntityConverter::valueFromEntity(const TLWPBMessageInfo& entity, TLWPError& error) {
  if (&entity.descriptor() != &TLWPBRuntimeEntity::descriptor()) {
    error.set(err::kUnknownEntityType, "Not a runtime entity");
    return TLWPRuntimeValue::undefinedValue();
  }
  switch (slotNumber(entity, kType)) {
    case 1: {
      const std::string* s = slotString(entity, kString);
      return tlwp::string(s ? std::string_view(*s) : std::string_view());
    }
    case 2: {
      const auto* d = std::get_if<double>(&entity.slot(kNumber));
      return tlwp::number(d ? *d : std::nan(""));
    }
    case 3:
      return TLWPRuntimeValue::booleanValue(slotNumber(entity, kBoolean) != 0);
    case 4: {
      const std::string* op = slotString(entity, kStatement);
      if (!op) {
        error.set(err::kNoOperationName, "Statement without an operation name");
        return TLWPRuntimeValue::undefinedValue();
      }
      TLWPValues arguments = valuesFromEntities(entity, kValue, error);
      if (error) return TLWPRuntimeValue::undefinedValue();
      return std::make_shared<TLWPStatementValue>(tlwp::utf16(*op), std::move(arguments));
    }
    default:
      error.set(err::kUnknownEntityType, "Unknown runtime entity type");
      return TLWPRuntimeValue::undefinedValue();
  }
}

TLWPValues TLWPRuntimeEntityConverter::valuesFromEntities(const TLWPBMessageInfo& message, std::size_t field,
                                                          TLWPError& error) {
  TLWPValues out;
  const auto* list = slotMessages(message, field);
  if (!list) return out;
  out.reserve(list->size());
  for (const auto& child : *list) {
    out.push_back(valueFromEntity(*child, error));
    if (error) return {};
  }
  return out;
}

namespace {

TLWPValueRef fromObject(const platform::Value& object, TLWPError& error, int depth) {
  if (depth > kMaxObjectDepth) {
    error.set(err::kNotConvertible, "Object nested too deep");
    return TLWPRuntimeValue::undefinedValue();
  }
  switch (object.kind()) {
    case platform::Value::Kind::Null:
      return TLWPRuntimeValue::nullValue();
    case platform::Value::Kind::Bool:
      return TLWPRuntimeValue::booleanValue(*object.boolValue());
    case platform::Value::Kind::Int:
    case platform::Value::Kind::UInt:
    case platform::Value::Kind::Double:
      return tlwp::number(*object.doubleValue());
    case platform::Value::Kind::String:
      return tlwp::string(std::string_view(*object.string()));
    case platform::Value::Kind::Array: {
      auto array = TLWPArrayValue::make();
      for (const auto& element : *object.array()) {
        array->slots.append(fromObject(element, error, depth + 1));
        if (error) return TLWPRuntimeValue::undefinedValue();
      }
      return array;
    }
    case platform::Value::Kind::Dictionary: {
      auto map = TLWPMapValue::make();
      for (const auto& [key, value] : *object.dictionary()) {
        if (!key.isString()) {
          error.set(err::kNotConvertible, "Dictionary key is not a string");
          return TLWPRuntimeValue::undefinedValue();
        }
        map->properties.setValue(tlwp::utf16(*key.string()), fromObject(value, error, depth + 1));
        if (error) return TLWPRuntimeValue::undefinedValue();
      }
      return map;
    }
    default:
      error.set(err::kNotConvertible, "Object cannot become a runtime value");
      return TLWPRuntimeValue::undefinedValue();
  }
}

// One conversion to plain values. Nodes are counted as if shared parts were copied, since
// that is the size the event carries from here on; each shared array or map is converted
// once and its result reused.
class ToObject {
 public:
  explicit ToObject(TLWPError& error) : error_(error) {}

  platform::Value convert(const TLWPRuntimeValue& value, int depth) {
    if (depth > kMaxObjectDepth) {
      error_.set(err::kNotConvertible, "Value nested too deep (or circular)");
      return {};
    }
    switch (value.kind()) {
      case TLWPKind::String: {
        const std::u16string& s = static_cast<const TLWPStringValue&>(value).value;
        if (!count(1) || !TLWPRunState::chargeCurrent(static_cast<std::int64_t>(s.size()), error_)) return {};
        return platform::Value(tlwp::utf8(s));
      }
      case TLWPKind::Number: {
        if (!count(1)) return {};
        double d = static_cast<const TLWPNumberValue&>(value).value;
        if (d == std::trunc(d) && std::fabs(d) <= 9007199254740992.0) return platform::Value(static_cast<std::int64_t>(d));
        return platform::Value(d);
      }
      case TLWPKind::Boolean:
        if (!count(1)) return {};
        return platform::Value(static_cast<const TLWPBooleanValue&>(value).value);
      case TLWPKind::Null:
      case TLWPKind::Undefined:
        count(1);
        return {};
      case TLWPKind::Array:
      case TLWPKind::Map:
        return container(value, depth);
      default:
        error_.set(err::kNotConvertible, "Value cannot become a plain object");
        return {};
    }
  }

  platform::Dictionary dictionary(const TLWPMapValue& map, int depth) {
    platform::Dictionary out;
    for (const auto& name : map.properties.allNames()) {
      out.set(platform::Value(tlwp::utf8(name)), convert(*map.properties.valueForName(name), depth + 1));
      if (error_) return {};
    }
    return out;
  }

 private:
  bool count(std::int64_t nodes) {
    nodes_ += nodes;
    TLWPRunState::addWork(static_cast<std::size_t>(nodes));
    if (nodes_ <= kMaxObjectNodes) return TLWPRunState::chargeSlots(nodes, error_);
    error_.set(err::kResourceExhausted, "Value too large to convert");
    return false;
  }

  platform::Value container(const TLWPRuntimeValue& value, int depth) {
    if (auto it = done_.find(&value); it != done_.end()) {
      nodes_ += it->second.second;
      if (nodes_ > kMaxObjectNodes) {
        error_.set(err::kResourceExhausted, "Value too large to convert");
        return {};
      }
      return it->second.first;
    }
    const std::int64_t before = nodes_;
    if (!count(1)) return {};
    platform::Value out;
    if (value.isMap()) {
      out = platform::Value(dictionary(static_cast<const TLWPMapValue&>(value), depth));
    } else {
      const auto& array = static_cast<const TLWPArrayValue&>(value);
      if (array.slots.length() > static_cast<std::uint64_t>(kMaxObjectNodes)) {
        error_.set(err::kNotConvertible, "Array too long to convert");
        return {};
      }
      platform::Array elements;
      for (const auto& element : array.allElements(error_)) {
        elements.push_back(convert(*element, depth + 1));
        if (error_) return {};
      }
      out = platform::Value(std::move(elements));
    }
    if (error_) return {};
    done_.emplace(&value, std::pair{out, nodes_ - before});
    return out;
  }

  TLWPError& error_;
  std::int64_t nodes_ = 0;
  std::unordered_map<const TLWPRuntimeValue*, std::pair<platform::Value, std::int64_t>> done_;
};

}  // namespace

TLWPValueRef TLWPRuntimeEntityConverter::runtimeValueFromObject(const platform::Value& object, TLWPError& error) {
  return fromObject(object, error, 0);
}

platform::Value TLWPRuntimeEntityConverter::objectFromRuntimeValue(const TLWPRuntimeValue& value, TLWPError& error) {
  return ToObject(error).convert(value, 0);
}

platform::Dictionary TLWPRuntimeEntityConverter::dictionaryFromMapValue(const TLWPMapValue& map, TLWPError& error) {
  return ToObject(error).dictionary(map, 0);
}

// ------------------------------------------------------------------ modules

namespace tlwp_modules {

namespace {

// The monitor routes by level alone: 2 and 5 are sampled but kept off the console, 0 and
// 3 printed but kept out of the health sample (which is uploaded, and a program's message
// may hold parameter values it read).
std::int64_t routedLevel(std::int64_t level, bool silent, bool monitored) {
  if (silent) return level <= 2 ? 2 : (level <= 5 ? 5 : 8);
  if (!monitored && (level == 1 || level == 2)) return 0;
  if (!monitored && (level == 4 || level == 5)) return 3;
  return level;
}

TLWPValueRef logFunction(std::u16string name, bool silent, bool monitored,
                         std::function<void(std::int64_t level, std::string_view message)> logger) {
  return TLWPRuntime::makeNative(std::move(name), [silent, monitored, logger](const TLWPValues& a,
                                                                              TLWPError& e) -> TLWPValueRef {
    if (a.empty()) {
      e.set(err::kArgumentCount, "log takes at least one argument");
      return nullptr;
    }
    std::int64_t level = 4;
    std::u16string message;
    if (a.size() == 1) {
      message = a[0]->stringValue(e);
    } else {
      double d = a[0]->doubleValue(e);
      level = std::isfinite(d) ? static_cast<std::int64_t>(std::clamp(std::trunc(d), -1e9, 1e9)) : 0;
      message = a[1]->stringValue(e);
      for (std::size_t i = 2; i < a.size() && i < 5 && !e; ++i) {
        message += i == 2 ? u" (" : u", ";
        message += a[i]->stringValue(e);
        if (i + 1 == a.size() || i == 4) message += u")";
      }
    }
    if (e) return nullptr;
    if (logger) logger(routedLevel(level, silent, monitored), tlwp::utf8(message));
    return TLWPRuntimeValue::undefinedValue();
  });
}

}  // namespace

TLWPValueRef makeMessageLogger(std::function<void(std::int64_t level, std::string_view message)> logger) {
  return TLWPRuntime::makeObject({{u"log", logFunction(u"log", false, true, logger)},
                                  {u"silent", logFunction(u"silent", true, true, logger)},
                                  {u"unmonitored", logFunction(u"unmonitored", false, false, logger)}});
}

TLWPValueRef makeKeyValueStore(std::function<TLWPValueRef(const std::u16string& key)> lookup) {
  return TLWPRuntime::makeObject(
      {{u"getValue", TLWPRuntime::makeNative(u"getValue", [lookup](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
          if (a.size() != 2) {
            e.set(err::kArgumentCount, "getValue takes two arguments");
            return nullptr;
          }
          std::u16string key = a[0]->stringValue(e);
          if (e) return nullptr;
          TLWPValueRef found = lookup ? lookup(key) : nullptr;
          return found ? found : a[1];
        })}});
}

}  // namespace tlwp_modules
