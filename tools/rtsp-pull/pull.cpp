#include "pull.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "annexb_writer.h"
#include "h264_depacketizer.h"
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

std::string formatStats(const PullStats& s, bool withReconnections) {
  const double kbits = s.elapsed > 0 ? static_cast<double>(s.bytes) * 8 / 1000 / s.elapsed : 0;
  char text[240];
  std::snprintf(
      text, sizeof text, "%.1f s, %llu packets, %.1f KiB, %.0f kbit/s, %llu frames, %llu lost",
      s.elapsed, static_cast<unsigned long long>(s.packets), static_cast<double>(s.bytes) / 1024,
      kbits, static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.lost));
  std::string line = text;
  if (withReconnections)
    line += ", " + std::to_string(s.reconnections) +
            (s.reconnections == 1 ? " reconnection" : " reconnections");
  return line;
}

// The header call comes on the main thread inside startRTSPDownload, the
// packets on the receive thread; the main thread reads the counters while
// packets arrive, hence the mutex.
struct Recording::Impl {
  Impl(const Options& o, int stdoutFd, Events& e)
      : options(o),
        standardOutput(stdoutFd),
        events(e),
        writer(AnnexBWriter::Output([this](const char* data, size_t size) {
                 if (outputFd < 0) return true;
                 if (writeAll(outputFd, data, size)) return true;
                 writeErrno = errno;
                 return false;
               }),
               o.waitForKeyframe, o.frames) {}

  bool checkWrite() {
    if (!writer.failed()) return true;
    if (!writeErrorReported) {
      writeErrorReported = true;
      std::fprintf(stderr, "rtsp-pull: writing the output failed: %s\n", std::strerror(writeErrno));
      events.set(&Events::writeFailed);
    }
    return false;  // a refusal makes the library end reception
  }

  const Options& options;
  int standardOutput;
  int outputFd = -1;
  int writeErrno = 0;
  Events& events;
  mutable std::mutex mutex;
  AnnexBWriter writer;
  std::unique_ptr<H264Depacketizer> depacketizer;
  uint64_t lostBefore = 0;  // by the depacketizers of earlier streams
  RtpdumpWriter rtpdump;
  uint64_t packets = 0;
  uint64_t bytes = 0;
  bool limitSignalled = false;
  bool rtpdumpFailed = false;
  bool writeErrorReported = false;
  Clock::time_point firstStart{};
  bool started = false;
};

Recording::Recording(const Options& options, int standardOutput, Events& events)
    : impl_(new Impl(options, standardOutput, events)) {}

Recording::~Recording() {
  if (impl_->outputFd >= 0 && impl_->outputFd != impl_->standardOutput) close(impl_->outputFd);
}

bool Recording::open(const RtspUrl& url, std::string& error) {
  Impl& d = *impl_;
  if (chooseMp4(d.options) || d.options.segmentSeconds > 0) {
    error = d.options.output + ": MP4 and segments are not available in this build";
    return false;
  }
  if (d.options.output == "-") {
    d.outputFd = d.standardOutput;
  } else if (!d.options.output.empty()) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (d.options.overwrite ? O_TRUNC : O_EXCL);
    d.outputFd = ::open(d.options.output.c_str(), flags, 0644);
    if (d.outputFd < 0) {
      error = d.options.output + ": " + std::strerror(errno);
      return false;
    }
  }
  if (d.options.rtpdump.empty()) return true;
  return d.rtpdump.open(d.options.rtpdump, resolveIpv4(url.host), static_cast<uint16_t>(url.port),
                        error);
}

bool Recording::onHeader(SDP* sdp) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!d.started) {
    d.started = true;
    d.firstStart = Clock::now();
  }
  if (d.depacketizer) d.lostBefore += d.depacketizer->counters().lost;
  d.depacketizer.reset(new H264Depacketizer(d.writer));
  if (sdp == nullptr) return true;
  std::string sps, pps;
  if (sdp->fetch_sps_pps(sps, pps) == 0) {
    for (const std::string& line : sdp->lines) {
      const size_t size = announcedPpsSize(line);
      if (size == std::string::npos) continue;
      if (size < pps.size()) pps.resize(size);
      break;
    }
    d.writer.writeParameterSets(sps, pps);
  } else if (!d.options.quiet) {
    std::fprintf(stderr,
                 "rtsp-pull: note: no sprop-parameter-sets in the session "
                 "description; relying on SPS and PPS inside the stream\n");
  }
  return d.checkWrite();
}

bool Recording::onPacket(const uint8_t* data, size_t size) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mutex);
  if (isRtcp(data, size)) return true;
  ++d.packets;
  d.bytes += size;
  if (d.rtpdump.isOpen() && !d.rtpdump.write(data, size, false) && !d.rtpdumpFailed) {
    d.rtpdumpFailed = true;
    std::fprintf(stderr, "rtsp-pull: writing %s failed: %s\n", d.options.rtpdump.c_str(),
                 std::strerror(errno));
  }
  if (d.depacketizer) d.depacketizer->push(data, size);
  if (d.writer.limitReached() && !d.limitSignalled) {
    d.limitSignalled = true;
    d.writer.flush();
    d.events.set(&Events::frameLimit);
  }
  return d.checkWrite();
}

void Recording::endStream() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->writer.flush();
}

bool Recording::finish() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mutex);
  d.writer.flush();
  bool ok = !d.writer.failed();
  if (!(d.rtpdump.close() && !d.rtpdumpFailed)) ok = false;
  if (d.outputFd >= 0 && d.outputFd != d.standardOutput) {
    if (close(d.outputFd) != 0 && ok) {
      std::fprintf(stderr, "rtsp-pull: writing the output failed: %s\n", std::strerror(errno));
      ok = false;
    }
    d.outputFd = -1;
  }
  return ok;
}

PullStats Recording::stats() const {
  const Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mutex);
  PullStats s;
  if (d.started) s.elapsed = std::chrono::duration<double>(Clock::now() - d.firstStart).count();
  s.packets = d.packets;
  s.bytes = d.bytes;
  s.frames = d.writer.frames();
  s.lost = d.lostBefore + (d.depacketizer ? d.depacketizer->counters().lost : 0);
  s.files = d.outputFd >= 0 ? 1 : 0;
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
    result.end = RunEnd::kStartFailed;
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
