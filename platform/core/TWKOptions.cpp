#include "platform/core/TWKOptions.h"

#include "platform/app/AppLog.h"
#include "platform/app/Bundle.h"

namespace platform {

namespace {
void logCore(VXLLoggerLevel level, std::string_view code, std::string_view message) {
  applog::log(level, applog::kCoreService, code, message);
}
}  // namespace

std::optional<Dictionary> TWKOptions::defaultOptionsDictionary(Environment& env) {
  auto bundle = env.mainBundle();
  if (!bundle) return std::nullopt;
  return bundle->serviceInfoDictionary();
}

std::optional<Dictionary> TWKOptions::defaultOptionsDictionary() {
  return defaultOptionsDictionary(*Environment::current());
}

std::shared_ptr<TWKOptions> TWKOptions::defaultOptions(Environment& env) {
  auto dictionary = defaultOptionsDictionary(env);
  if (!dictionary) {
    logCore(VXLLoggerLevel::Error, "I-COR000001",
            "The bundle has no readable " + std::string(kServiceInfoPlistFileName) + "; no default options");
    return nullptr;
  }
  std::string error;
  auto options = initWithDictionary(*dictionary, &error);
  if (!options) logCore(VXLLoggerLevel::Error, "I-COR000002", "Invalid default options: " + error);
  return options;
}

std::shared_ptr<TWKOptions> TWKOptions::defaultOptions() { return defaultOptions(*Environment::current()); }

std::shared_ptr<TWKOptions> TWKOptions::initWithDictionary(const Dictionary& dictionary, std::string* error) {
  auto fail = [&](std::string why) -> std::shared_ptr<TWKOptions> {
    if (error) *error = std::move(why);
    return nullptr;
  };
  const Value* appID = dictionary.find(kTWKOptionsVorlixAppIDKey);
  if (!appID) return fail(std::string(kTWKOptionsVorlixAppIDKey) + " is missing");
  if (!appID->isString()) return fail(std::string(kTWKOptionsVorlixAppIDKey) + " is not a string");
  if (appID->string()->empty()) return fail(std::string(kTWKOptionsVorlixAppIDKey) + " is empty");
  if (appID->string()->size() > kMaxAppIDLength) return fail(std::string(kTWKOptionsVorlixAppIDKey) + " is too long");

  auto options = std::make_shared<TWKOptions>(*appID->string());
  if (const Value* quado = dictionary.find(kTWKOptionsQuadoAppIDKey)) {
    if (quado->isString() && quado->string()->size() <= kMaxAppIDLength) {
      options->quadoAppID_ = *quado->string();
    } else {
      logCore(VXLLoggerLevel::Warning, "I-COR000003", std::string(kTWKOptionsQuadoAppIDKey) + " is not a valid string; ignored");
    }
  }
  auto readSwitch = [&](std::string_view key, bool& into) {
    const Value* v = dictionary.find(key);
    if (!v) return;
    if (auto b = v->boolValue()) {
      into = *b;
    } else {
      logCore(VXLLoggerLevel::Warning, "I-COR000004", std::string(key) + " is not a number; ignored");
    }
  };
  readSwitch(kTWKOptionsCollectionEnabledKey, options->collectionEnabled_);
  readSwitch(kTWKOptionsCollectionDeactivatedKey, options->collectionDeactivated_);
  if (const Value* safelist = dictionary.find(kTWKOptionsSafelistedEventsKey)) options->safelistedEvents_ = *safelist;
  return options;
}

std::shared_ptr<TWKOptions> TWKOptions::initWithContentsOfFile(Environment& env, const std::string& path,
                                                               std::string* error) {
  auto fs = env.fileSystem();
  auto dictionary = fs ? Bundle::readDictionaryFile(*fs, path) : std::nullopt;
  if (!dictionary) {
    if (error) *error = "no readable property list at " + path;
    return nullptr;
  }
  return initWithDictionary(*dictionary, error);
}

}  // namespace platform
