#include "platform/app/DynamicLibrary.h"

#include <dlfcn.h>

namespace platform {

bool DynamicLibrary::isLoaded(const std::string& path) {
  if (path.empty()) return false;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return false;
  dlclose(handle);  // drops only the reference RTLD_NOLOAD just took
  return true;
}

std::shared_ptr<DynamicLibrary> DynamicLibrary::open(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "empty path";
    return nullptr;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) {
      const char* why = dlerror();
      *error = why ? why : "dlopen failed";
    }
    return nullptr;
  }
  return std::shared_ptr<DynamicLibrary>(new DynamicLibrary(path, handle));
}

void* DynamicLibrary::symbol(const std::string& name) const {
  if (!handle_ || name.empty()) return nullptr;
  return dlsym(handle_, name.c_str());
}

}  // namespace platform
