#include "platform/core/TWKInstallations.h"

#include "platform/PropertyList.h"
#include "platform/app/AppLog.h"
#include "platform/app/Bundle.h"
#include "platform/app/NotificationCenter.h"
#include "platform/core/TWKApp.h"

namespace platform {

namespace {

void logCore(VXLLoggerLevel level, std::string_view code, std::string_view message) {
  applog::log(level, applog::kCoreService, code, message);
}

std::string fileSafe(std::string_view s) {
  std::string out;
  for (char c : s.substr(0, 96)) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    out += ok ? c : '_';
  }
  if (out.empty() || out == "." || out == "..") out = "app";
  return out;
}

std::string base64url(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < count; ++i) {
    acc = (acc << 8) | bytes[i];
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(acc >> bits) & 0x3f];
    }
  }
  if (bits > 0) out += kAlphabet[(acc << (6 - bits)) & 0x3f];
  return out;
}

}  // namespace

bool TWKInstallations::isValidIdentifier(std::string_view id) {
  if (id.empty() || id.size() > kMaxIdentifierLength) return false;
  for (char c : id) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::shared_ptr<TWKInstallations> TWKInstallations::installations() {
  auto app = TWKApp::defaultApp();
  if (!app) {
    logCore(VXLLoggerLevel::Error, "I-COR000040", "Installations need a configured default app");
    return nullptr;
  }
  return app->installations();
}

std::shared_ptr<TWKInstallations> TWKInstallations::installationsWithApp(const std::shared_ptr<TWKApp>& app) {
  return app ? app->installations() : nullptr;
}

std::shared_ptr<TWKInstallations> TWKInstallations::create(const std::shared_ptr<TWKApp>& app) {
  if (!app) return nullptr;
  std::shared_ptr<TWKInstallations> service(new TWKInstallations());
  service->env_ = app->environment();
  service->appName_ = app->name();
  service->appID_ = app->options().vorlixAppID();
  auto sandbox = service->env_->sandbox();
  const std::string folder = (sandbox ? sandbox->applicationSupportDirectory() : std::string()) +
                             "/Tarnwick/Installations";
  service->path_ = folder + "/" + fileSafe(service->appName_) + "_" + fileSafe(service->appID_) + ".plist";
  service->queue_ = DispatchQueue::create("com.tarnwick.installations." + service->appName_, QueuePriority::Utility);
  return service;
}

std::optional<std::string> TWKInstallations::loadStoredID() {
  auto fs = env_->fileSystem();
  auto stored = Bundle::readDictionaryFile(*fs, path_);  // bounded; logs a corrupt file
  if (!stored) return std::nullopt;
  const Value& id = stored->get("installationID");
  if (!id.isString() || !isValidIdentifier(*id.string())) {
    logCore(VXLLoggerLevel::Warning, "I-COR000041", "The stored installation ID is invalid; a new one is created");
    return std::nullopt;
  }
  return *id.string();
}

void TWKInstallations::postChange() {
  Dictionary info;
  info.set(Value(kTWKInstallationIDDidChangeNotificationAppNameKey), Value(appName_));
  env_->notificationCenter()->post(kTWKInstallationIDDidChangeNotification, Value(), std::move(info));
}

void TWKInstallations::installationIDWithCompletion(IDCompletion completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    auto deliver = [&](std::optional<std::string> id, std::optional<std::string> error) {
      if (completion) completion(std::move(id), std::move(error));
    };
    if (auto id = self->loadStoredID()) return deliver(std::move(id), std::nullopt);

    std::uint8_t bytes[16];
    self->env_->random()->fill(bytes, sizeof bytes);
    std::string id = base64url(bytes, sizeof bytes);

    Dictionary record;
    record.set(Value("installationID"), Value(id));
    record.set(Value("appID"), Value(self->appID_));
    record.set(Value("creationDate"), Value::date(self->env_->clock()->now()));
    std::string error;
    auto fs = self->env_->fileSystem();
    const std::string folder = self->path_.substr(0, self->path_.rfind('/'));
    auto encoded = PropertyList::dataWithPropertyList(Value(std::move(record)), PropertyListFormat::XML, &error);
    if (!encoded || !fs->createDirectories(folder, &error) ||
        !fs->writeFileAtomically(self->path_, *encoded, 0600, &error)) {
      logCore(VXLLoggerLevel::Error, "I-COR000042", "Can't store the installation ID: " + error);
      return deliver(std::nullopt, "Can't store the installation ID: " + error);
    }
    self->postChange();
    deliver(std::move(id), std::nullopt);
  });
}

void TWKInstallations::deleteWithCompletion(DeleteCompletion completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    auto fs = self->env_->fileSystem();
    std::optional<std::string> failure;
    if (fs->exists(self->path_)) {
      std::string error;
      if (fs->removeFile(self->path_, &error)) {
        self->postChange();
      } else {
        failure = "Can't delete the installation ID: " + error;
        logCore(VXLLoggerLevel::Error, "I-COR000043", *failure);
      }
    }
    if (completion) completion(std::move(failure));
  });
}

}  // namespace platform
