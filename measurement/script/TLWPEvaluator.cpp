#include "measurement/script/TLWPEvaluator.h"

#include <bitset>
#include <cmath>

#include "measurement/script/TLWPRunState.h"

namespace {

using Scope = std::shared_ptr<TLWPScope>;
using E = TLWPError;
namespace err = tlwp_error;

const TLWPValueRef& undefinedV() { return TLWPRuntimeValue::undefinedValue(); }

const std::bitset<67>& registeredOpcodes() {
  static const std::bitset<67> set = [] {
    std::bitset<67> b;
    for (int op : {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 12, 13, 15, 16, 17, 18, 19, 20, 21, 22,
                   23, 24, 25, 26, 27, 28, 29, 30, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44,
                   45, 46, 47, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66}) {
      b.set(static_cast<std::size_t>(op));
    }
    return b;
  }();
  return set;
}

const TLWPValueRef& breakValue() {
  // Never destroyed: library threads may still use it while the process exits.
  static const TLWPValueRef& v = *new TLWPValueRef(
      std::make_shared<TLWPControlValue>(TLWPControlValue::Type::Break, TLWPRuntimeValue::undefinedValue()));
  return v;
}

const TLWPValueRef& continueValue() {
  static const TLWPValueRef& v = *new TLWPValueRef(
      std::make_shared<TLWPControlValue>(TLWPControlValue::Type::Continue, TLWPRuntimeValue::undefinedValue()));
  return v;
}

bool wrongCount(const TLWPValues& args, std::size_t min, std::size_t max, E& e) {
  if (args.size() >= min && args.size() <= max) return false;
  e.set(err::kArgumentCount, "Wrong number of arguments");
  return true;
}

TLWPValueRef fail(E& e, std::int64_t code, std::string_view text) {
  e.set(code, text);
  return undefinedV();
}

TLWPValueRef ev(const TLWPValueRef& v, const Scope& scope, E& e) { return TLWPEvaluator::evaluateStatement(v, scope, e); }

// Evaluates every argument in order (the math, comparison and bitwise families).
bool evaluateAll(const TLWPValues& args, const Scope& scope, E& e, TLWPValues& out) {
  out.reserve(args.size());
  for (const auto& a : args) {
    out.push_back(ev(a, scope, e));
    if (e) return false;
  }
  return true;
}

const std::u16string* asString(const TLWPValueRef& v) {
  return v->isString() ? &static_cast<const TLWPStringValue&>(*v).value : nullptr;
}

TLWPArrayValue* asArray(const TLWPValueRef& v) {
  return v->isArray() ? static_cast<TLWPArrayValue*>(v.get()) : nullptr;
}

TLWPValueRef concatenated(const TLWPRuntimeValue& a, const TLWPRuntimeValue& b, E& e) {
  std::u16string s = a.stringValue(e);
  if (e) return undefinedV();
  std::u16string t = b.stringValue(e);
  if (e) return undefinedV();
  if (s.size() + t.size() > TLWPRunState::kMaxStringLength) return fail(e, err::kResourceExhausted, "String too long");
  if (!TLWPRunState::chargeCurrent(static_cast<std::int64_t>(s.size() + t.size()), e)) return undefinedV();
  TLWPRunState::addWork(s.size() + t.size());
  s += t;
  return tlwp::string(std::move(s));
}

TLWPValueRef math(int op, const TLWPValues& a, E& e) {
  const std::size_t want = (op == 27 || op == 34 || op == 35) ? 1 : 2;
  if (wrongCount(a, want, want, e)) return undefinedV();
  switch (op) {
    case 32:
    case 33:
    case 34:
    case 35:
      return a[0];
    case 0:
      if (a[0]->isStringLike() || a[1]->isStringLike()) return concatenated(*a[0], *a[1], e);
      break;
    default:
      break;
  }
  double x = a[0]->doubleValue(e);
  if (op == 27) return e ? undefinedV() : tlwp::number(-x);
  double y = a[1]->doubleValue(e);
  if (e) return undefinedV();
  switch (op) {
    case 0:
      return tlwp::number(x + y);
    case 10:
      return tlwp::number(x / y);
    case 25:
      return tlwp::number(std::fmod(x, y));
    case 26:
      return tlwp::number(x * y);
    default:  // 37
      return tlwp::number(x - y);
  }
}

TLWPValueRef bitwise(int op, const TLWPValues& a, E& e) {
  const std::size_t want = op == 58 ? 1 : 2;
  if (wrongCount(a, want, want, e)) return undefinedV();
  double x = a[0]->doubleValue(e);
  double y = want == 2 ? a[1]->doubleValue(e) : 0;
  if (e) return undefinedV();
  const std::int32_t ix = tlwp::toInt32(x);
  const std::int32_t iy = tlwp::toInt32(y);
  const std::uint32_t shift = tlwp::toUInt32(y) & 31u;
  switch (op) {
    case 56:
      return tlwp::number(ix & iy);
    case 57:
      return tlwp::number(static_cast<std::int32_t>(static_cast<std::uint32_t>(ix) << shift));
    case 58:
      return tlwp::number(~ix);
    case 59:
      return tlwp::number(ix | iy);
    case 60:
      return tlwp::number(ix >> shift);
    case 61:
      return tlwp::number(static_cast<double>(tlwp::toUInt32(x) >> shift));
    default:  // 62
      return tlwp::number(ix ^ iy);
  }
}

TLWPValueRef comparison(int op, const TLWPValues& a, E& e) {
  if (wrongCount(a, 2, 2, e)) return undefinedV();
  const TLWPRuntimeValue& x = *a[0];
  const TLWPRuntimeValue& y = *a[1];
  bool r = false;
  switch (op) {
    case 12:
      r = tlwp::looseEquals(x, y, e);
      break;
    case 29:
      r = !tlwp::looseEquals(x, y, e);
      break;
    case 20:
      r = tlwp::strictEquals(x, y);
      break;
    case 21:
      r = !tlwp::strictEquals(x, y);
      break;
    case 23:
      r = tlwp::lessThan(x, y, false, e);
      break;
    case 24:
      r = tlwp::lessThan(x, y, true, e);
      break;
    case 18:
      r = tlwp::lessThan(y, x, false, e);
      break;
    default:  // 19
      r = tlwp::lessThan(y, x, true, e);
      break;
  }
  return e ? undefinedV() : TLWPRuntimeValue::booleanValue(r);
}

// What a loop does after one run of its body.
enum class Next { Go, Stop };

Next afterBody(const TLWPValueRef& r, const E& e, TLWPValueRef& loopResult) {
  if (e) return Next::Stop;
  if (r->isControl()) {
    const auto& c = static_cast<const TLWPControlValue&>(*r);
    if (c.type == TLWPControlValue::Type::Break) {
      loopResult = undefinedV();
      return Next::Stop;
    }
    if (c.type == TLWPControlValue::Type::Return) {
      loopResult = r;
      return Next::Stop;
    }
  }
  return Next::Go;
}

// Runs an array's elements as statements where they are, without a copy: holes cost
// nothing until they run, and each one run counts an instruction (as undefined).
TLWPValueRef runList(const TLWPArrayValue& list, const Scope& scope, E& e) {
  const std::uint64_t length = list.slots.length();
  TLWPValueRef last = undefinedV();
  for (std::uint64_t i = 0; i < length; ++i) {
    TLWPValueRef statement = list.slots.getRef(i);
    last = ev(statement ? statement : undefinedV(), scope, e);
    if (e) return undefinedV();
    if (last->isControl()) return last;
  }
  return last;
}

// An iteration costs an instruction of its own, so an empty body is no free loop.
bool countIteration(E& e) {
  TLWPRunState* state = TLWPRunState::current();
  return !state || state->countInstruction(e);
}

// A loop's body: its argument evaluated to an array of statements.
bool loopBody(const TLWPValueRef& arg, const Scope& scope, E& e, TLWPValueRef& body) {
  body = ev(arg, scope, e);
  if (e) return false;
  if (!asArray(body)) {
    e.set(err::kArgumentType, "Loop body is not a statement list");
    return false;
  }
  return true;
}

TLWPValueRef runBody(const TLWPValueRef& body, const Scope& scope, E& e) {
  if (!countIteration(e)) return undefinedV();
  return runList(static_cast<const TLWPArrayValue&>(*body), scope, e);
}

// A branch that evaluates to an array runs its elements as statements.
TLWPValueRef runBranch(const TLWPValueRef& arg, const Scope& scope, E& e) {
  TLWPValueRef v = ev(arg, scope, e);
  if (e) return undefinedV();
  if (TLWPArrayValue* array = asArray(v)) return runList(*array, scope, e);
  return v;
}

TLWPValueRef makeFunction(const TLWPValues& a, const Scope& scope, E& e, std::u16string* nameOut) {
  if (wrongCount(a, 2, SIZE_MAX, e)) return undefinedV();
  TLWPValueRef name = ev(a[0], scope, e);
  if (e) return undefinedV();
  TLWPValueRef params = ev(a[1], scope, e);
  if (e) return undefinedV();
  TLWPArrayValue* list = asArray(params);
  if (!list) return fail(e, err::kArgumentType, "Parameter names are not an array");
  std::vector<std::u16string> names;
  for (const auto& p : list->allElements(e)) {
    const std::u16string* s = asString(p);
    if (!s) return fail(e, err::kArgumentType, "Parameter name is not a string");
    names.push_back(*s);
  }
  if (e) return undefinedV();
  const std::u16string* s = asString(name);
  *nameOut = s ? *s : std::u16string();
  return TLWPFunctionValue::make(*nameOut, std::move(names), TLWPValues(a.begin() + 2, a.end()), scope);
}

TLWPValueRef switchStatement(const TLWPValues& a, const Scope& scope, E& e) {
  if (wrongCount(a, 3, 3, e)) return undefinedV();
  TLWPValues v;
  if (!evaluateAll(a, scope, e, v)) return undefinedV();
  TLWPArrayValue* cases = asArray(v[1]);
  TLWPArrayValue* bodies = asArray(v[2]);
  if (!cases || !bodies) return fail(e, err::kArgumentCount, "Switch cases or bodies are not arrays");
  const TLWPValues caseList = cases->allElements(e);
  const TLWPValues bodyList = bodies->allElements(e);
  if (e) return undefinedV();
  // A body's control value ends the switch: break with undefined, the others passed on.
  auto finish = [&](const TLWPValueRef& r, bool& done) -> TLWPValueRef {
    if (e) {
      done = true;
      return undefinedV();
    }
    if (!r->isControl()) return undefinedV();
    done = true;
    const auto& c = static_cast<const TLWPControlValue&>(*r);
    return c.type == TLWPControlValue::Type::Break ? undefinedV() : r;
  };
  bool matched = false;
  bool done = false;
  for (std::size_t i = 0; i < caseList.size(); ++i) {
    if (!matched) {
      TLWPValueRef c = ev(caseList[i], scope, e);
      if (e) return undefinedV();
      if (!tlwp::strictEquals(*c, *v[0])) continue;
      matched = true;
    }
    if (i >= bodyList.size()) break;
    TLWPValueRef result = finish(runBranch(bodyList[i], scope, e), done);
    if (done) return result;
  }
  if (bodyList.size() == caseList.size() + 1) {
    TLWPValueRef result = finish(runBranch(bodyList.back(), scope, e), done);
    if (done) return result;
  }
  return undefinedV();
}

TLWPValueRef whileLoop(const TLWPValues& a, const Scope& scope, E& e) {
  if (wrongCount(a, 4, 4, e)) return undefinedV();
  TLWPValueRef flag = ev(a[2], scope, e);
  if (e) return undefinedV();
  const bool runFirst = flag->booleanValue(e);
  TLWPValueRef body;
  if (e || !loopBody(a[3], scope, e, body)) return undefinedV();
  TLWPValueRef result = undefinedV();
  if (runFirst && afterBody(runBody(body, scope, e), e, result) == Next::Stop) {
    return e ? undefinedV() : result;
  }
  for (;;) {
    TLWPValueRef c = ev(a[0], scope, e);
    if (e) return undefinedV();
    if (!c->booleanValue(e) || e) return undefinedV();
    if (afterBody(runBody(body, scope, e), e, result) == Next::Stop) {
      return e ? undefinedV() : result;
    }
    ev(a[1], scope, e);
    if (e) return undefinedV();
  }
}

TLWPValueRef forLoop(const TLWPValues& a, const Scope& scope, E& e) {
  if (wrongCount(a, 4, 4, e)) return undefinedV();
  TLWPValueRef namesValue = ev(a[0], scope, e);
  if (e) return undefinedV();
  TLWPArrayValue* namesArray = asArray(namesValue);
  if (!namesArray) return fail(e, err::kArgumentType, "Loop names are not an array");
  TLWPValueRef body;
  if (!loopBody(a[3], scope, e, body)) return undefinedV();
  std::vector<std::u16string> names;
  for (const auto& n : namesArray->allElements(e)) {
    names.push_back(n->stringValue(e));
    if (e) return undefinedV();
  }
  if (e) return undefinedV();
  Scope iteration = scope->createChildScope();
  for (const auto& n : names) iteration->addValue(n, scope->valueForName(n));
  TLWPValueRef result = undefinedV();
  for (;;) {
    TLWPValueRef c = ev(a[1], iteration, e);
    if (e) return undefinedV();
    if (!c->booleanValue(e) || e) return undefinedV();
    if (afterBody(runBody(body, iteration, e), e, result) == Next::Stop) {
      return e ? undefinedV() : result;
    }
    Scope next = scope->createChildScope();
    for (const auto& n : names) next->addValue(n, iteration->valueForName(n));
    iteration = std::move(next);
    ev(a[2], iteration, e);
    if (e) return undefinedV();
  }
}

TLWPValueRef forInOf(int op, const TLWPValues& a, const Scope& scope, E& e) {
  if (wrongCount(a, 3, 3, e)) return undefinedV();
  TLWPValues v;
  if (!evaluateAll(a, scope, e, v)) return undefinedV();
  const std::u16string name = v[0]->stringValue(e);
  if (e) return undefinedV();
  TLWPArrayValue* bodyArray = asArray(v[2]);
  if (!bodyArray) return fail(e, err::kArgumentType, "Loop body is not a statement list");
  const bool isOf = op >= 64;
  const int binding = (op == 47 || op == 64) ? 0 : ((op == 54 || op == 65) ? 1 : 2);
  TLWPValueRef result = undefinedV();
  bool stopped = false;
  // Binds one key or value and runs the body; false once the loop is over.
  auto visit = [&](const TLWPValueRef& item) -> bool {
    if (!countIteration(e)) return false;
    Scope runScope = scope;
    if (binding == 0) {
      scope->setValue(name, item);
    } else {
      runScope = scope->createChildScope();
      if (binding == 1) {
        runScope->addImmutableValue(name, item);
      } else {
        runScope->addValue(name, item);
      }
    }
    stopped = afterBody(runList(*bodyArray, runScope, e), e, result) == Next::Stop;
    return !stopped;
  };
  // Keys of strings and values of arrays are made as the loop reaches them, so a long
  // collection costs only the iterations that run.
  auto visitNames = [&](std::vector<std::u16string> names) {
    if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(names.size()), e)) return;
    for (auto& n : names) {
      if (!visit(tlwp::string(std::move(n)))) return;
    }
  };
  const TLWPRuntimeValue& collection = *v[1];
  if (const std::u16string* s = asString(v[1])) {
    for (std::size_t i = 0; i < s->size(); ++i) {
      if (!visit(isOf ? tlwp::string(std::u16string(1, (*s)[i])) : tlwp::string(tlwp::numberToString(double(i))))) break;
    }
  } else if (collection.isArray()) {
    const auto& array = static_cast<const TLWPArrayValue&>(collection);
    if (isOf) {
      const std::uint64_t length = array.slots.length();
      for (std::uint64_t i = 0; i < length; ++i) {
        TLWPValueRef item = array.slots.getRef(i);
        if (!visit(item ? item : undefinedV())) break;
      }
    } else {
      visitNames(array.allPropertyNames());
    }
  } else if (isOf) {
    return fail(e, err::kNotIterable, "Value is not iterable");
  } else if (collection.isMap() || collection.isFunction()) {
    const TLWPPropertyMap& props = collection.isMap() ? static_cast<const TLWPMapValue&>(collection).properties
                                                      : static_cast<const TLWPFunctionValue&>(collection).properties;
    visitNames(props.allNames());
  }
  if (e) return undefinedV();
  return stopped ? result : undefinedV();
}

TLWPValueRef readProperty(const TLWPValueRef& object, const TLWPValueRef& property, E& e) {
  switch (object->kind()) {
    case TLWPKind::Array:
      return static_cast<const TLWPArrayValue&>(*object).valueForProperty(*property, e);
    case TLWPKind::Map:
    case TLWPKind::Function: {
      std::u16string name = property->stringValue(e);
      if (e) return undefinedV();
      return object->isMap() ? static_cast<const TLWPMapValue&>(*object).properties.valueForName(name)
                             : static_cast<const TLWPFunctionValue&>(*object).properties.valueForName(name);
    }
    case TLWPKind::String: {
      const std::u16string& s = static_cast<const TLWPStringValue&>(*object).value;
      if (property->isString() && static_cast<const TLWPStringValue&>(*property).value == u"length") {
        return tlwp::number(static_cast<double>(s.size()));
      }
      auto index = tlwp::arrayIndex(*property);
      if (index && *index < static_cast<double>(s.size())) {
        return tlwp::string(std::u16string(1, s[static_cast<std::size_t>(*index)]));
      }
      return undefinedV();
    }
    default:
      return undefinedV();
  }
}

TLWPValueRef writeProperty(const TLWPValueRef& object, const TLWPValueRef& property, const TLWPValueRef& value, E& e) {
  switch (object->kind()) {
    case TLWPKind::Null:
    case TLWPKind::Undefined:
      return fail(e, err::kPropertyOnNull, "Cannot set a property of null or undefined");
    case TLWPKind::Array:
      static_cast<TLWPArrayValue&>(*object).setValueForProperty(*property, value, e);
      break;
    case TLWPKind::Map:
    case TLWPKind::Function: {
      std::u16string name = property->stringValue(e);
      if (e || !TLWPRunState::chargeSlots(1, e)) return undefinedV();
      (object->isMap() ? static_cast<TLWPMapValue&>(*object).properties
                       : static_cast<TLWPFunctionValue&>(*object).properties)
          .setValue(name, value);
      break;
    }
    default:
      break;
  }
  return e ? undefinedV() : value;
}

TLWPValueRef typeOf(const TLWPRuntimeValue& v) {
  switch (v.kind()) {
    case TLWPKind::Boolean:
      return tlwp::string(std::u16string(u"boolean"));
    case TLWPKind::Function:
      return tlwp::string(std::u16string(u"function"));
    case TLWPKind::Number:
      return tlwp::string(std::u16string(u"number"));
    case TLWPKind::String:
      return tlwp::string(std::u16string(u"string"));
    case TLWPKind::Undefined:
      return tlwp::string(std::u16string(u"undefined"));
    default:
      return tlwp::string(std::u16string(u"object"));
  }
}

TLWPValueRef variable(int op, const TLWPValues& a, const Scope& scope, E& e) {
  switch (op) {
    case 3: {
      if (wrongCount(a, 2, 2, e)) return undefinedV();
      TLWPValueRef n = ev(a[0], scope, e);
      if (e) return undefinedV();
      TLWPValueRef value = ev(a[1], scope, e);
      if (e) return undefinedV();
      const std::u16string* name = asString(n);
      if (!name) return fail(e, err::kArgumentType, "Name is not a string");
      if (!scope->hasName(*name)) return fail(e, err::kUndeclaredAssignment, "Assignment to an undeclared name");
      scope->setValue(*name, value);
      return value;
    }
    case 41:
      for (const auto& arg : a) {
        TLWPValueRef n = ev(arg, scope, e);
        if (e) return undefinedV();
        const std::u16string* name = asString(n);
        if (!name) return fail(e, err::kArgumentType, "Name is not a string");
        scope->addValue(*name, undefinedV());
      }
      return undefinedV();
    case 52:
      if (a.size() % 2 != 0) return fail(e, err::kArgumentCount, "Constant declarations come in pairs");
      for (std::size_t i = 0; i < a.size(); i += 2) {
        TLWPValueRef n = ev(a[i], scope, e);
        if (e) return undefinedV();
        const std::u16string* name = asString(n);
        if (!name) return fail(e, err::kArgumentType, "Name is not a string");
        TLWPValueRef value = ev(a[i + 1], scope, e);
        if (e) return undefinedV();
        scope->addImmutableValue(*name, value);
      }
      return undefinedV();
    case 15: {
      if (wrongCount(a, 1, 1, e)) return undefinedV();
      TLWPValueRef n = ev(a[0], scope, e);
      if (e) return undefinedV();
      const std::u16string* name = asString(n);
      if (!name) return fail(e, err::kArgumentType, "Name is not a string");
      return scope->valueForName(*name);
    }
    case 16:
    case 17: {
      if (wrongCount(a, 2, 2, e)) return undefinedV();
      TLWPValues v;
      if (!evaluateAll(a, scope, e, v)) return undefinedV();
      return readProperty(v[0], v[1], e);
    }
    case 43: {
      if (wrongCount(a, 3, 3, e)) return undefinedV();
      TLWPValues v;
      if (!evaluateAll(a, scope, e, v)) return undefinedV();
      return writeProperty(v[0], v[1], v[2], e);
    }
    case 7: {
      TLWPValues v;
      if (!evaluateAll(a, scope, e, v)) return undefinedV();
      if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(v.size()) + 1, e)) return undefinedV();
      return TLWPArrayValue::make(std::move(v));
    }
    case 8: {
      if (a.size() % 2 != 0) return fail(e, err::kArgumentCount, "Map literal needs name/value pairs");
      if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(a.size() / 2) + 1, e)) return undefinedV();
      auto map = TLWPMapValue::make();
      for (std::size_t i = 0; i < a.size(); i += 2) {
        TLWPValueRef n = ev(a[i], scope, e);
        if (e) return undefinedV();
        std::u16string name = n->stringValue(e);
        if (e) return undefinedV();
        TLWPValueRef value = ev(a[i + 1], scope, e);
        if (e) return undefinedV();
        map->properties.setValue(name, value);
      }
      return map;
    }
    case 40: {
      if (wrongCount(a, 1, 1, e)) return undefinedV();
      TLWPValueRef v = ev(a[0], scope, e);
      return e ? undefinedV() : typeOf(*v);
    }
    case 45:
      if (wrongCount(a, 0, 0, e)) return undefinedV();
      return TLWPRuntimeValue::nullValue();
    default:  // 44
      if (wrongCount(a, 0, 0, e)) return undefinedV();
      return undefinedV();
  }
}

TLWPValueRef control(int op, const TLWPValues& a, const Scope& scope, E& e) {
  switch (op) {
    case 2: {
      if (wrongCount(a, 3, 3, e)) return undefinedV();
      TLWPValues v;
      if (!evaluateAll(a, scope, e, v)) return undefinedV();
      const std::u16string* name = asString(v[1]);
      TLWPArrayValue* args = asArray(v[2]);
      if (!name || !args) return fail(e, err::kArgumentType, "Method call needs a name and an argument list");
      TLWPValues arguments = args->allElements(e);
      if (e) return undefinedV();
      return TLWPEvaluator::applyMethod(v[0], *name, arguments, scope, e);
    }
    case 4:
      if (wrongCount(a, 0, 0, e)) return undefinedV();
      return breakValue();
    case 6:
      if (wrongCount(a, 0, 0, e)) return undefinedV();
      return continueValue();
    case 36: {
      if (wrongCount(a, 0, 1, e)) return undefinedV();
      TLWPValueRef v = a.empty() ? undefinedV() : ev(a[0], scope, e);
      if (e) return undefinedV();
      return std::make_shared<TLWPControlValue>(TLWPControlValue::Type::Return, v);
    }
    case 22: {
      if (wrongCount(a, 1, 3, e)) return undefinedV();
      TLWPValueRef c = ev(a[0], scope, e);
      if (e) return undefinedV();
      const bool yes = c->booleanValue(e);
      if (e) return undefinedV();
      const std::size_t branch = yes ? 1 : 2;
      return branch < a.size() ? runBranch(a[branch], scope, e) : undefinedV();
    }
    case 39: {
      if (wrongCount(a, 3, 3, e)) return undefinedV();
      TLWPValueRef c = ev(a[0], scope, e);
      if (e) return undefinedV();
      const bool yes = c->booleanValue(e);
      if (e) return undefinedV();
      return ev(a[yes ? 1 : 2], scope, e);
    }
    case 50:
    case 51: {
      std::u16string name;
      TLWPValueRef fn = makeFunction(a, scope, e, &name);
      if (e) return undefinedV();
      if (op == 50) scope->setValue(name, fn);
      return fn;
    }
    case 53:
      return TLWPEvaluator::executeStatements(a, scope->createChildScope(), e);
    case 38:
      return switchStatement(a, scope, e);
    case 46:
      if (!TLWPRunState::chargeSlots(static_cast<std::int64_t>(a.size()) + 1, e)) return undefinedV();
      return TLWPArrayValue::make(a);
    case 5:
    case 9: {
      if (wrongCount(a, 1, 1, e)) return undefinedV();
      TLWPValueRef v = ev(a[0], scope, e);
      if (e) return undefinedV();
      TLWPArrayValue* list = asArray(v);
      if (!list) return fail(e, err::kArgumentType, "Statement list is not an array");
      return runList(*list, scope, e);
    }
    default: {  // 13
      if (wrongCount(a, 1, SIZE_MAX, e)) return undefinedV();
      TLWPValueRef last = undefinedV();
      for (const auto& arg : a) {
        last = ev(arg, scope, e);
        if (e) return undefinedV();
        if (last->isControl()) return fail(e, err::kArgumentType, "Control statement inside a sequence");
      }
      return last;
    }
  }
}

TLWPValueRef dispatch(const TLWPStatementValue& st, const Scope& scope, E& e) {
  const int op = st.opcode;
  const TLWPValues& a = st.arguments;
  switch (op) {
    case 0: case 10: case 25: case 26: case 27: case 37: case 32: case 33: case 34: case 35:
    case 56: case 57: case 58: case 59: case 60: case 61: case 62:
    case 12: case 29: case 20: case 21: case 23: case 24: case 18: case 19: {
      TLWPValues v;
      if (!evaluateAll(a, scope, e, v)) return undefinedV();
      if (op >= 56) return bitwise(op, v, e);
      if (op == 12 || op == 29 || (op >= 18 && op <= 24 && op != 22)) return comparison(op, v, e);
      return math(op, v, e);
    }
    case 1:
    case 30: {
      if (wrongCount(a, 2, 2, e)) return undefinedV();
      TLWPValueRef first = ev(a[0], scope, e);
      if (e) return undefinedV();
      const bool truthy = first->booleanValue(e);
      if (e) return undefinedV();
      if ((op == 1) != truthy) return first;
      return ev(a[1], scope, e);
    }
    case 28: {
      if (wrongCount(a, 1, 1, e)) return undefinedV();
      TLWPValueRef v = ev(a[0], scope, e);
      if (e) return undefinedV();
      const bool truthy = v->booleanValue(e);
      return e ? undefinedV() : TLWPRuntimeValue::booleanValue(!truthy);
    }
    case 42:
      return whileLoop(a, scope, e);
    case 63:
      return forLoop(a, scope, e);
    case 47: case 54: case 55: case 64: case 65: case 66:
      return forInOf(op, a, scope, e);
    case 3: case 41: case 52: case 15: case 16: case 17: case 43: case 7: case 8: case 40: case 45: case 44:
      return variable(op, a, scope, e);
    default:
      return control(op, a, scope, e);
  }
}

}  // namespace

bool TLWPEvaluator::isRegisteredOpcode(int opcode) {
  return opcode >= 0 && opcode < 67 && registeredOpcodes().test(static_cast<std::size_t>(opcode));
}

TLWPValueRef TLWPEvaluator::evaluateStatement(const TLWPValueRef& value, const Scope& scope, TLWPError& error) {
  if (error) return undefinedV();
  TLWPRunState* state = TLWPRunState::current();
  if (!state) return fail(error, err::kResourceExhausted, "No run in progress");
  if (!state->countInstruction(error)) return undefinedV();
  if (!value->isStatement()) return value;
  if (state->evaluationDepth >= TLWPRunState::kMaxEvaluationDepth) {
    return fail(error, err::kResourceExhausted, "Evaluation depth exhausted");
  }
  struct DepthGuard {
    TLWPRunState* s;
    ~DepthGuard() { --s->evaluationDepth; }
  } guard{state};
  ++state->evaluationDepth;
  const auto& st = static_cast<const TLWPStatementValue&>(*value);
  if (st.opcode >= 0) return dispatch(st, scope, error);
  TLWPValueRef callee = scope->valueForName(st.operation);
  if (!callee->isFunction()) return undefinedV();
  // The callee stays alive for the call even if the call reassigns its name.
  return static_cast<TLWPFunctionValue&>(*callee).invokeWithArguments(st.arguments, scope, error);
}

TLWPValueRef TLWPEvaluator::executeStatements(const TLWPValues& statements, const Scope& scope, TLWPError& error) {
  TLWPValueRef last = undefinedV();
  for (const auto& statement : statements) {
    last = evaluateStatement(statement, scope, error);
    if (error) return undefinedV();
    if (last->isControl()) return last;
  }
  return last;
}

namespace {

// Functions and maps: a property holding a function is called; any other property
// value is not a method.
bool callProperty(const TLWPPropertyMap& properties, const std::u16string& name, const TLWPValues& args, E& e,
                  TLWPValueRef& result) {
  const TLWPValueRef* property = properties.find(name);
  if (!property) return false;
  TLWPValueRef callee = *property;
  if (!callee->isFunction()) {
    result = fail(e, err::kUnknownMethod, "Property is not a function");
  } else {
    result = static_cast<TLWPFunctionValue&>(*callee).invokeWithEvaluatedArguments(args, e);
  }
  return true;
}

TLWPValueRef baseMethod(const TLWPRuntimeValue& target, const std::u16string& name, E& e) {
  if (name != u"toString") return fail(e, err::kUnknownMethod, "Unknown method");
  std::u16string s = target.stringValue(e);
  return e ? undefinedV() : tlwp::string(std::move(s));
}

}  // namespace

TLWPValueRef TLWPEvaluator::applyMethod(const TLWPValueRef& target, const std::u16string& name,
                                        const TLWPValues& args, const Scope& scope, TLWPError& e) {
  (void)scope;
  TLWPValueRef result;
  switch (target->kind()) {
    case TLWPKind::Null:
    case TLWPKind::Undefined:
      return fail(e, err::kMethodOnNull, "Cannot call a method of null or undefined");
    case TLWPKind::Array: {
      auto array = std::static_pointer_cast<TLWPArrayValue>(target);
      if (callProperty(array->properties, name, args, e, result)) {
        return result;
      }
      return applyArrayMethod(array, name, args, e);
    }
    case TLWPKind::String:
      return applyStringMethod(static_cast<const TLWPStringValue&>(*target).value, name, args, e);
    case TLWPKind::Map:
    case TLWPKind::Function: {
      const bool isMap = target->isMap();
      const TLWPPropertyMap& properties = isMap ? static_cast<const TLWPMapValue&>(*target).properties
                                                : static_cast<const TLWPFunctionValue&>(*target).properties;
      if (callProperty(properties, name, args, e, result)) return result;
      if (name == u"hasOwnProperty" && (isMap || args.size() == 1)) {
        if (args.size() != 1) return fail(e, err::kArgumentCount, "Wrong number of arguments");
        std::u16string key = args[0]->stringValue(e);
        return e ? undefinedV() : TLWPRuntimeValue::booleanValue(properties.hasName(key));
      }
      return baseMethod(*target, name, e);
    }
    default:
      return baseMethod(*target, name, e);
  }
}
