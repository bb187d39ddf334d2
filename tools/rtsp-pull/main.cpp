// rtsp-pull: records the video and audio of an RTSP server. Built on the public
// rtsppull API only.
//
// Threads: the main thread parses the options and runs the sessions one
// after another (pull.h, reconnect.h): each handshake runs inside
// startRTSPDownload, then the main thread waits for a reason to stop and
// calls stop(). The library's receive thread delivers packets to the
// Recorder. A signal thread turns SIGINT and SIGTERM into a stop request;
// the signals are blocked in every other thread.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <rtsppull/rtsppull.h>

#include "diagnosis.h"
#include "options.h"
#include "pull.h"
#include "reconnect.h"
#include "recorder.h"
#include "url.h"

namespace rtsp_pull {
namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The recorder the options ask for; the stream goes to descriptor
// `standardOutput` with "-o -".
RecorderConfig recorderConfig(const Options& o, int standardOutput) {
  RecorderConfig config;
  config.outputPattern = o.output;
  config.format = chooseMp4(o) ? OutputFormat::kMp4 : OutputFormat::kAnnexB;
  config.segmentSeconds = o.segmentSeconds;
  config.overwrite = o.overwrite;
  config.waitForKeyframe = o.waitForKeyframe;
  config.frameLimit = o.frames;
  config.rtpdumpPath = o.rtpdump;
  config.recordAudio = o.audio && config.format == OutputFormat::kMp4;
  config.cameraClock = o.cameraClock;
  config.standardOutput = [standardOutput](const char* data, size_t size) {
    return writeAll(standardOutput, data, size);
  };
  if (!o.quiet)
    config.notice = [](const std::string& text) {
      std::fprintf(stderr, "rtsp-pull: note: %s\n", text.c_str());
    };
  config.warning = [](const std::string& text) {
    std::fprintf(stderr, "rtsp-pull: %s\n", text.c_str());
  };
  return config;
}

// --stats: one JSON line (statsJson) about every second, appended to a file
// or written to standard error. Host thread only.
class StatsLog {
 public:
  // False with `error` when the file cannot be opened; "" logs nothing.
  bool open(const std::string& path, std::string& error) {
    if (path.empty()) return true;
    file_ = path == "-" ? stderr : std::fopen(path.c_str(), "ae");
    overProgress_ = file_ == stderr && isatty(STDERR_FILENO) != 0;
    if (file_ == nullptr) error = "cannot write " + path + ": " + std::strerror(errno);
    return file_ != nullptr;
  }
  ~StatsLog() {
    if (file_ != nullptr && file_ != stderr) std::fclose(file_);
  }
  StatsLog() = default;
  StatsLog(const StatsLog&) = delete;
  StatsLog& operator=(const StatsLog&) = delete;

  // Writes a line when a second has passed since the last (always with `now`).
  void tick(const SessionWatch& watch, const RecorderStats& recorder, bool now = false) {
    const auto at = std::chrono::steady_clock::now();
    if (file_ == nullptr || (!now && at - last_ < std::chrono::seconds(1))) return;
    const double seconds = std::chrono::duration<double>(at - last_).count();
    const double perSecond =
        seconds > 0 ? static_cast<double>(recorder.frames - frames_) / seconds : 0;
    const double time =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::fprintf(
        file_, "%s%s\n", overProgress_ ? "\r\033[K" : "",
        statsJson(watch.current(), time, recorder.elapsed, recorder.frames, perSecond).c_str());
    std::fflush(file_);
    last_ = at;
    frames_ = recorder.frames;
  }

 private:
  std::FILE* file_ = nullptr;
  bool overProgress_ = false;  // the progress line is on the same terminal: clear it first
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  uint64_t frames_ = 0;
};

int usageError(const std::string& message) {
  std::fprintf(stderr,
               "rtsp-pull: %s\n"
               "Usage: rtsp-pull [OPTIONS] rtsp://HOST[:PORT]/PATH (--help lists the options)\n",
               message.c_str());
  return kExitUsage;
}

// Turns SIGINT and SIGTERM into a stop request, on a thread of its own that
// waits for them with sigwait. Before the first start there is nothing to
// record yet and the handshake cannot be interrupted, so a signal then ends
// the process at once. The destructor ends and joins the thread, so the
// thread never outlives what it points at.
class SignalWatcher {
 public:
  SignalWatcher(const sigset_t& signals, Events& events)
      : events_(events), thread_([this, signals] { loop(signals); }) {}
  ~SignalWatcher() {
    quit_ = true;
    pthread_kill(thread_.native_handle(), SIGTERM);  // wakes sigwait
    thread_.join();
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  void streamStarted() { streaming_ = true; }

 private:
  void loop(sigset_t signals) {
    for (;;) {
      int signo = 0;
      if (sigwait(&signals, &signo) != 0) continue;
      if (quit_) return;
      if (!streaming_) {
        static const char kMessage[] = "rtsp-pull: interrupted before the stream started\n";
        (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        _exit(kExitFailed);
      }
      events_.set(&Events::stopRequested);
    }
  }

  Events& events_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> streaming_{false};
  std::thread thread_;  // last: starts after the flags exist
};

int run(int argc, char** argv) {
  Options options;
  std::string error;
  const std::vector<std::string> args(argv, argv + argc);
  switch (parseOptions(args, options, error)) {
    case ParseOutcome::kRun:
      break;
    case ParseOutcome::kHelp:
      std::fputs(kUsage, stdout);
      return kExitOk;
    case ParseOutcome::kVersion:
      std::printf("rtsp-pull %d.%d.%d\n", RTSPPULL_VERSION_MAJOR, RTSPPULL_VERSION_MINOR,
                  RTSPPULL_VERSION_PATCH);
      return kExitOk;
    case ParseOutcome::kUsageError:
      return usageError(error);
  }
  RtspUrl url;
  if (!parseRtspUrl(options.url, url, error))
    return usageError("cannot use the URL \"" + options.url + "\": " + error);
  std::string filePassword;
  if (!options.passwordFile.empty() &&
      !readPasswordFile(options.passwordFile, filePassword, error)) {
    std::fprintf(stderr, "rtsp-pull: %s\n", error.c_str());
    return kExitFailed;
  }
  PullSettings settings;
  settings.url = url;
  settings.connectTimeout = options.connectTimeout;
  if (!buildSessionOptions(options, url, filePassword, std::getenv, settings.session, error))
    return usageError(error);

  // Signals are blocked before any thread exists, so that every thread,
  // the library's receive thread included, inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // The stream gets its own descriptor. With "-o -" it is a duplicate of the
  // real standard output, and descriptor 1 then points at standard error, so
  // nothing else written to standard output can land in the stream.
  int standardOutput = -1;
  if (options.output == "-") {
    standardOutput = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (standardOutput < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      std::fprintf(stderr, "rtsp-pull: cannot set up standard output: %s\n", std::strerror(errno));
      return kExitFailed;
    }
  }
  // The library's diagnostics come here instead of std::cout: shown on
  // standard error with -v, dropped otherwise. Called on this thread during
  // the handshake and on the receive thread afterwards.
  if (options.verbose) {
    settings.session.diagnostics = [](const std::string& line) {
      std::fprintf(stderr, "rtsp| %s\n", line.c_str());
    };
  } else {
    settings.session.diagnostics = [](const std::string&) {};
  }

  Events events;
  SignalWatcher signalWatcher(signals, events);

  Recorder recorder(recorderConfig(options, standardOutput));
  if (!recorder.open(resolveIpv4(url.host), static_cast<uint16_t>(url.port), error)) {
    std::fprintf(stderr, "rtsp-pull: cannot write %s\n", error.c_str());
    return kExitFailed;
  }

  StatsLog statsLog;
  if (!statsLog.open(options.stats, error)) {
    std::fprintf(stderr, "rtsp-pull: %s\n", error.c_str());
    return kExitFailed;
  }
  SessionWatch watch;

  const bool progress = !options.quiet && isatty(STDERR_FILENO) != 0;
  if (options.seconds > 0)
    settings.deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(options.seconds));
  std::atomic<unsigned> reconnections{0};
  // The loss the session counts; the recorder's own count while the
  // library counts none.
  auto stats = [&] {
    RecorderStats figures = recorder.stats();
    bool counted = false;
    const uint64_t lost = watch.lost(counted);
    if (counted) figures.lost = lost;
    return formatStats(figures, watch.current().jitterSeconds, reconnections, options.reconnect,
                       options.segmentSeconds > 0);
  };
  std::string waiting;  // "reconnecting in 4 s" while waiting to reconnect
  auto showProgress = [&] {
    statsLog.tick(watch, recorder.stats());
    if (progress) std::fprintf(stderr, "\r%s%s \033[K", stats().c_str(), waiting.c_str());
  };
  auto explain = [&](const RunResult& r) -> std::string {
    if (r.failure.step != RTSP_STEP_NONE)
      return explainFailure(r.failure, url, settings.session.user);
    return r.end == RunEnd::kStreamEnded ? "the stream ended." : "the start failed.";
  };

  LoopHooks hooks;
  hooks.runOnce = [&](unsigned reconnectionsIfStarted) {
    RunResult r = runPull(
        settings, recorder, events,
        [&] {
          signalWatcher.streamStarted();
          reconnections = reconnectionsIfStarted;
          waiting.clear();
        },
        showProgress, &watch);
    return r;
  };
  hooks.wait = [&](std::chrono::seconds delay) {
    const auto until = std::chrono::steady_clock::now() + delay;
    return waitBeforeRetry(events, delay, settings.deadline, [&] {
      const auto left = std::chrono::duration_cast<std::chrono::seconds>(
          until - std::chrono::steady_clock::now() + std::chrono::milliseconds(999));
      waiting = ", reconnecting in " + std::to_string(left.count()) + " s";
      showProgress();
    });
  };
  hooks.onRetry = [&](const RunResult& ended, std::chrono::seconds delay) {
    if (options.quiet) return;
    if (progress) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "rtsp-pull: %s Trying again in %lld s.\n", explain(ended).c_str(),
                 static_cast<long long>(delay.count()));
  };

  const LoopResult loop = runLoop(options.reconnect, hooks);
  int status = loop.exitStatus;
  if (!loop.started) {
    if (progress) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "rtsp-pull: cannot start the stream: %s\n", explain(loop.last).c_str());
    recorder.finish();
    return status;
  }
  const bool finished = recorder.finish();
  statsLog.tick(watch, recorder.stats(), true);
  if (!finished && status == kExitOk) status = kExitFailed;
  if (!finished && recorder.takeFailure(error))
    std::fprintf(stderr, "rtsp-pull: %s\n", error.c_str());
  // Success means something to play: a run without a frame is a failure.
  const bool nothing = recorder.stats().frames == 0;
  if (nothing && status == kExitOk) status = kExitFailed;
  if (!options.quiet) {
    if (progress) std::fputs("\r\033[K", stderr);
    const bool explained =
        loop.last.end == RunEnd::kStreamEnded || loop.last.end == RunEnd::kRefused;
    if (explained && loop.last.failure.step != RTSP_STEP_NONE &&
        loop.last.failure.cause != RTSP_CAUSE_STOPPED)
      std::fprintf(stderr, "rtsp-pull: %s\n", explain(loop.last).c_str());
    waiting.clear();
    std::fprintf(stderr, "rtsp-pull: %s (%s)\n", stats().c_str(), loop.reason.c_str());
  }
  if (nothing) {
    const bool udp = settings.session.transport != RTSP_TRANSPORT_TCP;
    std::fprintf(stderr, "rtsp-pull: no frame was recorded: %s%s\n", recorder.whyNoFrames().c_str(),
                 udp && recorder.stats().packets == 0
                     ? " (over UDP: blocked by a firewall, or sent from elsewhere than announced; "
                       "try --transport tcp)"
                     : "");
  }
  return status;
}

}  // namespace
}  // namespace rtsp_pull

int main(int argc, char** argv) { return rtsp_pull::run(argc, argv); }
