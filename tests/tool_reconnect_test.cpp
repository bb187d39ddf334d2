// rtsp-pull's reconnect loop: the wait schedule and the exit statuses, with
// scripted session runs and a recorded wait instead of a server and a clock;
// the loop's cases in data/tool_reconnect_loop.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "options.h"
#include "reconnect.h"
#include "support/media_files.h"

namespace {

using namespace rtsp_pull;
using std::chrono::seconds;

TEST(ToolBackoff, DoublesFromOneSecondUpToThirty) {
  const long long expected[] = {0, 1, 2, 4, 8, 16, 30, 30, 30};
  for (unsigned n = 0; n < sizeof expected / sizeof expected[0]; ++n)
    EXPECT_EQ(backoffDelay(n).count(), expected[n]) << "after " << n << " failures in a row";
  EXPECT_EQ(backoffDelay(4000000000u).count(), 30);
}

// The cases of data/tool_reconnect_loop.txt.
TEST(ToolReconnectLoop, ExitStatusWaitsAndReconnections) {
  const std::vector<std::string> runEnds = {
      "start-failed", "stop", "frame-limit", "duration", "ended", "write-failed", "refused"};
  const std::vector<std::string> waitEnds = {"elapsed", "stop", "deadline"};
  const auto index = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) - names.begin();
  };
  const auto rows = rtsptest::dataFields("tool_reconnect_loop.txt");
  ASSERT_GE(rows.size(), 8u);
  for (const std::vector<std::string>& row : rows) {
    ASSERT_EQ(row.size(), 8u) << row[0];
    const std::vector<std::string> runs = split(row[2]), stops = split(row[3]);
    std::vector<std::string> waits, shown;
    LoopHooks hooks;
    hooks.runOnce = [&](unsigned reconnections) {
      const std::vector<std::string> run = split(runs.at(shown.size()), ':');
      shown.push_back(std::to_string(reconnections));
      RunResult result;
      result.end = static_cast<RunEnd>(index(runEnds, run.at(0)));
      result.reception = seconds(std::stoi(run.at(1)));
      return result;
    };
    hooks.wait = [&](seconds delay) {
      waits.push_back(std::to_string(delay.count()));
      return waits.size() <= stops.size()
                 ? static_cast<WaitEnd>(index(waitEnds, stops[waits.size() - 1]))
                 : WaitEnd::kElapsed;
    };
    const LoopResult result = runLoop(row[1] == "reconnect", hooks);
    EXPECT_EQ(std::to_string(result.exitStatus), row[4]) << row[0];
    EXPECT_EQ(waits, split(row[5])) << row[0];
    EXPECT_EQ(shown, split(row[6])) << row[0];
    EXPECT_EQ(std::to_string(result.reconnections), split(row[6]).back()) << row[0];
    EXPECT_EQ(result.started, row[7] == "started") << row[0];
  }
}

}  // namespace
