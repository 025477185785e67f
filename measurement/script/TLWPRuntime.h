#pragma once
// TLWPRuntime: one program runtime: the root and global scopes, the modules a program
// reaches through "require", the run state that bounds evaluation (instruction budget,
// depth, memory, regex time), and the conversions from configuration entities and plain
// objects to runtime values and back.
//
// Thread-safety: none; one queue at a time (the measurement worker queue in the product).
// Ownership: the runtime owns its scopes, modules and every container a program makes;
// values handed out stay valid while the runtime lives (its destructor empties them).
// Failure: executeStatements returns undefined and fills the error; the runtime stays
// usable.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/TLWEventEditing.h"
#include "measurement/script/TLWPRunState.h"
#include "measurement/script/TLWPRuntimeValue.h"
#include "platform/Value.h"

class TLWPBMessageInfo;

class TLWPRuntime {
 public:
  using ModuleCreator = std::function<TLWPValueRef(TLWPRuntime& runtime)>;
  // Native function body: evaluated arguments in, a value (or an error) out.
  using NativeBody = std::function<TLWPValueRef(const TLWPValues& arguments, TLWPError& error)>;

  TLWPRuntime();
  ~TLWPRuntime();
  TLWPRuntime(const TLWPRuntime&) = delete;
  TLWPRuntime& operator=(const TLWPRuntime&) = delete;

  static constexpr int runtimeVersion() { return kTLWScriptRuntimeVersion; }

  // Evaluates each statement in the global scope; the last value, or undefined and
  // `error` at the first failure. Does not reset the instruction counter.
  TLWPValueRef executeStatements(const TLWPValues& statements, TLWPError& error);
  // A new child of the global scope.
  std::shared_ptr<TLWPScope> getRunScope();
  // Registers a module for "require" (replacing one of the same name).
  void setModuleCreator(std::string_view name, ModuleCreator creator);
  // The module of that name, created once; undefined for an unknown name; error 15 when
  // its creator returns nothing.
  TLWPValueRef requireModule(const std::u16string& name, TLWPError& error);

  std::int32_t getInstructionCount() const { return state_.instructionCount(); }
  void resetInstructionCount() { state_.resetForRun(); }
  TLWPRunState& runState() { return state_; }
  const std::shared_ptr<TLWPScope>& globalScope() const { return globalScope_; }

  // Frees containers no scope, module or `extraRoots` reaches, when enough have piled up.
  // Only between runs.
  void collectGarbage(const std::vector<TLWPTraceable*>& extraRoots = {});

  // Values and objects.
  static TLWPValueRef makeNative(std::u16string name, NativeBody body);
  // A map whose properties are the given natives.
  static TLWPValueRef makeObject(std::vector<std::pair<std::u16string, TLWPValueRef>> properties);

 private:
  TLWPRunState state_;
  std::shared_ptr<TLWPScope> initScope_;
  std::shared_ptr<TLWPScope> globalScope_;
  std::map<std::u16string, ModuleCreator> creators_;
  std::map<std::u16string, TLWPValueRef> modules_;
};

// Entities of the configuration and plain objects, to runtime values and back.
class TLWPRuntimeEntityConverter {
 public:
  // A RuntimeEntity record: strings, numbers (NaN when absent), booleans and statements;
  // error 12 for another type, 14 for a statement without an operation name.
  static TLWPValueRef valueFromEntity(const TLWPBMessageInfo& entity, TLWPError& error);
  // Every entity of a repeated RuntimeEntity field of `message`.
  static TLWPValues valuesFromEntities(const TLWPBMessageInfo& message, std::size_t field, TLWPError& error);
  // Strings, numbers (booleans stay booleans), arrays, dictionaries and null; error 13
  // for anything else.
  static TLWPValueRef runtimeValueFromObject(const platform::Value& object, TLWPError& error);
  // The reverse: integral numbers within ±2^53 become integers, holes and undefined null;
  // error 13 for functions, statements, control values and cycles.
  static platform::Value objectFromRuntimeValue(const TLWPRuntimeValue& value, TLWPError& error);
  static platform::Dictionary dictionaryFromMapValue(const TLWPMapValue& map, TLWPError& error);
};

// The native modules of the runtime.
namespace tlwp_modules {
// "internal.logger": "log" (monitored), "silent" and "unmonitored"; one argument logs its
// string at level 4; more take the level, the message and up to three context strings.
TLWPValueRef makeMessageLogger(std::function<void(std::int64_t level, std::string_view message)> logger);
// A key-value store: "getValue"(key, default) answers `lookup(key)` or the default.
TLWPValueRef makeKeyValueStore(std::function<TLWPValueRef(const std::u16string& key)> lookup);
}  // namespace tlwp_modules
