// One pull: a session from its start to its end, and the recording that
// outlives it across reconnections.
//
// Threads: runPull and everything it calls run on the tool's main thread;
// the session delivers packets to the Recording on the library's receive
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

  // Any thread.
  void set(bool Events::*flag);
};

struct PullStats {
  double elapsed = 0;  // seconds since the first start
  uint64_t packets = 0;
  uint64_t bytes = 0;
  uint64_t frames = 0;
  uint64_t lost = 0;
  uint64_t files = 0;
  unsigned reconnections = 0;
};

// The progress line and the summary: "4.0 s, 380 packets, ...". The files
// are shown only when `withFiles`, the reconnections when `withReconnections`.
std::string formatStats(const PullStats& stats, bool withReconnections, bool withFiles);

// Everything done with the received data: the recording of the video and
// the rtpdump copy. One per run of the tool; it lives across sessions.
class Recording {
 public:
  // `standardOutput` is the descriptor the stream goes to with "-o -".
  Recording(const Options& options, int standardOutput, Events& events);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Host thread, before the first start. False with `error` when a file
  // cannot be created.
  bool open(const RtspUrl& url, std::string& error);
  // Host thread, inside startRTSPDownload: the stream header of a start.
  // False (the start fails) when the stream cannot be recorded.
  bool onHeader(SDP* sdp);
  // Receive thread: one RTP or RTCP packet. False ends reception.
  bool onPacket(const uint8_t* data, size_t size);
  // Host thread, after the session was stopped.
  void endStream();
  // Host thread, once at the end: flushes and closes. False when anything
  // could not be written (the reason was printed).
  bool finish();
  // Any thread.
  PullStats stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct PullSettings {
  RtspUrl url;
  RTSPSessionOptions session;
  double connectTimeout = 5;
  // The -t deadline; time_point::max() when there is none.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// Runs one session: start, wait for a reason to stop, stop. `onStarted` runs
// after a successful start; `tick` about every 250 ms while the stream runs
// (both may be empty). Host thread only.
RunResult runPull(const PullSettings& settings, Recording& recording, Events& events,
                  const std::function<void()>& onStarted, const std::function<void()>& tick);

// Waits `delay` for the next attempt unless a stop request or the deadline
// comes first; `tick` about every 250 ms. Host thread.
WaitEnd waitBeforeRetry(Events& events, std::chrono::seconds delay,
                        std::chrono::steady_clock::time_point deadline,
                        const std::function<void()>& tick);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_PULL_H_
