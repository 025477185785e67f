#pragma once
// Event editing by programs delivered with the measurement configuration.
//
// TLWEventEditor is one loaded program; the write pipeline hands it each event in its edit
// form and applies what it answers. TLWEventEditorFactory builds an editor from the
// configuration's first program; the remote configuration owns the factory (the engine
// hands it the scripting runtime's; without one, programs are ignored and events pass
// unchanged) and keeps the editor of the configuration in force
// (TLWRemoteConfig::eventEditing()).
//
// Thread-safety: an editor is used from the measurement worker queue only. A factory may
// be called from whichever queue applies a configuration.
// Ownership: editors are shared; a replaced configuration drops its editor once the last
// user lets go.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWError.h"
#include "platform/Value.h"

class TLWPBProgram;

inline constexpr int kTLWScriptRuntimeVersion = 0;

// The events of one handleEvent call.
struct TLWEventEditingContext {
  TLWEvent::EditForm inputEvent;
  // The event as edited.
  TLWEvent::EditForm outputEvent;
  // Events the program created, in order.
  std::vector<TLWEvent::EditForm> eventsToLog;
};

class TLWEventEditor {
 public:
  virtual ~TLWEventEditor() = default;
  // Runs the program's callbacks on `event`. nullopt and `error` on failure (the context
  // then holds the unedited event); otherwise whether there is anything to apply.
  virtual std::optional<bool> handleEvent(const TLWEvent::EditForm& event, TLWError* error) = 0;
  // The output event differs from the input event.
  virtual bool hasEdits() const = 0;
  // The program logged at least one event.
  virtual bool hasCreatedEvents() const = 0;
  virtual const TLWEventEditingContext& eventContext() const = 0;
};

// What the remote configuration offers a program, as the modules "internal.remoteConfig",
// "internal.appMetadata" and "internal.logger".
struct TLWEventEditingModules {
  // A setting's value as the configuration sent it, or nullopt when it has none.
  std::function<std::optional<std::string>(std::string_view key)> remoteConfigValue;
  // "platform", "package_name", "zel_version" and, when known, "app_version".
  platform::Dictionary appMetadata;
  // Writes a program's log line through the library's monitor.
  std::function<void(std::int64_t level, std::string_view message)> logger;
};

class TLWEventEditorFactory {
 public:
  virtual ~TLWEventEditorFactory() = default;
  // A new editor with `program` loaded; null and `error` when loading fails.
  virtual std::shared_ptr<TLWEventEditor> makeEditor(const TLWPBProgram& program, const TLWEventEditingModules& modules,
                                                     TLWError* error) = 0;
};
