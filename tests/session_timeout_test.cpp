// The receive timeouts: a reply line, the SDP body and the interleaved
// frames, with the seconds shortened through the test peer. The product's
// values are kept (checked here) and run for real in session_slow_test.
#include <gtest/gtest.h>

#include <chrono>

#include "support/session_support.h"

namespace {

using namespace rtsptest;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Timeouts, ProductValues) {
  CRTSPDownload d;
  CRTSPDownloadTestPeer peer(d);
  EXPECT_EQ(peer.recvTimeoutSec(), 20);
  EXPECT_EQ(peer.sdpTimeoutSec(), 5);
}

TEST(Timeouts, ReplyLineWaitsPerByte) {
  ScriptServer server;
  // Pauses shorter than the timeout between bytes are fine; a longer one
  // ends the reply.
  server.connection()
      .send("RTSP/1.0 200")
      .pause(600)
      .send(" OK\r\nCSeq: 1\r\n\r\nRTSP/1.0 200 OK\r\nCSe");
  server.start();
  CRTSPDownload d;
  d.initInfo("127.0.0.1", server.port(), "live", 0, ACE_Time_Value(2, 0), 0);
  CRTSPDownloadTestPeer peer(d);
  peer.setTimeouts(1, 1);
  ASSERT_TRUE(peer.connect());
  CoutCapture out;
  EXPECT_TRUE(peer.getReply());
  const auto start = Clock::now();
  EXPECT_FALSE(peer.getReply());
  EXPECT_GE(secondsSince(start), 0.9);
  EXPECT_LT(secondsSince(start), 3.0);
  EXPECT_EQ(peer.cseq(), 2u);
  peer.close();
}

TEST(Timeouts, SdpBodyThatStopsArriving) {
  ScriptServer server;
  server.connection().send("v=0\r\n");
  server.start();
  CRTSPDownload d;
  d.initInfo("127.0.0.1", server.port(), "live", 0, ACE_Time_Value(2, 0), 0);
  CRTSPDownloadTestPeer peer(d);
  peer.setTimeouts(1, 1);
  ASSERT_TRUE(peer.connect());
  peer.contentLength() = 50;
  peer.sdp().text = "old";
  const auto start = Clock::now();
  EXPECT_FALSE(peer.recvSDPReply());
  EXPECT_GE(secondsSince(start), 0.9);
  EXPECT_TRUE(peer.sdp().lines.empty());
  EXPECT_EQ(peer.sdp().text, "old");
  peer.close();
}

TEST(Timeouts, SilentStreamEndsTheThread) {
  ScriptServer server;
  scriptHandshake(server.connection(), server.port()).send(frame('$', 0, "x"));
  server.start();
  Notifications notes;
  auto d = makeSession(server.port(), std::make_shared<ReceiverLog>(), &notes);
  CRTSPDownloadTestPeer(*d).setTimeouts(1, 1);
  CoutCapture out;
  const auto start = Clock::now();
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  ASSERT_TRUE(notes.waitCount(1, 5000));
  EXPECT_GE(secondsSince(start), 0.9);
  ASSERT_TRUE(server.waitDone(5000));  // the connection ended for the server
  d->stop();
  EXPECT_EQ(notes.count, 1);
}

}  // namespace
