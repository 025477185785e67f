#include "measurement/storage/TLWKeychainWrapper.h"

namespace {

std::shared_ptr<platform::Keychain> keychainOf(std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  return env ? env->keychain() : nullptr;
}

}  // namespace

bool TLWKeychainWrapper::upsertKeychainValue(const std::string& value, const std::string& identifier,
                                             const std::string& appID, std::shared_ptr<platform::Environment> env) {
  if (value.empty() || identifier.empty() || appID.empty() || !platform::utf8::isValid(value)) return false;
  auto keychain = keychainOf(std::move(env));
  if (!keychain) return false;
  return keychain->write(appID, identifier, platform::Value::Data(value.begin(), value.end()));
}

std::optional<std::string> TLWKeychainWrapper::keychainValueWithIdentifier(const std::string& identifier,
                                                                           const std::string& appID,
                                                                           std::shared_ptr<platform::Environment> env) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  auto keychain = keychainOf(std::move(env));
  if (!keychain) return std::nullopt;
  auto bytes = keychain->read(appID, identifier);
  if (!bytes || bytes->empty()) return std::nullopt;
  std::string text(bytes->begin(), bytes->end());
  if (!platform::utf8::isValid(text)) return std::nullopt;
  return text;
}

bool TLWKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID,
                                                           std::shared_ptr<platform::Environment> env) {
  if (identifier.empty() || appID.empty()) return false;
  auto keychain = keychainOf(std::move(env));
  return keychain && keychain->remove(appID, identifier);
}
