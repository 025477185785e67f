#include "measurement/script/TLWPEventEditing.h"

#include <cmath>
#include <limits>

#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/script/TLWPEvaluator.h"

namespace {

namespace err = tlwp_error;
namespace edit_err = tlwp_editing_error;
constexpr std::int64_t kDefaultPriority = 1000;

void editingError(TLWPError& e, std::int64_t code, std::string_view text) { e.set(code, text, kTLWPEditingErrorDomain); }

bool sameEvent(const TLWEvent::EditForm& a, const TLWEvent::EditForm& b) {
  return std::fabs(a.timestamp - b.timestamp) < std::numeric_limits<double>::epsilon() && a.name == b.name &&
         a.parameters == b.parameters;
}

bool argumentCount(const TLWPValues& a, std::size_t n, TLWPError& e) {
  if (a.size() == n) return true;
  e.set(err::kArgumentCount, "Wrong number of arguments");
  return false;
}

}  // namespace

TLWPEventEditing::TLWPEventEditing() : runtime_(std::make_unique<TLWPRuntime>()) {
  runtime_->setModuleCreator("internal.registerCallback", [this](TLWPRuntime&) {
    return TLWPRuntime::makeNative(u"registerCallback",
                                   [this](const TLWPValues& a, TLWPError& e) { return registerCallback(a, e); });
  });
  runtime_->setModuleCreator("internal.eventLogger", [this](TLWPRuntime&) {
    return TLWPRuntime::makeNative(u"logEvent", [this](const TLWPValues& a, TLWPError& e) { return logEvent(a, e); });
  });
}

TLWPEventEditing::~TLWPEventEditing() {
  eventObject_.reset();
  editCallbacks_.clear();
  createCallbacks_.clear();
  runtime_.reset();
}

void TLWPEventEditing::setModuleCreator(std::string_view name, TLWPRuntime::ModuleCreator creator) {
  runtime_->setModuleCreator(name, std::move(creator));
}

TLWPValueRef TLWPEventEditing::registerCallback(const TLWPValues& a, TLWPError& e) {
  if (!argumentCount(a, 3, e)) return nullptr;
  if (!a[1]->isFunction() || !a[2]->isMap()) {
    e.set(err::kArgumentType, "registerCallback needs a function and an options map");
    return nullptr;
  }
  const TLWPPropertyMap& options = static_cast<const TLWPMapValue&>(*a[2]).properties;
  const TLWPValueRef* type = options.find(u"type");
  if (!type) {
    editingError(e, edit_err::kMissingType, "Callback options lack a type");
    return nullptr;
  }
  std::u16string kind = (*type)->stringValue(e);
  if (e) return nullptr;
  std::int64_t priority = kDefaultPriority;
  if (const TLWPValueRef* p = options.find(u"priority")) {
    double d = (*p)->doubleValue(e);
    if (e) return nullptr;
    priority = tlwp::toInt32(d);
  }
  std::map<std::int64_t, TLWPValueRef>* callbacks = nullptr;
  if (kind == u"create") {
    callbacks = &createCallbacks_;
  } else if (kind == u"edit") {
    callbacks = &editCallbacks_;
  } else {
    editingError(e, edit_err::kUnknownType, "Callback type is neither create nor edit");
    return nullptr;
  }
  if (callbackCount() >= kMaxCallbacks) {
    editingError(e, edit_err::kTooManyCallbacks, "Too many callbacks");
    return nullptr;
  }
  if (callbacks->count(priority)) priority = callbacks->rbegin()->first + 1;
  callbacks->emplace(priority, a[1]);
  return TLWPRuntimeValue::undefinedValue();
}

TLWPValueRef TLWPEventEditing::logEvent(const TLWPValues& a, TLWPError& e) {
  if (!argumentCount(a, 3, e)) return nullptr;
  std::u16string name = a[0]->stringValue(e);
  double timestamp = a[1]->doubleValue(e);
  if (e) return nullptr;
  if (!a[2]->isMap()) {
    e.set(err::kArgumentType, "Event parameters must be a map");
    return nullptr;
  }
  platform::Dictionary parameters =
      TLWPRuntimeEntityConverter::dictionaryFromMapValue(static_cast<const TLWPMapValue&>(*a[2]), e);
  if (e) return nullptr;
  if (context_.eventsToLog.size() >= kMaxCreatedEvents) {
    e.set(err::kResourceExhausted, "Too many created events");
    return nullptr;
  }
  context_.eventsToLog.push_back(TLWEvent::EditForm{tlwp::utf8(name), tlwp::toInteger(timestamp), std::move(parameters)});
  return TLWPRuntimeValue::undefinedValue();
}

TLWPValueRef TLWPEventEditing::makeEventFunctions() {
  TLWEvent::EditForm* out = &context_.outputEvent;
  using R = TLWPRuntime;
  auto getEventName = R::makeNative(u"getEventName", [out](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
    if (!argumentCount(a, 0, e)) return nullptr;
    return tlwp::string(std::string_view(out->name));
  });
  auto getParamValue = R::makeNative(u"getParamValue", [out](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
    if (!argumentCount(a, 1, e)) return nullptr;
    std::u16string name = a[0]->stringValue(e);
    if (e) return nullptr;
    const platform::Value* value = out->parameters.find(tlwp::utf8(name));
    if (!value) return TLWPRuntimeValue::undefinedValue();
    return TLWPRuntimeEntityConverter::runtimeValueFromObject(*value, e);
  });
  auto getParams = R::makeNative(u"getParams", [out](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
    if (!argumentCount(a, 0, e)) return nullptr;
    return TLWPRuntimeEntityConverter::runtimeValueFromObject(platform::Value(out->parameters), e);
  });
  auto getTimestamp = R::makeNative(u"getTimestamp", [out](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
    if (!argumentCount(a, 0, e)) return nullptr;
    return tlwp::number(out->timestamp);
  });
  auto setEventName = R::makeNative(u"setEventName", [out](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
    if (!argumentCount(a, 1, e)) return nullptr;
    if (!a[0]->isString()) {
      e.set(err::kArgumentType, "Event name must be a string");
      return nullptr;
    }
    out->name = tlwp::utf8(static_cast<const TLWPStringValue&>(*a[0]).value);
    return a[0];
  });
  auto setParamValue = R::makeNative(u"setParamValue", [out](const TLWPValues& a, TLWPError& e) -> TLWPValueRef {
    if (!argumentCount(a, 2, e)) return nullptr;
    std::u16string name = a[0]->stringValue(e);
    if (e) return nullptr;
    // Without a removal method, null or undefined is how a program drops a parameter.
    if (a[1]->isNullOrUndefined()) {
      out->parameters.erase(tlwp::utf8(name));
      return TLWPRuntimeValue::undefinedValue();
    }
    platform::Value value = TLWPRuntimeEntityConverter::objectFromRuntimeValue(*a[1], e);
    if (e) return nullptr;
    out->parameters.set(platform::Value(tlwp::utf8(name)), std::move(value));
    return a[1];
  });
  return R::makeObject({{u"getEventName", getEventName},
                        {u"getParamValue", getParamValue},
                        {u"getParams", getParams},
                        {u"getTimestamp", getTimestamp},
                        {u"setEventName", setEventName},
                        {u"setParamValue", setParamValue}});
}

bool TLWPEventEditing::loadProgram(const TLWPBProgram& program, TLWError* error) {
  TLWPRunState::Enter enter(runtime_->runState());
  runtime_->resetInstructionCount();
  TLWPError e;
  TLWPValues statements =
      TLWPRuntimeEntityConverter::valuesFromEntities(program.messageInfo(), TLWPBProgram::kInstructions, e);
  TLWPValueRef result = e ? nullptr : runtime_->executeStatements(statements, e);
  if (!e && result->isControl()) editingError(e, edit_err::kControlAtTopLevel, "Program ends in a control statement");
  if (!e) {
    auto activities = program.GetMessage<TLWPBOgtActivities>(TLWPBProgram::kActivities);
    for (const auto& activity : activities ? activities->GetRepeated<TLWPBOgtActivity>(TLWPBOgtActivities::kActivities)
                                           : std::vector<std::shared_ptr<TLWPBOgtActivity>>{}) {
      const std::u16string name = tlwp::utf16(activity->GetString(TLWPBOgtActivity::kName).value_or(std::string()));
      TLWPValues data =
          TLWPRuntimeEntityConverter::valuesFromEntities(activity->messageInfo(), TLWPBOgtActivity::kData, e);
      for (const auto& entity : data) {
        if (e) break;
        TLWPValueRef rule = runtime_->executeStatements({entity}, e);
        if (e) break;
        if (!rule->isMap()) {
          editingError(e, edit_err::kRuleNotMap, "Activity data is not a map");
          break;
        }
        TLWPValueRef callee = runtime_->getRunScope()->valueForName(name);
        if (callee->isFunction()) static_cast<TLWPFunctionValue&>(*callee).invokeWithEvaluatedArguments({rule}, e);
      }
      if (e) break;
    }
  }
  collect();
  // What the top level keeps is held to the same bound as what a run keeps.
  if (!e && runtime_->runState().retainedUnits() > TLWPRunState::kRetainedBudget) {
    e.set(err::kResourceExhausted, "Program keeps too much memory");
  }
  if (e) {
    TLWSetError(error, e.asError());
    return false;
  }
  return true;
}

bool TLWPEventEditing::runCallbacks(const std::map<std::int64_t, TLWPValueRef>& callbacks, bool inspectResults,
                                    const TLWPValueRef& eventObject, TLWPError& e) {
  // A callback may register further callbacks: walk a snapshot.
  const std::vector<TLWPValueRef> snapshot = [&] {
    std::vector<TLWPValueRef> v;
    for (const auto& [priority, fn] : callbacks) v.push_back(fn);
    return v;
  }();
  for (const auto& fn : snapshot) {
    TLWEvent::EditForm remembered = context_.outputEvent;
    TLWPValueRef result = static_cast<TLWPFunctionValue&>(*fn).invokeWithEvaluatedArguments({eventObject}, e);
    if (e) {
      context_.outputEvent = std::move(remembered);
      return false;
    }
    if (!inspectResults) continue;
    // 2, or anything but a number, discards this callback's edits.
    if (!result->isNumber() || static_cast<const TLWPNumberValue&>(*result).value == 2) {
      context_.outputEvent = std::move(remembered);
    }
  }
  return true;
}

std::optional<bool> TLWPEventEditing::handleEvent(const TLWEvent::EditForm& event, TLWError* error) {
  context_.inputEvent = event;
  context_.outputEvent = event;
  context_.eventsToLog.clear();
  if (unloaded_) return false;
  TLWPError e;
  {
    TLWPRunState::Enter enter(runtime_->runState());
    runtime_->resetInstructionCount();
    // Made once: its functions always act on the context's current output event.
    if (!eventObject_) eventObject_ = makeEventFunctions();
    if (runCallbacks(editCallbacks_, true, eventObject_, e)) runCallbacks(createCallbacks_, false, eventObject_, e);
    collect();
  }
  if (runtime_->runState().retainedUnits() > TLWPRunState::kRetainedBudget) {
    unload();
    context_.outputEvent = context_.inputEvent;
    context_.eventsToLog.clear();
    return false;
  }
  if (e) {
    context_.outputEvent = context_.inputEvent;
    context_.eventsToLog.clear();
    TLWSetError(error, e.asError());
    return std::nullopt;
  }
  return hasEdits() || hasCreatedEvents();
}

bool TLWPEventEditing::hasEdits() const { return !sameEvent(context_.inputEvent, context_.outputEvent); }

void TLWPEventEditing::unload() {
  unloaded_ = true;
  eventObject_.reset();
  editCallbacks_.clear();
  createCallbacks_.clear();
  // A fresh runtime: what the program kept goes with the old one.
  runtime_ = std::make_unique<TLWPRuntime>();
  if (logger_) {
    logger_(1, "Event editing program unloaded: it keeps more than " +
                   std::to_string(TLWPRunState::kRetainedBudget * 2 / (1024 * 1024)) + " MiB between events");
  }
}

void TLWPEventEditing::collect() {
  std::vector<TLWPTraceable*> roots;
  if (eventObject_) roots.push_back(eventObject_.get());
  for (const auto& [p, fn] : editCallbacks_) roots.push_back(fn.get());
  for (const auto& [p, fn] : createCallbacks_) roots.push_back(fn.get());
  runtime_->collectGarbage(roots);
}

// ------------------------------------------------------------------ factory

std::shared_ptr<TLWEventEditor> TLWPEventEditorFactory::makeEditor(const TLWPBProgram& program,
                                                                   const TLWEventEditingModules& modules,
                                                                   TLWError* error) {
  auto editing = std::make_shared<TLWPEventEditing>();
  auto remoteConfigValue = modules.remoteConfigValue;
  editing->setModuleCreator("internal.remoteConfig", [remoteConfigValue](TLWPRuntime&) {
    return tlwp_modules::makeKeyValueStore([remoteConfigValue](const std::u16string& key) -> TLWPValueRef {
      if (!remoteConfigValue) return nullptr;
      auto value = remoteConfigValue(tlwp::utf8(key));
      return value ? tlwp::string(std::string_view(*value)) : nullptr;
    });
  });
  platform::Dictionary metadata = modules.appMetadata;
  editing->setModuleCreator("internal.appMetadata", [metadata](TLWPRuntime&) {
    return tlwp_modules::makeKeyValueStore([metadata](const std::u16string& key) -> TLWPValueRef {
      const platform::Value* value = metadata.find(tlwp::utf8(key));
      if (!value) return nullptr;
      TLWPError ignored;
      TLWPValueRef converted = TLWPRuntimeEntityConverter::runtimeValueFromObject(*value, ignored);
      return ignored ? nullptr : converted;
    });
  });
  auto logger = modules.logger;
  editing->setModuleCreator("internal.logger", [logger](TLWPRuntime&) { return tlwp_modules::makeMessageLogger(logger); });
  editing->setLogger(logger);
  try {
    if (!editing->loadProgram(program, error)) return nullptr;
  } catch (const std::exception& exception) {
    // Loading runs on the queue that applies configurations: a program never ends it.
    TLWSetError(error, TLWError(std::string(kTLWPEditingErrorDomain), -1,
                                platform::Dictionary{{std::string(kTLWLocalizedDescriptionKey),
                                                      std::string("Loading threw: ") + exception.what()}}));
    return nullptr;
  } catch (...) {
    TLWSetError(error, TLWError(std::string(kTLWPEditingErrorDomain), -1));
    return nullptr;
  }
  return editing;
}
