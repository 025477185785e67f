// The local measurement service, driven over loopback HTTP by an independent client.

#include "tools/measurement-service/ServiceCore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <random>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "platform/Gzip.h"
#include "tests/support/TestDirectory.h"

extern char** environ;

namespace measurement_service {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

// The bytes of a batch that passes the executable's checks.
std::string oneBundleBatch() {
  auto event = TLWPBEvent::initWithMessageInfo();
  event->SetString(TLWPBEvent::kName, "level_up");
  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  bundle->SetString(TLWPBMeasurementBundle::kAppId, "1:1:ios:abc");
  bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kEvents, *event);
  auto batch = TLWPBMeasurementBatch::initWithMessageInfo();
  batch->AddRepeatedMessage(TLWPBMeasurementBatch::kBundles, *bundle);
  auto bytes = batch->protoBuffer();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

std::string gzip(const std::string& text) {
  auto bytes = platform::vxl_dataByGzippingData(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

std::optional<std::string> gunzip(const std::string& bytes) {
  auto out = platform::vxl_dataByInflatingGzippedData(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  if (!out) return std::nullopt;
  return std::string(out->begin(), out->end());
}

std::string base64Decode(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) continue;
    buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xff);
    }
  }
  return out;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ServiceCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tw_test_support::freshTestDirectory("service-core-test");
    fs::create_directories(root_ / "config");
    options_.recordDirectory = root_ / "records";
    options_.configDirectory = root_ / "config";
  }
  void TearDown() override {
    if (service_) service_->stop();
    fs::remove_all(root_);
  }
  void startService() {
    service_ = std::make_unique<ServiceCore>(options_);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;
    ASSERT_GT(service_->port(), 0);
  }
  std::unique_ptr<httplib::Client> client() {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", service_->port());
    c->set_read_timeout(10, 0);
    c->set_decompress(false);
    return c;
  }
  int post(const std::string& path, const std::string& body = "x") {
    auto result = client()->Post(path.c_str(), body, "application/octet-stream");
    return result ? result->status : -1;
  }

  fs::path root_;
  ServiceOptions options_;
  std::unique_ptr<ServiceCore> service_;
};

TEST_F(ServiceCoreTest, RecordsEachRequestToANumberedFileWithTheGunzippedBody) {
  startService();
  std::mt19937 rng(5);
  std::string payload(5000, '\0');
  for (auto& c : payload) c = static_cast<char>(rng());
  auto c = client();
  auto result = c->Post("/a?x=1", {{"Content-Encoding", "gzip"}, {"X-Test", "t"}}, gzip(payload),
                        "application/octet-stream");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 204);
  // A body that claims gzip but is not: still answered and recorded, with the reason.
  result = c->Post("/a", {{"Content-Encoding", "gzip"}}, "not gzip at all", "application/octet-stream");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 204);
  result = c->Get("/somewhere/else");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 404);

  auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].sequence, 1u);
  EXPECT_EQ(requests[0].path, "/a");
  EXPECT_EQ(requests[0].query, "x=1");
  EXPECT_EQ(requests[0].body, gzip(payload));
  ASSERT_TRUE(requests[0].gunzippedBody.has_value());
  EXPECT_EQ(*requests[0].gunzippedBody, payload);
  EXPECT_EQ(requests[0].header("x-test"), "t");
  EXPECT_FALSE(requests[1].gunzippedBody.has_value());
  EXPECT_FALSE(requests[1].gunzipError.empty());
  EXPECT_EQ(requests[2].status, 404);

  ASSERT_TRUE(fs::exists(root_ / "records" / "000001.json"));
  ASSERT_TRUE(fs::exists(root_ / "records" / "000003.json"));
  json first = json::parse(readFile(root_ / "records" / "000001.json"));
  EXPECT_EQ(first["method"], "POST");
  EXPECT_EQ(first["path"], "/a");
  EXPECT_EQ(first["status"], 204);
  EXPECT_EQ(first["headers"]["Content-Encoding"], "gzip");
  EXPECT_EQ(base64Decode(first["body"]), gzip(payload));
  EXPECT_EQ(base64Decode(first["gunzippedBody"]), payload);
  json second = json::parse(readFile(root_ / "records" / "000002.json"));
  EXPECT_TRUE(second.contains("gunzipError"));
  EXPECT_FALSE(second.contains("gunzippedBody"));

  // The listing over HTTP matches, and control calls are not recorded.
  result = c->Get("/_control/requests");
  ASSERT_TRUE(result);
  json listing = json::parse(result->body);
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0]["gunzippedBytes"], payload.size());
  EXPECT_EQ(listing[2]["path"], "/somewhere/else");
  EXPECT_EQ(service_->requestCount(), 3u);
  result = c->Post("/_control/reset", "", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(service_->requestCount(), 0u);
}

TEST_F(ServiceCoreTest, UploadDecoderHookAnnotatesUploadsOnly) {
  startService();
  service_->setUploadDecoder([](std::string_view payload) -> std::optional<std::string> {
    return "decoded " + std::to_string(payload.size()) + " bytes";
  });
  auto c = client();
  ASSERT_TRUE(c->Post("/a", {{"Content-Encoding", "gzip"}}, gzip("twelve bytes"), "application/octet-stream"));
  ASSERT_TRUE(c->Post("/sdk-exp", "x", "application/octet-stream"));
  auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].decoded, "decoded 12 bytes");
  EXPECT_FALSE(requests[1].decoded.has_value());
  json first = json::parse(readFile(requests[0].file));
  EXPECT_EQ(first["decoded"], "decoded 12 bytes");
}

TEST_F(ServiceCoreTest, UndecodableUploadsAreRefusedAndDecodedOnesKeptBesideTheRawBody) {
  startService();
  service_->setUploadDecoder([](std::string_view payload) -> std::optional<std::string> {
    if (payload.rfind("batch:", 0) != 0) return std::nullopt;
    return "{\"batch\": \"" + std::string(payload.substr(6)) + "\"}";
  });
  auto c = client();
  auto good = c->Post("/a", {{"Content-Encoding", "gzip"}}, gzip("batch:one"), "application/octet-stream");
  ASSERT_TRUE(good);
  EXPECT_EQ(good->status, 204);
  auto bad = c->Post("/a", "garbage", "application/octet-stream");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  auto corrupt = c->Post("/a", {{"Content-Encoding", "gzip"}}, "not gzip", "application/octet-stream");
  ASSERT_TRUE(corrupt);
  EXPECT_EQ(corrupt->status, 400);
  // A fault rule still decides what the client sees.
  ASSERT_TRUE(service_->setRules(R"([{"path": "/a", "status": 503}])"));
  auto ruled = c->Post("/a", "garbage", "application/octet-stream");
  ASSERT_TRUE(ruled);
  EXPECT_EQ(ruled->status, 503);

  auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 4u);
  fs::path first = requests[0].file;
  fs::path stem = first.parent_path() / first.stem();
  EXPECT_EQ(readFile(stem.string() + ".batch.json"), "{\"batch\": \"one\"}\n");
  EXPECT_EQ(readFile(stem.string() + ".body"), gzip("batch:one"));
  fs::path second = requests[1].file;
  EXPECT_FALSE(fs::exists(second.parent_path() / (second.stem().string() + ".batch.json")));
}

TEST_F(ServiceCoreTest, StatusRulesApplyByPathMethodAndRequestCount) {
  startService();
  std::string error;
  ASSERT_TRUE(service_->setRules(R"({"rules":[
      {"path":"/a","first":2,"count":2,"status":503},
      {"path":"/sdk*","method":"POST","status":429},
      {"path":"/a","first":5,"status":200,"body":"fine","headers":{"X-Rule":"5"}}]})",
                                 &error))
      << error;
  std::vector<int> statuses;
  for (int i = 0; i < 6; ++i) statuses.push_back(post("/a"));
  EXPECT_EQ(statuses, (std::vector<int>{204, 503, 503, 204, 200, 200}));
  EXPECT_EQ(post("/sdk-exp"), 429);
  auto get = client()->Get("/sdk-exp");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 404);  // the rule is for POST only, and GET has no default answer

  auto last = client()->Post("/a", "x", "application/octet-stream");
  ASSERT_TRUE(last);
  EXPECT_EQ(last->body, "fine");
  EXPECT_EQ(last->get_header_value("X-Rule"), "5");

  // New rules restart the counting.
  auto result = client()->Post("/_control/rules", R"([{"path":"/a","count":1,"status":503}])", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(json::parse(result->body)["rules"], 1);
  EXPECT_EQ(post("/a"), 503);
  EXPECT_EQ(post("/a"), 204);

  // Malformed rules are refused and the old ones stay.
  result = client()->Post("/_control/rules", "{not json", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 400);
  EXPECT_EQ(post("/a"), 204);
}

TEST_F(ServiceCoreTest, ParseRulesRejectsOutOfRangeValues) {
  std::string error;
  EXPECT_TRUE(parseRules(R"([{"path":"/a","status":503,"delayMs":10,"stall":false}])", &error).has_value()) << error;
  for (const char* bad : {R"([{"status":503}])", R"([{"path":"/a","status":42}])", R"([{"path":"/a","status":600}])",
                          R"([{"path":"/a","first":0}])", R"([{"path":"/a","delayMs":-1}])",
                          R"([{"path":"/a","stallMs":999999999}])", R"([{"path":"/a","drop":"yes"}])",
                          R"([{"path":"/a","headers":{"X":"a\r\nb"}}])", R"({"other":[]})", R"(["/a"])",
                          R"([{"path":"/a","bodyBytes":1e12}])"}) {
    SCOPED_TRACE(bad);
    error.clear();
    EXPECT_FALSE(parseRules(bad, &error).has_value());
    EXPECT_FALSE(error.empty());
  }
  std::string many = "[";
  for (std::size_t i = 0; i <= kMaxRules; ++i) many += std::string(i ? "," : "") + R"({"path":"/a"})";
  many += "]";
  EXPECT_FALSE(parseRules(many, &error).has_value());
}

TEST_F(ServiceCoreTest, DelayStallAndDrop) {
  startService();
  ASSERT_TRUE(service_->setRules(R"([{"path":"/slow","delayMs":300,"status":200},
                                     {"path":"/stall","stall":true,"stallMs":300},
                                     {"path":"/hold","stall":true},
                                     {"path":"/drop","drop":true}])"));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(post("/slow"), 200);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);

  // A stall answers nothing and then closes.
  started = std::chrono::steady_clock::now();
  auto stalled = client()->Post("/stall", "x", "application/octet-stream");
  EXPECT_FALSE(stalled);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);

  // An open-ended stall lasts until released.
  auto held = std::async(std::launch::async, [&] { return post("/hold"); });
  ASSERT_TRUE(service_->waitForRequests(3, 5s));
  EXPECT_EQ(held.wait_for(200ms), std::future_status::timeout);
  service_->releaseStalled();
  ASSERT_EQ(held.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(held.get(), -1);

  EXPECT_EQ(post("/drop"), -1);
  auto requests = service_->requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].action, "stall");
  EXPECT_EQ(requests[3].action, "drop");
  // The service keeps working after dropped connections.
  EXPECT_EQ(post("/a"), 204);
}

TEST_F(ServiceCoreTest, StopEndsStalledRequests) {
  startService();
  ASSERT_TRUE(service_->setRules(R"([{"path":"/a","stall":true}])"));
  auto held = std::async(std::launch::async, [&] { return post("/a"); });
  ASSERT_TRUE(service_->waitForRequests(1, 5s));
  auto started = std::chrono::steady_clock::now();
  service_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  ASSERT_EQ(held.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(held.get(), -1);
}

TEST_F(ServiceCoreTest, ServesConfigurationsWithLastModifiedAndNotModified) {
  const std::string appID = "1:42:ios:cafe";
  {
    std::ofstream out(root_ / "config" / appID, std::ios::binary);
    out << "config-bytes";
  }
  struct timeval times[2] = {{784111777, 0}, {784111777, 0}};
  ASSERT_EQ(::utimes((root_ / "config" / appID).c_str(), times), 0);
  startService();
  auto c = client();

  auto fresh = c->Get(("/config/app/" + appID + "?platform=ios").c_str());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->status, 200);
  EXPECT_EQ(fresh->body, "config-bytes");
  EXPECT_EQ(fresh->get_header_value("Last-Modified"), "Sun, 06 Nov 1994 08:49:37 GMT");

  for (const auto& [since, expected] : std::vector<std::pair<std::string, int>>{
           {"Sun, 06 Nov 1994 08:49:37 GMT", 304},
           {"Mon, 07 Nov 1994 08:49:37 GMT", 304},
           {"Sun, 06 Nov 1994 08:49:36 GMT", 200},
           {"garbage", 200}}) {
    SCOPED_TRACE(since);
    auto result = c->Get(("/config/app/" + appID).c_str(), {{"If-Modified-Since", since}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, expected);
    EXPECT_EQ(result->get_header_value("Last-Modified"), "Sun, 06 Nov 1994 08:49:37 GMT");
    if (expected == 304) {
      EXPECT_TRUE(result->body.empty());
    }
  }

  auto missing = c->Get("/config/app/1:43:ios:none");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  // Nothing outside the configuration directory is reachable.
  fs::create_directories(root_ / "config" / "sub");
  {
    std::ofstream out(root_ / "secret", std::ios::binary);
    out << "secret";
  }
  for (const char* path : {"/config/app/..", "/config/app/../secret", "/config/app/sub/../../secret",
                           "/config/app/%2e%2e%2fsecret", "/config/app/sub"}) {
    SCOPED_TRACE(path);
    auto result = c->Get(path);
    ASSERT_TRUE(result);
    EXPECT_NE(result->status, 200);
    EXPECT_EQ(result->body.find("secret"), std::string::npos);
  }
}

TEST_F(ServiceCoreTest, HTTPDatesRoundTrip) {
  EXPECT_EQ(formatHTTPDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(parseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  for (std::int64_t t : {std::int64_t{0}, std::int64_t{951782400}, std::int64_t{1700000000}, std::int64_t{4102444799}})
    EXPECT_EQ(parseHTTPDate(formatHTTPDate(t)), t);
  for (const char* bad : {"", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun, 06 Foo 1994 08:49:37 GMT",
                          "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 UTC"})
    EXPECT_FALSE(parseHTTPDate(bad).has_value()) << bad;
}

TEST_F(ServiceCoreTest, AnswersExperimentRequestsWithAGzippedResponse) {
  startService();
  auto empty = client()->Post("/sdk-exp", gzip("request"), "application/x-protobuf");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_FALSE(empty->has_header("Content-Encoding"));
  EXPECT_EQ(gunzip(empty->body), "");
  service_->stop();

  std::string response("\x0a\x05\x0a\x03sdk", 7);
  {
    std::ofstream out(root_ / "experiments.pb", std::ios::binary);
    out << response;
  }
  options_.experimentsFile = root_ / "experiments.pb";
  startService();
  auto served = client()->Post("/sdk-exp", "request", "application/x-protobuf");
  ASSERT_TRUE(served);
  EXPECT_EQ(served->status, 200);
  EXPECT_EQ(gunzip(served->body), response);
}

TEST_F(ServiceCoreTest, RefusesNonLoopbackHostsAndBusyPorts) {
  options_.host = "0.0.0.0";
  ServiceCore open(options_);
  std::string error;
  EXPECT_FALSE(open.start(&error));
  EXPECT_NE(error.find("loopback"), std::string::npos);

  options_.host = "127.0.0.1";
  startService();
  options_.port = service_->port();
  ServiceCore second(options_);
  EXPECT_FALSE(second.start(&error));
}

// The executable: prints where it listens, reads a rules file, stops on SIGTERM.
TEST_F(ServiceCoreTest, ExecutableListensAppliesRulesFileAndStopsOnSignal) {
  fs::create_directories(root_);
  {
    std::ofstream rules(root_ / "rules.json");
    rules << R"({"rules":[{"path":"/a","count":1,"status":503}]})";
  }
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::string binary = TW_MEASUREMENT_SERVICE_BINARY;
  std::string recordDir = (root_ / "records").string();
  std::string rulesPath = (root_ / "rules.json").string();
  std::vector<std::string> args = {binary, "--port", "0", "--record-dir", recordDir, "--rules", rulesPath};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);

  // Read the first line, bounded in time and size.
  std::string line;
  ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (line.find('\n') == std::string::npos && line.size() < 4096 && std::chrono::steady_clock::now() < deadline) {
    char buffer[256];
    ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) line.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0) break;
    else std::this_thread::sleep_for(10ms);
  }
  const std::string prefix = "listening on http://127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  int port = std::stoi(line.substr(prefix.size()));
  ASSERT_GT(port, 0);

  httplib::Client c("127.0.0.1", port);
  auto first = c.Post("/a", "x", "application/octet-stream");
  // The executable decodes and checks uploads: a batch of one bundle with an app ID and
  // an event passes; "x" does not decode and an empty batch carries nothing.
  auto second = c.Post("/a", oneBundleBatch(), "application/octet-stream");
  auto empty = c.Post("/a", "", "application/octet-stream");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 400);
  auto third = c.Post("/a", "x", "application/octet-stream");
  ASSERT_TRUE(third);
  EXPECT_EQ(third->status, 400);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->status, 503);
  EXPECT_EQ(second->status, 204);
  EXPECT_TRUE(fs::exists(root_ / "records" / "000002.json"));

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 500 && done == 0; ++i) {
    done = ::waitpid(pid, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(10ms);
  }
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "the service did not stop on SIGTERM";
  }
  ::close(pipeFds[0]);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace measurement_service
