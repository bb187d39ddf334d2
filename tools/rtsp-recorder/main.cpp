// rtsp-recorder: records many RTSP cameras in one process, with a page that
// shows them live, retention of the recordings and metrics.
//
// Threads: the main thread reads the configuration, then waits for signals
// (SIGHUP reloads, SIGTERM and SIGINT stop) and runs the retention pass
// every few seconds; every camera has a thread of its own (camera.h); the
// HTTP server has its listener and workers. The signals are blocked in every
// thread and taken with sigtimedwait by the main thread alone.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <rtsppull/rtsppull.h>

#include "config.h"
#include "http.h"
#include "log.h"
#include "service.h"

namespace rtsp_recorder {
namespace {

constexpr char kUsage[] =
    "Usage: rtsp-recorder --config FILE [--check]\n"
    "Records the cameras that FILE (TOML) lists, serves their live view, state and\n"
    "recordings over HTTP, and keeps the store within its retention limits.\n"
    "  --config FILE  the configuration (see the README for an example)\n"
    "  --check        read the configuration, say whether it is good, and exit\n"
    "Signals: SIGHUP reloads FILE; SIGTERM or SIGINT closes every segment and exits.\n";

// SIGTERM gives the service this long to close every segment.
constexpr std::chrono::milliseconds kStopBudget{1800};
constexpr std::chrono::seconds kRetentionEvery{10};

const char* environment(const char* name) { return std::getenv(name); }

int run(int argc, char** argv) {
  std::string path;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      path = argv[++i];
    } else if (arg.rfind("--config=", 0) == 0) {
      path = arg.substr(9);
    } else if (arg == "--check") {
      check = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("rtsp-recorder %d.%d.%d\n", RTSPPULL_VERSION_MAJOR, RTSPPULL_VERSION_MINOR,
                  RTSPPULL_VERSION_PATCH);
      return 0;
    } else {
      std::fprintf(stderr, "rtsp-recorder: unknown argument \"%s\"\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "rtsp-recorder: --config FILE is needed\n%s", kUsage);
    return 2;
  }
  ServiceConfig config;
  std::string error;
  if (!loadConfig(path, environment, config, error)) {
    logLine("bad configuration: " + error);
    return 1;
  }
  if (check) {
    logLine(path + ": good, " + std::to_string(config.cameras.size()) + " cameras");
    return 0;
  }

  // Every camera holds a connection and a segment open: the soft limit on
  // descriptors (often 1024) would stop a large store, the hard one rarely.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // Blocked before any thread starts, so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signo : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&signals, signo);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  Service service(config);
  HttpServer http(service, config);
  if (!http.start(error)) {
    logLine(error);
    return 1;
  }
  logLine("serving http://" + config.bindAddress + ":" + std::to_string(http.port()) + "/ with " +
          std::to_string(config.cameras.size()) + " cameras from " + path);
  service.start();

  auto nextRetention = std::chrono::steady_clock::now();
  for (;;) {
    if (std::chrono::steady_clock::now() >= nextRetention) {
      service.enforceRetention(std::chrono::system_clock::now());
      nextRetention = std::chrono::steady_clock::now() + kRetentionEvery;
    }
    timespec wait{1, 0};
    const int signo = sigtimedwait(&signals, nullptr, &wait);
    if (signo == SIGHUP) {
      ServiceConfig next;
      if (!loadConfig(path, environment, next, error)) {
        logLine("reload refused, the running configuration stays: " + error);
        continue;
      }
      if (next.bindAddress != config.bindAddress || next.port != config.port ||
          next.httpUser != config.httpUser || next.httpPassword != config.httpPassword)
        logLine("reload: the [server] settings take effect at the next start");
      const ReloadPlan plan = service.reload(next);
      logLine("reloaded " + path + ": " + std::to_string(plan.added.size()) + " added, " +
              std::to_string(plan.removed.size()) + " removed, " +
              std::to_string(plan.changed.size()) + " restarted, " +
              std::to_string(plan.unchanged.size()) + " untouched");
      nextRetention = std::chrono::steady_clock::now();
    } else if (signo == SIGTERM || signo == SIGINT) {
      logLine(std::string("stopping (") + (signo == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
      break;
    }
  }
  const bool closed = service.stop(kStopBudget);
  if (!closed) {
    // Cameras still inside a connection attempt hold no unwritten data: what
    // they received before is on disk already.
    logLine("stopped; cameras still connecting were left");
    std::fflush(nullptr);
    std::_Exit(0);
  }
  http.stop();
  logLine("stopped; every segment is closed");
  return 0;
}

}  // namespace
}  // namespace rtsp_recorder

int main(int argc, char** argv) { return rtsp_recorder::run(argc, argv); }
