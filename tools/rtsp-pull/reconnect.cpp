#include "reconnect.h"

#include "options.h"

namespace rtsp_pull {

namespace {

constexpr std::chrono::seconds kLongestWait{30};

}  // namespace

std::chrono::seconds backoffDelay(unsigned failuresInARow) {
  if (failuresInARow == 0) return std::chrono::seconds(0);
  // 2^5 = 32 is already past the longest wait; avoid shifting further.
  if (failuresInARow > 5) return kLongestWait;
  const std::chrono::seconds delay(1LL << (failuresInARow - 1));
  return delay < kLongestWait ? delay : kLongestWait;
}

std::chrono::seconds Backoff::next(std::chrono::steady_clock::duration reception) {
  if (reception >= kGoodReception) failuresInARow_ = 0;
  if (failuresInARow_ < 1000) ++failuresInARow_;
  return backoffDelay(failuresInARow_);
}

LoopResult runLoop(bool reconnect, const LoopHooks& hooks) {
  LoopResult result;
  Backoff backoff;
  for (;;) {
    const bool startedBefore = result.started;
    result.last = hooks.runOnce(startedBefore ? result.reconnections + 1 : 0);
    const RunEnd end = result.last.end;
    if (end != RunEnd::kStartFailed) {
      if (startedBefore) ++result.reconnections;
      result.started = true;
    }
    switch (end) {
      case RunEnd::kStopRequested:
        result.reason = "stopped by signal";
        return result;
      case RunEnd::kFrameLimit:
        result.reason = "frame count reached";
        return result;
      case RunEnd::kDuration:
        result.reason = "duration reached";
        return result;
      case RunEnd::kWriteFailed:
        result.exitStatus = kExitFailed;
        result.reason = "output write failed";
        return result;
      case RunEnd::kStartFailed:
        if (!result.started || !reconnect) {
          result.exitStatus = kExitFailed;
          result.reason = "the stream could not be started";
          return result;
        }
        break;
      case RunEnd::kStreamEnded:
        if (!reconnect) {
          result.exitStatus = kExitEnded;
          result.reason = "the stream ended";
          return result;
        }
        break;
    }
    const std::chrono::seconds delay = backoff.next(result.last.reception);
    if (hooks.onRetry) hooks.onRetry(result.last, delay);
    switch (hooks.wait(delay)) {
      case WaitEnd::kElapsed:
        break;
      case WaitEnd::kStopRequested:
        result.reason = "stopped by signal while waiting to reconnect";
        return result;
      case WaitEnd::kDeadline:
        result.reason = "duration reached while waiting to reconnect";
        return result;
    }
  }
}

}  // namespace rtsp_pull
