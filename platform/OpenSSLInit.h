#pragma once
// Process threads (queues, the network worker) may still use OpenSSL while the process
// exits; OpenSSL's own exit-time clean-up would free its locks under them. Keeping
// OpenSSL up until the process is gone avoids that race. Call before any OpenSSL use.

namespace platform {
void keepOpenSSLUntilExit();
}  // namespace platform
