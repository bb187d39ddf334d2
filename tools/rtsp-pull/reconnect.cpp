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
  // Ends the loop with `status` and the summary's `reason`.
  const auto end = [&result](int status, const char* reason) {
    result.exitStatus = status;
    result.reason = reason;
    return result;
  };
  for (;;) {
    const bool startedBefore = result.started;
    result.last = hooks.runOnce(startedBefore ? result.reconnections + 1 : 0);
    const RunEnd ended = result.last.end;
    if (ended != RunEnd::kStartFailed && ended != RunEnd::kRefused) {
      if (startedBefore) ++result.reconnections;
      result.started = true;
    }
    switch (ended) {
      case RunEnd::kStopRequested:
        return end(kExitOk, "stopped by signal");
      case RunEnd::kFrameLimit:
        return end(kExitOk, "frame count reached");
      case RunEnd::kDuration:
        return end(kExitOk, "duration reached");
      case RunEnd::kWriteFailed:
        return end(kExitFailed, "output write failed");
      case RunEnd::kRefused:
        return end(kExitFailed, "the stream cannot be recorded");
      case RunEnd::kStartFailed:
        if (!result.started || !reconnect)
          return end(kExitFailed, "the stream could not be started");
        break;
      case RunEnd::kStreamEnded:
        if (!reconnect) return end(kExitEnded, "the stream ended");
        break;
    }
    const std::chrono::seconds delay = backoff.next(result.last.reception);
    if (hooks.onRetry) hooks.onRetry(result.last, delay);
    switch (hooks.wait(delay)) {
      case WaitEnd::kElapsed:
        break;
      case WaitEnd::kStopRequested:
        return end(kExitOk, "stopped by signal while waiting to reconnect");
      case WaitEnd::kDeadline:
        return end(kExitOk, "duration reached while waiting to reconnect");
    }
  }
}

}  // namespace rtsp_pull
