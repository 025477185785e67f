#include "platform/network/VXLNetwork.h"

#include "platform/OpenSSLInit.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/Gzip.h"
#include "platform/network/VXLHTTPHeaderLine.h"

namespace platform {

bool VXLHeaderNameLess::operator()(const std::string& a, const std::string& b) const {
  return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::optional<std::string> VXLHTTPResponse::valueForHeader(const std::string& name) const {
  auto it = headers.find(name);
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

Value VXLNetworkError::asValue() const {
  return Value{{"domain", domain}, {"code", static_cast<long>(code)}, {"description", description}};
}

namespace {

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    keepOpenSSLUntilExit();
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return std::string(s);
}


// Reachable when the host is this machine, or when some interface other than loopback is
// up, running and has an address.
bool defaultReachability(const std::string& host) {
  if (isLoopbackHost(host)) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* it = list; it && !found; it = it->ifa_next) {
    if (!it->ifa_addr) continue;
    int family = it->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    unsigned flags = it->ifa_flags;
    if ((flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK)) found = true;
  }
  freeifaddrs(list);
  return found;
}

// The URL without query or fragment, so that identifiers in queries stay out of logs.
std::string redactedURL(const std::string& url) {
  auto cut = url.find_first_of("?#");
  return cut == std::string::npos ? url : url.substr(0, cut);
}

bool hasLineBreakOrNul(const std::string& s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

// Checks that the URL parses and is an absolute https URL with a host, or http to loopback.
bool validateURL(const std::string& url, std::string* reason) {
  CURLU* handle = curl_url();
  if (!handle) {
    *reason = "out of memory";
    return false;
  }
  bool ok = false;
  CURLUcode rc = curl_url_set(handle, CURLUPART_URL, url.c_str(), 0);
  if (rc != CURLUE_OK) {
    *reason = std::string("malformed URL: ") + curl_url_strerror(rc);
  } else {
    char* scheme = nullptr;
    char* host = nullptr;
    curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(handle, CURLUPART_HOST, &host, 0);
    if (!scheme || (::strcasecmp(scheme, "http") != 0 && ::strcasecmp(scheme, "https") != 0)) {
      *reason = "unsupported URL scheme";
    } else if (!host || !*host) {
      *reason = "URL has no host";
    } else if (::strcasecmp(scheme, "http") == 0 && !isLoopbackHost(host)) {
      // Batches carry identifiers: unencrypted only to the local measurement service.
      *reason = "plain http is allowed only to this machine (localhost, 127.0.0.0/8, ::1); use https";
    } else {
      ok = true;
    }
    curl_free(scheme);
    curl_free(host);
  }
  curl_url_cleanup(handle);
  return ok;
}

// A request ends after this many timeout intervals (at least ten minutes) even while data
// still trickles.
constexpr long kOverallCapFactor = 20;
constexpr long kOverallCapMs = 10L * 60 * 1000;

struct Request {
  std::uint64_t id = 0;
  std::string url;
  bool isPost = false;
  std::string body;  // already encoded
  VXLHTTPHeaders headers;
  std::shared_ptr<DispatchQueue> queue;
  VXLNetworkCompletionHandler handler;
  long timeoutMs = 60000;
  std::size_t maxBody = 0;

  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  VXLHTTPHeaders received;
  std::string bodyOut;
  bool tooLarge = false;
  // When a byte last moved either way; silence longer than timeoutMs ends the transfer.
  std::chrono::steady_clock::time_point lastActivity;
  curl_off_t lastSent = -1, lastReceived = -1;
  bool idle = false;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Request() {
    if (easy) curl_easy_cleanup(easy);
    if (headerList) curl_slist_free_all(headerList);
  }
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  std::size_t n = size * count;
  if (n > r->maxBody - std::min(r->bodyOut.size(), r->maxBody)) {
    r->tooLarge = true;
    return 0;  // makes curl fail the transfer with a write error
  }
  r->bodyOut.append(data, n);
  return n;
}

// Called about once a second while nothing moves, more often while data flows.
int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto* r = static_cast<Request*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (received != r->lastReceived || sent != r->lastSent) {
    r->lastReceived = received;
    r->lastSent = sent;
    r->lastActivity = now;
    return 0;
  }
  if (now - r->lastActivity < std::chrono::milliseconds(r->timeoutMs)) return 0;
  r->idle = true;
  return 1;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  std::size_t n = size * count;
  if (vxl_receiveHeaderLine(std::string_view(data, n), r->maxBody, r->received) == VXLHeaderLine::TooLarge) {
    r->tooLarge = true;
    return 0;  // refused before any of the body is read
  }
  return n;
}

}  // namespace

VXLHeaderLine vxl_receiveHeaderLine(std::string_view line, std::size_t maxBody, VXLHTTPHeaders& headers) {
  if (line.starts_with("HTTP/")) {
    headers.clear();
    return VXLHeaderLine::NewResponse;
  }
  auto colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return VXLHeaderLine::Ignored;
  std::string name = trim(line.substr(0, colon));
  std::string value = trim(line.substr(colon + 1));
  if (::strcasecmp(name.c_str(), "Content-Length") == 0) {
    errno = 0;
    char* end = nullptr;
    unsigned long long announced = std::strtoull(value.c_str(), &end, 10);
    if (errno == 0 && end != value.c_str() && announced > maxBody) return VXLHeaderLine::TooLarge;
  }
  // A field a request could not carry is dropped: Last-Modified is sent back as
  // If-Modified-Since, and a refused request header would fail every later fetch.
  if (name.empty() || hasLineBreakOrNul(name) || hasLineBreakOrNul(value)) return VXLHeaderLine::Ignored;
  headers[name] = value;
  return VXLHeaderLine::Kept;
}

bool isLoopbackHost(std::string host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (::strcasecmp(host.c_str(), "localhost") == 0) return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

struct VXLNetwork::State : std::enable_shared_from_this<VXLNetwork::State> {
  State(std::string hostIn, Options optionsIn) : host(std::move(hostIn)), options(std::move(optionsIn)) {}

  ~State() {
    // The worker cleans the multi handle up on its way out; this covers a worker that
    // never started.
    if (multi) curl_multi_cleanup(multi);
  }

  const std::string host;
  const Options options;

  mutable std::mutex mutex;
  std::weak_ptr<VXLNetworkLoggerDelegate> logger;
  std::weak_ptr<VXLReachabilityDelegate> reachability;
  std::deque<std::unique_ptr<Request>> inbox;
  bool stopping = false;
  CURLM* multi = nullptr;
  std::thread worker;

  std::atomic<bool> debug{false};
  std::atomic<bool> connected{false};
  std::atomic<double> timeoutSeconds{60.0};
  std::atomic<std::size_t> inProgress{0};
  std::atomic<std::uint64_t> nextID{1};

  bool probe() const { return options.reachabilityProbe ? options.reachabilityProbe() : defaultReachability(host); }

  void log(VXLLoggerLevel level, long code, const std::string& message, const std::vector<Value>& contexts) {
    std::shared_ptr<VXLNetworkLoggerDelegate> delegate;
    {
      std::lock_guard lock(mutex);
      delegate = logger.lock();
    }
    if (!delegate) return;
    if (contexts.empty()) {
      delegate->VXLNetwork_logWithLevel(level, code, message);
    } else if (contexts.size() == 1) {
      delegate->VXLNetwork_logWithLevel(level, code, message, contexts.front());
    } else {
      delegate->VXLNetwork_logWithLevel(level, code, message, contexts);
    }
  }

  // Hands the outcome to the request's queue. `inProgress` drops only after the handler
  // returned, so a caller that checks hasUploadInProgress from its own bookkeeping on the
  // same queue never sees its request as finished before its handler ran.
  void deliver(std::unique_ptr<Request> request, VXLHTTPResponse response, Value::Data data,
               std::optional<VXLNetworkError> error) {
    if (error) {
      log(VXLLoggerLevel::Warning, kVXLNetworkMessageCodeRequestFailed, "Network request failed. URL, error",
          {Value(redactedURL(request->url)), error->asValue()});
    } else if (debug.load()) {
      log(VXLLoggerLevel::Debug, kVXLNetworkMessageCodeRequestFinished, "Network request finished. URL, status",
          {Value(redactedURL(request->url)), Value(response.statusCode)});
    }
    auto queue = request->queue ? request->queue : DispatchQueue::global(QueuePriority::Default);
    queue->async([self = shared_from_this(), handler = std::move(request->handler), response = std::move(response),
                  data = std::move(data), error = std::move(error)] {
      if (handler) {
        try {
          handler(response, data, error);
        } catch (...) {
          // A throwing handler must not take the queue down; the outcome was delivered.
        }
      }
      self->inProgress.fetch_sub(1);
    });
  }

  void fail(std::unique_ptr<Request> request, VXLNetworkErrorCode code, std::string description) {
    VXLHTTPResponse response;
    response.url = request->url;
    deliver(std::move(request), std::move(response), {}, VXLNetworkError{std::string(kVXLNetworkErrorDomain), code,
                                                                         std::move(description)});
  }

  // Configures the transfer; false (with a reason) when curl refused an option.
  bool setUp(Request& r, std::string* reason) {
    r.easy = curl_easy_init();
    if (!r.easy) {
      *reason = "cannot create a transfer";
      return false;
    }
    CURL* e = r.easy;
    bool ok = true;
    auto check = [&](CURLcode rc) { ok = ok && rc == CURLE_OK; };
    check(curl_easy_setopt(e, CURLOPT_URL, r.url.c_str()));
    check(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
    check(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
    check(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L));
    check(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L));
    check(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L));
    // Given certificates replace the system store: both the bundle file and the directory
    // libcurl would otherwise consult are switched off.
    if (!options.trustedCertificatesPEM.empty()) {
      curl_blob blob{const_cast<char*>(options.trustedCertificatesPEM.data()), options.trustedCertificatesPEM.size(),
                     CURL_BLOB_COPY};
      check(curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob));
      check(curl_easy_setopt(e, CURLOPT_CAINFO, static_cast<char*>(nullptr)));
      check(curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<char*>(nullptr)));
    } else if (!options.trustedCertificatesFile.empty()) {
      check(curl_easy_setopt(e, CURLOPT_CAINFO, options.trustedCertificatesFile.c_str()));
      check(curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<char*>(nullptr)));
    }
    // The interval bounds silence, not the whole exchange: a large upload on a slow but
    // working link goes on while bytes move. A generous cap still ends a trickle.
    r.lastActivity = std::chrono::steady_clock::now();
    check(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, r.timeoutMs));
    check(curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L));
    check(curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &onProgress));
    check(curl_easy_setopt(e, CURLOPT_XFERINFODATA, &r));
    check(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, std::max(kOverallCapMs, r.timeoutMs * kOverallCapFactor)));
    check(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onBody));
    check(curl_easy_setopt(e, CURLOPT_WRITEDATA, &r));
    check(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &onHeader));
    check(curl_easy_setopt(e, CURLOPT_HEADERDATA, &r));
    check(curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errorBuffer));
    check(curl_easy_setopt(e, CURLOPT_PRIVATE, &r));
    bool hasContentType = false;
    for (const auto& [name, value] : r.headers) {
      if (::strcasecmp(name.c_str(), "Content-Type") == 0) hasContentType = true;
      // The client owns the body's encoding and length.
      if (::strcasecmp(name.c_str(), "Content-Encoding") == 0 || ::strcasecmp(name.c_str(), "Content-Length") == 0)
        continue;
      std::string line = name + ": " + value;
      r.headerList = curl_slist_append(r.headerList, line.c_str());
    }
    if (r.isPost) {
      if (!hasContentType) r.headerList = curl_slist_append(r.headerList, "Content-Type: application/octet-stream");
      r.headerList = curl_slist_append(r.headerList, "Content-Encoding: gzip");
      // No "Expect: 100-continue" round trip before the body.
      r.headerList = curl_slist_append(r.headerList, "Expect:");
      // On a kept-alive connection that dies before any answer, libcurl sends the request
      // again by itself. The server may already have taken the first copy, and the caller
      // retries on its own terms, so a post gets a connection of its own.
      check(curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L));
      check(curl_easy_setopt(e, CURLOPT_POST, 1L));
      check(curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data()));
      check(curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size())));
    } else {
      check(curl_easy_setopt(e, CURLOPT_HTTPGET, 1L));
    }
    if (r.headerList) check(curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headerList));
    if (!ok) *reason = "cannot configure the transfer";
    return ok;
  }

  void finishTransfer(std::unique_ptr<Request> r, CURLcode result) {
    VXLHTTPResponse response;
    response.url = r->url;
    if (result == CURLE_OK) {
      long status = 0;
      curl_off_t length = -1;
      curl_easy_getinfo(r->easy, CURLINFO_RESPONSE_CODE, &status);
      curl_easy_getinfo(r->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      response.statusCode = status;
      response.expectedContentLength = length;
      response.headers = std::move(r->received);
      Value::Data data(r->bodyOut.begin(), r->bodyOut.end());
      deliver(std::move(r), std::move(response), std::move(data), std::nullopt);
      return;
    }
    VXLNetworkErrorCode code = VXLNetworkErrorCode::Transport;
    std::string description = r->errorBuffer[0] ? r->errorBuffer : curl_easy_strerror(result);
    if (r->tooLarge) {
      code = VXLNetworkErrorCode::ResponseTooLarge;
      description = "response body exceeds the limit of " + std::to_string(r->maxBody) + " bytes";
      log(VXLLoggerLevel::Warning, kVXLNetworkMessageCodeResponseTooLarge,
          "Response body too large, request cancelled. URL", {Value(redactedURL(r->url))});
    } else if (r->idle && result == CURLE_ABORTED_BY_CALLBACK) {
      code = VXLNetworkErrorCode::TimedOut;
      description = "no data moved for " + std::to_string(r->timeoutMs) + " ms";
    } else {
      switch (result) {
        case CURLE_OPERATION_TIMEDOUT: code = VXLNetworkErrorCode::TimedOut; break;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: code = VXLNetworkErrorCode::ConnectionFailed; break;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE: code = VXLNetworkErrorCode::ConnectionDropped; break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR: code = VXLNetworkErrorCode::TLSFailure; break;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: code = VXLNetworkErrorCode::InvalidURL; break;
        default: break;
      }
    }
    deliver(std::move(r), std::move(response), {}, VXLNetworkError{std::string(kVXLNetworkErrorDomain), code,
                                                                    std::move(description)});
  }

  void updateReachability() {
    bool now = probe();
    bool before = connected.exchange(now);
    if (now == before) return;
    log(VXLLoggerLevel::Notice, kVXLNetworkMessageCodeReachabilityChanged, "Network reachability changed. Connected",
        {Value(now)});
    std::shared_ptr<VXLReachabilityDelegate> delegate;
    {
      std::lock_guard lock(mutex);
      delegate = reachability.lock();
    }
    if (delegate) delegate->reachabilityDidChange();
  }

  void run() {
    std::unordered_map<CURL*, std::unique_ptr<Request>> active;
    auto nextProbe = std::chrono::steady_clock::now() + options.reachabilityPollInterval;
    while (true) {
      std::deque<std::unique_ptr<Request>> fresh;
      bool stop = false;
      {
        std::lock_guard lock(mutex);
        fresh.swap(inbox);
        stop = stopping;
      }
      if (stop) {
        for (auto& request : fresh) fail(std::move(request), VXLNetworkErrorCode::Cancelled, "the client was destroyed");
        for (auto& [easy, request] : active) {
          curl_multi_remove_handle(multi, easy);
          fail(std::move(request), VXLNetworkErrorCode::Cancelled, "the client was destroyed");
        }
        active.clear();
        break;
      }
      for (auto& request : fresh) {
        std::string reason;
        if (!setUp(*request, &reason) || curl_multi_add_handle(multi, request->easy) != CURLM_OK) {
          fail(std::move(request), VXLNetworkErrorCode::Transport, reason.empty() ? "cannot start the transfer" : reason);
          continue;
        }
        CURL* easy = request->easy;
        active.emplace(easy, std::move(request));
      }
      int running = 0;
      curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        CURLcode result = message->data.result;
        curl_multi_remove_handle(multi, easy);
        auto it = active.find(easy);
        if (it == active.end()) continue;
        auto request = std::move(it->second);
        active.erase(it);
        finishTransfer(std::move(request), result);
      }
      auto now = std::chrono::steady_clock::now();
      if (now >= nextProbe) {
        updateReachability();
        nextProbe = now + options.reachabilityPollInterval;
      }
      auto untilProbe = std::chrono::duration_cast<std::chrono::milliseconds>(nextProbe - now).count();
      int waitMs = static_cast<int>(std::clamp<long long>(untilProbe, 1, 1000));
      curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
    std::lock_guard lock(mutex);
    curl_multi_cleanup(multi);
    multi = nullptr;
  }

  std::string submit(std::unique_ptr<Request> request) {
    request->id = nextID.fetch_add(1);
    std::size_t before = inProgress.fetch_add(1);
    if (before >= options.maxPendingRequests) {
      log(VXLLoggerLevel::Warning, kVXLNetworkMessageCodeRequestRefused, "Too many network requests pending. Limit",
          {Value(static_cast<unsigned long>(options.maxPendingRequests))});
      fail(std::move(request), VXLNetworkErrorCode::TooManyRequests, "too many requests pending");
      return {};
    }
    std::string reason;
    if (!validateURL(request->url, &reason)) {
      log(VXLLoggerLevel::Error, kVXLNetworkMessageCodeInvalidURL, "Invalid request URL. Reason",
          {Value(reason)});
      fail(std::move(request), VXLNetworkErrorCode::InvalidURL, reason);
      return {};
    }
    for (const auto& [name, value] : request->headers) {
      if (name.empty() || hasLineBreakOrNul(name) || hasLineBreakOrNul(value) ||
          name.find(':') != std::string::npos) {
        fail(std::move(request), VXLNetworkErrorCode::InvalidHeader, "invalid request header");
        return {};
      }
    }
    double seconds = timeoutSeconds.load();
    request->timeoutMs = static_cast<long>(std::clamp(seconds * 1000.0, 1.0, 86400000.0));
    request->maxBody = options.maxResponseBodyBytes;
    std::string session = "VXLNetworkSession-" + std::to_string(request->id);
    if (debug.load()) {
      log(VXLLoggerLevel::Debug, kVXLNetworkMessageCodeRequestStarted, "Network request started. URL, session",
          {Value(redactedURL(request->url)), Value(session)});
    }
    {
      std::lock_guard lock(mutex);
      if (!stopping && multi) {
        inbox.push_back(std::move(request));
        curl_multi_wakeup(multi);
        return session;
      }
    }
    // Logging takes the lock, so the refusal is reported outside it.
    fail(std::move(request), VXLNetworkErrorCode::Cancelled, "the client is shutting down");
    return {};
  }
};

VXLNetwork::VXLNetwork(std::string reachabilityHost) : VXLNetwork(std::move(reachabilityHost), Options{}) {}

VXLNetwork::VXLNetwork(std::string reachabilityHost, Options options)
    : state_(std::make_shared<State>(std::move(reachabilityHost), std::move(options))) {
  initCurlOnce();
  state_->connected.store(state_->probe());
  state_->multi = curl_multi_init();
  if (state_->multi) {
    curl_multi_setopt(state_->multi, CURLMOPT_MAX_HOST_CONNECTIONS, std::max(1L, state_->options.maxConnectionsPerHost));
    state_->worker = std::thread([state = state_] { state->run(); });
  }
}

VXLNetwork::~VXLNetwork() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    if (state_->multi) curl_multi_wakeup(state_->multi);
  }
  if (state_->worker.joinable()) {
    // Destroyed from a callback on the worker itself: the worker finishes on its own,
    // holding the state alive.
    if (state_->worker.get_id() == std::this_thread::get_id()) {
      state_->worker.detach();
    } else {
      state_->worker.join();
    }
  }
}

void VXLNetwork::setLoggerDelegate(std::weak_ptr<VXLNetworkLoggerDelegate> delegate) {
  std::lock_guard lock(state_->mutex);
  state_->logger = std::move(delegate);
}

void VXLNetwork::setIsDebugModeEnabled(bool enabled) { state_->debug.store(enabled); }
bool VXLNetwork::isDebugModeEnabled() const { return state_->debug.load(); }

void VXLNetwork::setReachabilityDelegate(std::weak_ptr<VXLReachabilityDelegate> delegate) {
  std::lock_guard lock(state_->mutex);
  state_->reachability = std::move(delegate);
}

bool VXLNetwork::isNetworkConnected() const { return state_->connected.load(); }
bool VXLNetwork::hasUploadInProgress() const { return state_->inProgress.load() > 0; }

void VXLNetwork::setTimeoutInterval(double seconds) {
  if (std::isfinite(seconds) && seconds > 0) state_->timeoutSeconds.store(seconds);
}
double VXLNetwork::timeoutInterval() const { return state_->timeoutSeconds.load(); }

std::string VXLNetwork::postURL(const std::string& url, const Value::Data& payload,
                                std::shared_ptr<DispatchQueue> queue, bool usingBackgroundSession,
                                VXLNetworkCompletionHandler completionHandler) {
  return postURL(url, payload, VXLHTTPHeaders{}, std::move(queue), usingBackgroundSession,
                 std::move(completionHandler));
}

std::string VXLNetwork::postURL(const std::string& url, const Value::Data& payload, const VXLHTTPHeaders& headers,
                                std::shared_ptr<DispatchQueue> queue, bool /*usingBackgroundSession*/,
                                VXLNetworkCompletionHandler completionHandler) {
  auto request = std::make_unique<Request>();
  request->url = url;
  request->isPost = true;
  request->headers = headers;
  request->queue = std::move(queue);
  request->handler = std::move(completionHandler);
  std::string reason;
  auto encoded = vxl_dataByGzippingData(payload, &reason);
  if (!encoded) {
    state_->inProgress.fetch_add(1);
    state_->fail(std::move(request), VXLNetworkErrorCode::EncodingFailed, reason);
    return {};
  }
  request->body.assign(encoded->begin(), encoded->end());
  return state_->submit(std::move(request));
}

std::string VXLNetwork::getURL(const std::string& url, const VXLHTTPHeaders& headers,
                               std::shared_ptr<DispatchQueue> queue, bool /*usingBackgroundSession*/,
                               VXLNetworkCompletionHandler completionHandler) {
  auto request = std::make_unique<Request>();
  request->url = url;
  request->headers = headers;
  request->queue = std::move(queue);
  request->handler = std::move(completionHandler);
  return state_->submit(std::move(request));
}

void VXLNetwork::handleEventsForBackgroundURLSessionID(const std::string& /*sessionID*/,
                                                       const std::function<void()>& completionHandler) {
  if (completionHandler) completionHandler();
}

}  // namespace platform
