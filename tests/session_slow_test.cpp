// The two receive timeouts with the product's real values (label "slow").
#include <gtest/gtest.h>

#include <chrono>

#include "support/session_support.h"

namespace {

using namespace rtsptest;
using Clock = std::chrono::steady_clock;

TEST(SlowTimeouts, TwentySecondsWithoutAFrameEndTheThread) {
  ScriptServer server;
  scriptHandshake(server.connection(), server.port()).pause(500).send(frame('$', 0, "x"));
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  Notifications notes;
  auto d = makeSession(server.port(), log, &notes);
  CRTSPDownloadTestPeer(*d).setTimeouts(20, 5);
  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  ASSERT_TRUE(log->waitCalls(2, 5000));
  const auto lastFrame = Clock::now();
  ASSERT_TRUE(notes.waitCount(1, 30000));
  const double silent = std::chrono::duration<double>(Clock::now() - lastFrame).count();
  EXPECT_GE(silent, 19.5);
  EXPECT_LT(silent, 25.0);
  d->stop();
}

TEST(SlowTimeouts, FiveSecondsWithoutTheSdpBodyFailDescribe) {
  ScriptServer server;
  const unsigned port = server.port();
  server.connection()
      .expect(optionsRequest(port))
      .send(reply(200, "OK", 1))
      .expect(describeRequest(port, 2))
      .send(reply(200, "OK", 2, {"Content-Length: 100"}, "v=0\r\n"));
  server.start();
  Notifications notes;
  auto d = makeSession(port, std::make_shared<ReceiverLog>(), &notes);
  CRTSPDownloadTestPeer(*d).setTimeouts(20, 5);
  CoutCapture out;
  const auto start = Clock::now();
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(waited, 4.9);
  EXPECT_LT(waited, 8.0);
  EXPECT_EQ(notes.count, 1);
  d->stop();
}

}  // namespace
