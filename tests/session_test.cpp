// Whole sessions against a scripted server: the handshake, its failure at
// each step, the receive thread, and start and stop.
#include <gtest/gtest.h>

#include "support/session_support.h"

namespace {

using namespace rtsptest;

// The requests, each request and reply line echoed in order (TEARDOWN is
// not), the stream header handed on with the description, TEARDOWN on stop.
TEST(Session, HandshakeRequestsEchoHeaderAndTeardown) {
  std::string longBody = kSdp;  // read whole, its first 8192 bytes kept
  while (longBody.size() < 20000) longBody += "a=x-pad:0123456789abcdef\r\n";
  // clang-format off
  struct Case { const char* name; std::string body, setupTarget; };
  const Case cases[] = {
      {"relative control URL", kSdp, ""},
      {"absolute control URL", sdp("rtsp://10.1.2.3/cam/t7"), "rtsp://10.1.2.3/cam/t7"},
      {"two formats: no SETUP", sdp("trackID=1", "96 97"), "-"},
      {"Content-Length 20000", longBody, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SessionRun o(Handshake(0, c.body, true, c.setupTarget).answers);
    const Handshake h(o.port, c.body, true, c.setupTarget);
    EXPECT_TRUE(o.started && o.running && o.openBeforeStop && o.log->packets.empty());
    EXPECT_EQ(o.echo, h.echo);
    EXPECT_EQ(o.received, h.sent.back() + h.teardown);
    EXPECT_EQ(o.log->header, kHeader + "|" + (c.body + std::string(8192, '\0')).substr(0, 8192));
  }
}

// A failure at any step: start returns false with the connection closed and
// nothing more sent, the header is not handed on, the callback runs once
// unless quietOnFailure, and the session counts as running until stop().
TEST(Session, HandshakeFailsAtEachStep) {
  // clang-format off
  struct Case { const char* name; std::size_t step; std::string answer; };  // "": closes
  const Case cases[] = {
      {"OPTIONS closed", 0, ""}, {"OPTIONS refused", 0, reply("405 Method Not Allowed", 1)},
      {"DESCRIBE closed", 1, ""}, {"DESCRIBE refused", 1, reply("404 Not Found", 2)},
      {"DESCRIBE Content-Length -1", 1, reply("200 OK", 2, "Content-Length: -1\r\n", kSdp)},
      {"SETUP closed", 2, ""}, {"SETUP refused", 2, reply("461 Unsupported Transport", 3)},
      {"PLAY closed", 3, ""}, {"PLAY refused", 3, reply("454 Session Not Found", 4)},
      {"RTSP/1.1", 0, "RTSP/1.1 200 OK\r\nCSeq: 1\r\n\r\n"},
      {"status out of range", 1, reply("99999999999999999999 OK", 2)},
      {"PLAY 250, a 2xx other than 200", 3, reply("250 Low on Storage Space", 4, "Session: 4711\r\n")},
  };
  // clang-format on
  for (const Case& c : cases) {
    for (const bool quiet : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (quiet ? ", quiet" : ""));
      std::vector<std::string> answers = Handshake(0).answers;
      answers.resize(c.step);
      answers.push_back(c.answer);
      const SessionRun o(answers, c.answer.empty() ? End::kClose : End::kReadOn, 0, quiet);
      EXPECT_TRUE(o.running && !o.started && !o.openBeforeStop);
      EXPECT_EQ(o.log->notes, quiet ? 0 : 1);
      EXPECT_TRUE(o.log->header.empty() && o.log->packets.empty());
      EXPECT_EQ(o.received, Handshake(o.port).sent[c.step]);
    }
  }
  // Without a receiver nothing starts: no connection, no callback, not running.
  CRTSPDownload d;
  d.initInfo("127.0.0.1", 0, "live", 0, ACE_Time_Value(2, 0), 0);  // a connect would fail
  d.setRecvTimeoutCallbackFun([](void*) { ADD_FAILURE() << "callback"; }, nullptr);
  CoutCapture out;
  EXPECT_FALSE(d.startRTSPDownload(false, false) || d.isRunning() || !out.text.str().empty());
}

// One session object started again after stop(): every start is a new
// conversation from CSeq 1, and the callback runs once in the object's life
// (here when the server ends the first session's stream).
TEST(Session, EveryStartBeginsAtCSeqOneAndTheCallbackRunsOnce) {
  unsigned port = 0;
  const int listenFd = listenLoopback(port);
  const Handshake h(port);
  std::vector<std::string> received;
  std::thread server([&] {
    received.push_back(serve(listenFd, h.answers, End::kClose));
    for (int i = 0; i < 2; ++i) {
      received.push_back(serve(listenFd, {h.answers[0], reply("404 Not Found", 2)}, End::kReadOn));
    }
  });
  CoutCapture out;
  CRTSPDownload d;
  HostLog* log = new HostLog;  // owned by d
  d.initInfo("127.0.0.1", port, "live", 0, ACE_Time_Value(2, 0), 0);
  d.registeRTPReceiver(log);
  d.setRecvTimeoutCallbackFun([](void* arg) { ++static_cast<HostLog*>(arg)->notes; }, log);
  CRTSPDownloadTestPeer{d}.setTimeouts(1, 1);
  std::vector<bool> started;
  std::vector<int> notes;
  for (int i = 0; i < 3; ++i) {
    started.push_back(d.startRTSPDownload(false, false));
    for (int ms = 0; ms < 5000 && log->notes == 0; ++ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    d.stop();
    notes.push_back(log->notes);
  }
  server.join();
  ::close(listenFd);
  EXPECT_EQ(started, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(notes, (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(received, (std::vector<std::string>{h.sent.back(), h.sent[1], h.sent[1]}));
}

// "$" frames are delivered in order whatever their channel, "%" frames are
// dropped; a bad magic byte or a refusing receiver ends the thread with one
// callback, the connection shut down but the descriptor left for stop(). With
// the real 20 s receive timeout, only stop() ends a waiting read (and TEARDOWN
// gets through).
TEST(Session, ReceiveThreadFramesAndItsEnd) {
  std::string big(65535, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  const std::string a = frame('$', 0, "A"), b = frame('$', 1, "B"), c = frame('$', 0, "C");
  // clang-format off
  struct Case { std::string stream; std::size_t refusePacket; std::vector<std::string> delivered; bool waits; };
  const Case cases[] = {
      {a + b + frame('%', 0, "dropped") + frame('$', 0, "") + frame('$', 7, big) +
           "RTSP/1.0 200 OK\r\n\r\n" + c, 0, {"A", "B", "", big}, false},
      {a + b + c, 2, {"A", "B"}, false},  // the receiver refuses the second frame
      {a, 0, {"A"}, true},
  };
  // clang-format on
  for (const Case& e : cases) {
    std::vector<std::string> answers = Handshake(0).answers;
    answers.back() += e.stream;
    const auto before = std::chrono::steady_clock::now();
    const SessionRun o(answers, End::kReadOn, e.waits ? 1 : 5, false, e.refusePacket, e.waits);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    EXPECT_TRUE(o.started && o.running && o.openBeforeStop);
    EXPECT_EQ(o.log->packets, e.delivered);
    EXPECT_EQ(o.log->notes, 1);  // a woken read fails on the thread too
    const Handshake h(o.port);
    EXPECT_EQ(o.received, h.sent.back() + (e.waits ? h.teardown : ""));
  }
}

}  // namespace
