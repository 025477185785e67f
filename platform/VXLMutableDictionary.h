#pragma once
// A dictionary of platform::Value that several threads may use at once.
//
// Thread-safety: every operation may be called from any thread; each is atomic with
// respect to the others. Values are immutable, so what a read returns stays valid.

#include <cstddef>
#include <mutex>
#include <string_view>

#include "platform/Value.h"

namespace platform {

class VXLMutableDictionary {
 public:
  VXLMutableDictionary() = default;
  explicit VXLMutableDictionary(Dictionary contents) : dictionary_(std::move(contents)) {}

  // Null when absent.
  Value objectForKey(std::string_view key) const;
  // setObject:forKey:. A null object removes the key.
  void setObject(Value object, std::string_view key);
  void removeObject(std::string_view key);
  void removeAllObjects();
  std::size_t count() const;
  // A copy of the contents at one instant.
  Dictionary dictionary() const;

 private:
  mutable std::mutex mutex_;
  Dictionary dictionary_;
};

}  // namespace platform
