// tallywise-script-runner: runs an event-editing program against one event and prints
// what the program did, so a person writing a program can try it without the library.
//
//   tallywise-script-runner PROGRAM [--event EVENT.json] [--setting key=value ...]
//                           [--save-binary OUT]
//
// PROGRAM is the compact JSON form (see ScriptJson.h) or, with --binary, the serialised
// Program message. Without --event the statements run on their own and the result of the
// last one is printed.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include "measurement/script/TLWPEventEditing.h"
#include "tools/script-runner/ScriptJson.h"

namespace {

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

nlohmann::json errorJson(const TLWError& error) {
  return {{"domain", error.domain()}, {"code", error.code()}, {"description", error.localizedDescription()}};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs an event-editing program against an event and prints the result"};
  std::string programPath, eventPath;
  bool binary = false;
  std::vector<std::string> settings;
  std::string savePath;
  app.add_option("program", programPath, "Program file (compact JSON, or a Program message with --binary)")->required();
  app.add_option("--event", eventPath, "Event as JSON: {\"name\", \"timestamp\", \"parameters\"}");
  app.add_flag("--binary", binary, "The program file is a serialised Program message");
  app.add_option("--setting", settings, "A configuration setting the program may read, key=value");
  app.add_option("--save-binary", savePath, "Also write the program as a serialised Program message");
  CLI11_PARSE(app, argc, argv);

  auto bytes = readFile(programPath);
  if (!bytes) {
    std::cerr << "cannot read " << programPath << "\n";
    return 2;
  }
  std::shared_ptr<TLWPBProgram> program;
  std::string problem;
  if (binary) {
    TLWError error;
    program = TLWPBProgram::initWithBuffer(*bytes, &error);
    if (!program) problem = error.description();
  } else {
    auto json = nlohmann::json::parse(*bytes, nullptr, false);
    if (json.is_discarded()) {
      problem = "not valid JSON";
    } else {
      program = tools::programFromJson(json, &problem);
    }
  }
  if (!program) {
    std::cerr << "program: " << problem << "\n";
    return 2;
  }

  if (!savePath.empty()) {
    auto serialised = program->protoBuffer();
    std::ofstream file(savePath, std::ios::binary);
    if (!serialised || !file.write(reinterpret_cast<const char*>(serialised->data()),
                                   static_cast<std::streamsize>(serialised->size()))) {
      std::cerr << "cannot write " << savePath << "\n";
      return 2;
    }
  }

  nlohmann::json out;
  if (eventPath.empty()) {
    TLWPRuntime runtime;
    TLWPError error;
    TLWPValues statements =
        TLWPRuntimeEntityConverter::valuesFromEntities(program->messageInfo(), TLWPBProgram::kInstructions, error);
    TLWPValueRef result = error ? TLWPRuntimeValue::undefinedValue() : runtime.executeStatements(statements, error);
    out["result"] = tools::runtimeValueToJson(*result);
    if (error) out["error"] = errorJson(error.asError());
    out["instructions"] = runtime.getInstructionCount();
    std::cout << out.dump(2) << "\n";
    return error ? 1 : 0;
  }

  auto eventText = readFile(eventPath);
  auto eventJson = eventText ? nlohmann::json::parse(*eventText, nullptr, false) : nlohmann::json();
  auto event = tools::eventFromJson(eventJson, &problem);
  if (!event) {
    std::cerr << "event: " << (eventText ? problem : "cannot read " + eventPath) << "\n";
    return 2;
  }
  std::map<std::string, std::string, std::less<>> settingValues;
  for (const auto& s : settings) {
    auto eq = s.find('=');
    settingValues[s.substr(0, eq)] = eq == std::string::npos ? "" : s.substr(eq + 1);
  }
  TLWEventEditingModules modules;
  modules.remoteConfigValue = [&settingValues](std::string_view key) -> std::optional<std::string> {
    auto it = settingValues.find(key);
    if (it == settingValues.end()) return std::nullopt;
    return it->second;
  };
  modules.appMetadata.set("platform", "ios");
  modules.appMetadata.set("package_name", "com.example.runner");
  modules.appMetadata.set("zel_version", 80901);
  modules.logger = [](std::int64_t level, std::string_view message) {
    std::cerr << "log(" << level << "): " << message << "\n";
  };
  TLWError error;
  auto editor = TLWPEventEditorFactory().makeEditor(*program, modules, &error);
  if (!editor) {
    out["loaded"] = false;
    out["error"] = errorJson(error);
    std::cout << out.dump(2) << "\n";
    return 1;
  }
  out["loaded"] = true;
  auto applied = editor->handleEvent(*event, &error);
  if (!applied) {
    out["result"] = "failed: the event stays as it was";
    out["error"] = errorJson(error);
  } else {
    out["result"] = editor->hasEdits() ? "edited" : "unchanged";
  }
  out["event"] = tools::eventToJson(editor->eventContext().outputEvent);
  nlohmann::json created = nlohmann::json::array();
  for (const auto& e : editor->eventContext().eventsToLog) created.push_back(tools::eventToJson(e));
  out["created"] = created;
  std::cout << out.dump(2) << "\n";
  return applied ? 0 : 1;
}
