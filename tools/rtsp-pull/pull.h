// One pull: a session from its start to its end, delivering to the Recorder
// that outlives it across reconnections.
//
// Threads: runPull and everything it calls run on the tool's main thread;
// the session delivers the stream header to the Recorder on that thread
// (inside startRTSPDownload) and the packets on the library's receive
// thread; Events is set from the receive thread, the library's callback and
// the signal thread.
#ifndef RTSP_PULL_PULL_H_
#define RTSP_PULL_PULL_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <rtsppull/rtsppull.h>

#include "options.h"
#include "reconnect.h"
#include "recorder.h"
#include "url.h"

namespace rtsp_pull {

// What the main thread waits for. stopRequested stays set once set; the
// others describe the current session and are cleared by runPull.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopRequested = false;  // SIGINT or SIGTERM
  bool ended = false;          // the library reported the end of reception
  bool frameLimit = false;     // -n reached
  bool writeFailed = false;
  bool refused = false;  // the Recorder refused the stream header
  std::string refusal;   // why, when `refused`

  // Any thread.
  void set(bool Events::*flag);
};

// The session's figures over a run of sessions (see RTSPSessionStats): the
// last snapshot of the running (or last) session, and the loss summed over
// all of them. Any thread.
class SessionWatch {
 public:
  // A snapshot of the running session.
  void update(const RTSPSessionStats& stats);
  // The session ended; the next update() is of a new one.
  void sessionEnded();
  RTSPSessionStats current() const;
  // Packets lost in all sessions so far; `counted` false while no session
  // has counted a packet (the library keeps no figures).
  uint64_t lost(bool& counted) const;

 private:
  mutable std::mutex mutex_;
  RTSPSessionStats current_;
  bool ended_ = false;
  bool counted_ = false;
  uint64_t lostBefore_ = 0;
};

// The progress line and the summary: "4.0 s, 380 packets, ...". `stats.lost`
// is shown as the loss; `jitterSeconds` the interarrival jitter. The files
// are shown only when `withFiles`, the reconnections when `withReconnections`.
std::string formatStats(const RecorderStats& stats, double jitterSeconds, unsigned reconnections,
                        bool withReconnections, bool withFiles);

// One line of --stats: a JSON object with the time it was taken (`time`,
// seconds since 1970), `elapsed` (seconds since the first start), every
// field of `session` (times in seconds since 1970, 0 for none), `frames`
// written so far and `framesPerSecond` since the line before.
std::string statsJson(const RTSPSessionStats& session, double time, double elapsed, uint64_t frames,
                      double framesPerSecond);

// The IPv4 address of `host` in host byte order; 0 when it does not resolve.
uint32_t resolveIpv4(const std::string& host);

struct PullSettings {
  RtspUrl url;
  RTSPSessionOptions session;
  double connectTimeout = 5;
  // The -t deadline; time_point::max() when there is none.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// Runs one session: start, wait for a reason to stop, stop. The session's
// receiver hands the stream header to Recorder::beginStream and returns its
// answer, so a stream the recorder refuses (an unsupported codec) fails the
// start when the session fails on a refused header (failOnRefusedHeader);
// either way the run then ends with RunEnd::kRefused and a failure of cause
// RTSP_CAUSE_RECEIVER_REFUSED whose detail is the recorder's reason.
// `onStarted` runs after a successful start; `tick` about every 250 ms while
// the stream runs (both may be empty), after `watch` (when given) got the
// session's figures; it gets them once more when the session has stopped.
// Host thread only.
RunResult runPull(const PullSettings& settings, Recorder& recorder, Events& events,
                  const std::function<void()>& onStarted, const std::function<void()>& tick,
                  SessionWatch* watch = nullptr);

// Waits `delay` for the next attempt unless a stop request or the deadline
// comes first; `tick` about every 250 ms. Host thread.
WaitEnd waitBeforeRetry(Events& events, std::chrono::seconds delay,
                        std::chrono::steady_clock::time_point deadline,
                        const std::function<void()>& tick);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_PULL_H_
