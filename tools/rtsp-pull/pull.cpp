#include "pull.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>

namespace rtsp_pull {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kTick{250};

// The session's receiver: hands everything to the Recorder and tells the
// main thread when the recording refuses the stream, reaches its frame limit
// or fails. One per session. With several tracks their packets come through
// OnTrackData.
class PullReceiver : public IRTPReceiver, public IRTPTrackReceiver {
 public:
  PullReceiver(Recorder& recorder, Events& events) : recorder_(recorder), events_(events) {}
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    if (isFileHeader) return onHeader(sdp);
    return onProgress(recorder_.onPacket(reinterpret_cast<const uint8_t*>(data), length));
  }
  bool OnTrackData(int track, const char* data, unsigned int length, bool isRtcp) override {
    return onProgress(
        recorder_.onTrackPacket(track, reinterpret_cast<const uint8_t*>(data), length, isRtcp));
  }

 private:
  bool onProgress(Progress progress) {
    switch (progress) {
      case Progress::kRecording:
        return true;
      case Progress::kLimitReached:
        if (!limitSignalled_) events_.set(&Events::frameLimit);
        limitSignalled_ = true;
        return true;
      case Progress::kFailed:
        break;
    }
    std::string reason;
    if (recorder_.takeFailure(reason)) {
      std::fprintf(stderr, "rtsp-pull: %s\n", reason.c_str());
      events_.set(&Events::writeFailed);
    }
    return false;  // ends reception
  }

  bool onHeader(SDP* sdp) {
    std::string error = "the stream has no session description";
    if (sdp != nullptr && recorder_.beginStream(*sdp, error)) return true;
    {
      std::lock_guard<std::mutex> lock(events_.mutex);
      events_.refusal = error;
    }
    events_.set(&Events::refused);
    return false;
  }

  Recorder& recorder_;
  Events& events_;
  bool limitSignalled_ = false;  // receive thread only
};

// The failure of a run whose stream the recorder refused: the session's
// step, with the recorder's reason. `events.mutex` is held.
RTSPFailure refusedFailure(RTSPFailure failure, const Events& events) {
  if (failure.step == RTSP_STEP_NONE) failure.step = RTSP_STEP_PLAY;
  failure.cause = RTSP_CAUSE_RECEIVER_REFUSED;
  failure.statusCode = 0;
  failure.statusLine.clear();
  failure.detail = events.refusal;
  return failure;
}

void onReceptionEnded(void* arg) { static_cast<Events*>(arg)->set(&Events::ended); }

}  // namespace

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

void Events::set(bool Events::*flag) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    this->*flag = true;
  }
  changed.notify_all();
}

void SessionWatch::update(const RTSPSessionStats& stats) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) lostBefore_ += current_.packetsLost;
  ended_ = false;
  current_ = stats;
  if (stats.packets > 0) counted_ = true;
}

void SessionWatch::sessionEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
}

RTSPSessionStats SessionWatch::current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

uint64_t SessionWatch::lost(bool& counted) const {
  std::lock_guard<std::mutex> lock(mutex_);
  counted = counted_;
  return lostBefore_ + current_.packetsLost;
}

std::string formatStats(const RecorderStats& s, double jitterSeconds, unsigned reconnections,
                        bool withReconnections, bool withFiles) {
  const double kbits = s.elapsed > 0 ? static_cast<double>(s.bytes) * 8 / 1000 / s.elapsed : 0;
  char text[280];
  std::snprintf(text, sizeof text,
                "%.1f s, %llu packets, %.1f KiB, %.0f kbit/s, %llu frames, %llu lost, jitter "
                "%.1f ms",
                s.elapsed, static_cast<unsigned long long>(s.packets),
                static_cast<double>(s.bytes) / 1024, kbits,
                static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.lost),
                jitterSeconds * 1000);
  std::string line = text;
  if (withFiles) line += ", " + std::to_string(s.files) + (s.files == 1 ? " file" : " files");
  if (withReconnections)
    line += ", " + std::to_string(reconnections) +
            (reconnections == 1 ? " reconnection" : " reconnections");
  return line;
}

namespace {

double unixSeconds(std::chrono::system_clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

}  // namespace

std::string statsJson(const RTSPSessionStats& st, double time, double elapsed, uint64_t frames,
                      double framesPerSecond) {
  const auto u = [](uint64_t v) { return std::to_string(v); };
  const auto d = [](double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", v);
    return std::string(text);
  };
  return "{\"time\":" + d(time) + ",\"elapsed\":" + d(elapsed) + ",\"packets\":" + u(st.packets) +
         ",\"bytes\":" + u(st.bytes) + ",\"packetsLost\":" + u(st.packetsLost) +
         ",\"reordered\":" + u(st.reordered) + ",\"duplicated\":" + u(st.duplicated) +
         ",\"droppedUnknownPayloadType\":" + u(st.droppedUnknownPayloadType) +
         ",\"droppedWrongSource\":" + u(st.droppedWrongSource) +
         ",\"droppedMalformed\":" + u(st.droppedMalformed) + ",\"jitter\":" + u(st.jitter) +
         ",\"jitterSeconds\":" + d(st.jitterSeconds) +
         ",\"lastPacket\":" + d(unixSeconds(st.lastPacket)) +
         ",\"rtcpPackets\":" + u(st.rtcpPackets) + ",\"keepAlivesSent\":" + u(st.keepAlivesSent) +
         ",\"keepAlivesRefused\":" + u(st.keepAlivesRefused) +
         ",\"senderReports\":" + u(st.senderReports) + ",\"srNtpTime\":" + u(st.srNtpTime) +
         ",\"srRtpTime\":" + u(st.srRtpTime) + ",\"srPacketCount\":" + u(st.srPacketCount) +
         ",\"srOctetCount\":" + u(st.srOctetCount) +
         ",\"srArrival\":" + d(unixSeconds(st.srArrival)) + ",\"frames\":" + u(frames) +
         ",\"framesPerSecond\":" + d(framesPerSecond) + "}";
}

RunResult runPull(const PullSettings& settings, Recorder& recorder, Events& events,
                  const std::function<void()>& onStarted, const std::function<void()>& tick,
                  SessionWatch* watch) {
  {
    std::lock_guard<std::mutex> lock(events.mutex);
    events.ended = false;
    events.frameLimit = false;
    events.refused = false;
  }
  RunResult result;
  CRTSPDownload session;
  RTSPSessionOptions options = settings.session;
  if (options.tls && options.tlsCheck == RTSP_TLS_CHECK_NONE) {
    // The warning about the unchecked certificate is shown even without -v.
    options.diagnostics = [shown = options.diagnostics](const std::string& line) {
      if (line.compare(0, 5, "TLS: ") == 0) {
        std::fprintf(stderr, "rtsp-pull: warning: %s\n", line.c_str() + 5);
      } else if (shown) {
        shown(line);
      }
    };
  }
  session.setOptions(options);
  const auto timeoutUs = static_cast<long long>(settings.connectTimeout * 1e6);
  session.initInfo(settings.url.host, settings.url.port,
                   sessionPath(settings.url, settings.session), 0,
                   ACE_Time_Value(static_cast<time_t>(timeoutUs / 1000000),
                                  static_cast<suseconds_t>(timeoutUs % 1000000)),
                   0);
  session.registeRTPReceiver(new PullReceiver(recorder, events));
  recorder.setWallClock([&session](int track, uint32_t rtpTime, uint64_t* ntp) {
    return session.wallClock(track, rtpTime, ntp);
  });
  session.setRecvTimeoutCallbackFun(onReceptionEnded, &events);

  // Quiet start: the callback is kept for the end of reception (it runs at
  // most once per session), and the caller explains a failed start.
  if (!session.startRTSPDownload(true, true)) {
    result.failure = session.lastFailure();
    session.stop();
    recorder.setWallClock(nullptr);
    std::lock_guard<std::mutex> lock(events.mutex);
    if (events.refused) {
      result.end = RunEnd::kRefused;
      result.failure = refusedFailure(result.failure, events);
    }
    return result;
  }
  recorder.setTracks(session.tracks());
  if (onStarted) onStarted();

  const Clock::time_point start = Clock::now();
  std::unique_lock<std::mutex> lock(events.mutex);
  for (;;) {
    if (events.refused) {
      result.end = RunEnd::kRefused;
    } else if (events.writeFailed) {
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
      lock.unlock();
      if (watch) watch->update(session.stats());
      if (tick) tick();
      lock.lock();
      continue;
    }
    break;
  }
  lock.unlock();
  result.failure = session.lastFailure();
  if (result.end == RunEnd::kRefused) {
    lock.lock();
    result.failure = refusedFailure(result.failure, events);
    lock.unlock();
  }
  // Sends TEARDOWN and joins the receive thread; the callback may run once
  // more meanwhile, which no longer matters.
  session.stop();
  recorder.endStream();
  if (watch) {
    watch->update(session.stats());  // kept after the end, until the next start
    watch->sessionEnded();
  }
  recorder.setWallClock(nullptr);  // the session goes away
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
