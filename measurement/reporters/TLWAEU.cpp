#include "measurement/reporters/TLWAEU.h"

#include "platform/StoreKit.h"

#include <utility>
#include <vector>
#include <mutex>

#include "platform/app/Application.h"
#include "platform/app/Bundle.h"

namespace {

std::shared_ptr<platform::Environment> orCurrent(std::shared_ptr<platform::Environment> env) {
  return env ? env : platform::Environment::current();
}

// The executable is inspected once per environment (per process in the product).
bool encryptedExecutable(const std::shared_ptr<platform::Environment>& env) {
  static std::mutex mutex;
  // Never destroyed: library threads may still use it while the process exits.
  static std::vector<std::pair<std::weak_ptr<platform::Environment>, bool>>& seen =
      *new std::vector<std::pair<std::weak_ptr<platform::Environment>, bool>>();
  std::lock_guard lock(mutex);
  std::erase_if(seen, [](const auto& entry) { return entry.first.expired(); });
  for (const auto& [weak, encrypted] : seen) {
    if (weak.lock() == env) return encrypted;
  }
  auto info = env->processInfo();
  const bool encrypted = info && info->environmentVariable("TALLYWISE_STORE_BUILD") == "1";
  seen.emplace_back(env, encrypted);
  return encrypted;
}

}  // namespace

std::shared_ptr<platform::Application> TLWAEU::sharedApplication(std::shared_ptr<platform::Environment> env) {
  env = orCurrent(std::move(env));
  return isAEX(env) ? nullptr : env->application();
}

bool TLWAEU::isAEX(std::shared_ptr<platform::Environment> env) {
  auto bundle = orCurrent(std::move(env))->mainBundle();
  return bundle && bundle->bundlePath().ends_with(".appex");
}

bool TLWAEU::isNOD(std::shared_ptr<platform::Environment> env) {
  const std::string model = deviceModel(std::move(env));
  return model == "x86_64" || model == "i386";
}

std::optional<std::string> TLWAEU::appStoreRURL(std::shared_ptr<platform::Environment> env) {
  env = orCurrent(std::move(env));
  auto bundle = env->mainBundle();
  if (!bundle) return std::nullopt;
  auto check = bundle->objectForInfoDictionaryKey("TarnwickAppStoreReceiptURLCheckEnabled");
  if (check.isNumber() && !check.boolValue().value_or(true)) return std::nullopt;
  const std::string folder = platform::storeReceiptFolder(*env) + "/";
  if (env->fileSystem()->exists(folder + "sandboxReceipt")) return folder + "sandboxReceipt";
  return folder + "receipt";
}

bool TLWAEU::isASRS(std::shared_ptr<platform::Environment> env) {
  auto url = appStoreRURL(std::move(env));
  return url && url->ends_with("/sandboxReceipt");
}

bool TLWAEU::isFAS(std::shared_ptr<platform::Environment> env) {
  env = orCurrent(std::move(env));
  if (isNOD(env) || isASRS(env)) return false;
  auto bundle = env->mainBundle();
  if (!bundle) return false;
  if (env->fileSystem()->exists(bundle->bundlePath() + "/SC_Info")) return true;
  return encryptedExecutable(env) && !bundle->pathForResource("embedded", "mobileprovision");
}

std::string TLWAEU::deviceModel(std::shared_ptr<platform::Environment> env) {
  return orCurrent(std::move(env))->device()->deviceModel();
}

std::string TLWAEU::systemVersion(std::shared_ptr<platform::Environment> env) {
  return orCurrent(std::move(env))->device()->osVersion();
}
