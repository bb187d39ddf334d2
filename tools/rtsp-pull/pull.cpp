#include "pull.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "h264_depacketizer.h"
#include "recorder.h"
#include "rtpdump_writer.h"

namespace rtsp_pull {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kTick{250};

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

uint32_t resolveIpv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  uint32_t address = 0;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
  }
  return address;
}

class PullReceiver : public IRTPReceiver {
 public:
  explicit PullReceiver(Recording& recording) : recording_(recording) {}
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    if (isFileHeader) return recording_.onHeader(sdp);
    return recording_.onPacket(reinterpret_cast<const uint8_t*>(data), length);
  }

 private:
  Recording& recording_;
};

void onReceptionEnded(void* arg) { static_cast<Events*>(arg)->set(&Events::ended); }

}  // namespace

void Events::set(bool Events::*flag) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    this->*flag = true;
  }
  changed.notify_all();
}

std::string formatStats(const PullStats& s, bool withReconnections, bool withFiles) {
  const double kbits = s.elapsed > 0 ? static_cast<double>(s.bytes) * 8 / 1000 / s.elapsed : 0;
  char text[240];
  std::snprintf(
      text, sizeof text, "%.1f s, %llu packets, %.1f KiB, %.0f kbit/s, %llu frames, %llu lost",
      s.elapsed, static_cast<unsigned long long>(s.packets), static_cast<double>(s.bytes) / 1024,
      kbits, static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.lost));
  std::string line = text;
  if (withFiles) line += ", " + std::to_string(s.files) + (s.files == 1 ? " file" : " files");
  if (withReconnections)
    line += ", " + std::to_string(s.reconnections) +
            (s.reconnections == 1 ? " reconnection" : " reconnections");
  return line;
}

// The header call comes on the main thread inside startRTSPDownload, the
// packets on the receive thread; the Recorder serialises them itself, the
// mutex here guards the rtpdump copy and the flags.
struct Recording::Impl {
  static RecorderConfig recorderConfig(const Options& o, int stdoutFd) {
    RecorderConfig config;
    config.outputPattern = o.output;
    config.format = chooseMp4(o) ? OutputFormat::kMp4 : OutputFormat::kAnnexB;
    config.segmentSeconds = o.segmentSeconds;
    config.overwrite = o.overwrite;
    config.waitForKeyframe = o.waitForKeyframe;
    config.frameLimit = o.frames;
    config.standardOutput = [stdoutFd](const char* data, size_t size) {
      return writeAll(stdoutFd, data, size);
    };
    if (!o.quiet)
      config.notice = [](const std::string& text) {
        std::fprintf(stderr, "rtsp-pull: note: %s\n", text.c_str());
      };
    return config;
  }

  Impl(const Options& o, int stdoutFd, Events& e)
      : options(o), events(e), recorder(recorderConfig(o, stdoutFd)) {}

  // Reports a failed recording once and asks the main thread to stop.
  bool checkRecorder() {
    if (!recorder.failed()) return true;
    if (!failureReported.exchange(true)) {
      std::fprintf(stderr, "rtsp-pull: %s\n", recorder.failure().c_str());
      events.set(&Events::writeFailed);
    }
    return false;  // a refusal makes the library end reception
  }

  const Options& options;
  Events& events;
  Recorder recorder;
  std::mutex mutex;  // guards rtpdump and rtpdumpFailed
  RtpdumpWriter rtpdump;
  bool rtpdumpFailed = false;
  std::atomic<bool> limitSignalled{false};
  std::atomic<bool> failureReported{false};
  std::atomic<bool> started{false};
  std::atomic<Clock::rep> firstStart{0};  // steady clock ticks at the first start
};

Recording::Recording(const Options& options, int standardOutput, Events& events)
    : impl_(new Impl(options, standardOutput, events)) {}

Recording::~Recording() = default;

bool Recording::open(const RtspUrl& url, std::string& error) {
  Impl& d = *impl_;
  // Said before connecting rather than after the handshake.
  struct stat status {};
  const std::string& output = d.options.output;
  if (!d.options.overwrite && d.options.segmentSeconds <= 0 && output != "-" && !output.empty() &&
      ::stat(output.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    error = output + ": the file exists (--overwrite replaces it)";
    return false;
  }
  if (d.options.rtpdump.empty()) return true;
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.rtpdump.open(d.options.rtpdump, resolveIpv4(url.host), static_cast<uint16_t>(url.port),
                        error);
}

bool Recording::onHeader(SDP* sdp) {
  Impl& d = *impl_;
  if (!d.started.exchange(true)) d.firstStart = Clock::now().time_since_epoch().count();
  std::string error = "the stream has no session description";
  if (sdp == nullptr || !d.recorder.beginStream(*sdp, error)) {
    if (!d.failureReported.exchange(true)) {
      std::fprintf(stderr, "rtsp-pull: cannot record the stream: %s\n", error.c_str());
      d.events.set(&Events::writeFailed);
    }
    return false;
  }
  return d.checkRecorder();
}

bool Recording::onPacket(const uint8_t* data, size_t size) {
  Impl& d = *impl_;
  if (d.rtpdump.isOpen() && !isRtcp(data, size)) {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.rtpdump.write(data, size, false) && !d.rtpdumpFailed) {
      d.rtpdumpFailed = true;
      std::fprintf(stderr, "rtsp-pull: writing %s failed: %s\n", d.options.rtpdump.c_str(),
                   std::strerror(errno));
    }
  }
  d.recorder.onPacket(data, size);
  if (d.recorder.limitReached() && !d.limitSignalled.exchange(true))
    d.events.set(&Events::frameLimit);
  return d.checkRecorder();
}

void Recording::endStream() { impl_->recorder.endStream(); }

bool Recording::finish() {
  Impl& d = *impl_;
  std::string error;
  bool ok = d.recorder.finish(error);
  if (!ok && !d.failureReported.exchange(true))
    std::fprintf(stderr, "rtsp-pull: %s\n", error.c_str());
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!(d.rtpdump.close() && !d.rtpdumpFailed)) ok = false;
  return ok;
}

PullStats Recording::stats() const {
  const Impl& d = *impl_;
  PullStats s;
  if (d.started)
    s.elapsed = std::chrono::duration<double>(
                    Clock::now() - Clock::time_point(Clock::duration(d.firstStart.load())))
                    .count();
  const RecorderStats r = d.recorder.stats();
  s.packets = r.packets;
  s.bytes = r.bytes;
  s.frames = r.frames;
  s.lost = r.lost;
  s.files = r.files;
  return s;
}

RunResult runPull(const PullSettings& settings, Recording& recording, Events& events,
                  const std::function<void()>& onStarted, const std::function<void()>& tick) {
  {
    std::lock_guard<std::mutex> lock(events.mutex);
    events.ended = false;
    events.frameLimit = false;
  }
  RunResult result;
  CRTSPDownload session;
  session.setOptions(settings.session);
  const auto timeoutUs = static_cast<long long>(settings.connectTimeout * 1e6);
  session.initInfo(settings.url.host, settings.url.port,
                   sessionPath(settings.url, settings.session), 0,
                   ACE_Time_Value(static_cast<time_t>(timeoutUs / 1000000),
                                  static_cast<suseconds_t>(timeoutUs % 1000000)),
                   0);
  session.registeRTPReceiver(new PullReceiver(recording));
  session.setRecvTimeoutCallbackFun(onReceptionEnded, &events);

  // Quiet start: the callback is kept for the end of reception (it runs at
  // most once per session), and the caller explains a failed start.
  if (!session.startRTSPDownload(true, true)) {
    {
      // The recording refused the stream: another start would not help.
      std::lock_guard<std::mutex> lock(events.mutex);
      result.end = events.writeFailed ? RunEnd::kWriteFailed : RunEnd::kStartFailed;
    }
    result.failure = session.lastFailure();
    session.stop();
    return result;
  }
  if (onStarted) onStarted();

  const Clock::time_point start = Clock::now();
  std::unique_lock<std::mutex> lock(events.mutex);
  for (;;) {
    if (events.writeFailed) {
      result.end = RunEnd::kWriteFailed;
    } else if (events.stopRequested) {
      result.end = RunEnd::kStopRequested;
    } else if (events.frameLimit) {
      result.end = RunEnd::kFrameLimit;
    } else if (Clock::now() >= settings.deadline) {
      result.end = RunEnd::kDuration;
    } else if (events.ended) {
      result.end = RunEnd::kStreamEnded;
    } else {
      Clock::time_point wake = Clock::now() + kTick;
      if (settings.deadline < wake) wake = settings.deadline;
      events.changed.wait_until(lock, wake);
      if (tick) {
        lock.unlock();
        tick();
        lock.lock();
      }
      continue;
    }
    break;
  }
  lock.unlock();
  result.failure = session.lastFailure();
  // Sends TEARDOWN and joins the receive thread; the callback may run once
  // more meanwhile, which no longer matters.
  session.stop();
  recording.endStream();
  result.reception = Clock::now() - start;
  return result;
}

WaitEnd waitBeforeRetry(Events& events, std::chrono::seconds delay, Clock::time_point deadline,
                        const std::function<void()>& tick) {
  const Clock::time_point until = Clock::now() + delay;
  std::unique_lock<std::mutex> lock(events.mutex);
  for (;;) {
    if (events.stopRequested) return WaitEnd::kStopRequested;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return WaitEnd::kDeadline;
    if (now >= until) return WaitEnd::kElapsed;
    Clock::time_point wake = now + kTick;
    if (until < wake) wake = until;
    if (deadline < wake) wake = deadline;
    events.changed.wait_until(lock, wake);
    if (tick) {
      lock.unlock();
      tick();
      lock.lock();
    }
  }
}

}  // namespace rtsp_pull
