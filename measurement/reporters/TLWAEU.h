#pragma once
// TLWAEU: facts about the running process that several reporters ask for: whether it is
// an app extension, runs on a simulator, carries a sandbox store receipt, or is a store
// build. Class operations only.
//
// Thread-safety: any thread. Ownership: none; every call reads the given environment
// (null: the current one). The store-build inspection of the executable is made once per
// process and environment.
//
// On Linux the executable carries no encryption information: the process environment
// variable TALLYWISE_STORE_BUILD=1 stands for a non-zero encryption identifier, as for
// the identity's store-build probe. The store receipt is <receipt folder>/receipt, or
// <receipt folder>/sandboxReceipt when that file exists (platform::storeReceiptFolder).

#include <memory>
#include <optional>
#include <string>

#include "platform/Environment.h"

namespace platform {
class Application;
}

class TLWAEU {
 public:
  // Null in an app extension.
  static std::shared_ptr<platform::Application> sharedApplication(std::shared_ptr<platform::Environment> env = nullptr);
  static bool isAEX(std::shared_ptr<platform::Environment> env = nullptr);
  static bool isNOD(std::shared_ptr<platform::Environment> env = nullptr);
  // Nullopt when the Info.plist's "TarnwickAppStoreReceiptURLCheckEnabled" is a number that is false.
  static std::optional<std::string> appStoreRURL(std::shared_ptr<platform::Environment> env = nullptr);
  static bool isASRS(std::shared_ptr<platform::Environment> env = nullptr);
  static bool isFAS(std::shared_ptr<platform::Environment> env = nullptr);
  static std::string deviceModel(std::shared_ptr<platform::Environment> env = nullptr);
  static std::string systemVersion(std::shared_ptr<platform::Environment> env = nullptr);
};
