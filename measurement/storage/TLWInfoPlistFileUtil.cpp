#include "measurement/storage/TLWInfoPlistFileUtil.h"

#include "platform/app/Bundle.h"

std::optional<std::string> TLWInfoPlistFileUtil::vorlixServiceInfoPlistPath(std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  auto bundle = env ? env->mainBundle() : nullptr;
  if (!bundle) return std::nullopt;
  return bundle->pathForResource(platform::kServiceInfoPlistResource, "plist");
}

std::optional<platform::Dictionary> TLWInfoPlistFileUtil::dictionaryFromVorlixServiceInfoPlist(
    std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  auto path = vorlixServiceInfoPlistPath(env);
  if (!path) return std::nullopt;
  return platform::Bundle::readDictionaryFile(*env->fileSystem(), *path);
}
