// Whole sessions against a scripted server: the handshake (exact requests,
// the echo on standard output, CSeq numbering, SETUP skipped), the receive
// thread, and start and stop.
#include <gtest/gtest.h>

#include <chrono>

#include "support/session_support.h"

namespace {

using namespace rtsptest;

TEST(Session, HandshakeRequestsEchoAndHeaderThenTeardown) {
  ScriptServer server;
  const unsigned port = server.port();
  scriptHandshake(server).expect(teardownRequest(port, 5, "4711;timeout=60"));
  SessionRun run(server);
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  EXPECT_TRUE(run.d->isRunning());
  // Each request and every received line, in order, never flushed.
  std::string echo;
  for (const auto& step : handshake(port)) echo += step.first + step.second;
  EXPECT_EQ(run.out.text(), echo);
  EXPECT_TRUE(run.out.flushes().empty());

  ASSERT_TRUE(run.log->waitCalls(1));
  const auto calls = run.log->snapshot();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].isFileHeader);
  EXPECT_EQ(calls[0].data, std::string("\x00\x00\x01\xB0\xF5", 5));
  ASSERT_NE(calls[0].sdp, nullptr);
  EXPECT_EQ(calls[0].sdp->lines.size(), 6u);

  EXPECT_TRUE(run.d->stop());
  EXPECT_FALSE(run.d->isRunning());
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

// The CSeq follows the server's; without a SETUP target (four fields on the
// m=video line, no a=control) SETUP is skipped and PLAY has an empty session.
TEST(Session, CSeqFollowsTheServerAndSetupIsSkipped) {
  ScriptServer server;
  const unsigned port = server.port();
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96 97\r\n";
  server.connection()
      .expect(optionsRequest(port))
      .send(reply(200, "OK", 5))
      .expect(describeRequest(port, 6))
      .send(reply(200, "OK", 0, {"Content-Length: " + std::to_string(sdp.size())}, sdp))
      .expect(playRequest(port, 7, ""))
      .send(reply(200, "OK", 20))
      .expect(teardownRequest(port, 21, ""));
  SessionRun run(server);
  EXPECT_TRUE(run.d->startRTSPDownload(false, false));
  run.d->stop();
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

// "$" frames are delivered in order whatever their channel, "%" frames are
// dropped; a bad magic byte or a refusing receiver ends the thread with one
// callback and no TEARDOWN until stop().
TEST(Session, ReceiveThreadFramesAndItsEnd) {
  std::string big(65535, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  const std::string a = frame('$', 0, "A"), b = frame('$', 1, "B"), c = frame('$', 0, "C");
  const struct {
    const char* name;
    std::string stream;
    int refuseAt;
    std::vector<std::string> delivered;
  } cases[] = {
      {"bad magic",
       a + b + frame('%', 0, "dropped") + frame('$', 0, "") + frame('$', 7, big) +
           "RTSP/1.0 200 OK\r\n\r\n" + c,
       -1,
       {"A", "B", "", big}},
      {"receiver refuses", a + b + c, 2, {"A", "B"}},
  };
  for (const auto& e : cases) {
    SCOPED_TRACE(e.name);
    ScriptServer server;
    scriptHandshake(server).send(e.stream);
    SessionRun run(server);
    run.log->refuseAt = e.refuseAt;
    ASSERT_TRUE(run.d->startRTSPDownload(false, false));
    ASSERT_TRUE(run.notes.waitCount(1));
    const auto calls = run.log->snapshot();
    ASSERT_EQ(calls.size(), 1 + e.delivered.size());
    for (std::size_t i = 0; i < e.delivered.size(); ++i) {
      EXPECT_EQ(calls[i + 1].data, e.delivered[i]);
      EXPECT_FALSE(calls[i + 1].isFileHeader);
      EXPECT_EQ(calls[i + 1].sdp, nullptr);
    }
    EXPECT_TRUE(run.d->isRunning());
    EXPECT_TRUE(CRTSPDownloadTestPeer(*run.d).streamOpen());
    EXPECT_TRUE(run.d->stop());
    EXPECT_EQ(run.notes.count, 1);
  }
}

TEST(Session, StopWakesABlockedReadAtOnce) {
  ScriptServer server;
  scriptHandshake(server).expect(teardownRequest(server.port(), 5, "4711;timeout=60"));
  SessionRun run(server, true);  // only the stop can end the 20 s read
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  EXPECT_FALSE(run.d->startRTSPDownload(false, false));  // while running: nothing changes
  EXPECT_EQ(server.accepted(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string echoed = run.out.text();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(run.d->stop());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_FALSE(run.d->isRunning());
  EXPECT_FALSE(CRTSPDownloadTestPeer(*run.d).streamOpen());
  EXPECT_EQ(run.out.text(), echoed);  // TEARDOWN is not echoed
  EXPECT_EQ(run.notes.count, 1);      // the woken read failed on the thread
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

TEST(Session, WithoutReceiverNothingStarts) {
  ScriptServer server;
  server.start();
  Notifications notes;
  auto d = makeSession(server.port(), nullptr, &notes);
  CoutCapture out;
  EXPECT_TRUE(d->stop());
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  EXPECT_FALSE(d->isRunning());
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(notes.count, 0);
  EXPECT_EQ(server.accepted(), 0u);
}

}  // namespace
