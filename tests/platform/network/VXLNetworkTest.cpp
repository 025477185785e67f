// The network client against the real local measurement service over loopback.

#include "platform/network/VXLNetwork.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>

#include "tests/support/TestDirectory.h"
#include "tests/support/Wait.h"
#include "tools/measurement-service/ServiceCore.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using tw_test_support::waitFor;
namespace fs = std::filesystem;

// Collects one request's outcome; counts every call so a second call is caught.
struct Outcome {
  std::mutex mutex;
  std::condition_variable done;
  int calls = 0;
  bool onGivenQueue = false;
  VXLHTTPResponse response;
  Value::Data data;
  std::optional<VXLNetworkError> error;
  bool inProgressDuringHandler = false;

  VXLNetworkCompletionHandler handler(const std::shared_ptr<DispatchQueue>& queue, const VXLNetwork* network = nullptr) {
    return [this, queue, network](const VXLHTTPResponse& r, const Value::Data& d,
                                  const std::optional<VXLNetworkError>& e) {
      std::lock_guard lock(mutex);
      ++calls;
      onGivenQueue = queue->isCurrent();
      response = r;
      data = d;
      error = e;
      if (network) inProgressDuringHandler = network->hasUploadInProgress();
      done.notify_all();
    };
  }
  bool wait(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex);
    return done.wait_for(lock, timeout, [&] { return calls > 0; });
  }
  int callCount() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

Value::Data bytesOf(std::string_view s) { return Value::Data(s.begin(), s.end()); }
std::string stringOf(const Value::Data& d) { return std::string(d.begin(), d.end()); }

Value::Data randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Value::Data out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

class CapturingLogger : public VXLNetworkLoggerDelegate {
 public:
  struct Line {
    VXLLoggerLevel level;
    long code;
    std::string message;
    std::vector<Value> contexts;
  };
  void VXLNetwork_logWithLevel(VXLLoggerLevel level, long code, const std::string& message) override {
    add({level, code, message, {}});
  }
  void VXLNetwork_logWithLevel(VXLLoggerLevel level, long code, const std::string& message,
                               const Value& context) override {
    add({level, code, message, {context}});
  }
  void VXLNetwork_logWithLevel(VXLLoggerLevel level, long code, const std::string& message,
                               const std::vector<Value>& contexts) override {
    add({level, code, message, contexts});
  }
  std::vector<Line> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  void add(Line line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  std::mutex mutex_;
  std::vector<Line> lines_;
};

class CountingReachability : public VXLReachabilityDelegate {
 public:
  void reachabilityDidChange() override { changes.fetch_add(1); }
  std::atomic<int> changes{0};
};

class VXLNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tw_test_support::freshTestDirectory("vxlnetwork-test");
    fs::create_directories(root_ / "config");
    measurement_service::ServiceOptions options;
    options.recordDirectory = root_ / "records";
    options.configDirectory = root_ / "config";
    service_ = std::make_unique<measurement_service::ServiceCore>(options);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;
    queue_ = DispatchQueue::create("test.network.completions");
  }
  void TearDown() override {
    service_->releaseStalled();
    service_->stop();
    fs::remove_all(root_);
  }

  std::string url(const std::string& path) const { return service_->baseURL() + path; }

  void setRules(const std::string& json) {
    std::string error;
    ASSERT_TRUE(service_->setRules(json, &error)) << error;
  }

  fs::path root_;
  std::unique_ptr<measurement_service::ServiceCore> service_;
  std::shared_ptr<DispatchQueue> queue_;
};

TEST_F(VXLNetworkTest, PostSendsGzipBodyThatArrivesIntactAndCompletesOnceOnTheQueue) {
  VXLNetwork network("127.0.0.1");
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{300 * 1024}}) {
    SCOPED_TRACE(size);
    service_->clearRequests();
    Value::Data payload = randomBytes(size, static_cast<unsigned>(size));
    Outcome outcome;
    std::string session = network.postURL(url("/a"), payload, queue_, false, outcome.handler(queue_));
    EXPECT_FALSE(session.empty());
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.response.statusCode, kVXLNetworkHTTPStatusNoContent);
    EXPECT_FALSE(outcome.error.has_value());
    EXPECT_TRUE(outcome.onGivenQueue);

    auto received = service_->requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].header("Content-Encoding"), "gzip");
    ASSERT_TRUE(received[0].gunzippedBody.has_value()) << received[0].gunzipError;
    EXPECT_EQ(*received[0].gunzippedBody, stringOf(payload));
    EXPECT_NE(received[0].body, stringOf(payload));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(outcome.callCount(), 1);
  }
  // Session identifiers differ from request to request.
  Outcome a, b;
  std::string first = network.postURL(url("/a"), bytesOf("x"), queue_, true, a.handler(queue_));
  std::string second = network.postURL(url("/a"), bytesOf("y"), queue_, false, b.handler(queue_));
  ASSERT_TRUE(a.wait() && b.wait());
  EXPECT_NE(first, second);
}

TEST_F(VXLNetworkTest, StatusesAndBodiesComeBackAsResponsesNotErrors) {
  VXLNetwork network("127.0.0.1");
  for (long status : {kVXLNetworkHTTPStatusOK, kVXLNetworkHTTPStatusCodeNotFound,
                      kVXLNetworkHTTPStatusCodeCannotAcceptTraffic, kVXLNetworkHTTPStatusCodeUnavailable}) {
    SCOPED_TRACE(status);
    std::string body = "answer-" + std::to_string(status);
    setRules(R"({"rules":[{"path":"/a","status":)" + std::to_string(status) + R"(,"body":")" + body +
             R"(","headers":{"X-Answer":"yes"}}]})");
    Outcome outcome;
    network.postURL(url("/a"), bytesOf("batch"), queue_, false, outcome.handler(queue_));
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.response.statusCode, status);
    EXPECT_FALSE(outcome.error.has_value());
    EXPECT_EQ(stringOf(outcome.data), body);
    EXPECT_EQ(outcome.response.expectedContentLength, static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(outcome.response.valueForHeader("x-answer"), "yes");
  }
}

TEST_F(VXLNetworkTest, ConfigurationGetHonoursIfModifiedSince) {
  const std::string appID = "1:1234567890:ios:abcdef";
  const std::string config = "serialized configuration bytes";
  {
    std::ofstream out(root_ / "config" / appID, std::ios::binary);
    out << config;
  }
  // A modification time well in the past, so that "now" is certainly later.
  struct timeval times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(::utimes((root_ / "config" / appID).c_str(), times), 0);

  VXLNetwork network("127.0.0.1");
  Outcome fresh;
  network.getURL(url("/config/app/" + appID + "?app_instance_id=abc&platform=ios"), {}, queue_, false,
                 fresh.handler(queue_));
  ASSERT_TRUE(fresh.wait());
  EXPECT_EQ(fresh.response.statusCode, kVXLNetworkHTTPStatusOK);
  EXPECT_EQ(stringOf(fresh.data), config);
  EXPECT_EQ(fresh.response.expectedContentLength, static_cast<std::int64_t>(config.size()));
  auto lastModified = fresh.response.valueForHeader("Last-Modified");
  ASSERT_TRUE(lastModified.has_value());
  EXPECT_EQ(*lastModified, "Tue, 14 Nov 2023 22:13:20 GMT");

  Outcome cached;
  network.getURL(url("/config/app/" + appID), {{"If-Modified-Since", *lastModified}}, queue_, false,
                 cached.handler(queue_));
  ASSERT_TRUE(cached.wait());
  EXPECT_EQ(cached.response.statusCode, kVXLNetworkHTTPStatusCodeNotModified);
  EXPECT_TRUE(cached.data.empty());
  EXPECT_FALSE(cached.error.has_value());

  // The request carried the header and the query as given.
  auto received = service_->requests();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].query, "app_instance_id=abc&platform=ios");
  EXPECT_EQ(received[1].header("If-Modified-Since"), *lastModified);
}

TEST_F(VXLNetworkTest, TransportFailuresCompleteWithStatusZeroAndAnError) {
  VXLNetwork network("127.0.0.1");

  // A stalled request times out.
  setRules(R"({"rules":[{"path":"/a","stall":true}]})");
  network.setTimeoutInterval(0.5);
  EXPECT_DOUBLE_EQ(network.timeoutInterval(), 0.5);
  auto started = std::chrono::steady_clock::now();
  Outcome stalled;
  network.postURL(url("/a"), bytesOf("x"), queue_, false, stalled.handler(queue_));
  ASSERT_TRUE(stalled.wait());
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(stalled.response.statusCode, 0);
  ASSERT_TRUE(stalled.error.has_value());
  EXPECT_EQ(stalled.error->code, VXLNetworkErrorCode::TimedOut);
  EXPECT_EQ(stalled.error->domain, kVXLNetworkErrorDomain);
  EXPECT_GE(elapsed, 400ms);
  EXPECT_TRUE(stalled.onGivenQueue);
  service_->releaseStalled();

  // A dropped connection, and a refused one (a port that was just free).
  network.setTimeoutInterval(10);
  setRules(R"({"rules":[{"path":"/a","drop":true}]})");
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string refusingURL = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/a";
  ::close(fd);
  for (const auto& [target, code] : {std::pair{url("/a"), VXLNetworkErrorCode::ConnectionDropped},
                                     std::pair{refusingURL, VXLNetworkErrorCode::ConnectionFailed}}) {
    SCOPED_TRACE(target);
    Outcome outcome;
    network.postURL(target, bytesOf("x"), queue_, false, outcome.handler(queue_));
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.response.statusCode, 0);
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, code);
  }

  // Loopback by name is plain http's other allowed host.
  setRules(R"({"rules":[]})");
  Outcome byName;
  network.postURL("http://localhost:" + url("/a").substr(url("/a").rfind(':') + 1), bytesOf("x"), queue_, false,
                  byName.handler(queue_));
  ASSERT_TRUE(byName.wait());
  EXPECT_FALSE(byName.error.has_value()) << byName.error->description;

  // Non-positive or non-finite intervals are ignored.
  network.setTimeoutInterval(0);
  network.setTimeoutInterval(-3);
  network.setTimeoutInterval(std::numeric_limits<double>::infinity());
  EXPECT_DOUBLE_EQ(network.timeoutInterval(), 10);
}

// A slow link that keeps delivering is not a timeout: the interval bounds silence, not the
// whole exchange. A server on loopback answers a byte every 400 ms for about 4 s.
TEST_F(VXLNetworkTest, ASlowButSteadyResponseOutlastsTheTimeoutInterval) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  const std::string body = "0123456789";
  std::thread server([&] {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    (void)!::write(fd, head.data(), head.size());
    for (char c : body) {
      std::this_thread::sleep_for(400ms);
      if (::write(fd, &c, 1) != 1) break;
    }
    ::close(fd);
  });
  VXLNetwork network("127.0.0.1");
  network.setTimeoutInterval(1.5);
  Outcome slow;
  network.getURL("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/slow", {}, queue_, false,
                 slow.handler(queue_));
  EXPECT_TRUE(slow.wait(20s));
  server.join();
  ::close(listener);
  EXPECT_FALSE(slow.error.has_value()) << slow.error->description;
  EXPECT_EQ(slow.response.statusCode, kVXLNetworkHTTPStatusOK);
  EXPECT_EQ(stringOf(slow.data), body);
}

TEST_F(VXLNetworkTest, MalformedURLsAndHeadersFailWithoutSending) {
  VXLNetwork network("127.0.0.1");
  // Plain http leaves the machine unencrypted: only loopback hosts may be reached that way.
  for (std::string bad : {"", "not a url", "ftp://127.0.0.1/a", "http://", "file:///etc/passwd", "http://[::1/a",
                          "127.0.0.1/a", "http://example.com/a", "http://10.1.2.3/a", "http://127.0.0.1.example.com/a",
                          "HTTP://192.168.0.1:80/a"}) {
    SCOPED_TRACE(bad);
    Outcome outcome;
    std::string session = network.postURL(bad, bytesOf("x"), queue_, false, outcome.handler(queue_));
    EXPECT_TRUE(session.empty());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.onGivenQueue);
    EXPECT_EQ(outcome.response.statusCode, 0);
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, VXLNetworkErrorCode::InvalidURL);
  }
  Outcome injected;
  std::string session = network.getURL(url("/config/app/x"), {{"If-Modified-Since", "x\r\nX-Evil: 1"}}, queue_,
                                       false, injected.handler(queue_));
  EXPECT_TRUE(session.empty());
  ASSERT_TRUE(injected.wait());
  ASSERT_TRUE(injected.error.has_value());
  EXPECT_EQ(injected.error->code, VXLNetworkErrorCode::InvalidHeader);
  EXPECT_EQ(service_->requestCount(), 0u);
}

TEST_F(VXLNetworkTest, OversizeResponsesAreCutOffWithAnError) {
  VXLNetwork::Options options;
  options.maxResponseBodyBytes = 64 * 1024;
  VXLNetwork network("127.0.0.1", options);
  // Announced with Content-Length, and streamed in chunks without one.
  for (bool chunked : {false, true}) {
    SCOPED_TRACE(chunked);
    setRules(R"({"rules":[{"path":"/a","status":200,"bodyBytes":8000000,"chunked":)" +
             std::string(chunked ? "true" : "false") + "}]}");
    Outcome outcome;
    network.postURL(url("/a"), bytesOf("x"), queue_, false, outcome.handler(queue_));
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.response.statusCode, 0);
    EXPECT_TRUE(outcome.data.empty());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->code, VXLNetworkErrorCode::ResponseTooLarge);
  }
  // A body exactly at the limit is accepted.
  setRules(R"({"rules":[{"path":"/a","status":200,"bodyBytes":65536,"chunked":true}]})");
  Outcome atLimit;
  network.postURL(url("/a"), bytesOf("x"), queue_, false, atLimit.handler(queue_));
  ASSERT_TRUE(atLimit.wait());
  EXPECT_EQ(atLimit.response.statusCode, 200);
  EXPECT_EQ(atLimit.data.size(), 65536u);
}

TEST_F(VXLNetworkTest, ManyConcurrentPostsEachCompleteOnceWithTheirOwnBody) {
  constexpr int kPosts = 48;
  VXLNetwork network("127.0.0.1");
  std::vector<std::unique_ptr<Outcome>> outcomes;
  std::set<std::string> sent;
  std::vector<std::thread> callers;
  std::mutex outcomesMutex;
  for (int i = 0; i < kPosts; ++i) outcomes.push_back(std::make_unique<Outcome>());
  // Posts come from several threads at once.
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = t; i < kPosts; i += 4) {
        std::string body = "batch-" + std::to_string(i) + std::string(static_cast<std::size_t>(i) * 100, 'b');
        {
          std::lock_guard lock(outcomesMutex);
          sent.insert(body);
        }
        network.postURL(url("/a"), bytesOf(body), queue_, false, outcomes[static_cast<std::size_t>(i)]->handler(queue_));
      }
    });
  }
  for (auto& caller : callers) caller.join();
  for (auto& outcome : outcomes) {
    ASSERT_TRUE(outcome->wait(30s));
    EXPECT_EQ(outcome->response.statusCode, 204);
    EXPECT_TRUE(outcome->onGivenQueue);
  }
  std::this_thread::sleep_for(50ms);
  for (auto& outcome : outcomes) EXPECT_EQ(outcome->callCount(), 1);
  std::set<std::string> received;
  for (const auto& r : service_->requests()) received.insert(r.payload());
  EXPECT_EQ(received, sent);
}

TEST_F(VXLNetworkTest, UploadInProgressLastsUntilTheHandlerReturned) {
  VXLNetwork network("127.0.0.1");
  EXPECT_FALSE(network.hasUploadInProgress());
  setRules(R"({"rules":[{"path":"/a","delayMs":300}]})");
  Outcome outcome;
  network.postURL(url("/a"), bytesOf("x"), queue_, false, outcome.handler(queue_, &network));
  EXPECT_TRUE(network.hasUploadInProgress());
  ASSERT_TRUE(outcome.wait());
  EXPECT_TRUE(outcome.inProgressDuringHandler);
  // The flag drops right after the handler, on the same queue.
  bool afterHandler = true;
  ASSERT_TRUE(queue_->sync([&] { afterHandler = network.hasUploadInProgress(); }));
  EXPECT_FALSE(afterHandler);
}

TEST_F(VXLNetworkTest, DestroyingTheClientCancelsInFlightRequestsOnce) {
  setRules(R"({"rules":[{"path":"/a","stall":true}]})");
  Outcome first, second;
  {
    VXLNetwork network("127.0.0.1");
    network.postURL(url("/a"), bytesOf("x"), queue_, false, first.handler(queue_));
    network.postURL(url("/a"), bytesOf("y"), queue_, false, second.handler(queue_));
    ASSERT_TRUE(service_->waitForRequests(2, 5s));
  }
  for (Outcome* outcome : {&first, &second}) {
    ASSERT_TRUE(outcome->wait());
    EXPECT_EQ(outcome->response.statusCode, 0);
    ASSERT_TRUE(outcome->error.has_value());
    EXPECT_EQ(outcome->error->code, VXLNetworkErrorCode::Cancelled);
    EXPECT_TRUE(outcome->onGivenQueue);
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(first.callCount(), 1);
  EXPECT_EQ(second.callCount(), 1);
}

TEST_F(VXLNetworkTest, ClientDestroyedFromItsOwnCompletionHandler) {
  auto network = std::make_shared<VXLNetwork>("127.0.0.1");
  std::shared_ptr<VXLNetwork> holder = network;
  std::atomic<int> calls{0};
  std::mutex m;
  std::condition_variable cv;
  network->postURL(url("/a"), bytesOf("x"), queue_, false,
                   [&](const VXLHTTPResponse& r, const Value::Data&, const std::optional<VXLNetworkError>&) {
                     EXPECT_EQ(r.statusCode, 204);
                     holder.reset();  // the last owner goes away inside the handler
                     std::lock_guard lock(m);
                     calls.fetch_add(1);
                     cv.notify_all();
                   });
  network.reset();
  std::unique_lock lock(m);
  ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return calls.load() == 1; }));
}

TEST_F(VXLNetworkTest, PendingRequestBoundRefusesTheExcess) {
  VXLNetwork::Options options;
  options.maxPendingRequests = 2;
  VXLNetwork network("127.0.0.1", options);
  setRules(R"({"rules":[{"path":"/a","delayMs":500}]})");
  Outcome a, b, c;
  EXPECT_FALSE(network.postURL(url("/a"), bytesOf("a"), queue_, false, a.handler(queue_)).empty());
  EXPECT_FALSE(network.postURL(url("/a"), bytesOf("b"), queue_, false, b.handler(queue_)).empty());
  EXPECT_TRUE(network.postURL(url("/a"), bytesOf("c"), queue_, false, c.handler(queue_)).empty());
  ASSERT_TRUE(c.wait());
  ASSERT_TRUE(c.error.has_value());
  EXPECT_EQ(c.error->code, VXLNetworkErrorCode::TooManyRequests);
  ASSERT_TRUE(a.wait() && b.wait());
  EXPECT_EQ(a.response.statusCode, 204);
  EXPECT_EQ(b.response.statusCode, 204);
  // Room again once they finished.
  bool idle = false;
  ASSERT_TRUE(queue_->sync([&] { idle = !network.hasUploadInProgress(); }));
  EXPECT_TRUE(idle);
  Outcome d;
  EXPECT_FALSE(network.postURL(url("/a"), bytesOf("d"), queue_, false, d.handler(queue_)).empty());
  ASSERT_TRUE(d.wait());
  EXPECT_EQ(d.response.statusCode, 204);
}

TEST_F(VXLNetworkTest, ReachabilityChangesReachTheDelegate) {
  auto reachable = std::make_shared<std::atomic<bool>>(true);
  VXLNetwork::Options options;
  options.reachabilityPollInterval = 20ms;
  options.reachabilityProbe = [reachable] { return reachable->load(); };
  VXLNetwork network("measurement.example", options);
  auto delegate = std::make_shared<CountingReachability>();
  network.setReachabilityDelegate(delegate);
  EXPECT_TRUE(network.isNetworkConnected());

  reachable->store(false);
  ASSERT_TRUE(waitFor([&] { return !network.isNetworkConnected(); }));
  ASSERT_TRUE(waitFor([&] { return delegate->changes.load() == 1; }));
  reachable->store(true);
  ASSERT_TRUE(waitFor([&] { return delegate->changes.load() == 2; }));
  EXPECT_TRUE(network.isNetworkConnected());

  // A cleared delegate is told nothing.
  network.setReachabilityDelegate({});
  reachable->store(false);
  ASSERT_TRUE(waitFor([&] { return !network.isNetworkConnected(); }));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(delegate->changes.load(), 2);

  // Without a probe, a loopback host counts as reachable.
  VXLNetwork loopback("127.0.0.1");
  EXPECT_TRUE(loopback.isNetworkConnected());
}

TEST_F(VXLNetworkTest, LogLinesGoToTheDelegateWithoutQueryStrings) {
  VXLNetwork network("127.0.0.1");
  auto logger = std::make_shared<CapturingLogger>();
  network.setLoggerDelegate(logger);
  network.setIsDebugModeEnabled(true);
  EXPECT_TRUE(network.isDebugModeEnabled());

  Outcome ok;
  network.getURL(url("/config/app/none?app_instance_id=secret-id"), {}, queue_, false, ok.handler(queue_));
  ASSERT_TRUE(ok.wait());
  setRules(R"({"rules":[{"path":"/a","drop":true}]})");
  Outcome failed;
  network.postURL(url("/a?q=secret-id"), bytesOf("x"), queue_, false, failed.handler(queue_));
  ASSERT_TRUE(failed.wait());

  auto lines = logger->lines();
  std::set<long> codes;
  for (const auto& line : lines) {
    codes.insert(line.code);
    for (const auto& context : line.contexts) EXPECT_EQ(context.description().find("secret-id"), std::string::npos);
  }
  EXPECT_TRUE(codes.count(kVXLNetworkMessageCodeRequestStarted));
  EXPECT_TRUE(codes.count(kVXLNetworkMessageCodeRequestFinished));
  ASSERT_TRUE(codes.count(kVXLNetworkMessageCodeRequestFailed));
  for (const auto& line : lines) {
    if (line.code != kVXLNetworkMessageCodeRequestFailed) continue;
    EXPECT_EQ(line.level, VXLLoggerLevel::Warning);
    ASSERT_EQ(line.contexts.size(), 2u);
    EXPECT_EQ(line.contexts[0].stringOr(), url("/a"));
  }

  // Without debug mode, successes are not logged.
  network.setIsDebugModeEnabled(false);
  std::size_t before = logger->lines().size();
  Outcome quiet;
  network.getURL(url("/config/app/none"), {}, queue_, false, quiet.handler(queue_));
  ASSERT_TRUE(quiet.wait());
  EXPECT_EQ(logger->lines().size(), before);
}

TEST(VXLNetworkBackgroundSessionTest, HandleEventsCompletesAtOnce) {
  bool called = false;
  VXLNetwork::handleEventsForBackgroundURLSessionID("session-1", [&] { called = true; });
  EXPECT_TRUE(called);
}

}  // namespace
}  // namespace platform
