// The handshake against a scripted server: the exact requests in order, the
// echo on standard output, CSeq numbering, SETUP building, and every way a
// step can fail.
#include <gtest/gtest.h>

#include <functional>

#include "support/session_support.h"

namespace {

using namespace rtsptest;

TEST(Handshake, ExactRequestsEchoAndHeaderThenTeardown) {
  ScriptServer server;
  const unsigned port = server.port();
  scriptHandshake(server.connection(), port);
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  Notifications notes;
  auto d = makeSession(port, log, &notes);
  CRTSPDownloadTestPeer peer(*d);
  EXPECT_EQ(peer.recvTimeoutSec(), 2);

  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  EXPECT_TRUE(d->isRunning());
  EXPECT_EQ(peer.threadCount(), 1u);

  // Standard output carries each request and every received line (the SDP
  // lines included), in conversation order, and is never flushed.
  const std::string sdpHead =
      reply(200, "OK", 2,
            {"Content-Type: application/sdp", "Content-Length: " + std::to_string(kSdp.size())});
  EXPECT_EQ(out.text(), optionsRequest(port) +
                            reply(200, "OK", 1, {"Public: DESCRIBE, SETUP, PLAY, TEARDOWN"}) +
                            describeRequest(port, 2) + sdpHead + kSdp +
                            setupRequest(url(port) + "/trackID=1", 3) +
                            reply(200, "OK", 3, {"Session: 4711;timeout=60"}) +
                            playRequest(port, 4, "4711;timeout=60") +
                            reply(200, "OK", 4, {"Session: 4711;timeout=60"}));
  EXPECT_TRUE(out.flushes().empty());

  ASSERT_TRUE(log->waitCalls(1));
  const auto calls = log->snapshot();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].isFileHeader);
  EXPECT_EQ(calls[0].data, std::string("\x00\x00\x01\xB0\xF5", 5));
  ASSERT_NE(calls[0].sdp, nullptr);
  EXPECT_EQ(calls[0].sdp->lines.size(), 6u);
  std::string sps, pps;
  EXPECT_EQ(calls[0].sdp->fetch_sps_pps(sps, pps), -1);

  EXPECT_TRUE(d->stop());
  EXPECT_FALSE(d->isRunning());
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
  const std::string received = server.received(0);
  const std::string teardown = teardownRequest(port, 5, "4711;timeout=60");
  ASSERT_GE(received.size(), teardown.size());
  EXPECT_EQ(received.substr(received.size() - teardown.size()), teardown);
  EXPECT_LE(notes.count, 1);  // the stop may have woken a blocked read
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
  server.start();
  auto d = makeSession(port, std::make_shared<ReceiverLog>(), nullptr);
  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(true, false));
  d->stop();
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

// An SDP video section and the SETUP target it must give ("" for none).
using SetupChoice = std::function<std::pair<std::string, std::string>(unsigned port)>;

TEST(Handshake, SetupTargetOrSkipped) {
  const std::pair<const char*, SetupChoice> cases[] = {
      {"absolute control",
       [](unsigned port) {
         const std::string target = "rtsp://127.0.0.1:" + std::to_string(port) + "/live/trackID=1";
         return std::make_pair("m=video 0 RTP/AVP 96\r\na=control:" + target + "\r\n", target);
       }},
      {"relative control",
       [](unsigned port) {
         return std::make_pair(std::string("m=video 0 RTP/AVP 96\r\na=control:video\r\n"),
                               url(port) + "/video");
       }},
      {"four fields, no control",
       [](unsigned) {
         return std::make_pair(std::string("m=video 0 RTP/AVP 96 97\r\n"), std::string());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    ScriptServer server;
    const unsigned port = server.port();
    const auto choice = c.second(port);
    const std::string sdp = "v=0\r\n" + choice.first;
    const bool setup = !choice.second.empty();
    ScriptServer::Script& s = server.connection();
    s.expect(optionsRequest(port))
        .send(reply(200, "OK", 1))
        .expect(describeRequest(port, 2))
        .send(reply(200, "OK", 2, {"Content-Length: " + std::to_string(sdp.size())}, sdp));
    if (setup) s.expect(setupRequest(choice.second, 3)).send(reply(200, "OK", 3, {"Session: 1"}));
    // Without SETUP, PLAY takes the next CSeq and an empty session.
    const unsigned play = setup ? 4 : 3;
    s.expect(playRequest(port, play, setup ? "1" : ""))
        .send(reply(200, "OK", play))
        .expect(teardownRequest(port, play + 1, setup ? "1" : ""));
    server.start();
    auto d = makeSession(port, std::make_shared<ReceiverLog>(), nullptr);
    CoutCapture out;
    EXPECT_TRUE(d->startRTSPDownload(false, false));
    d->stop();
    EXPECT_EQ(out.text().find("SETUP") != std::string::npos, setup);
    ASSERT_TRUE(server.waitDone(5000));
    EXPECT_EQ(server.errors(), std::vector<std::string>{});
  }
}

// Scripts the server up to a failing step and returns the requests it must
// have received; no script: nothing listens on the port.
using FailScript = std::function<std::string(ScriptServer::Script&, unsigned port)>;

TEST(Handshake, AFailedStepEndsItClosedAndNotified) {
  const auto upToDescribe = [](ScriptServer::Script& s, unsigned port) -> ScriptServer::Script& {
    return s.expect(optionsRequest(port))
        .send(reply(200, "OK", 1))
        .expect(describeRequest(port, 2));
  };
  const auto upToSetup = [&](ScriptServer::Script& s, unsigned port) -> ScriptServer::Script& {
    const std::string length = "Content-Length: " + std::to_string(kSdp.size());
    return upToDescribe(s, port)
        .send(reply(200, "OK", 2, {length}, kSdp))
        .expect(setupRequest(url(port) + "/trackID=1", 3));
  };
  const auto sentUpToSetup = [](unsigned port) {
    return optionsRequest(port) + describeRequest(port, 2) +
           setupRequest(url(port) + "/trackID=1", 3);
  };
  const std::pair<const char*, FailScript> cases[] = {
      {"connection refused", nullptr},
      {"OPTIONS refused",
       [](ScriptServer::Script& s, unsigned port) {
         s.expect(optionsRequest(port)).send(reply(404, "Not Found", 1));
         return optionsRequest(port);
       }},
      {"DESCRIBE reply cut off",
       [&](ScriptServer::Script& s, unsigned port) {
         upToDescribe(s, port).send("RTSP/1.0 200 OK\r\nCSeq: 2\r\n").close();
         return optionsRequest(port) + describeRequest(port, 2);
       }},
      {"SDP body with a negative length",
       [&](ScriptServer::Script& s, unsigned port) {
         upToDescribe(s, port).send(reply(200, "OK", 2, {"Content-Length: -1"}));
         return optionsRequest(port) + describeRequest(port, 2);
       }},
      {"SETUP refused",
       [&](ScriptServer::Script& s, unsigned port) {
         upToSetup(s, port).send(reply(461, "Unsupported transport", 3));
         return sentUpToSetup(port);
       }},
      {"PLAY refused",
       [&](ScriptServer::Script& s, unsigned port) {
         upToSetup(s, port)
             .send(reply(200, "OK", 3, {"Session: 7"}))
             .expect(playRequest(port, 4, "7"))
             .send(reply(454, "Session Not Found", 4));
         return sentUpToSetup(port) + playRequest(port, 4, "7");
       }},
  };
  for (const bool quiet : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.first) + (quiet ? ", quiet" : ""));
      ScriptServer server;
      unsigned port = server.port();
      std::string expected;
      if (c.second) {
        expected = c.second(server.connection(), port);
      } else {
        port = unusedPort();
      }
      server.start();
      auto log = std::make_shared<ReceiverLog>();
      Notifications notes;
      auto d = makeSession(port, log, &notes);
      CRTSPDownloadTestPeer peer(*d);
      CoutCapture out;
      EXPECT_FALSE(d->startRTSPDownload(false, quiet));
      EXPECT_TRUE(d->isRunning());
      EXPECT_FALSE(peer.streamOpen());
      EXPECT_EQ(peer.threadCount(), 0u);
      EXPECT_EQ(notes.count, quiet ? 0 : 1);
      if (!quiet) {
        EXPECT_EQ(notes.lastArg, &notes);
      }
      EXPECT_TRUE(log->snapshot().empty());  // no stream header without PLAY
      if (c.second) {
        ASSERT_TRUE(server.waitDone(5000));  // the server saw the connection end
        EXPECT_EQ(server.received(0), expected);
        EXPECT_EQ(server.errors(), std::vector<std::string>{});
      } else {
        EXPECT_EQ(out.text(), "");
      }
      EXPECT_TRUE(d->stop());  // its TEARDOWN fails harmlessly
      EXPECT_FALSE(d->isRunning());
    }
  }
}

}  // namespace
