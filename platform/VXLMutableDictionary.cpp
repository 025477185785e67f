#include "platform/VXLMutableDictionary.h"

namespace platform {

Value VXLMutableDictionary::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* v = dictionary_.find(key);
  return v ? *v : Value();
}

void VXLMutableDictionary::setObject(Value object, std::string_view key) {
  std::lock_guard lock(mutex_);
  if (object.isNull()) {
    dictionary_.erase(key);
  } else {
    dictionary_.set(Value(key), std::move(object));
  }
}

void VXLMutableDictionary::removeObject(std::string_view key) {
  std::lock_guard lock(mutex_);
  dictionary_.erase(key);
}

void VXLMutableDictionary::removeAllObjects() {
  std::lock_guard lock(mutex_);
  dictionary_.clear();
}

std::size_t VXLMutableDictionary::count() const {
  std::lock_guard lock(mutex_);
  return dictionary_.size();
}

Dictionary VXLMutableDictionary::dictionary() const {
  std::lock_guard lock(mutex_);
  return dictionary_;
}

}  // namespace platform
