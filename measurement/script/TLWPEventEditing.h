#pragma once
// TLWPEventEditing: a configuration's event-editing program loaded into a runtime. The
// program registers edit and create callbacks through "internal.registerCallback"; for
// each event, the edit callbacks (ascending priority) change a copy of it, and the create
// callbacks log new events through "internal.eventLogger".
//
// TLWPEventEditorFactory is what the remote configuration uses to load a program; the
// engine installs it by default.
//
// Thread-safety: an editing instance is used from one queue (the measurement worker
// queue); the factory may be called from any queue.
// Ownership: the instance owns its runtime and callbacks.
// Failure: loading fails with a runtime or editing error and the instance must not be
// used; a failing event run leaves the event unedited and nothing to log. A program that
// keeps more than TLWPRunState::kRetainedBudget between events is unloaded (logged once
// through the logger) and every later event passes unedited.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/config/TLWEventEditing.h"
#include "measurement/script/TLWPRuntime.h"

class TLWPBProgram;

inline constexpr std::string_view kTLWPEditingErrorDomain = "com.vorlix.zel.measurement.zorav.editing.ErrorDomain";

namespace tlwp_editing_error {
inline constexpr std::int64_t kMissingType = 2;
inline constexpr std::int64_t kUnknownType = 3;
inline constexpr std::int64_t kTooManyCallbacks = 4;
inline constexpr std::int64_t kControlAtTopLevel = 5;
inline constexpr std::int64_t kRuleNotMap = 6;
}  // namespace tlwp_editing_error

class TLWPEventEditing final : public TLWEventEditor {
 public:
  static constexpr std::size_t kMaxCallbacks = 1000;
  // Events one event's run may create.
  static constexpr std::size_t kMaxCreatedEvents = 1000;

  TLWPEventEditing();
  ~TLWPEventEditing() override;

  TLWPRuntime& runtime() { return *runtime_; }
  void setModuleCreator(std::string_view name, TLWPRuntime::ModuleCreator creator);

  [[nodiscard]] bool loadProgram(const TLWPBProgram& program, TLWError* error);

  std::optional<bool> handleEvent(const TLWEvent::EditForm& event, TLWError* error) override;
  bool hasEdits() const override;
  bool hasCreatedEvents() const override { return !context_.eventsToLog.empty(); }
  const TLWEventEditingContext& eventContext() const override { return context_; }

  std::size_t callbackCount() const { return editCallbacks_.size() + createCallbacks_.size(); }
  // Where the unloading is reported (level, message).
  void setLogger(std::function<void(std::int64_t level, std::string_view message)> logger) {
    logger_ = std::move(logger);
  }
  bool isUnloaded() const { return unloaded_; }

 private:
  TLWPValueRef registerCallback(const TLWPValues& arguments, TLWPError& error);
  TLWPValueRef logEvent(const TLWPValues& arguments, TLWPError& error);
  TLWPValueRef makeEventFunctions();
  bool runCallbacks(const std::map<std::int64_t, TLWPValueRef>& callbacks, bool inspectResults,
                    const TLWPValueRef& eventObject, TLWPError& error);
  void collect();
  void unload();

  std::unique_ptr<TLWPRuntime> runtime_;
  TLWEventEditingContext context_;
  std::map<std::int64_t, TLWPValueRef> editCallbacks_;
  std::map<std::int64_t, TLWPValueRef> createCallbacks_;
  TLWPValueRef eventObject_;
  std::function<void(std::int64_t level, std::string_view message)> logger_;
  bool unloaded_ = false;
};

class TLWPEventEditorFactory final : public TLWEventEditorFactory {
 public:
  // A new editing instance with the configuration's modules ("internal.remoteConfig",
  // "internal.appMetadata", "internal.logger") and `program` loaded.
  std::shared_ptr<TLWEventEditor> makeEditor(const TLWPBProgram& program, const TLWEventEditingModules& modules,
                                             TLWError* error) override;
};
