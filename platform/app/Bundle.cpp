#include "platform/app/Bundle.h"

#include "platform/PropertyList.h"
#include "platform/app/AppLog.h"

namespace platform {

std::string defaultMainBundlePath(ProcessInfo& processInfo) {
  if (auto overridden = processInfo.environmentVariable(kBundlePathEnvironmentVariable);
      overridden && !overridden->empty()) {
    return *overridden;
  }
  std::string exe = processInfo.executablePath();
  auto slash = exe.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return exe.substr(0, slash);
}

std::optional<Dictionary> Bundle::readDictionaryFile(FileSystem& fileSystem, const std::string& path) {
  if (!fileSystem.exists(path)) return std::nullopt;
  auto size = fileSystem.fileSize(path);
  if (size && *size > kMaxPropertyListBytes) {
    applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000020",
                "Property list " + path + " is too large (" + std::to_string(*size) + " bytes); ignored");
    return std::nullopt;
  }
  std::string error;
  auto bytes = fileSystem.readFile(path, &error);
  if (!bytes) {
    applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000021",
                "Can't read property list " + path + ": " + error);
    return std::nullopt;
  }
  if (bytes->size() > kMaxPropertyListBytes) {
    applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000020",
                "Property list " + path + " is too large; ignored");
    return std::nullopt;
  }
  auto value = PropertyList::propertyListWithData(*bytes, &error);
  if (!value) {
    applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000022",
                "Property list " + path + " is corrupt (" + error + "); ignored");
    return std::nullopt;
  }
  if (!value->isDictionary()) {
    applog::log(VXLLoggerLevel::Error, applog::kAppService, "I-APP000023",
                "Property list " + path + " does not hold a dictionary; ignored");
    return std::nullopt;
  }
  return *value->dictionary();
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(std::string path, std::shared_ptr<FileSystem> fileSystem,
                                               std::string fallbackIdentifier) {
  std::shared_ptr<Bundle> bundle(new Bundle());
  bundle->path_ = std::move(path);
  bundle->fallbackIdentifier_ = std::move(fallbackIdentifier);
  bundle->fileSystem_ = std::move(fileSystem);
  if (bundle->fileSystem_ && !bundle->path_.empty()) {
    if (auto info = readDictionaryFile(*bundle->fileSystem_, bundle->path_ + "/Info.plist")) {
      bundle->info_ = std::move(*info);
    }
  }
  return bundle;
}

std::string Bundle::bundleIdentifier() const {
  auto id = stringForInfoDictionaryKey("CFBundleIdentifier");
  return id && !id->empty() ? *id : fallbackIdentifier_;
}
std::string Bundle::shortVersionString() const {
  return stringForInfoDictionaryKey("CFBundleShortVersionString").value_or("");
}
std::string Bundle::bundleVersion() const { return stringForInfoDictionaryKey("CFBundleVersion").value_or(""); }

Value Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  const Value* v = info_.find(key);
  return v ? *v : Value();
}

std::optional<bool> Bundle::boolForInfoDictionaryKey(std::string_view key) const {
  const Value* v = info_.find(key);
  return v ? v->boolValue() : std::nullopt;
}

std::optional<std::int64_t> Bundle::integerForInfoDictionaryKey(std::string_view key) const {
  const Value* v = info_.find(key);
  return v ? v->int64Value() : std::nullopt;
}

std::optional<double> Bundle::doubleForInfoDictionaryKey(std::string_view key) const {
  const Value* v = info_.find(key);
  return v ? v->doubleValue() : std::nullopt;
}

std::optional<std::string> Bundle::stringForInfoDictionaryKey(std::string_view key) const {
  const Value* v = info_.find(key);
  if (!v || !v->isString()) return std::nullopt;
  return *v->string();
}

std::optional<Array> Bundle::arrayForInfoDictionaryKey(std::string_view key) const {
  const Value* v = info_.find(key);
  if (!v || !v->isArray()) return std::nullopt;
  return *v->array();
}

std::optional<Dictionary> Bundle::dictionaryForInfoDictionaryKey(std::string_view key) const {
  const Value* v = info_.find(key);
  if (!v || !v->isDictionary()) return std::nullopt;
  return *v->dictionary();
}

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type) const {
  if (name.empty() || !fileSystem_ || path_.empty()) return std::nullopt;
  auto unsafe = [](std::string_view s) {
    return s.find('/') != std::string_view::npos || s.find("..") != std::string_view::npos ||
           s.find('\0') != std::string_view::npos;
  };
  if (unsafe(name) || unsafe(type)) return std::nullopt;
  std::string path = path_ + "/" + std::string(name);
  if (!type.empty()) path += "." + std::string(type);
  if (!fileSystem_->exists(path)) return std::nullopt;
  return path;
}

std::string Bundle::serviceInfoPlistPath() const {
  return pathForResource(kServiceInfoPlistResource, "plist").value_or(std::string());
}

std::optional<Dictionary> Bundle::serviceInfoDictionary() const {
  const std::string path = serviceInfoPlistPath();
  if (path.empty()) return std::nullopt;
  return readDictionaryFile(*fileSystem_, path);
}

}  // namespace platform
