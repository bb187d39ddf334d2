// Whole sessions against a scripted server: the handshake (exact requests in
// order, the echo on standard output, CSeq numbering, SETUP skipped, every
// failing step), the receive thread (frames in order, every way it ends, the
// callback at most once), and start, stop and destruction.
#include <gtest/gtest.h>

#include <chrono>

#include "support/session_support.h"

namespace {

using namespace rtsptest;
using Clock = std::chrono::steady_clock;

TEST(Handshake, ExactRequestsEchoAndHeaderThenTeardown) {
  ScriptServer server;
  const unsigned port = server.port();
  scriptHandshake(server.connection(), port).expect(teardownRequest(port, 5, "4711;timeout=60"));
  SessionRun run(server);
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  EXPECT_TRUE(run.d->isRunning());

  // Standard output carries each request and every received line (the SDP
  // lines included), in conversation order, and is never flushed.
  const std::string sdpHead =
      reply(200, "OK", 2,
            {"Content-Type: application/sdp", "Content-Length: " + std::to_string(kSdp.size())});
  EXPECT_EQ(run.out.text(), optionsRequest(port) +
                                reply(200, "OK", 1, {"Public: DESCRIBE, SETUP, PLAY, TEARDOWN"}) +
                                describeRequest(port, 2) + sdpHead + kSdp +
                                setupRequest(url(port) + "/trackID=1", 3) +
                                reply(200, "OK", 3, {"Session: 4711;timeout=60"}) +
                                playRequest(port, 4, "4711;timeout=60") +
                                reply(200, "OK", 4, {"Session: 4711;timeout=60"}));
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
  EXPECT_LE(run.notes.count, 1);  // the stop may have woken a blocked read
}

// Starts a session against `server`, whose script ends with the TEARDOWN,
// stops it, and checks that the server saw exactly its script.
void runScripted(ScriptServer& server) {
  SessionRun run(server);
  EXPECT_TRUE(run.d->startRTSPDownload(false, false));
  run.d->stop();
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

TEST(Handshake, CSeqFollowsTheServer) {
  ScriptServer server;
  const unsigned port = server.port();
  server.connection()
      .expect(optionsRequest(port))
      .send(reply(200, "OK", 5))
      .expect(describeRequest(port, 6))
      .send("RTSP/1.0 200 OK\r\nCSeq: 0\r\nContent-Length: " + std::to_string(kSdp.size()) +
            "\r\n\r\n" + kSdp)
      .expect(setupRequest(url(port) + "/trackID=1", 7))
      .send(reply(200, "OK", 20, {"Session: 9"}))
      .expect(playRequest(port, 21, "9"))
      .send("RTSP/1.0 200 OK\r\n\r\n")
      .expect(teardownRequest(port, 22, "9"))
      .close();
  runScripted(server);
}

// Four fields on the m=video line and no a=control: no SETUP target, so
// SETUP is skipped and PLAY takes the next CSeq and an empty session.
TEST(Handshake, SetupSkippedWithoutTarget) {
  ScriptServer server;
  const unsigned port = server.port();
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96 97\r\n";
  server.connection()
      .expect(optionsRequest(port))
      .send(reply(200, "OK", 1))
      .expect(describeRequest(port, 2))
      .send(reply(200, "OK", 2, {"Content-Length: " + std::to_string(sdp.size())}, sdp))
      .expect(playRequest(port, 3, ""))
      .send(reply(200, "OK", 3))
      .expect(teardownRequest(port, 4, ""));
  runScripted(server);
}

// A step answered with an error status (or, for step -1, a connection
// refused) ends the handshake: false, the connection closed, the callback run
// once (not at all when quiet), no stream header, and no request after the
// failed one. The session still counts as running until stop().
TEST(Handshake, AFailedStepEndsItClosedAndNotified) {
  for (const bool quiet : {false, true}) {
    for (const int failing : {-1, 0, 1, 2, 3}) {
      SCOPED_TRACE("failing step " + std::to_string(failing) + (quiet ? ", quiet" : ""));
      ScriptServer server;
      const unsigned port = server.port();
      const std::string length = "Content-Length: " + std::to_string(kSdp.size());
      const std::pair<std::string, std::string> steps[] = {
          {optionsRequest(port), reply(200, "OK", 1)},
          {describeRequest(port, 2), reply(200, "OK", 2, {length}, kSdp)},
          {setupRequest(url(port) + "/trackID=1", 3), reply(200, "OK", 3, {"Session: 7"})},
          {playRequest(port, 4, "7"), ""}};
      std::string expected;
      ScriptServer::Script* script = failing >= 0 ? &server.connection() : nullptr;
      for (int i = 0; i <= failing; ++i) {
        const auto& step = steps[i];
        expected += step.first;
        script->expect(step.first).send(i < failing ? step.second : reply(454, "Gone", i + 1u));
      }
      SessionRun run(server, failing < 0 ? unusedPort() : 0);
      EXPECT_FALSE(run.d->startRTSPDownload(false, quiet));
      EXPECT_TRUE(run.d->isRunning());
      EXPECT_FALSE(CRTSPDownloadTestPeer(*run.d).streamOpen());
      EXPECT_EQ(run.notes.count, quiet ? 0 : 1);
      EXPECT_EQ(run.notes.lastArg, quiet ? nullptr : &run.notes);
      EXPECT_TRUE(run.log->snapshot().empty());
      ASSERT_TRUE(server.waitDone(5000));  // the server saw the connection end
      EXPECT_EQ(server.received(0), expected);
      EXPECT_EQ(server.errors(), std::vector<std::string>{});
      EXPECT_EQ(run.out.text().empty(), failing < 0);
      EXPECT_TRUE(run.d->stop());  // its TEARDOWN fails harmlessly
      EXPECT_FALSE(run.d->isRunning());
    }
  }
}

std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 7 + 3);
  return out;
}

TEST(ReceiveThread, FramesDeliveredInArrivalOrder) {
  ScriptServer server;
  const std::string big = pattern(65535);
  const std::string split = frame('$', 0, "split");
  scriptHandshake(server.connection(), server.port())
      .send(frame('$', 0, "rtp-1") + frame('$', 1, "rtcp") + frame('%', 0, "dropped") +
            frame('$', 0, "") + frame('$', 7, big))
      .send(split.substr(0, 1))
      .pause(50)
      .send(split.substr(1, 2))
      .pause(50)
      .send(split.substr(3));
  SessionRun run(server);
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  ASSERT_TRUE(run.log->waitCalls(6));
  const auto calls = run.log->snapshot();
  const std::vector<std::string> payloads = {"rtp-1", "rtcp", "", big, "split"};
  ASSERT_EQ(calls.size(), 1 + payloads.size());
  EXPECT_TRUE(calls[0].isFileHeader);
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i + 1].data, payloads[i]);
    EXPECT_FALSE(calls[i + 1].isFileHeader);
    EXPECT_EQ(calls[i + 1].sdp, nullptr);
  }
  EXPECT_EQ(run.notes.count, 0);
}

// Every failure ends the thread with one callback and the connection ended
// for the server (without a TEARDOWN); the socket is released by stop() only.
TEST(ReceiveThread, EndsOnFailureWithConnectionShutAndOneCallback) {
  enum class Then { kKeepOpen, kClose, kReset };
  const std::string a = frame('$', 0, "A"), b = frame('$', 0, "B"), c = frame('$', 0, "C");
  const struct {
    const char* name;
    std::string afterPlay;  // what the server sends after the PLAY reply
    int refuseAt, throwAt;  // receiver calls answered with false, or throwing
    Then then;              // what the server does next
    std::size_t delivered;  // packets delivered before the end
  } cases[] = {
      {"bad magic", a + "RTSP/1.0 200 OK\r\n\r\n" + b, -1, -1, Then::kKeepOpen, 1},
      {"receiver refuses", a + b + c, 2, -1, Then::kKeepOpen, 2},
      {"receiver throws", a + b + c, -1, 2, Then::kKeepOpen, 2},
      {"payload cut by close", a + std::string("$\0\0\x64", 4) + "0123", -1, -1, Then::kClose, 1},
      {"header cut by close", a + "$", -1, -1, Then::kClose, 1},
      {"reset", a, -1, -1, Then::kReset, 1},
  };
  for (const auto& e : cases) {
    SCOPED_TRACE(e.name);
    ScriptServer server;
    ScriptServer::Script& s = scriptHandshake(server.connection(), server.port()).send(e.afterPlay);
    if (e.then == Then::kReset) s.pause(100).reset();
    if (e.then == Then::kClose) s.close();
    SessionRun run(server);
    run.log->refuseAt = e.refuseAt;
    run.log->throwAt = e.throwAt;
    CRTSPDownloadTestPeer peer(*run.d);
    ASSERT_TRUE(run.d->startRTSPDownload(false, false));
    ASSERT_TRUE(run.notes.waitCount(1));
    ASSERT_TRUE(server.waitDone(5000));
    EXPECT_EQ(server.received(0).find("TEARDOWN"), std::string::npos);
    EXPECT_EQ(run.log->snapshot().size(), 1 + e.delivered);
    EXPECT_TRUE(run.d->isRunning());
    EXPECT_TRUE(peer.streamOpen());
    EXPECT_FALSE(run.d->startRTSPDownload(false, false));
    EXPECT_TRUE(run.d->stop());
    EXPECT_FALSE(peer.streamOpen());
    EXPECT_EQ(run.notes.count, 1);
  }
}

TEST(ReceiveThread, CallbackRunsOncePerSessionObject) {
  ScriptServer server;
  for (int i = 0; i < 2; ++i)
    scriptHandshake(server.connection(), server.port()).send("bad").close();
  SessionRun run(server);
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  ASSERT_TRUE(run.notes.waitCount(1));
  run.d->stop();
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  ASSERT_TRUE(server.waitDone(5000));  // the second thread has failed too
  run.d->stop();
  EXPECT_EQ(run.notes.count, 1);
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

// A failed start without a callback does not use up the one notification.
TEST(StartStop, CallbackRegisteredAfterAnUnnotifiedFailureRunsLater) {
  Notifications notes;
  auto d = makeSession(unusedPort(), std::make_shared<ReceiverLog>(), nullptr);
  CoutCapture out;
  EXPECT_FALSE(d->startRTSPDownload(false, false));
  d->stop();
  d->setRecvTimeoutCallbackFun(&Notifications::callback, &notes);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(d->startRTSPDownload(false, false));
    d->stop();
  }
  EXPECT_EQ(notes.count, 1);
}

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
  // Silence after PLAY: only the shutdown can end the 20 s read.
  scriptHandshake(server.connection(), server.port())
      .expect(teardownRequest(server.port(), 5, "4711;timeout=60"));
  SessionRun run(server, 0, true);
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  EXPECT_FALSE(run.d->startRTSPDownload(false, false));  // while running: nothing changes
  EXPECT_EQ(server.accepted(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the read
  const std::string echoed = run.out.text();

  const auto before = Clock::now();
  EXPECT_TRUE(run.d->stop());
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_FALSE(run.d->isRunning());
  EXPECT_FALSE(CRTSPDownloadTestPeer(*run.d).streamOpen());
  EXPECT_EQ(run.out.text(), echoed);  // TEARDOWN is not echoed
  EXPECT_EQ(run.notes.count, 1);      // the woken read failed on the thread
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
  EXPECT_TRUE(run.d->stop());  // a second stop does nothing
  EXPECT_EQ(run.log->snapshot().size(), 1u);
}

TEST(StartStop, DestroyingARunningSessionStopsItAndDeletesTheReceiver) {
  ScriptServer server;
  scriptHandshake(server.connection(), server.port())
      .send(frame('$', 0, "x"))
      .expect(teardownRequest(server.port(), 5, "4711;timeout=60"));
  SessionRun run(server, 0, true);
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  ASSERT_TRUE(run.log->waitCalls(2));
  const auto before = Clock::now();
  run.d.reset();
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_TRUE(run.log->destroyed);
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

TEST(StartStop, StartAgainAfterStopKeepsTheEarlierStreamHeader) {
  ScriptServer server;
  const unsigned port = server.port();
  std::string noConfig = kSdp;
  const std::size_t config = noConfig.find(";config=");
  noConfig.erase(config, noConfig.find('\r', config) - config);
  scriptHandshake(server.connection(), port).send(frame('$', 0, "one"));
  scriptHandshake(server.connection(), port, noConfig).send(frame('$', 0, "two"));
  SessionRun run(server);
  // The reordering implementation is replaced by the pass-through one at
  // every start: "one" and "two" are no RTP packets, yet they arrive.
  run.d->registeRTPReceiver(nullptr);
  auto* receiver = new RecordingReceiver(run.log);
  receiver->changeImpl(RTP_RECEIVER_UDP);
  run.d->registeRTPReceiver(receiver);
  run.d->registeRTPReceiver(receiver);  // the same pointer again: kept
  ASSERT_TRUE(run.d->startRTSPDownload(false, false));
  ASSERT_TRUE(run.log->waitCalls(2));
  run.d->stop();
  receiver->changeImpl(RTP_RECEIVER_UDP);
  ASSERT_TRUE(run.d->startRTSPDownload(true, false));
  ASSERT_TRUE(run.log->waitCalls(4));
  run.d->stop();
  const auto calls = run.log->snapshot();
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

}  // namespace
