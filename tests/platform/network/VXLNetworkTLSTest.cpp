// The network client against the local measurement service serving https on loopback,
// with certificates made for the run: only a peer the client was told to trust, under the
// name it was reached by, gets a request.

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/network/VXLNetwork.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestDirectory.h"
#include "tools/measurement-service/ServiceCore.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using tw_test_support::TestCertificate;

struct Result {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  VXLHTTPResponse response;
  std::string body;
  std::optional<VXLNetworkError> error;

  VXLNetworkCompletionHandler handler() {
    return [this](const VXLHTTPResponse& r, const Value::Data& d, const std::optional<VXLNetworkError>& e) {
      std::lock_guard lock(mutex);
      response = r;
      body.assign(d.begin(), d.end());
      error = e;
      finished = true;
      done.notify_all();
    };
  }
  bool wait() {
    std::unique_lock lock(mutex);
    return done.wait_for(lock, 20s, [&] { return finished; });
  }
};

TEST(VXLNetworkTLSTest, OnlyAPeerSignedByTheGivenCAUnderTheRightNameIsAccepted) {
  const fs::path root = tw_test_support::freshTestDirectory("vxlnetwork-tls");
  fs::create_directories(root / "config");
  const std::string appID = "1:1:ios:tls";
  std::ofstream(root / "config" / appID, std::ios::binary) << "configuration over tls";

  const TestCertificate ca = tw_test_support::makeTestCA();
  const TestCertificate otherCA = tw_test_support::makeTestCA("Someone Else's CA");
  const TestCertificate trusted = tw_test_support::makeServerCertificate(&ca);
  const TestCertificate selfSigned = tw_test_support::makeServerCertificate(nullptr);
  const TestCertificate foreign = tw_test_support::makeServerCertificate(&otherCA);
  const TestCertificate wrongHost = tw_test_support::makeServerCertificate(&ca, "DNS:service.example");
  const fs::path caFile = ca.writeTo(root, "ca").first;

  enum class Trust { System, PEM, File };
  struct Case {
    const char* name;
    const TestCertificate* server;
    Trust trust;
    bool accepted;
  } cases[] = {
      {"signed by the given CA, as PEM text", &trusted, Trust::PEM, true},
      {"signed by the given CA, as a file", &trusted, Trust::File, true},
      {"test CA unknown to the system store", &trusted, Trust::System, false},
      {"self-signed", &selfSigned, Trust::PEM, false},
      {"signed by another CA", &foreign, Trust::PEM, false},
      {"given CA but another host name", &wrongHost, Trust::PEM, false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [cert, key] = c.server->writeTo(root, "server" + std::to_string(index++));
    measurement_service::ServiceOptions options;
    options.configDirectory = root / "config";
    options.tlsCertificateFile = cert;
    options.tlsPrivateKeyFile = key;
    measurement_service::ServiceCore service(options);
    std::string startError;
    ASSERT_TRUE(service.start(&startError)) << startError;
    ASSERT_EQ(service.baseURL().rfind("https://127.0.0.1:", 0), 0u) << service.baseURL();

    VXLNetwork::Options clientOptions;
    if (c.trust == Trust::PEM) clientOptions.trustedCertificatesPEM = ca.certificatePEM;
    if (c.trust == Trust::File) clientOptions.trustedCertificatesFile = caFile;
    VXLNetwork network("127.0.0.1", clientOptions);
    auto queue = DispatchQueue::create("test.network.tls");
    Result result;
    network.getURL(service.baseURL() + "/config/app/" + appID, {}, queue, false, result.handler());
    ASSERT_TRUE(result.wait());
    if (c.accepted) {
      EXPECT_FALSE(result.error.has_value()) << result.error->description;
      EXPECT_EQ(result.response.statusCode, kVXLNetworkHTTPStatusOK);
      EXPECT_EQ(result.body, "configuration over tls");
      EXPECT_EQ(service.requestCount(), 1u);
    } else {
      ASSERT_TRUE(result.error.has_value());
      EXPECT_EQ(result.error->code, VXLNetworkErrorCode::TLSFailure) << result.error->description;
      EXPECT_EQ(result.response.statusCode, 0);
      EXPECT_TRUE(result.body.empty());
      EXPECT_EQ(service.requestCount(), 0u) << "no request may reach an untrusted peer";
    }
    service.stop();
  }
  fs::remove_all(root);
}

TEST(VXLNetworkTLSTest, TheServiceRefusesHalfATLSConfigurationOrFilesThatDoNotLoad) {
  const fs::path root = tw_test_support::freshTestDirectory("vxlnetwork-tls");
  const TestCertificate ca = tw_test_support::makeTestCA();
  auto [cert, key] = tw_test_support::makeServerCertificate(&ca).writeTo(root, "server");
  struct Case {
    fs::path cert, key;
  } cases[] = {{cert, {}}, {{}, key}, {key, cert}, {root / "missing.crt", key}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cert.string() + " / " + c.key.string());
    measurement_service::ServiceOptions options;
    options.tlsCertificateFile = c.cert;
    options.tlsPrivateKeyFile = c.key;
    measurement_service::ServiceCore service(options);
    std::string error;
    EXPECT_FALSE(service.start(&error));
    EXPECT_FALSE(error.empty());
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace platform
