// rtsp-pull's reconnect loop: the wait schedule and the exit statuses, with
// scripted session runs and a recorded wait instead of a server and a clock.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "options.h"
#include "reconnect.h"

namespace {

using namespace rtsp_pull;
using std::chrono::seconds;

TEST(ToolBackoff, DoublesFromOneSecondUpToThirty) {
  const long long expected[] = {0, 1, 2, 4, 8, 16, 30, 30, 30};
  for (unsigned n = 0; n < sizeof expected / sizeof expected[0]; ++n)
    EXPECT_EQ(backoffDelay(n).count(), expected[n]) << "after " << n << " failures in a row";
  EXPECT_EQ(backoffDelay(4000000000u).count(), 30);
}

TEST(ToolReconnectLoop, ExitStatusWaitsAndReconnections) {
  struct Run {
    RunEnd end;
    int reception;  // seconds
  };
  struct Row {
    const char* name;
    bool reconnect;
    std::vector<Run> runs;          // one per start; asking for more throws
    std::vector<WaitEnd> waitEnds;  // per wait; kElapsed once they run out
    int exitStatus;
    std::vector<long long> waits;  // seconds
    std::vector<unsigned> shown;   // the reconnections each run shows
    bool started;
  };
  using E = RunEnd;
  // clang-format off
  const Row rows[] = {
      {"an ended stream", false, {{E::kStreamEnded, 3}}, {}, kExitEnded, {}, {0}, true},
      {"the frame limit", false, {{E::kFrameLimit, 3}}, {}, kExitOk, {}, {0}, true},
      {"a failed write ends even with --reconnect", true, {{E::kStreamEnded, 3}, {E::kWriteFailed, 3}}, {}, kExitFailed, {1}, {0, 1}, true},
      {"a failed first start ends even with --reconnect", true, {{E::kStartFailed, 0}}, {}, kExitFailed, {}, {0}, false},
      {"a refused stream ends even with --reconnect", true, {{E::kRefused, 0}}, {}, kExitFailed, {}, {0}, false},
      {"waits grow, and a minute of reception (59 s is not) starts them again", true,
       {{E::kStreamEnded, 3}, {E::kStartFailed, 0}, {E::kStreamEnded, 59}, {E::kStreamEnded, 60}, {E::kStartFailed, 0}, {E::kDuration, 2}},
       {}, kExitOk, {1, 2, 4, 1, 2}, {0, 1, 1, 2, 3, 3}, true},
      {"a stop during the wait", true, {{E::kStreamEnded, 3}}, {WaitEnd::kStopRequested}, kExitOk, {1}, {0}, true},
      {"the deadline during the wait", true, {{E::kStreamEnded, 3}}, {WaitEnd::kDeadline}, kExitOk, {1}, {0}, true},
  };
  // clang-format on
  for (const Row& row : rows) {
    std::vector<long long> waits;
    std::vector<unsigned> shown;
    LoopHooks hooks;
    hooks.runOnce = [&](unsigned reconnections) {
      const Run& run = row.runs.at(shown.size());
      shown.push_back(reconnections);
      RunResult result;
      result.end = run.end;
      result.reception = seconds(run.reception);
      return result;
    };
    hooks.wait = [&](seconds delay) {
      waits.push_back(delay.count());
      return waits.size() <= row.waitEnds.size() ? row.waitEnds[waits.size() - 1]
                                                 : WaitEnd::kElapsed;
    };
    const LoopResult result = runLoop(row.reconnect, hooks);
    EXPECT_EQ(result.exitStatus, row.exitStatus) << row.name;
    EXPECT_EQ(waits, row.waits) << row.name;
    EXPECT_EQ(shown, row.shown) << row.name;
    EXPECT_EQ(result.reconnections, row.shown.back()) << row.name;
    EXPECT_EQ(result.started, row.started) << row.name;
  }
}

}  // namespace
