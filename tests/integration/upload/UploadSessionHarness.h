#pragma once
// Drives upload_session_app (the library in its own process, wired as a product wires
// it) against the local measurement service running in the calling process, and reads
// back which "tick" events the service received. Shared by the upload tests and the
// end-to-end benchmark.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "tools/measurement-service/BatchReport.h"
#include "tools/measurement-service/ServiceCore.h"

extern char** environ;

namespace upload_session {

inline constexpr const char* kAppID = "1:1234567890:ios:5e551011a990";

// The "seq" parameters of the "tick" events in an upload's payload, in order; nullopt
// when the payload is not a batch.
inline std::optional<std::vector<std::int64_t>> ticksIn(const std::string& payload) {
  auto batch = TLWPBMeasurementBatch::initWithBuffer(std::string_view(payload));
  if (!batch) return std::nullopt;
  std::vector<std::int64_t> seqs;
  for (const auto& bundle : batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles)) {
    for (const auto& event : bundle->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents)) {
      if (event->GetString(TLWPBEvent::kName).value_or("") != "tick") continue;
      for (const auto& param : event->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
        if (param->GetString(TLWPBEventParam::kName).value_or("") == "seq")
          seqs.push_back(param->GetInt64(TLWPBEventParam::kIntValue));
      }
    }
  }
  return seqs;
}

// An app bundle folder with the Info.plist a shipped app has (its bundle identifier
// names the app in every bundle it uploads).
inline bool writeAppBundle(const std::filesystem::path& directory) {
  std::filesystem::create_directories(directory);
  std::ofstream out(directory / "Info.plist");
  out << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.vorlix.tallywise.uploadsession</string>
  <key>CFBundleShortVersionString</key><string>1.0</string>
  <key>CFBundleVersion</key><string>1.0.1</string>
</dict>
</plist>
)";
  return static_cast<bool>(out.flush());
}

// The service with the development hooks (uploads are decoded and checked) and a
// configuration for the app that uploads soon after data arrives and may log a benchmark's
// 100 000 events in one day. `extraSettings`: more JSON settings entries, each followed by
// a comma.
// `renderBatches` false: uploads are checked but not rendered as JSON (benchmarks).
inline std::unique_ptr<measurement_service::ServiceCore> startService(const std::filesystem::path& configDirectory,
                                                                      std::string* error,
                                                                      const std::string& extraSettings = "",
                                                                      bool renderBatches = true) {
  std::filesystem::create_directories(configDirectory);
  std::ofstream(configDirectory / (std::string(kAppID) + ".json"))
      << R"({"version": 1, "app_id": ")" << kAppID << R"(", "settings": [)" << extraSettings << R"(
    {"name": "measurement.upload.initial_upload_delay_time", "value": "1000"},
    {"name": "measurement.upload.max_batch_size", "value": "10485760"},
    {"name": "measurement.upload.max_bundles", "value": "10000"},
    {"name": "measurement.upload.max_events_per_day", "value": "1000000"},
    {"name": "measurement.upload.max_public_events_per_day", "value": "1000000"}
  ]})";
  measurement_service::ServiceOptions options;
  options.configDirectory = configDirectory;
  auto service = std::make_unique<measurement_service::ServiceCore>(options);
  measurement_service::installDevelopmentHooks(*service, nullptr);
  if (!renderBatches) measurement_service::installUploadChecksOnly(*service);
  if (!service->start(error)) return nullptr;
  return service;
}

// One run of the app. Talks to it over its standard input and output; its log goes to a
// file. Killed (SIGKILL) on destruction when still running.
class SessionApp {
 public:
  SessionApp() = default;
  SessionApp(const SessionApp&) = delete;
  SessionApp& operator=(const SessionApp&) = delete;
  ~SessionApp() {
    kill();
    closeAll();
  }

  // Starts `program` with the sandbox, the app bundle and the service URL; in debug mode
  // (-TWKDebugEnabled) the library uploads about a second after new data.
  bool start(const std::string& program, const std::string& sandbox, const std::string& bundle,
             const std::string& serviceURL, const std::string& logPath, bool debugMode = true) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return false;
    }
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      if (entry.starts_with("TALLYWISE_SANDBOX=") || entry.starts_with("TALLYWISE_BUNDLE_PATH=") ||
          entry.starts_with("TALLYWISE_MEASUREMENT_SERVICE_URL="))
        continue;
      envStrings.push_back(std::move(entry));
    }
    envStrings.push_back("TALLYWISE_SANDBOX=" + sandbox);
    envStrings.push_back("TALLYWISE_BUNDLE_PATH=" + bundle);
    envStrings.push_back("TALLYWISE_MEASUREMENT_SERVICE_URL=" + serviceURL);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string programCopy = program, debug = "-TWKDebugEnabled";
    char* argv[] = {programCopy.data(), debugMode ? debug.data() : nullptr, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toApp_ = in[1];
    fromApp_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      closeAll();
      return false;
    }
    return true;
  }

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Logs `count` events from `first` on and waits until the app says they were accepted.
  bool logEvents(std::int64_t first, std::int64_t count, std::chrono::milliseconds timeout) {
    const std::string command = "log " + std::to_string(first) + " " + std::to_string(count);
    return send(command) && readLine(timeout) == "logged " + std::to_string(first) + " " + std::to_string(count);
  }

  // Logs the same events without waiting for the library: true once the calls returned.
  bool fireEvents(std::int64_t first, std::int64_t count, std::chrono::milliseconds timeout) {
    const std::string command = "fire " + std::to_string(first) + " " + std::to_string(count);
    return send(command) && readLine(timeout) == "fired " + std::to_string(first) + " " + std::to_string(count);
  }

  // The app instance ID the library hands out ("-" for none); nullopt when the app did
  // not answer.
  std::optional<std::string> appInstanceID(std::chrono::milliseconds timeout) {
    if (!send("id")) return std::nullopt;
    auto line = readLine(timeout);
    if (!line || !line->starts_with("id ")) return std::nullopt;
    return line->substr(3);
  }

  bool resetAnalyticsData(std::chrono::milliseconds timeout) { return send("reset") && readLine(timeout) == "reset"; }

  // A lifecycle or screen command ("active", "screen HomeController" ...); true once the
  // app answered with the command's name.
  bool perform(const std::string& command, std::chrono::milliseconds timeout) {
    return send(command) && readLine(timeout) == command.substr(0, command.find(' '));
  }

  // Logs one event called `name` without waiting for the library to accept it.
  bool logEventNamed(const std::string& name, std::chrono::milliseconds timeout) {
    return send("event " + name) && readLine(timeout) == "sent " + name;
  }

  // Asks the app to quit; its exit status (-1 when it did not exit by itself in time, or
  // was killed).
  int quit(std::chrono::milliseconds timeout) {
    if (!running()) return -1;
    (void)send("quit");
    (void)readLine(timeout);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage_);
      if (done == pid_) {
        pid_ = -1;
        closeAll();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
    return -1;
  }

  // SIGKILL, then reaps it. True when it was running and died of the signal.
  bool kill() {
    if (!running()) return false;
    ::kill(pid_, SIGKILL);
    int status = 0;
    const bool reaped = ::wait4(pid_, &status, 0, &usage_) == pid_;
    pid_ = -1;
    closeAll();
    return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  // The resource usage of the ended run. Its ru_maxrss may be the spawning process's
  // (exec keeps the larger of the two); peakResidentKiB is the app's own.
  const rusage& usage() const { return usage_; }
  // The running app's peak resident set so far, KiB; -1 when it cannot be read.
  long peakResidentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
  }

 private:
  bool send(const std::string& line) {
    std::string data = line + "\n";
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
      const ssize_t n = ::write(toApp_, p, left);
      if (n <= 0) return false;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    return true;
  }

  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fromApp_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(fromApp_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  void closeAll() {
    if (toApp_ >= 0) ::close(toApp_);
    if (fromApp_ >= 0) ::close(fromApp_);
    toApp_ = fromApp_ = -1;
  }

  pid_t pid_ = -1;
  int toApp_ = -1;
  int fromApp_ = -1;
  std::string buffer_;
  rusage usage_{};
};

}  // namespace upload_session
