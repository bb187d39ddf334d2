// Starting and stopping a session: the states, TEARDOWN, the join of the
// receive thread, destruction, and a second start on the same object.
#include <gtest/gtest.h>

#include <chrono>

#include "support/session_support.h"

namespace {

using namespace rtsptest;
using Clock = std::chrono::steady_clock;

TEST(StartStop, IdleSessionAndMissingReceiver) {
  ScriptServer server;
  server.start();
  Notifications notes;
  auto d = makeSession(server.port(), nullptr, &notes);
  CoutCapture out;
  EXPECT_FALSE(d->isRunning());
  EXPECT_TRUE(d->stop());
  // Without a receiver nothing starts: still idle, no connection made.
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  EXPECT_FALSE(d->isRunning());
  EXPECT_TRUE(d->stop());
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(notes.count, 0);
  EXPECT_EQ(server.accepted(), 0u);
}

TEST(StartStop, StopWakesABlockedReadAtOnceAndJoins) {
  ScriptServer server;
  const unsigned port = server.port();
  scriptHandshake(server.connection(), port);  // then silence
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  Notifications notes;
  auto d = makeSession(port, log, &notes);
  CRTSPDownloadTestPeer peer(*d);
  peer.setTimeouts(20, 5);  // the product's values: only the shutdown can end the read
  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  // A second start while running changes nothing.
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  EXPECT_EQ(server.accepted(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the read
  const std::string echoed = out.text();

  const auto before = Clock::now();
  EXPECT_TRUE(d->stop());
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_FALSE(d->isRunning());
  EXPECT_EQ(peer.threadCount(), 0u);
  EXPECT_FALSE(peer.streamOpen());
  EXPECT_EQ(out.text(), echoed);  // TEARDOWN is not echoed
  EXPECT_EQ(notes.count, 1);      // the woken read failed on the thread
  ASSERT_TRUE(server.waitDone(5000));
  const std::string teardown = teardownRequest(port, 5, "4711;timeout=60");
  const std::string received = server.received(0);
  EXPECT_EQ(received.substr(received.size() - teardown.size()), teardown);
  EXPECT_TRUE(d->stop());  // a second stop does nothing
  EXPECT_EQ(log->snapshot().size(), 1u);
}

TEST(StartStop, DestroyingARunningSessionStopsItAndDeletesTheReceiver) {
  ScriptServer server;
  const unsigned port = server.port();
  scriptHandshake(server.connection(), port).send(frame('$', 0, "x"));
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  auto d = makeSession(port, log, nullptr);
  CRTSPDownloadTestPeer(*d).setTimeouts(20, 5);
  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  ASSERT_TRUE(log->waitCalls(2));
  const auto before = Clock::now();
  d.reset();
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_TRUE(log->destroyed);
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_NE(server.received(0).find(teardownRequest(port, 5, "4711;timeout=60")),
            std::string::npos);
}

TEST(StartStop, StartAgainAfterStopKeepsTheEarlierStreamHeader) {
  ScriptServer server;
  const unsigned port = server.port();
  std::string noConfig = kSdp;
  const std::size_t config = noConfig.find(";config=");
  noConfig.erase(config, noConfig.find('\r', config) - config);
  scriptHandshake(server.connection(), port).send(frame('$', 0, "one"));
  scriptHandshake(server.connection(), port, noConfig).send(frame('$', 0, "two"));
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  auto d = makeSession(port, log, nullptr);
  // The reordering implementation is replaced by the pass-through one at
  // every start: "one" and "two" are no RTP packets, yet they arrive.
  d->registeRTPReceiver(nullptr);
  auto* receiver = new RecordingReceiver(log);
  receiver->changeImpl(RTP_RECEIVER_UDP);
  d->registeRTPReceiver(receiver);
  d->registeRTPReceiver(receiver);  // the same pointer again: kept
  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  ASSERT_TRUE(log->waitCalls(2));
  d->stop();
  receiver->changeImpl(RTP_RECEIVER_UDP);
  ASSERT_TRUE(d->startRTSPDownload(true, false));
  ASSERT_TRUE(log->waitCalls(4));
  d->stop();
  const auto calls = log->snapshot();
  ASSERT_EQ(calls.size(), 4u);
  const std::string header("\x00\x00\x01\xB0\xF5", 5);
  EXPECT_EQ(calls[0].data, header);
  EXPECT_EQ(calls[1].data, "one");
  EXPECT_TRUE(calls[2].isFileHeader);
  EXPECT_EQ(calls[2].data, header);  // no config= this time: the earlier header again
  EXPECT_EQ(calls[3].data, "two");
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

TEST(StartStop, CallbackRegisteredAfterAnUnnotifiedFailureRunsLater) {
  Notifications notes;
  auto d = makeSession(unusedPort(), std::make_shared<ReceiverLog>(), nullptr);
  CoutCapture out;
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  d->stop();
  d->setRecvTimeoutCallbackFun(&Notifications::callback, &notes);
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  d->stop();
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  d->stop();
  EXPECT_EQ(notes.count, 1);
}

}  // namespace
