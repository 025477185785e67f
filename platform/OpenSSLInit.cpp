#include "platform/OpenSSLInit.h"

#include <openssl/crypto.h>

#include <mutex>

namespace platform {

void keepOpenSSLUntilExit() {
  static std::once_flag once;
  std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}

}  // namespace platform
