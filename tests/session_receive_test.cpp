// The receive thread: interleaved frames delivered in order, and every way
// it ends on a failure (connection ended for the server, callback once).
#include <gtest/gtest.h>

#include "support/session_support.h"

namespace {

using namespace rtsptest;

std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 7 + 3);
  return out;
}

TEST(ReceiveThread, FramesDeliveredInArrivalOrder) {
  ScriptServer server;
  const unsigned port = server.port();
  const std::string big = pattern(65535);
  const std::string split = frame('$', 0, "split");
  scriptHandshake(server.connection(), port)
      .send(frame('$', 0, "rtp-1") + frame('$', 1, "rtcp") + frame('%', 0, "dropped") +
            frame('$', 0, "") + frame('$', 7, big))
      .send(split.substr(0, 1))
      .pause(50)
      .send(split.substr(1, 2))
      .pause(50)
      .send(split.substr(3));
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  Notifications notes;
  auto d = makeSession(port, log, &notes);
  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  ASSERT_TRUE(log->waitCalls(6));
  const auto calls = log->snapshot();
  const std::vector<std::string> payloads = {"rtp-1", "rtcp", "", big, "split"};
  ASSERT_EQ(calls.size(), 1 + payloads.size());
  EXPECT_TRUE(calls[0].isFileHeader);
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i + 1].data, payloads[i]);
    EXPECT_FALSE(calls[i + 1].isFileHeader);
    EXPECT_EQ(calls[i + 1].sdp, nullptr);
  }
  EXPECT_EQ(notes.count, 0);
  d->stop();
  EXPECT_LE(notes.count, 1);
}

enum class Then { kKeepOpen, kClose, kReset };

struct EndCase {
  const char* name;
  std::string afterPlay;  // what the server sends after the PLAY reply
  int refuseAt;           // receiver call answered with false
  int throwAt;            // receiver call that throws
  Then then;              // what the server does next
  std::size_t delivered;  // packets delivered before the end
};

TEST(ReceiveThread, EndsOnFailureWithConnectionShutAndOneCallback) {
  const std::string a = frame('$', 0, "A"), b = frame('$', 0, "B"), c = frame('$', 0, "C");
  const EndCase cases[] = {
      {"bad magic", a + "RTSP/1.0 200 OK\r\n\r\n" + b, -1, -1, Then::kKeepOpen, 1},
      {"receiver refuses", a + b + c, 2, -1, Then::kKeepOpen, 2},
      {"receiver throws", a + b + c, -1, 2, Then::kKeepOpen, 2},
      {"payload cut by close", a + std::string("$\0\0\x64", 4) + "0123456789", -1, -1, Then::kClose,
       1},
      {"header cut by close", a + "$", -1, -1, Then::kClose, 1},
      {"reset", a, -1, -1, Then::kReset, 1},
  };
  for (const EndCase& e : cases) {
    SCOPED_TRACE(e.name);
    ScriptServer server;
    const unsigned port = server.port();
    ScriptServer::Script& s = scriptHandshake(server.connection(), port).send(e.afterPlay);
    if (e.then == Then::kReset) s.pause(100).reset();
    if (e.then == Then::kClose) s.close();
    server.start();
    auto log = std::make_shared<ReceiverLog>();
    log->refuseAt = e.refuseAt;
    log->throwAt = e.throwAt;
    Notifications notes;
    auto d = makeSession(port, log, &notes);
    CRTSPDownloadTestPeer peer(*d);
    CoutCapture out;
    ASSERT_TRUE(d->startRTSPDownload(false, false));
    ASSERT_TRUE(notes.waitCount(1));
    // The thread ended the connection without waiting for stop(): the
    // server's read ends, and no TEARDOWN came from the thread.
    ASSERT_TRUE(server.waitDone(5000));
    EXPECT_EQ(server.received(0).find("TEARDOWN"), std::string::npos);
    EXPECT_EQ(log->snapshot().size(), 1 + e.delivered);
    EXPECT_TRUE(d->isRunning());
    EXPECT_TRUE(peer.streamOpen());  // released by stop() only
    EXPECT_FALSE(d->startRTSPDownload(false, false));
    EXPECT_TRUE(d->stop());
    EXPECT_FALSE(peer.streamOpen());
    EXPECT_EQ(notes.count, 1);
  }
}

TEST(ReceiveThread, CallbackRunsOncePerSessionObject) {
  ScriptServer server;
  const unsigned port = server.port();
  for (int i = 0; i < 2; ++i) scriptHandshake(server.connection(), port).send("bad").close();
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  Notifications notes;
  auto d = makeSession(port, log, &notes);
  CRTSPDownloadTestPeer peer(*d);
  CoutCapture out;
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  ASSERT_TRUE(notes.waitCount(1));
  d->stop();
  ASSERT_TRUE(d->startRTSPDownload(false, false));
  ASSERT_TRUE(server.waitDone(5000));  // the second thread has failed too
  d->stop();
  EXPECT_EQ(notes.count, 1);
  EXPECT_EQ(server.errors(), std::vector<std::string>{});
}

}  // namespace
