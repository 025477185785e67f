#pragma once
// The by-name class registry: the classes that code looks up by name ("is a class named X
// present?", "does it answer the class selector Y?") and the implementations of their
// methods. Nothing is registered by default; the host and tests register what they offer.
//
// Thread-safety: every operation may be called from any thread (a reader-writer lock).
// An implementation obtained from the registry stays callable after it was replaced or
// its class unregistered, because callers share ownership of it. Implementations run
// outside the registry's lock, so they may use the registry themselves.
//
// Bad input: class names are at most kMaxNameLength bytes and superclass chains are
// followed at most kMaxSuperclassDepth steps, so a cycle cannot hang a lookup.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Value.h"

namespace platform {

class ClassRegistry {
 public:
  // A method: the receiver (the class name as a string for a class method, the instance
  // for an instance method) and the arguments; the result is null for "no result".
  using Implementation = std::function<Value(const Value& receiver, const Array& arguments)>;
  using ImplementationRef = std::shared_ptr<const Implementation>;

  struct ClassDescription {
    std::string name;
    std::string superclassName;  // empty: a root class
    std::vector<std::pair<std::string, Implementation>> classMethods;
    std::vector<std::pair<std::string, Implementation>> instanceMethods;
  };

  static constexpr std::size_t kMaxNameLength = 256;
  static constexpr int kMaxSuperclassDepth = 64;

  ClassRegistry() = default;
  ClassRegistry(const ClassRegistry&) = delete;
  ClassRegistry& operator=(const ClassRegistry&) = delete;

  // False (and nothing registered) for an empty or over-long name, a name already
  // registered, or an empty method or selector.
  [[nodiscard]] bool registerClass(ClassDescription description);
  bool unregisterClass(std::string_view name);

  bool classExists(std::string_view name) const;
  std::optional<std::string> superclassName(std::string_view name) const;
  std::vector<std::string> classNames() const;

  // Looks the selector up in the class and then its superclasses; null when none answers.
  ImplementationRef implementation(std::string_view className, std::string_view selector,
                                   bool isClassSelector) const;
  bool respondsToSelector(std::string_view className, std::string_view selector, bool isClassSelector) const {
    return implementation(className, selector, isClassSelector) != nullptr;
  }

  // Calls the method; nullopt when the class or the selector is unknown. A class method
  // receives the class name as its receiver.
  std::optional<Value> invokeClassMethod(std::string_view className, std::string_view selector,
                                         const Array& arguments = {}) const;
  std::optional<Value> invokeInstanceMethod(std::string_view className, std::string_view selector,
                                            const Value& instance, const Array& arguments = {}) const;

  // Installs the implementation that `make` builds from the one currently answering the
  // selector (null when none does), atomically: two concurrent replacements both take
  // effect, each wrapping the other. The new implementation is set on the class itself,
  // so an inherited method is overridden, not changed for the superclass. False when the
  // class is unknown or `make` returns an empty implementation. `make` runs under the
  // registry's write lock and must not use the registry.
  [[nodiscard]] bool replaceImplementation(std::string_view className, std::string_view selector,
                                           bool isClassSelector,
                                           const std::function<Implementation(ImplementationRef previous)>& make);

 private:
  struct ClassRecord {
    std::string superclassName;
    std::map<std::string, ImplementationRef, std::less<>> classMethods;
    std::map<std::string, ImplementationRef, std::less<>> instanceMethods;
  };
  ImplementationRef lookupLocked(std::string_view className, std::string_view selector, bool isClassSelector) const;

  mutable std::shared_mutex mutex_;
  std::map<std::string, ClassRecord, std::less<>> classes_;
};

}  // namespace platform
