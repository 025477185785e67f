#pragma once
// VXLNetwork: the utilities framework's HTTP client (POST and GET over libcurl), with
// reachability tracking and log forwarding to a delegate.
//
// Thread-safety: every member may be called from any thread. Requests run on one worker
// thread owned by the client (libcurl multi interface); the caller's queue is never
// blocked. Each completion handler runs exactly once, on the queue passed with the
// request, including when the request could not start (malformed URL, too many requests
// pending) and when the client is destroyed while the request is in flight (the handler
// then receives status 0 and an error with code VXLNetworkErrorCode::Cancelled).
//
// Ownership and lifetime: the client holds its delegates weakly (the engine that owns the
// client is usually its delegate). Completion handlers and the queues they run on are held
// until the handler has run. The client may be destroyed from any thread, including from
// inside a completion handler or a delegate callback.
//
// Transport: request bodies are sent gzip-compressed ("Content-Encoding: gzip"); response
// bodies are delivered exactly as received (no automatic decoding), cut off with an error
// when they exceed the configured limit. TLS peers and host names are verified for https,
// against the system's certificate store unless the client was given certificates to trust
// (Options::trustedCertificatesPEM / trustedCertificatesFile), which then replace that store.
// Redirects are not followed. Only https URLs are accepted, and plain http to loopback
// hosts (localhost, 127.0.0.0/8, ::1: the local measurement service); any other http URL
// fails with InvalidURL, so identifiers never leave the machine unencrypted. Each post goes out
// on a new connection and exactly once: it is never resent by the client (a failed post
// is reported, and the caller decides whether to try again).

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/VXLLogger.h"
#include "platform/Value.h"

namespace platform {

inline constexpr long kVXLNetworkHTTPStatusOK = 200;
inline constexpr long kVXLNetworkHTTPStatusNoContent = 204;
inline constexpr long kVXLNetworkHTTPStatusCodeNotModified = 304;
inline constexpr long kVXLNetworkHTTPStatusCodeNotFound = 404;
inline constexpr long kVXLNetworkHTTPStatusCodeCannotAcceptTraffic = 429;
inline constexpr long kVXLNetworkHTTPStatusCodeUnavailable = 503;

inline constexpr std::string_view kVXLNetworkErrorDomain = "com.vorlix.utilities.network.ErrorDomain";

enum class VXLNetworkErrorCode : long {
  InvalidURL = 1,          // not an absolute https URL with a host (or http to loopback)
  ConnectionFailed = 2,    // refused, unreachable, name not resolved
  TimedOut = 3,            // silent for the timeout interval, or past the overall cap
  ConnectionDropped = 4,   // the peer closed or reset the connection mid-exchange
  ResponseTooLarge = 5,    // the body passed the client's limit
  TLSFailure = 6,          // handshake or certificate verification failed
  Cancelled = 7,           // the client was destroyed before the request finished
  TooManyRequests = 8,     // the client's pending-request bound was reached
  EncodingFailed = 9,      // the request body could not be compressed
  Transport = 10,          // any other transport failure
  InvalidHeader = 11,      // a request header name or value with a line break or NUL
};

struct VXLNetworkError {
  std::string domain{kVXLNetworkErrorDomain};
  VXLNetworkErrorCode code = VXLNetworkErrorCode::Transport;
  std::string description;

  // {domain = ...; code = ...; description = ...}, for log contexts.
  Value asValue() const;
};

// Header names compare without regard to case, as HTTP has it.
struct VXLHeaderNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using VXLHTTPHeaders = std::map<std::string, std::string, VXLHeaderNameLess>;

struct VXLHTTPResponse {
  // 0 when no response arrived (transport error, timeout, refused connection, cancel).
  long statusCode = 0;
  // The final response's headers; a repeated header keeps its last value.
  VXLHTTPHeaders headers;
  // The Content-Length the server announced, -1 when it announced none.
  std::int64_t expectedContentLength = -1;
  std::string url;

  // The header's value, case-insensitively; nullopt when absent.
  std::optional<std::string> valueForHeader(const std::string& name) const;
};

// Called once per request, on the request's queue. `error` is set whenever statusCode is
// 0; an HTTP error status (404, 503 ...) is a response, not an error.
using VXLNetworkCompletionHandler =
    std::function<void(const VXLHTTPResponse& response, const Value::Data& data,
                       const std::optional<VXLNetworkError>& error)>;

// Receives the client's log lines. Called from the client's worker thread or from the
// thread that called into the client: implementations must be thread-safe.
class VXLNetworkLoggerDelegate {
 public:
  virtual ~VXLNetworkLoggerDelegate() = default;
  virtual void VXLNetwork_logWithLevel(VXLLoggerLevel level, long messageCode, const std::string& message) = 0;
  virtual void VXLNetwork_logWithLevel(VXLLoggerLevel level, long messageCode, const std::string& message,
                                       const Value& context) = 0;
  virtual void VXLNetwork_logWithLevel(VXLLoggerLevel level, long messageCode, const std::string& message,
                                       const std::vector<Value>& contexts) = 0;
};

// Told when isNetworkConnected changes. Called from the client's worker thread.
class VXLReachabilityDelegate {
 public:
  virtual ~VXLReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

// The client's log message codes.
enum VXLNetworkMessageCode : long {
  kVXLNetworkMessageCodeRequestStarted = 901001,
  kVXLNetworkMessageCodeRequestFinished = 901002,
  kVXLNetworkMessageCodeRequestFailed = 901003,
  kVXLNetworkMessageCodeInvalidURL = 901004,
  kVXLNetworkMessageCodeResponseTooLarge = 901005,
  kVXLNetworkMessageCodeReachabilityChanged = 901006,
  kVXLNetworkMessageCodeRequestRefused = 901007,
};

// True for "localhost" and addresses in 127.0.0.0/8 or ::1 (brackets allowed).
bool isLoopbackHost(std::string host);

class VXLNetwork {
 public:
  struct Options {
    // Response bodies larger than this fail with ResponseTooLarge.
    std::size_t maxResponseBodyBytes = 32u * 1024 * 1024;
    // Requests accepted but not finished; more fail at once with TooManyRequests.
    std::size_t maxPendingRequests = 256;
    // Parallel connections to one host.
    long maxConnectionsPerHost = 8;
    // How often reachability is re-checked.
    std::chrono::milliseconds reachabilityPollInterval{2000};
    // Whether the network is usable; replaces the default check (a loopback reachability
    // host is always reachable, otherwise an interface that is up, running and not
    // loopback must have an address). Called on the worker thread and once at creation.
    std::function<bool()> reachabilityProbe;
    // The certificate authorities this client trusts for https, in place of the system's
    // store (not in addition to it): PEM text, or else the path of a PEM file. A private
    // deployment of the service, or a test, names its own CA here; empty keeps the system
    // store. Nothing outside these options changes what the client trusts.
    std::string trustedCertificatesPEM;
    std::string trustedCertificatesFile;
  };

  // initWithReachabilityHost: the host (a name or an address) whose reachability matters.
  explicit VXLNetwork(std::string reachabilityHost);
  VXLNetwork(std::string reachabilityHost, Options options);
  ~VXLNetwork();
  VXLNetwork(const VXLNetwork&) = delete;
  VXLNetwork& operator=(const VXLNetwork&) = delete;

  void setLoggerDelegate(std::weak_ptr<VXLNetworkLoggerDelegate> delegate);
  // In debug mode each request's start and end are logged at debug level.
  void setIsDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const;
  // The delegate told of reachability changes; an empty pointer clears it.
  void setReachabilityDelegate(std::weak_ptr<VXLReachabilityDelegate> delegate);

  bool isNetworkConnected() const;
  // True from a request's acceptance until its completion handler has returned.
  bool hasUploadInProgress() const;

  // Seconds a later request may stay silent: connecting, or a stretch without a byte sent
  // or received (checked about once a second), fails it with TimedOut; a transfer that keeps
  // moving may last up to 20 intervals (at least ten minutes). Values that are not positive
  // and finite leave the current interval (60 s initially).
  void setTimeoutInterval(double seconds);
  double timeoutInterval() const;

  // A null `queue` stands for DispatchQueue::global(QueuePriority::Default).
  // Posts `payload` (gzip-compressed by the client) to `url`. Returns the session
  // identifier, or "" when no session could be made (the handler then still runs, with
  // status 0 and an error). `usingBackgroundSession` has no effect on Linux.
  std::string postURL(const std::string& url, const Value::Data& payload,
                      std::shared_ptr<DispatchQueue> queue, bool usingBackgroundSession,
                      VXLNetworkCompletionHandler completionHandler);
  // The same with extra request headers (Content-Type, for example).
  std::string postURL(const std::string& url, const Value::Data& payload, const VXLHTTPHeaders& headers,
                      std::shared_ptr<DispatchQueue> queue, bool usingBackgroundSession,
                      VXLNetworkCompletionHandler completionHandler);
  // Gets `url` with the given headers (If-Modified-Since, for example). Returns the
  // session identifier as postURL does.
  std::string getURL(const std::string& url, const VXLHTTPHeaders& headers, std::shared_ptr<DispatchQueue> queue,
                     bool usingBackgroundSession, VXLNetworkCompletionHandler completionHandler);

  // There are no background sessions to resume on Linux: completes at once, on the
  // calling thread.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    const std::function<void()>& completionHandler);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
