#pragma once
// The set-up the app-process tests share: a fresh folder with a sandbox and an app bundle,
// the local measurement service, and the app process once launched. When a test failed,
// the tail of the app's log is printed.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "tests/integration/upload/UploadSessionHarness.h"
#include "tests/support/TestDirectory.h"

namespace upload_session {

class AppProcessFixture : public ::testing::Test {
 protected:
  explicit AppProcessFixture(std::string folderName) : folderName_(std::move(folderName)) {}

  void SetUp() override {
    root = tw_test_support::freshTestDirectory(folderName_);
    std::filesystem::create_directories(root / "sandbox");
    ASSERT_TRUE(writeAppBundle(root / "bundle"));
    std::string error;
    service = startService(root / "config", &error);
    ASSERT_TRUE(service) << error;
  }

  void TearDown() override {
    app.reset();
    if (service) service->stop();
    if (HasFailure()) {
      std::ifstream log(root / "app.log");
      std::stringstream text;
      text << log.rdbuf();
      const std::string all = text.str();
      std::printf("--- app log (tail) ---\n%s\n", all.substr(all.size() > 6000 ? all.size() - 6000 : 0).c_str());
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  void launch() {
    app = std::make_unique<SessionApp>();
    ASSERT_TRUE(app->start(TW_UPLOAD_SESSION_APP, (root / "sandbox").string(), (root / "bundle").string(),
                           service->baseURL(), (root / "app.log").string()));
  }

  // Whether the app's log (all its runs) holds `text`.
  bool appLogged(const std::string& text) {
    std::ifstream log(root / "app.log");
    std::stringstream all;
    all << log.rdbuf();
    return all.str().find(text) != std::string::npos;
  }

  std::filesystem::path root;
  std::unique_ptr<measurement_service::ServiceCore> service;
  std::unique_ptr<SessionApp> app;

 private:
  std::string folderName_;
};

}  // namespace upload_session
