// tallywise-measurement-service: the local measurement service (see ServiceCore.h).
//
//   tallywise-measurement-service [--host 127.0.0.1] [--port 0] [--record-dir DIR]
//                                 [--config-dir DIR] [--experiments-file FILE] [--rules FILE]
//                                 [--tls-cert FILE --tls-key FILE]
//
// With a certificate and key (PEM) it serves https only. Prints "listening on http://HOST:PORT"
// and "debug view at http://HOST:PORT/" (https with TLS) once it serves, then one line per
// request and one per received bundle (app, sequence index, retry count, events by name,
// user properties), and stops cleanly on SIGINT or SIGTERM.

#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tools/measurement-service/BatchReport.h"
#include "tools/measurement-service/DebugView.h"
#include "tools/measurement-service/ServiceCore.h"

int main(int argc, char** argv) {
  measurement_service::ServiceOptions options;
  std::string recordDirectory, configDirectory, experimentsFile, rulesFile;
  CLI::App app{"Local measurement service: records uploads, serves configurations, fails on request."};
  app.add_option("--host", options.host, "Loopback address to listen on")->capture_default_str();
  app.add_option("--port", options.port, "Port; 0 picks a free one")->capture_default_str()->check(CLI::Range(0, 65535));
  app.add_option("--record-dir", recordDirectory, "Directory receiving one JSON file per request");
  app.add_option("--config-dir", configDirectory, "Directory of configuration files named after app IDs");
  app.add_option("--experiments-file", experimentsFile, "Serialized response for /sdk-exp");
  app.add_option("--rules", rulesFile, "JSON rules file: statuses, delays, stalls, drops");
  std::string tlsCertificate, tlsKey;
  auto* certOption = app.add_option("--tls-cert", tlsCertificate, "PEM certificate: serve https with it");
  auto* keyOption = app.add_option("--tls-key", tlsKey, "PEM private key of the --tls-cert certificate");
  certOption->needs(keyOption);
  keyOption->needs(certOption);
  CLI11_PARSE(app, argc, argv);
  options.recordDirectory = recordDirectory;
  options.configDirectory = configDirectory;
  options.experimentsFile = experimentsFile;
  options.tlsCertificateFile = tlsCertificate;
  options.tlsPrivateKeyFile = tlsKey;

  // Signals are taken synchronously below; no server thread may receive them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  measurement_service::ServiceCore service(options);
  if (!rulesFile.empty()) {
    std::ifstream in(rulesFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!in || !service.setRules(text.str(), &error)) {
      std::fprintf(stderr, "cannot use rules file %s: %s\n", rulesFile.c_str(), error.empty() ? "unreadable" : error.c_str());
      return 2;
    }
  }
  // Every upload must decode as a batch and pass the checks (an undecodable one is
  // answered 400); configurations may be written as JSON; each bundle prints a line.
  measurement_service::DebugView view;
  view.attachTo(service);
  measurement_service::installDevelopmentHooks(service, stdout, &view);
  std::string error;
  if (!service.start(&error)) {
    std::fprintf(stderr, "cannot start: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s\n", service.baseURL().c_str());
  std::printf("debug view at %s/\n", service.baseURL().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  service.stop();
  std::printf("stopped (%s), %zu requests received\n", received == SIGINT ? "SIGINT" : "SIGTERM",
              service.requestCount());
  return 0;
}
