#pragma once
// The local measurement service: an HTTP server on a loopback address that records what
// the library sends and answers as the real service would, or as a test tells it to.
//
//   POST /a                    upload; answered 204 unless a rule says otherwise, or 400
//                              when an installed upload decoder cannot read it (the
//                              executable installs the batch decoder and also writes
//                              "<sequence>.body" and "<sequence>.batch.json")
//   GET  /config/app/<app id>  the file <config dir>/<app id>, with Last-Modified (the
//                              file's modification time) and If-Modified-Since (304);
//                              when only "<app id>.json" exists and a configuration
//                              encoder is installed, that file encoded (500 when it
//                              does not encode)
//   POST /sdk-exp              the experiments file gzip-compressed (an empty response when
//                              there is none), 200
//   POST /_control/rules       replaces the rules (JSON, below); answers {"rules": n}
//   GET  /_control/requests    what was received, as JSON (bodies are not included)
//   POST /_control/reset       forgets the received requests (files stay)
//   routes added with addRoute (the debug view's page and live feed), answered before
//                              the ones above and not recorded
//
// Every request other than /_control/... is recorded: kept in memory (the newest
// kMaxKeptRequests, within kMaxKeptRequestBytes of bodies) and, when a record directory is set, written there as one JSON file
// per request, "<sequence, six digits>.json", holding method, path, query, headers, the
// body in base64, and the gunzipped body (base64) when the request said
// "Content-Encoding: gzip".
//
// Rules, as {"rules": [rule, ...]} or a bare array; the first matching rule applies:
//   "path"     exact path, or a prefix when it ends in "*" (required)
//   "method"   "GET", "POST" ... (optional; any method when absent)
//   "first"    the first matching request it applies to, counted per path from 1 since
//              the rules were set (default 1)
//   "count"    how many requests from "first" on (default: all later ones)
//   "delayMs"  wait this long before acting
//   "stall"    true: hold the connection without answering for "stallMs" (default: until
//              released or the service stops; at most kMaxStall), then drop it
//   "drop"     true: close the connection without answering
//   "status"   answer this status instead of the usual one
//   "body"     answer this text; "bodyBytes": answer this many bytes of "x" instead,
//              sent in chunks without a Content-Length when "chunked" is true
//   "headers"  extra response headers, an object of strings
//
// Thread-safety: all members may be called from any thread. The server answers on its own
// threads. stop() (also run by the destructor) releases stalled requests and waits for
// the server's threads.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace measurement_service {

inline constexpr std::size_t kMaxKeptRequests = 10000;
inline constexpr std::size_t kMaxKeptRequestBytes = 512u << 20;
inline constexpr std::size_t kMaxRules = 1000;
inline constexpr std::size_t kMaxRulesBytes = 1u << 20;
inline constexpr std::size_t kMaxRequestBodyBytes = 64u << 20;
inline constexpr std::size_t kMaxInflatedBytes = 64u << 20;
inline constexpr std::size_t kMaxResponseBodyBytes = 256u << 20;
inline constexpr std::chrono::milliseconds kMaxStall{10 * 60 * 1000};
inline constexpr std::chrono::milliseconds kMaxDelay{10 * 60 * 1000};

struct ServiceOptions {
  // Must be a loopback address: the service is for local testing only.
  std::string host = "127.0.0.1";
  // 0 picks any free port.
  int port = 0;
  // Empty: requests are only kept in memory.
  std::filesystem::path recordDirectory;
  // Where configuration files, named after the app ID, are looked up.
  std::filesystem::path configDirectory;
  // The serialized response for /sdk-exp, sent gzip-compressed.
  std::filesystem::path experimentsFile;
  // Both set: the service speaks https only, with this certificate (PEM, may carry the
  // chain after it) and its private key (PEM). Neither: plain http.
  std::filesystem::path tlsCertificateFile;
  std::filesystem::path tlsPrivateKeyFile;
};

struct Rule {
  std::string path;
  std::string method;
  std::uint64_t first = 1;
  std::optional<std::uint64_t> count;
  std::chrono::milliseconds delay{0};
  bool stall = false;
  std::optional<std::chrono::milliseconds> stallFor;
  bool drop = false;
  std::optional<int> status;
  std::optional<std::string> body;
  std::optional<std::size_t> bodyBytes;
  bool chunked = false;
  std::vector<std::pair<std::string, std::string>> headers;

  bool matchesPath(std::string_view requestPath) const;
};

// Parses rules; nullopt with a reason on malformed input or out-of-range values.
std::optional<std::vector<Rule>> parseRules(std::string_view json, std::string* error);

struct RecordedRequest {
  std::uint64_t sequence = 0;
  std::string method;
  std::string path;
  std::string query;
  // The request target as sent (path and query, nothing decoded).
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Set when the request was gzip-encoded and inflated cleanly.
  std::optional<std::string> gunzippedBody;
  std::string gunzipError;
  // What the decoder hook made of an upload, when one is installed.
  std::optional<std::string> decoded;
  // The answer given: a status, or "drop" / "stall".
  int status = 0;
  std::string action;
  std::filesystem::path file;

  // The header's value (case-insensitive name); nullopt when absent.
  std::optional<std::string> header(std::string_view name) const;
  // The body as the library meant it: gunzipped when it was gzip-encoded.
  const std::string& payload() const { return gunzippedBody ? *gunzippedBody : body; }
};

// Turns an upload's payload (gunzipped) into readable text for the record, or nullopt
// when it cannot. Runs on a server thread; must be thread-safe.
using UploadDecoder = std::function<std::optional<std::string>(std::string_view payload)>;
// Turns a configuration written as JSON into the bytes served, or nullopt with a reason.
// Runs on a server thread; must be thread-safe.
using ConfigEncoder = std::function<std::optional<std::string>(std::string_view json, std::string* error)>;
// Told of every recorded request (not /_control/...), after it was answered. Runs on a
// server thread, one request at a time.
using RequestObserver = std::function<void(const RecordedRequest& request)>;
// Answers a route added with addRoute. Runs on a server thread; must be thread-safe.
using RouteHandler = std::function<void(const httplib::Request& request, httplib::Response& response)>;

// HTTP-date (IMF-fixdate) for a time, and back; nullopt for text that is not one.
std::string formatHTTPDate(std::int64_t secondsSince1970);
std::optional<std::int64_t> parseHTTPDate(std::string_view text);

std::string base64Encode(std::string_view bytes);

class ServiceCore {
 public:
  explicit ServiceCore(ServiceOptions options);
  ~ServiceCore();
  ServiceCore(const ServiceCore&) = delete;
  ServiceCore& operator=(const ServiceCore&) = delete;

  // Binds and starts serving on a background thread. False with a reason when the host
  // is not loopback, the port cannot be bound, the record directory cannot be made, or
  // only one of the TLS files is given, or they do not load.
  // Ignores SIGPIPE process-wide (a dropped connection must not kill the process).
  [[nodiscard]] bool start(std::string* error = nullptr);
  // Stops serving, releases stalled requests, waits for the server threads. Idempotent.
  void stop();

  int port() const { return port_; }
  bool usesTLS() const { return !options_.tlsCertificateFile.empty(); }
  // "http://127.0.0.1:PORT" ("https://..." with TLS).
  std::string baseURL() const;

  [[nodiscard]] bool setRules(std::string_view json, std::string* error = nullptr);
  void setRules(std::vector<Rule> rules);
  // Ends every stall now (the stalled connections are dropped).
  void releaseStalled();

  // The hook where an upload decoder is plugged in; empty to remove it.
  void setUploadDecoder(UploadDecoder decoder);
  // The hooks for configurations written as JSON and for watching requests; empty removes.
  void setConfigEncoder(ConfigEncoder encoder);
  void setRequestObserver(RequestObserver observer);
  // A GET route (an exact path) answered by `handler` instead of being recorded. Only
  // before start(); later calls are ignored.
  void addRoute(std::string path, RouteHandler handler);

  // The bytes GET /config/app/<app id> serves now: the raw file, else the JSON file
  // encoded. Nullopt when there is neither, with `error` set when the JSON does not encode.
  std::optional<std::string> servedConfiguration(const std::string& appID, std::int64_t* modified = nullptr,
                                                 std::string* error = nullptr) const;

  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  // Waits until at least `count` requests were recorded (false on timeout).
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  void clearRequests();
  // The received requests as the /_control/requests endpoint lists them.
  std::string requestsJSON() const;

 private:
  std::optional<Rule> matchRule(const std::string& method, const std::string& path);
  void handle(const httplib::Request& req, httplib::Response& res);
  void answerNormally(const httplib::Request& req, httplib::Response& res);
  void record(RecordedRequest& record);
  void notifyObserver(const RecordedRequest& record);
  void dropConnection(const httplib::Request& req);
  // Sleeps up to `duration`, returning early when stalls are released or the service stops.
  void waitInterruptibly(std::chrono::milliseconds duration, bool isStall);

  const ServiceOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  bool started_ = false;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Rule> rules_;
  std::map<std::string, std::uint64_t> countsByPath_;
  std::vector<RecordedRequest> requests_;
  std::size_t keptBytes_ = 0;
  std::uint64_t nextSequence_ = 1;
  std::uint64_t releaseGeneration_ = 0;
  bool stopping_ = false;
  UploadDecoder decoder_;
  ConfigEncoder configEncoder_;
  RequestObserver observer_;
  std::mutex observerMutex_;
  std::vector<std::pair<std::string, RouteHandler>> routes_;
};

}  // namespace measurement_service
