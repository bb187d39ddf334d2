// The outer loop of rtsp-pull: one session after another while --reconnect
// asks for it, with a growing wait between attempts. Holds no sockets or
// threads of its own: the session run and the wait come in as functions, so
// the loop is tested without a server.
#ifndef RTSP_PULL_RECONNECT_H_
#define RTSP_PULL_RECONNECT_H_

#include <chrono>
#include <functional>
#include <string>

#include <rtsppull/session_options.h>

namespace rtsp_pull {

// How one session run ended.
enum class RunEnd {
  kStartFailed,    // the handshake failed; nothing was received
  kStopRequested,  // SIGINT or SIGTERM
  kFrameLimit,     // -n reached
  kDuration,       // -t reached
  kStreamEnded,    // the server closed, went silent, or sent bad data
  kWriteFailed,    // the output could not be written
  kRefused,        // the recording refused the stream (e.g. its codec); a retry would not help
};

struct RunResult {
  RunEnd end = RunEnd::kStartFailed;
  std::chrono::steady_clock::duration reception{};  // from the start to the end
  RTSPFailure failure;                              // why the start failed or the stream ended
};

// The wait before start attempt number `failuresInARow` + 1 after that many
// ended or failed runs in a row: 1, 2, 4, 8, 16, then 30 s for ever.
// `failuresInARow` 0 gives 0 (no wait).
std::chrono::seconds backoffDelay(unsigned failuresInARow);

// A minute of reception counts as good: the run after it waits 1 s again.
constexpr std::chrono::seconds kGoodReception{60};

// Counts runs that ended in a row, forgiving them after good reception.
class Backoff {
 public:
  // One run ended (a failed start has no reception): the wait before the next.
  std::chrono::seconds next(std::chrono::steady_clock::duration reception);
  unsigned failuresInARow() const { return failuresInARow_; }

 private:
  unsigned failuresInARow_ = 0;
};

enum class WaitEnd { kElapsed, kStopRequested, kDeadline };

struct LoopHooks {
  // Runs one session. `reconnections` is the count the progress line shows
  // while that session runs (it includes this start when it succeeds).
  std::function<RunResult(unsigned reconnections)> runOnce;
  // Waits `delay` unless a stop request or the -t deadline comes first.
  std::function<WaitEnd(std::chrono::seconds delay)> wait;
  // Told before each wait (may be empty): what ended, and the coming wait.
  std::function<void(const RunResult& ended, std::chrono::seconds delay)> onRetry;
};

struct LoopResult {
  int exitStatus = 0;
  std::string reason;          // for the summary: "stopped by signal", ...
  bool started = false;        // a start succeeded at least once
  unsigned reconnections = 0;  // successful starts after the first
  RunResult last;              // the last run
};

// Runs sessions until one ends for good. Without `reconnect`, one run: exit
// status 1 when the start failed, 3 when the stream ended on its own. With
// `reconnect`, a failed first start still ends with 1 (the URL or the
// credentials are likely wrong), but every later end or failure is followed
// by a wait of Backoff::next and another run; a stop request or the deadline
// during a wait ends with 0. Stop, -t and -n give 0, a failed write or a
// stream the recording refuses 1.
LoopResult runLoop(bool reconnect, const LoopHooks& hooks);

}  // namespace rtsp_pull

#endif  // RTSP_PULL_RECONNECT_H_
