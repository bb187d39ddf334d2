// The two receive timeouts with the product's real values (label "slow").
#include <gtest/gtest.h>

#include <chrono>

#include "support/session_support.h"

namespace {

using namespace rtsptest;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(SlowTimeouts, TwentySecondsWithoutAFrameEndTheThread) {
  ScriptServer server;
  scriptHandshake(server).pause(500).send(frame('$', 0, "x"));
  SessionRun run(server, true);
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  ASSERT_TRUE(run.log->waitCalls(2, 5000));
  const auto lastFrame = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.notes.waitCount(1, 30000));
  EXPECT_GE(secondsSince(lastFrame), 19.5);
  EXPECT_LT(secondsSince(lastFrame), 25.0);
}

TEST(SlowTimeouts, FiveSecondsWithoutTheSdpBodyFailDescribe) {
  ScriptServer server;
  const unsigned port = server.port();
  server.connection()
      .expect(optionsRequest(port))
      .send(reply(200, "OK", 1))
      .expect(describeRequest(port, 2))
      .send(reply(200, "OK", 2, {"Content-Length: 100"}, "v=0\r\n"));
  SessionRun run(server, true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(run.d->startRTSPDownload(false, false));
  EXPECT_GE(secondsSince(start), 4.9);
  EXPECT_LT(secondsSince(start), 8.0);
  EXPECT_EQ(run.notes.count, 1);
}

}  // namespace
