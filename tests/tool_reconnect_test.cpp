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

// Plays back `runs` one per runOnce and records what the loop asked for.
struct Script {
  std::vector<RunResult> runs;
  std::vector<WaitEnd> waitEnds;  // per wait; kElapsed once they run out
  std::vector<long long> waits;   // seconds asked for
  std::vector<unsigned> shownReconnections;
  size_t nextRun = 0;

  LoopHooks hooks() {
    LoopHooks h;
    h.runOnce = [this](unsigned reconnections) {
      shownReconnections.push_back(reconnections);
      return runs.at(nextRun++);
    };
    h.wait = [this](seconds delay) {
      waits.push_back(delay.count());
      return waits.size() <= waitEnds.size() ? waitEnds[waits.size() - 1] : WaitEnd::kElapsed;
    };
    return h;
  }
};

RunResult ran(RunEnd end, seconds reception = seconds(0)) {
  RunResult r;
  r.end = end;
  r.reception = reception;
  return r;
}

TEST(ToolReconnectLoop, ExitStatusesOfRunsThatAreNotRetried) {
  struct Row {
    RunEnd end;
    bool reconnect;
    int exitStatus;
  };
  // Without --reconnect, a failed start, a stop and the duration are checked
  // by the e2e cases "failures", "signal" and "decode".
  const Row rows[] = {
      {/*.end=*/RunEnd::kStreamEnded, /*.reconnect=*/false, /*.exitStatus=*/kExitEnded},
      {/*.end=*/RunEnd::kFrameLimit, /*.reconnect=*/false, /*.exitStatus=*/kExitOk},
      {/*.end=*/RunEnd::kWriteFailed, /*.reconnect=*/false, /*.exitStatus=*/kExitFailed},
      // A first start that fails and a failed write end even with --reconnect.
      {/*.end=*/RunEnd::kStartFailed, /*.reconnect=*/true, /*.exitStatus=*/kExitFailed},
      {/*.end=*/RunEnd::kWriteFailed, /*.reconnect=*/true, /*.exitStatus=*/kExitFailed},
      {/*.end=*/RunEnd::kRefused, /*.reconnect=*/true, /*.exitStatus=*/kExitFailed},
  };
  for (const Row& row : rows) {
    Script script;
    script.runs = {ran(row.end, seconds(3))};
    const int end = static_cast<int>(row.end);
    const LoopResult result = runLoop(row.reconnect, script.hooks());
    EXPECT_EQ(result.exitStatus, row.exitStatus) << end;
    EXPECT_TRUE(script.waits.empty()) << end;
    EXPECT_EQ(result.started, row.end != RunEnd::kRefused && row.end != RunEnd::kStartFailed)
        << end;
  }
}

TEST(ToolReconnectLoop, WaitsGrowAndAMinuteOfGoodReceptionStartsThemAgain) {
  Script script;
  script.runs = {ran(RunEnd::kStreamEnded, seconds(3)),
                 ran(RunEnd::kStartFailed),
                 ran(RunEnd::kStreamEnded, seconds(59)),
                 ran(RunEnd::kStreamEnded, seconds(60)),
                 ran(RunEnd::kStartFailed),
                 ran(RunEnd::kDuration, seconds(2))};
  const LoopResult result = runLoop(true, script.hooks());
  EXPECT_EQ(result.exitStatus, kExitOk);
  EXPECT_EQ(result.reconnections, 3u);
  EXPECT_EQ(script.waits, (std::vector<long long>{1, 2, 4, 1, 2})) << "59 s is not yet a minute";
  EXPECT_EQ(script.shownReconnections, (std::vector<unsigned>{0, 1, 1, 2, 3, 3}));
}

TEST(ToolReconnectLoop, StopOrDeadlineDuringTheWaitEndsWithSuccess) {
  for (const WaitEnd waitEnd : {WaitEnd::kStopRequested, WaitEnd::kDeadline}) {
    Script script;
    script.runs = {ran(RunEnd::kStreamEnded, seconds(3))};
    script.waitEnds = {waitEnd};
    const LoopResult result = runLoop(true, script.hooks());
    EXPECT_EQ(result.exitStatus, kExitOk) << static_cast<int>(waitEnd);
    EXPECT_EQ(script.nextRun, 1u) << "no run after the interrupted wait";
  }
}

}  // namespace
