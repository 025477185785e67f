#pragma once
// Shared objects loaded at run time (dlopen).
//
// Thread-safety: any thread (the dynamic loader serialises itself).
// Ownership: a DynamicLibrary holds one reference on the shared object; the object is
// never unloaded by it (engine frameworks live until the process ends), so symbols taken
// from it stay valid.

#include <memory>
#include <optional>
#include <string>

namespace platform {

class DynamicLibrary {
 public:
  // Whether the shared object at `path` is already loaded in this process (RTLD_NOLOAD).
  static bool isLoaded(const std::string& path);
  // Loads it (or takes the loaded one); null with `error` filled when it cannot be loaded.
  static std::shared_ptr<DynamicLibrary> open(const std::string& path, std::string* error = nullptr);

  const std::string& path() const { return path_; }
  // The address of an exported symbol, or null.
  void* symbol(const std::string& name) const;

 private:
  DynamicLibrary(std::string path, void* handle) : path_(std::move(path)), handle_(handle) {}
  std::string path_;
  void* handle_;
};

}  // namespace platform
