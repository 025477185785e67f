#include "tools/measurement-service/ServiceCore.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <httplib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/Gzip.h"
#include "platform/network/VXLNetwork.h"

namespace measurement_service {
namespace {

using nlohmann::json;


// Exposes the listening socket, so that its backlog can be raised.
template <class Base>
class ListeningServer : public Base {
 public:
  using Base::Base;
  int listeningSocket() const { return this->svr_sock_; }
};

constexpr const char* kHiddenEncodingHeader = "X-Measurement-Service-Content-Encoding";

void setError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

// An app ID names a file in the configuration directory: nothing that could leave it.
bool isSafeFileName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

std::optional<std::string> readFileBounded(const std::filesystem::path& path, std::size_t limit,
                                           std::int64_t* mtime) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(st.st_size) > limit) return std::nullopt;
  if (mtime) *mtime = st.st_mtime;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  return !ec;
}

std::optional<std::uint64_t> unsignedField(const json& object, const char* key, std::string* error,
                                           std::uint64_t max) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (!it->is_number_unsigned() || it->get<std::uint64_t>() > max) {
    setError(error, std::string("\"") + key + "\" must be a whole number from 0 to " + std::to_string(max));
    return std::nullopt;
  }
  return it->get<std::uint64_t>();
}

}  // namespace

bool Rule::matchesPath(std::string_view requestPath) const {
  if (!path.empty() && path.back() == '*') return requestPath.starts_with(std::string_view(path).substr(0, path.size() - 1));
  return requestPath == path;
}

std::optional<std::vector<Rule>> parseRules(std::string_view text, std::string* error) {
  if (text.size() > kMaxRulesBytes) {
    setError(error, "rules text too large");
    return std::nullopt;
  }
  json document = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    setError(error, "rules are not valid JSON");
    return std::nullopt;
  }
  const json* list = &document;
  if (document.is_object()) {
    auto it = document.find("rules");
    if (it == document.end()) {
      setError(error, "expected {\"rules\": [...]}");
      return std::nullopt;
    }
    list = &*it;
  }
  if (!list->is_array()) {
    setError(error, "rules must be an array");
    return std::nullopt;
  }
  if (list->size() > kMaxRules) {
    setError(error, "too many rules");
    return std::nullopt;
  }
  std::vector<Rule> rules;
  for (const json& item : *list) {
    if (!item.is_object()) {
      setError(error, "each rule must be an object");
      return std::nullopt;
    }
    Rule rule;
    auto path = item.find("path");
    if (path == item.end() || !path->is_string() || path->get<std::string>().empty()) {
      setError(error, "each rule needs a \"path\" string");
      return std::nullopt;
    }
    rule.path = path->get<std::string>();
    if (auto method = item.find("method"); method != item.end()) {
      if (!method->is_string()) {
        setError(error, "\"method\" must be a string");
        return std::nullopt;
      }
      rule.method = method->get<std::string>();
    }
    std::string fieldError;
    auto first = unsignedField(item, "first", &fieldError, UINT32_MAX);
    auto count = unsignedField(item, "count", &fieldError, UINT32_MAX);
    auto delay = unsignedField(item, "delayMs", &fieldError, static_cast<std::uint64_t>(kMaxDelay.count()));
    auto stallMs = unsignedField(item, "stallMs", &fieldError, static_cast<std::uint64_t>(kMaxStall.count()));
    auto status = unsignedField(item, "status", &fieldError, 599);
    auto bodyBytes = unsignedField(item, "bodyBytes", &fieldError, kMaxResponseBodyBytes);
    if (!fieldError.empty()) {
      setError(error, fieldError);
      return std::nullopt;
    }
    if (first) {
      if (*first == 0) {
        setError(error, "\"first\" counts from 1");
        return std::nullopt;
      }
      rule.first = *first;
    }
    rule.count = count;
    if (delay) rule.delay = std::chrono::milliseconds(*delay);
    if (stallMs) rule.stallFor = std::chrono::milliseconds(*stallMs);
    if (status) {
      if (*status < 100) {
        setError(error, "\"status\" must be from 100 to 599");
        return std::nullopt;
      }
      rule.status = static_cast<int>(*status);
    }
    rule.bodyBytes = bodyBytes;
    for (const char* flag : {"stall", "drop", "chunked"}) {
      auto it = item.find(flag);
      if (it == item.end()) continue;
      if (!it->is_boolean()) {
        setError(error, std::string("\"") + flag + "\" must be true or false");
        return std::nullopt;
      }
      bool value = it->get<bool>();
      if (std::strcmp(flag, "stall") == 0) rule.stall = value;
      else if (std::strcmp(flag, "drop") == 0) rule.drop = value;
      else rule.chunked = value;
    }
    if (auto body = item.find("body"); body != item.end()) {
      if (!body->is_string()) {
        setError(error, "\"body\" must be a string");
        return std::nullopt;
      }
      rule.body = body->get<std::string>();
    }
    if (auto headers = item.find("headers"); headers != item.end()) {
      if (!headers->is_object()) {
        setError(error, "\"headers\" must be an object of strings");
        return std::nullopt;
      }
      for (auto it = headers->begin(); it != headers->end(); ++it) {
        const std::string& name = it.key();
        if (!it.value().is_string() || name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
            it.value().get<std::string>().find_first_of("\r\n") != std::string::npos) {
          setError(error, "\"headers\" must be an object of strings without line breaks");
          return std::nullopt;
        }
        rule.headers.emplace_back(name, it.value().get<std::string>());
      }
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
  }
  return std::nullopt;
}

std::string formatHTTPDate(std::int64_t secondsSince1970) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(secondsSince1970);
  struct tm parts {};
  if (!gmtime_r(&t, &parts)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday], parts.tm_mday,
                kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::optional<std::int64_t> parseHTTPDate(std::string_view text) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // "Sun, 06 Nov 1994 08:49:37 GMT"
  if (text.size() != 29 || text.substr(25) != " GMT" || text[3] != ',') return std::nullopt;
  std::string copy(text);
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  char month[4] = {};
  if (std::sscanf(copy.c_str() + 5, "%2d %3s %4d %2d:%2d:%2d", &day, month, &year, &hour, &minute, &second) != 6)
    return std::nullopt;
  int monthIndex = -1;
  for (int i = 0; i < 12; ++i) {
    if (std::strcmp(month, kMonths[i]) == 0) monthIndex = i;
  }
  if (monthIndex < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || year < 1970) return std::nullopt;
  struct tm parts {};
  parts.tm_mday = day;
  parts.tm_mon = monthIndex;
  parts.tm_year = year - 1900;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return static_cast<std::int64_t>(timegm(&parts));
}

std::string base64Encode(std::string_view bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    std::uint32_t n = (static_cast<std::uint8_t>(bytes[i]) << 16) | (static_cast<std::uint8_t>(bytes[i + 1]) << 8) |
                      static_cast<std::uint8_t>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  if (std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

ServiceCore::ServiceCore(ServiceOptions options) : options_(std::move(options)) {}

ServiceCore::~ServiceCore() { stop(); }

std::string ServiceCore::baseURL() const {
  std::string host = options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host;
  return std::string(usesTLS() ? "https://" : "http://") + host + ":" + std::to_string(port_);
}

bool ServiceCore::start(std::string* error) {
  if (started_) {
    setError(error, "already started");
    return false;
  }
  if (!platform::isLoopbackHost(options_.host)) {
    setError(error, "the service listens on loopback addresses only, not " + options_.host);
    return false;
  }
  if (!options_.recordDirectory.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options_.recordDirectory, ec);
    if (ec) {
      setError(error, "cannot create " + options_.recordDirectory.string() + ": " + ec.message());
      return false;
    }
  }
  if (options_.tlsCertificateFile.empty() != options_.tlsPrivateKeyFile.empty()) {
    setError(error, "TLS needs both a certificate and a private key");
    return false;
  }
  ::signal(SIGPIPE, SIG_IGN);

  if (usesTLS()) {
    server_ = std::make_unique<ListeningServer<httplib::SSLServer>>(options_.tlsCertificateFile.c_str(),
                                                                    options_.tlsPrivateKeyFile.c_str());
    if (!server_->is_valid()) {
      setError(error, "cannot load the TLS certificate " + options_.tlsCertificateFile.string() + " and key " +
                          options_.tlsPrivateKeyFile.string());
      server_.reset();
      return false;
    }
  } else {
    server_ = std::make_unique<ListeningServer<httplib::Server>>();
  }
  // Stalled and keep-alive connections each hold a server thread; leave room for many.
  server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
  server_->set_keep_alive_timeout(1);
  server_->set_payload_max_length(kMaxRequestBodyBytes);
  // Address reuse for quick restarts, but no port sharing: a second service on a busy
  // port must fail rather than silently split the traffic.
  server_->set_socket_options([](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  // The server inflates gzip request bodies by itself, which would lose the bytes as sent.
  // Hide the encoding from it before the body is read; handle() restores it. The request
  // object is the server's own mutable one, only handed over as const.
  server_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    if (req.has_header("Content-Encoding")) {
      auto& mutableRequest = const_cast<httplib::Request&>(req);
      std::string encoding = req.get_header_value("Content-Encoding");
      mutableRequest.headers.erase("Content-Encoding");
      mutableRequest.headers.emplace(kHiddenEncodingHeader, encoding);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  for (const auto& [path, route] : routes_) {
    // An exact path: the server reads route patterns as regular expressions.
    std::string pattern;
    for (char c : path) {
      if (std::strchr(".^$|()[]{}*+?\\", c)) pattern += '\\';
      pattern += c;
    }
    server_->Get(pattern, route);
  }
  server_->Post("/_control/rules", [this](const httplib::Request& req, httplib::Response& res) {
    std::string reason;
    auto rules = parseRules(req.body, &reason);
    if (!rules) {
      res.status = 400;
      res.set_content(json{{"error", reason}}.dump(), "application/json");
      return;
    }
    std::size_t n = rules->size();
    setRules(std::move(*rules));
    res.set_content(json{{"rules", n}}.dump(), "application/json");
  });
  server_->Get("/_control/requests", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(requestsJSON(), "application/json");
  });
  server_->Post("/_control/reset", [this](const httplib::Request&, httplib::Response& res) {
    clearRequests();
    res.set_content("{}", "application/json");
  });
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  server_->Put(".*", handler);
  server_->Delete(".*", handler);

  int port = options_.port;
  if (port == 0) {
    port = server_->bind_to_any_port(options_.host);
    if (port <= 0) {
      setError(error, "cannot bind " + options_.host);
      server_.reset();
      return false;
    }
  } else if (!server_->bind_to_port(options_.host, port)) {
    setError(error, "cannot bind " + options_.host + ":" + std::to_string(port));
    server_.reset();
    return false;
  }
  // The server listens with a backlog of 5; a burst of parallel connections would see
  // dropped SYNs and a one-second retransmit. Listening again only changes the backlog.
  ::listen(usesTLS() ? static_cast<ListeningServer<httplib::SSLServer>*>(server_.get())->listeningSocket()
                     : static_cast<ListeningServer<httplib::Server>*>(server_.get())->listeningSocket(),
           SOMAXCONN);
  port_ = port;
  started_ = true;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The server ignores stop() until its loop runs; wait for it, so that a stop right after
  // start cannot be lost.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void ServiceCore::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool ServiceCore::setRules(std::string_view json, std::string* error) {
  auto rules = parseRules(json, error);
  if (!rules) return false;
  setRules(std::move(*rules));
  return true;
}

void ServiceCore::setRules(std::vector<Rule> rules) {
  std::lock_guard lock(mutex_);
  rules_ = std::move(rules);
  countsByPath_.clear();
}

void ServiceCore::releaseStalled() {
  {
    std::lock_guard lock(mutex_);
    ++releaseGeneration_;
  }
  changed_.notify_all();
}

void ServiceCore::setUploadDecoder(UploadDecoder decoder) {
  std::lock_guard lock(mutex_);
  decoder_ = std::move(decoder);
}

void ServiceCore::setConfigEncoder(ConfigEncoder encoder) {
  std::lock_guard lock(mutex_);
  configEncoder_ = std::move(encoder);
}

void ServiceCore::setRequestObserver(RequestObserver observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void ServiceCore::addRoute(std::string path, RouteHandler handler) {
  if (started_ || !handler) return;
  routes_.emplace_back(std::move(path), std::move(handler));
}

std::vector<RecordedRequest> ServiceCore::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t ServiceCore::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool ServiceCore::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void ServiceCore::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
  keptBytes_ = 0;
}

std::string ServiceCore::requestsJSON() const {
  json list = json::array();
  std::lock_guard lock(mutex_);
  for (const auto& r : requests_) {
    json headers = json::object();
    for (const auto& [name, value] : r.headers) headers[name] = value;
    json item{{"sequence", r.sequence}, {"method", r.method}, {"path", r.path},     {"query", r.query},
              {"headers", headers},     {"bodyBytes", r.body.size()},           {"status", r.status},
              {"action", r.action},     {"file", r.file.string()}};
    if (r.gunzippedBody) item["gunzippedBytes"] = r.gunzippedBody->size();
    if (!r.gunzipError.empty()) item["gunzipError"] = r.gunzipError;
    if (r.decoded) item["decoded"] = *r.decoded;
    list.push_back(std::move(item));
  }
  return list.dump(2, ' ', false, json::error_handler_t::replace);
}

std::optional<Rule> ServiceCore::matchRule(const std::string& method, const std::string& path) {
  std::lock_guard lock(mutex_);
  std::uint64_t n = ++countsByPath_[path];
  for (const Rule& rule : rules_) {
    if (!rule.matchesPath(path)) continue;
    if (!rule.method.empty() && ::strcasecmp(rule.method.c_str(), method.c_str()) != 0) continue;
    if (n < rule.first) continue;
    if (rule.count && n - rule.first >= *rule.count) continue;
    return rule;
  }
  return std::nullopt;
}

void ServiceCore::waitInterruptibly(std::chrono::milliseconds duration, bool isStall) {
  std::unique_lock lock(mutex_);
  std::uint64_t generation = releaseGeneration_;
  changed_.wait_for(lock, duration, [&] { return stopping_ || (isStall && releaseGeneration_ != generation); });
}

void ServiceCore::dropConnection(const httplib::Request& req) {
  // The server does not hand the connection to handlers; find this connection's socket by
  // its two ports and shut it down. The socket stays open until the server closes it, so
  // the descriptor cannot be reused meanwhile.
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    auto portOf = [](const sockaddr_storage& a) -> int {
      if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
      if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
      return -1;
    };
    if (portOf(local) == req.local_port && portOf(peer) == req.remote_port) {
      ::shutdown(static_cast<int>(fd), SHUT_RDWR);
      break;
    }
  }
  ::closedir(dir);
}

std::optional<std::string> ServiceCore::servedConfiguration(const std::string& appID, std::int64_t* modified,
                                                            std::string* error) const {
  if (options_.configDirectory.empty() || !isSafeFileName(appID)) return std::nullopt;
  std::int64_t mtime = 0;
  if (auto bytes = readFileBounded(options_.configDirectory / appID, kMaxResponseBodyBytes, &mtime)) {
    if (modified) *modified = mtime;
    return bytes;
  }
  ConfigEncoder encoder;
  {
    std::lock_guard lock(mutex_);
    encoder = configEncoder_;
  }
  auto text = encoder ? readFileBounded(options_.configDirectory / (appID + ".json"), kMaxRulesBytes * 16, &mtime)
                      : std::nullopt;
  if (!text) return std::nullopt;
  std::string reason;
  auto bytes = encoder(*text, &reason);
  if (!bytes) {
    setError(error, "cannot encode " + appID + ".json: " + reason);
    return std::nullopt;
  }
  if (modified) *modified = mtime;
  return bytes;
}

void ServiceCore::answerNormally(const httplib::Request& req, httplib::Response& res) {
  static constexpr std::string_view kConfigPrefix = "/config/app/";
  if (req.method == "POST" && req.path == "/a") {
    res.status = 204;
    return;
  }
  if ((req.method == "GET" || req.method == "HEAD") && req.path.starts_with(kConfigPrefix)) {
    std::string appID = req.path.substr(kConfigPrefix.size());
    if (!isSafeFileName(appID)) {
      res.status = 400;
      return;
    }
    std::int64_t modified = 0;
    std::string reason;
    std::optional<std::string> bytes = servedConfiguration(appID, &modified, &reason);
    if (!bytes && !reason.empty()) {
      res.status = 500;
      res.set_content(reason + "\n", "text/plain");
      return;
    }
    if (!bytes) {
      res.status = 404;
      return;
    }
    res.set_header("Last-Modified", formatHTTPDate(modified));
    if (req.has_header("If-Modified-Since")) {
      auto since = parseHTTPDate(req.get_header_value("If-Modified-Since"));
      if (since && modified <= *since) {
        res.status = 304;
        return;
      }
    }
    res.status = 200;
    res.set_content(*bytes, "application/x-protobuf");
    return;
  }
  if (req.method == "POST" && req.path == "/sdk-exp") {
    std::string response;
    if (!options_.experimentsFile.empty()) {
      auto bytes = readFileBounded(options_.experimentsFile, kMaxResponseBodyBytes, nullptr);
      if (!bytes) {
        res.status = 500;
        return;
      }
      response = std::move(*bytes);
    }
    auto compressed = platform::vxl_dataByGzippingData(
        std::span(reinterpret_cast<const std::uint8_t*>(response.data()), response.size()));
    if (!compressed) {
      res.status = 500;
      return;
    }
    res.status = 200;
    res.set_content(std::string(compressed->begin(), compressed->end()), "application/x-protobuf");
    return;
  }
  res.status = 404;
}

void ServiceCore::record(RecordedRequest& rec) {
  std::filesystem::path directory = options_.recordDirectory;
  {
    std::lock_guard lock(mutex_);
    rec.sequence = nextSequence_++;
  }
  if (!directory.empty()) {
    char name[32];
    std::snprintf(name, sizeof name, "%06llu.json", static_cast<unsigned long long>(rec.sequence));
    json headers = json::object();
    for (const auto& [key, value] : rec.headers) headers[key] = value;
    json document{{"sequence", rec.sequence}, {"method", rec.method}, {"path", rec.path},
                  {"query", rec.query},       {"headers", headers},   {"body", base64Encode(rec.body)},
                  {"status", rec.status},     {"action", rec.action}};
    if (rec.gunzippedBody) document["gunzippedBody"] = base64Encode(*rec.gunzippedBody);
    if (!rec.gunzipError.empty()) document["gunzipError"] = rec.gunzipError;
    if (rec.decoded) document["decoded"] = *rec.decoded;
    if (writeFileAtomically(directory / name, document.dump(2, ' ', false, json::error_handler_t::replace) + "\n"))
      rec.file = directory / name;
    if (rec.decoded) {
      // The batch as sent and as read, side by side, for people and scripts.
      std::string stem(name, std::strlen(name) - 5);
      writeFileAtomically(directory / (stem + ".body"), rec.body);
      writeFileAtomically(directory / (stem + ".batch.json"), *rec.decoded + "\n");
    }
  }
  {
    std::lock_guard lock(mutex_);
    // Keep the newest requests within both bounds; the files keep everything.
    auto sizeOf = [](const RecordedRequest& r) { return r.body.size() + (r.gunzippedBody ? r.gunzippedBody->size() : 0); };
    keptBytes_ += sizeOf(rec);
    requests_.push_back(rec);
    std::size_t drop = 0;
    while (requests_.size() - drop > 1 &&
           (requests_.size() - drop > kMaxKeptRequests || keptBytes_ > kMaxKeptRequestBytes)) {
      keptBytes_ -= sizeOf(requests_[drop]);
      ++drop;
    }
    requests_.erase(requests_.begin(), requests_.begin() + static_cast<std::ptrdiff_t>(drop));
  }
  changed_.notify_all();
}

void ServiceCore::notifyObserver(const RecordedRequest& rec) {
  RequestObserver observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (!observer) return;
  std::lock_guard lock(observerMutex_);
  observer(rec);
}

void ServiceCore::handle(const httplib::Request& req, httplib::Response& res) {
  RecordedRequest rec;
  rec.method = req.method;
  rec.path = req.path;
  rec.target = req.target;
  if (auto q = req.target.find('?'); q != std::string::npos) rec.query = req.target.substr(q + 1);
  for (const auto& [name, value] : req.headers) {
    // The server adds these itself; they were not sent.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
    rec.headers.emplace_back(name == kHiddenEncodingHeader ? "Content-Encoding" : name, value);
  }
  rec.body = req.body;
  if (auto encoding = rec.header("Content-Encoding"); encoding && ::strcasecmp(encoding->c_str(), "gzip") == 0) {
    std::string reason;
    auto inflated = platform::vxl_dataByInflatingGzippedData(
        std::span(reinterpret_cast<const std::uint8_t*>(rec.body.data()), rec.body.size()), &reason,
        kMaxInflatedBytes);
    if (inflated) {
      rec.gunzippedBody = std::string(inflated->begin(), inflated->end());
    } else {
      rec.gunzipError = reason.empty() ? "cannot inflate" : reason;
    }
  }
  bool undecodable = false;
  if (rec.method == "POST" && rec.path == "/a") {
    UploadDecoder decoder;
    {
      std::lock_guard lock(mutex_);
      decoder = decoder_;
    }
    if (decoder) {
      if (rec.gunzipError.empty()) rec.decoded = decoder(rec.payload());
      undecodable = !rec.decoded;
    }
  }

  std::optional<Rule> rule = matchRule(rec.method, rec.path);
  if (rule && (rule->drop || rule->stall)) {
    rec.action = rule->stall ? "stall" : "drop";
    record(rec);
    notifyObserver(rec);
    if (rule->delay.count() > 0) waitInterruptibly(rule->delay, false);
    if (rule->stall) waitInterruptibly(rule->stallFor.value_or(kMaxStall), true);
    dropConnection(req);
    return;
  }
  if (rule && (rule->status || rule->body || rule->bodyBytes)) {
    res.status = rule->status.value_or(200);
    if (rule->body) res.set_content(*rule->body, "application/octet-stream");
    if (rule->bodyBytes && rule->chunked) {
      // No Content-Length: the client learns the size only while reading.
      std::size_t total = *rule->bodyBytes;
      res.set_chunked_content_provider("application/octet-stream",
                                       [total, sent = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                                         static const std::string kChunk(64 * 1024, 'x');
                                         if (sent >= total) {
                                           sink.done();
                                           return true;
                                         }
                                         std::size_t n = std::min(kChunk.size(), total - sent);
                                         sent += n;
                                         return sink.write(kChunk.data(), n);
                                       });
    } else if (rule->bodyBytes) {
      res.set_content(std::string(*rule->bodyBytes, 'x'), "application/octet-stream");
    }
  } else if (undecodable) {
    // A batch the service cannot read would otherwise be counted as delivered.
    res.status = 400;
    res.set_content("undecodable batch\n", "text/plain");
  } else {
    answerNormally(req, res);
  }
  if (rule) {
    for (const auto& [name, value] : rule->headers) res.set_header(name, value);
  }
  rec.status = res.status;
  rec.action = rule ? "rule" : "default";
  record(rec);
  notifyObserver(rec);
  if (rule && rule->delay.count() > 0) waitInterruptibly(rule->delay, false);
}

}  // namespace measurement_service
