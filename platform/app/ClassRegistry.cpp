#include "platform/app/ClassRegistry.h"

#include <mutex>

namespace platform {

bool ClassRegistry::registerClass(ClassDescription description) {
  if (description.name.empty() || description.name.size() > kMaxNameLength) return false;
  if (description.superclassName.size() > kMaxNameLength) return false;
  ClassRecord record;
  record.superclassName = std::move(description.superclassName);
  auto fill = [](auto& methods, auto& into) {
    for (auto& [selector, impl] : methods) {
      if (selector.empty() || !impl) return false;
      into[selector] = std::make_shared<const Implementation>(std::move(impl));
    }
    return true;
  };
  if (!fill(description.classMethods, record.classMethods)) return false;
  if (!fill(description.instanceMethods, record.instanceMethods)) return false;
  std::unique_lock lock(mutex_);
  return classes_.emplace(std::move(description.name), std::move(record)).second;
}

bool ClassRegistry::unregisterClass(std::string_view name) {
  std::unique_lock lock(mutex_);
  auto it = classes_.find(name);
  if (it == classes_.end()) return false;
  classes_.erase(it);
  return true;
}

bool ClassRegistry::classExists(std::string_view name) const {
  std::shared_lock lock(mutex_);
  return classes_.find(name) != classes_.end();
}

std::optional<std::string> ClassRegistry::superclassName(std::string_view name) const {
  std::shared_lock lock(mutex_);
  auto it = classes_.find(name);
  if (it == classes_.end() || it->second.superclassName.empty()) return std::nullopt;
  return it->second.superclassName;
}

std::vector<std::string> ClassRegistry::classNames() const {
  std::shared_lock lock(mutex_);
  std::vector<std::string> names;
  names.reserve(classes_.size());
  for (const auto& [name, record] : classes_) names.push_back(name);
  return names;
}

ClassRegistry::ImplementationRef ClassRegistry::lookupLocked(std::string_view className, std::string_view selector,
                                                             bool isClassSelector) const {
  std::string_view current = className;
  for (int depth = 0; depth < kMaxSuperclassDepth && !current.empty(); ++depth) {
    auto it = classes_.find(current);
    if (it == classes_.end()) return nullptr;
    const auto& methods = isClassSelector ? it->second.classMethods : it->second.instanceMethods;
    if (auto m = methods.find(selector); m != methods.end()) return m->second;
    current = it->second.superclassName;
  }
  return nullptr;
}

ClassRegistry::ImplementationRef ClassRegistry::implementation(std::string_view className, std::string_view selector,
                                                               bool isClassSelector) const {
  std::shared_lock lock(mutex_);
  return lookupLocked(className, selector, isClassSelector);
}

std::optional<Value> ClassRegistry::invokeClassMethod(std::string_view className, std::string_view selector,
                                                      const Array& arguments) const {
  auto impl = implementation(className, selector, true);
  if (!impl) return std::nullopt;
  return (*impl)(Value(className), arguments);
}

std::optional<Value> ClassRegistry::invokeInstanceMethod(std::string_view className, std::string_view selector,
                                                         const Value& instance, const Array& arguments) const {
  auto impl = implementation(className, selector, false);
  if (!impl) return std::nullopt;
  return (*impl)(instance, arguments);
}

bool ClassRegistry::replaceImplementation(std::string_view className, std::string_view selector, bool isClassSelector,
                                          const std::function<Implementation(ImplementationRef previous)>& make) {
  if (selector.empty() || !make) return false;
  std::unique_lock lock(mutex_);
  auto it = classes_.find(className);
  if (it == classes_.end()) return false;
  Implementation replacement = make(lookupLocked(className, selector, isClassSelector));
  if (!replacement) return false;
  auto& methods = isClassSelector ? it->second.classMethods : it->second.instanceMethods;
  methods[std::string(selector)] = std::make_shared<const Implementation>(std::move(replacement));
  return true;
}

}  // namespace platform
