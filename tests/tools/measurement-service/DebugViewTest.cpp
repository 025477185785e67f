// The debug view on a real service over loopback: the page, and the live channel as a
// browser reads it, with a reader that stops reading.

#include "tools/measurement-service/DebugView.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "tests/support/TestDirectory.h"
#include "tools/measurement-service/BatchReport.h"
#include "tools/measurement-service/ServiceCore.h"

namespace measurement_service {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string batchWithEvents(const std::string& appID, int events, std::size_t padding) {
  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  bundle->SetString(TLWPBMeasurementBundle::kAppId, appID);
  bundle->SetString(TLWPBMeasurementBundle::kConsentSignals, "G101");
  for (int i = 0; i < events; ++i) {
    auto event = TLWPBEvent::initWithMessageInfo();
    event->SetString(TLWPBEvent::kName, "level_up");
    event->SetInt64(TLWPBEvent::kTimestamp, 1700000000000 + i);
    auto param = TLWPBEventParam::initWithMessageInfo();
    param->SetString(TLWPBEventParam::kName, "hero");
    param->SetString(TLWPBEventParam::kStringValue, "mage" + std::string(padding, '.'));
    event->AddRepeatedMessage(TLWPBEvent::kParams, *param);
    bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kEvents, *event);
  }
  auto batch = TLWPBMeasurementBatch::initWithMessageInfo();
  batch->AddRepeatedMessage(TLWPBMeasurementBatch::kBundles, *bundle);
  auto bytes = batch->protoBuffer();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// The data of every "upload" message in a stream's text.
std::vector<json> uploadsIn(const std::string& stream) {
  std::vector<json> out;
  for (std::size_t at = 0; (at = stream.find("event: upload\ndata: ", at)) != std::string::npos;) {
    at += 20;
    out.push_back(json::parse(stream.substr(at, stream.find('\n', at) - at)));
  }
  return out;
}

class DebugViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tw_test_support::freshTestDirectory("debug-view-test");
    service_ = std::make_unique<ServiceCore>(ServiceOptions{.configDirectory = root_});
    view_.attachTo(*service_);
    installDevelopmentHooks(*service_, nullptr, &view_);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;
  }
  void TearDown() override {
    service_->stop();
    fs::remove_all(root_);
  }
  httplib::Client client() {
    httplib::Client c("127.0.0.1", service_->port());
    c.set_read_timeout(10, 0);
    c.set_write_timeout(10, 0);
    return c;
  }

  fs::path root_;
  DebugView view_;
  std::unique_ptr<ServiceCore> service_;
};

TEST_F(DebugViewTest, ThePageIsSelfContainedAndTheChannelCarriesDecodedAndRefusedUploadsAndTheServedConfig) {
  auto page = client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("new EventSource(\"/_debug/events\")"), std::string::npos);
  // Nothing on the page comes from elsewhere.
  for (const char* external : {"http://", "https://", "src=", "@import"})
    EXPECT_EQ(page->body.find(external), std::string::npos) << external;

  std::ofstream(root_ / "1:1:ios:abc.json") << R"({"app_id": "1:1:ios:abc", "settings": [{"name": "a.b", "value": "7"}]})";
  std::promise<std::string> streamed;
  std::thread reader([&] {
    std::string text;
    bool done = false;
    auto c = client();
    c.Get("/_debug/events", [&](const char* data, std::size_t size) {
      text.append(data, size);
      done = uploadsIn(text).size() >= 2 && text.find("event: config") != std::string::npos;
      return !done;
    });
    streamed.set_value(text);
  });
  while (view_.feed().subscriberCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto c = client();
  ASSERT_EQ(c.Post("/a", batchWithEvents("1:1:ios:abc", 1, 0), "application/x-protobuf")->status, 204);
  ASSERT_EQ(c.Post("/a", "not a batch", "application/x-protobuf")->status, 400);
  ASSERT_EQ(c.Get("/config/app/1:1:ios:abc")->status, 200);
  auto future = streamed.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  const std::string text = future.get();
  reader.join();

  auto uploads = uploadsIn(text);
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_FALSE(uploads[0]["refused"]);
  const json& bundle = uploads[0]["bundles"][0];
  EXPECT_EQ(bundle["app_id"], "1:1:ios:abc");
  EXPECT_EQ(bundle["consent_signals"], "G101");
  EXPECT_EQ(bundle["events"][0]["name"], "level_up");
  EXPECT_EQ(bundle["events"][0]["timestamp"], 1700000000000);
  EXPECT_EQ(bundle["events"][0]["params"][0]["string_value"], "mage");
  EXPECT_TRUE(uploads[1]["refused"]);
  EXPECT_EQ(uploads[1]["status"], 400);
  EXPECT_NE(uploads[1]["reason"].get<std::string>().find("not a measurement batch"), std::string::npos);
  EXPECT_NE(text.find(R"("name":"a.b","value":"7")"), std::string::npos) << text;
  // The view's own requests are not recorded as traffic.
  for (const auto& request : service_->requests()) EXPECT_FALSE(request.path == "/" || request.path.starts_with("/_debug"));
}

TEST_F(DebugViewTest, AReaderThatStopsReadingDoesNotHoldUpUploads) {
  // Connects, asks for the channel with a tiny receive window and never reads.
  int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  int small = 4096;
  ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(service_->port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string get = "GET /_debug/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(::send(sock, get.data(), get.size(), 0), static_cast<ssize_t>(get.size()));
  while (view_.feed().subscriberCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  // Far more than the socket buffers hold: every upload is still answered, each long
  // before the server would give up writing to the stalled reader.
  const std::string batch = batchWithEvents("1:1:ios:abc", 200, 500);
  auto c = client();
  c.set_read_timeout(3, 0);
  for (int i = 0; i < 40; ++i) {
    auto result = c.Post("/a", batch, "application/x-protobuf");
    ASSERT_TRUE(result) << "upload " << i << " not answered";
    ASSERT_EQ(result->status, 204);
  }
  EXPECT_EQ(service_->requestCount(), 40u);
  ::close(sock);
}

}  // namespace
}  // namespace measurement_service
