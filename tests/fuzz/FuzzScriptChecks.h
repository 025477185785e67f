#pragma once
// What the program fuzz target checks for every input, shared with the test that replays
// the committed corpus: arbitrary bytes, decoded as a program and run against a fixed
// event, never crash the runtime, and a failing run leaves the event as it was.

#include <cstdint>
#include <span>
#include <string>

#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/script/TLWPEventEditing.h"

namespace fuzzchecks {

inline std::string checkScript(std::span<const std::uint8_t> bytes) {
  auto program = TLWPBProgram::initWithBuffer(bytes);
  if (!program) return {};
  TLWEventEditingModules modules;
  modules.remoteConfigValue = [](std::string_view key) -> std::optional<std::string> {
    if (key == "measurement.upload.interval") return "3600000";
    return std::nullopt;
  };
  modules.appMetadata.set("platform", "ios");
  modules.appMetadata.set("zel_version", 80901);
  modules.logger = [](std::int64_t, std::string_view) {};
  const TLWEvent::EditForm event{"level_up", 1765000000.5,
                                 platform::Dictionary{{"level", 5}, {"hero", "mage"}, {"_o", "app"}}};
  auto editor = TLWPEventEditorFactory().makeEditor(*program, modules, nullptr);
  if (!editor) return {};
  for (int round = 0; round < 2; ++round) {
    TLWError error;
    auto applied = editor->handleEvent(event, &error);
    const auto& context = editor->eventContext();
    if (!applied) {
      if (error.code() == 0) return "a failed run reported no error";
      if (editor->hasEdits() || editor->hasCreatedEvents()) return "a failed run left edits or created events";
    } else if (*applied != (editor->hasEdits() || editor->hasCreatedEvents())) {
      return "the run's answer disagrees with its context";
    }
    if (context.eventsToLog.size() > TLWPEventEditing::kMaxCreatedEvents) return "too many created events";
  }
  return {};
}

}  // namespace fuzzchecks
