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

// The progress line and the summary: "4.0 s, 380 packets, ...". The files
// are shown only when `withFiles`, the reconnections when `withReconnections`.
std::string formatStats(const RecorderStats& stats, unsigned reconnections, bool withReconnections,
                        bool withFiles);

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
// the stream runs (both may be empty). Host thread only.
RunResult runPull(const PullSettings& settings, Recorder& recorder, Events& events,
                  const std::function<void()>& onStarted, const std::function<void()>& tick);

// Waits `delay` for the next attempt unless a stop request or the deadline
// comes first; `tick` about every 250 ms. Host thread.
WaitEnd waitBeforeRetry(Events& events, std::chrono::seconds delay,
                        std::chrono::steady_clock::time_point deadline,
                        const std::function<void()>& tick);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_PULL_H_
