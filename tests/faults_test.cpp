// Fault injection against a whole session over loopback: a server that
// breaks the connection off after every byte of a complete conversation, one
// that resets it, one that stalls at every step, one that speaks RTSP inside
// the interleaved stream, and a few hostile replies. Whatever happens, the
// host sees either a false start or the end of the receive thread, with
// exactly one callback; stop() returns promptly; and every descriptor the
// case opened is closed again.
#include <dirent.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/session_support.h"

namespace {

using namespace rtsptest;
using Clock = std::chrono::steady_clock;

// Number of descriptors open in this process.
int openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string pattern(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 13 + seed);
  return out;
}

// One request of the client and the server's whole answer to it.
struct Exchange {
  std::string request;
  std::string answer;
};

// The server's side of a complete handshake. Without `withLength` the
// DESCRIBE reply carries no Content-Length and the body is whatever one
// receive finds.
std::vector<Exchange> handshake(unsigned port, bool withLength) {
  std::vector<std::string> describeHeaders = {"Content-Type: application/sdp"};
  if (withLength) describeHeaders.push_back("Content-Length: " + std::to_string(kSdp.size()));
  return {
      {optionsRequest(port), reply(200, "OK", 1, {"Public: DESCRIBE, SETUP, PLAY, TEARDOWN"})},
      {describeRequest(port, 2), reply(200, "OK", 2, describeHeaders, kSdp)},
      {setupRequest(url(port) + "/trackID=1", 3),
       reply(200, "OK", 3, {"Session: 4711;timeout=60"})},
      {playRequest(port, 4, "4711;timeout=60"), reply(200, "OK", 4, {"Session: 4711;timeout=60"})},
  };
}

// What the server streams after PLAY: data frames on both channels, an
// empty one, a dropped "%" frame and a large one.
std::vector<std::string> streamFrames() {
  return {frame('$', 0, pattern(40, 1)), frame('%', 1, pattern(8, 2)), frame('$', 1, ""),
          frame('$', 0, pattern(300, 3)), frame('$', 0, pattern(12, 4))};
}

// Frames of `frames` that lie wholly within the first `bytes` bytes and are
// delivered (not "%").
std::size_t deliveredWithin(const std::vector<std::string>& frames, std::size_t bytes) {
  std::size_t delivered = 0;
  for (const std::string& f : frames) {
    if (f.size() > bytes) break;
    bytes -= f.size();
    if (f[0] == '$') ++delivered;
  }
  return delivered;
}

struct Outcome {
  bool started = false;
  int callbacks = 0;
  std::size_t headerCalls = 0;
  std::size_t packetCalls = 0;
  double startSeconds = 0;
  double stopSeconds = 0;
  bool threadEnded = false;  // the callback came before stop() was called
  std::vector<std::string> serverErrors;
};

// Runs one session against `server` (already scripted, not started): start,
// wait (bounded) for the thread to end with its callback when the start
// succeeded, `whileRunning` for the test to steer the server, then stop and
// destroy. Receive and body timeouts are 1 s.
Outcome runSession(ScriptServer& server, const std::function<void(ReceiverLog&)>& whileRunning =
                                             std::function<void(ReceiverLog&)>()) {
  Outcome out;
  server.start();
  auto log = std::make_shared<ReceiverLog>();
  Notifications notes;
  {
    auto d = makeSession(server.port(), log, &notes);
    CRTSPDownloadTestPeer(*d).setTimeouts(1, 1);
    CoutCapture quiet;
    const Clock::time_point startAt = Clock::now();
    out.started = d->startRTSPDownload(false, false);
    out.startSeconds = secondsSince(startAt);
    if (out.started) {
      if (whileRunning) whileRunning(*log);
      out.threadEnded = notes.waitCount(1, 5000);
    }
    const Clock::time_point stopAt = Clock::now();
    d->stop();
    out.stopSeconds = secondsSince(stopAt);
  }
  out.callbacks = notes.count;
  for (const ReceiverLog::Call& call : log->snapshot()) {
    if (call.isFileHeader) {
      ++out.headerCalls;
    } else {
      ++out.packetCalls;
    }
  }
  out.serverErrors = server.errors();
  return out;
}

// The outcome every failed handshake must have.
void expectFailedStart(const Outcome& o) {
  EXPECT_FALSE(o.started);
  EXPECT_EQ(o.callbacks, 1);
  EXPECT_EQ(o.headerCalls, 0u);
  EXPECT_EQ(o.packetCalls, 0u);
  EXPECT_LT(o.stopSeconds, 1.0);
}

// The outcome every stream that the server breaks must have: the thread
// ended by itself, with one callback, after `packets` deliveries.
void expectEndedStream(const Outcome& o, std::size_t packets) {
  EXPECT_TRUE(o.started);
  EXPECT_TRUE(o.threadEnded);
  EXPECT_EQ(o.callbacks, 1);
  EXPECT_EQ(o.headerCalls, 1u);
  EXPECT_EQ(o.packetCalls, packets);
  EXPECT_LT(o.stopSeconds, 1.0);
}

// The conversation is cut after every byte offset: the server sends that
// prefix of everything it would say (waiting for each request as usual) and
// closes.
void cutAfterEveryByte(bool withLength) {
  // The answers do not depend on the port; only the requests name it.
  const std::vector<Exchange> probeExchanges = handshake(0, withLength);
  std::size_t handshakeBytes = 0;
  for (const Exchange& e : probeExchanges) handshakeBytes += e.answer.size();
  const std::vector<std::string> frames = streamFrames();
  std::size_t streamBytes = 0;
  for (const std::string& f : frames) streamBytes += f.size();

  const int descriptorsBefore = openDescriptors();
  for (std::size_t cut = 0; cut <= handshakeBytes + streamBytes; ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
    Outcome o;
    {
      ScriptServer server;
      const std::vector<Exchange> exchanges = handshake(server.port(), withLength);
      ScriptServer::Script& s = server.connection();
      std::size_t left = cut;
      for (const Exchange& e : exchanges) {
        if (left == 0) break;
        s.expect(e.request).send(e.answer.substr(0, left));
        left -= std::min(left, e.answer.size());
      }
      for (const std::string& f : frames) {
        if (left == 0) break;
        s.send(f.substr(0, left));
        left -= std::min(left, f.size());
      }
      s.close();
      o = runSession(server);
    }
    if (cut < handshakeBytes) {
      expectFailedStart(o);
    } else {
      expectEndedStream(o, deliveredWithin(frames, cut - handshakeBytes));
    }
    EXPECT_EQ(o.serverErrors, std::vector<std::string>{});
    ASSERT_EQ(openDescriptors(), descriptorsBefore);
    if (::testing::Test::HasFailure()) break;  // one broken offset is enough to read
  }
}

TEST(Faults, CutAfterEveryByteWithContentLength) { cutAfterEveryByte(true); }

TEST(Faults, CutAfterEveryByteWithoutContentLength) { cutAfterEveryByte(false); }

// Resets (SO_LINGER 0) at three places. Packets sent before the reset are
// seen by the receiver first, so none of them can be lost with the reset.
struct ResetCase {
  const char* name;
  bool inHandshake;
  std::string partial;  // sent just before the reset
};

TEST(Faults, ResetInsideTheHandshakeAFrameHeaderAndAPayload) {
  const std::string data = frame('$', 0, pattern(200, 5));
  const ResetCase cases[] = {
      {"inside the DESCRIBE reply", true, ""},
      {"inside a frame header", false, data.substr(0, 2)},
      {"inside a payload", false, data.substr(0, 50)},
  };
  for (const ResetCase& c : cases) {
    SCOPED_TRACE(c.name);
    const int descriptorsBefore = openDescriptors();
    Outcome o;
    {
      ScriptServer server;
      const std::vector<Exchange> ex = handshake(server.port(), true);
      ScriptServer::Script& s = server.connection();
      if (c.inHandshake) {
        s.expect(ex[0].request).send(ex[0].answer).expect(ex[1].request);
        s.send(ex[1].answer.substr(0, ex[1].answer.size() - 40)).pause(50).reset();
      } else {
        for (const Exchange& e : ex) s.expect(e.request).send(e.answer);
        s.send(data).hold().send(c.partial).pause(50).reset();
      }
      o = runSession(server, [&server](ReceiverLog& log) {
        log.waitCalls(2);  // the header and the whole frame
        server.release();
      });
    }
    if (c.inHandshake) {
      expectFailedStart(o);
    } else {
      expectEndedStream(o, 1);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
  }
}

// stop() while the receive thread waits in the middle of a frame: the read is
// woken at once, the thread ends through its failure path (the one callback)
// and is joined.
TEST(Faults, StopWhileTheThreadWaitsInsideAFrame) {
  const std::string data = frame('$', 0, pattern(200, 12));
  const struct {
    const char* name;
    std::string partial;
  } cases[] = {{"inside a frame header", data.substr(0, 3)},
               {"inside a payload", data.substr(0, 100)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int descriptorsBefore = openDescriptors();
    {
      ScriptServer server;
      ScriptServer::Script& s = server.connection();
      for (const Exchange& e : handshake(server.port(), true)) s.expect(e.request).send(e.answer);
      s.send(data + c.partial).hold();
      server.start();
      auto log = std::make_shared<ReceiverLog>();
      Notifications notes;
      auto d = makeSession(server.port(), log, &notes);
      CoutCapture quiet;
      ASSERT_TRUE(d->startRTSPDownload(false, false));
      ASSERT_TRUE(log->waitCalls(2));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(notes.count, 0);
      const Clock::time_point stopAt = Clock::now();
      EXPECT_TRUE(d->stop());
      EXPECT_LT(secondsSince(stopAt), 1.0);
      EXPECT_EQ(notes.count, 1);
      EXPECT_EQ(log->snapshot().size(), 2u);
      server.release();
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
  }
}

// A server that falls silent at one step, longer than the 1 s receive
// timeout of the case.
struct StallCase {
  const char* name;
  int exchangesDone;    // whole exchanges before the stall
  bool withLength;      // Content-Length on the DESCRIBE reply
  long sent;            // bytes of the next answer (or of a second frame) sent;
                        // negative: all of the answer but that many
  bool inStream;        // the stall is after PLAY and one whole frame
  std::size_t packets;  // packets delivered before the stall
};

// Test listings show the case's name rather than its bytes.
void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }

std::size_t prefixLength(const std::string& text, long sent) {
  return sent >= 0 ? static_cast<std::size_t>(sent) : text.size() - static_cast<std::size_t>(-sent);
}

class Stall : public ::testing::TestWithParam<StallCase> {};

TEST_P(Stall, EndsAfterTheTimeoutWithOneCallback) {
  const StallCase& c = GetParam();
  const std::string data = frame('$', 0, pattern(100, 6));
  const int descriptorsBefore = openDescriptors();
  Outcome o;
  {
    ScriptServer server;
    const std::vector<Exchange> ex = handshake(server.port(), c.withLength);
    ScriptServer::Script& s = server.connection();
    for (std::size_t i = 0; i < static_cast<std::size_t>(c.exchangesDone); ++i) {
      s.expect(ex[i].request).send(ex[i].answer);
    }
    if (c.inStream) {
      s.send(data).send(data.substr(0, prefixLength(data, c.sent)));
    } else {
      const Exchange& next = ex[static_cast<std::size_t>(c.exchangesDone)];
      s.expect(next.request).send(next.answer.substr(0, prefixLength(next.answer, c.sent)));
    }
    // Silent for longer than the timeout; the destructor cuts the pause
    // short once the case is over.
    s.pause(8000).close();
    o = runSession(server);
  }
  if (c.inStream) {
    expectEndedStream(o, c.packets);
  } else {
    expectFailedStart(o);
    // Each step waits its own timeout, and no longer.
    EXPECT_GE(o.startSeconds, 0.9);
    EXPECT_LT(o.startSeconds, 3.0);
  }
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

const long kBody = static_cast<long>(kSdp.size());

INSTANTIATE_TEST_SUITE_P(
    Faults, Stall,
    ::testing::Values(StallCase{"BeforeOptionsReply", 0, true, 0, false, 0},
                      StallCase{"InsideOptionsStatusLine", 0, true, 11, false, 0},
                      StallCase{"InsideDescribeHeaders", 1, true, 30, false, 0},
                      StallCase{"InsideDescribeBodyWithLength", 1, true, 40 - kBody, false, 0},
                      StallCase{"BeforeDescribeBodyWithoutLength", 1, false, -kBody, false, 0},
                      StallCase{"BeforeSetupReply", 2, true, 0, false, 0},
                      StallCase{"BeforePlayReply", 3, true, 0, false, 0},
                      StallCase{"AfterAFrame", 4, true, 0, true, 1},
                      StallCase{"InsideFrameHeader", 4, true, 3, true, 1},
                      StallCase{"InsidePayload", 4, true, 60, true, 1}),
    [](const ::testing::TestParamInfo<StallCase>& param) { return std::string(param.param.name); });

// An RTSP message inside the interleaved stream is a frame with a bad magic
// byte: the thread ends there, after the frames before it.
TEST(Faults, RtspReplyInsideTheStreamEndsTheThread) {
  const std::string a = frame('$', 0, pattern(30, 7));
  const std::string b = frame('$', 1, pattern(10, 8));
  const std::string rtsp = "RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 4711\r\n\r\n";
  const struct {
    const char* name;
    std::string stream;
    std::size_t packets;
  } cases[] = {
      {"first thing after PLAY", rtsp + a, 0},
      {"between frames", a + b + rtsp + a, 2},
      {"after a dropped frame", a + frame('%', 0, "x") + rtsp + a + b, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int descriptorsBefore = openDescriptors();
    Outcome o;
    {
      ScriptServer server;
      ScriptServer::Script& s = server.connection();
      for (const Exchange& e : handshake(server.port(), true)) s.expect(e.request).send(e.answer);
      s.send(c.stream);  // then reads until the client closes
      o = runSession(server);
    }
    expectEndedStream(o, c.packets);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
  }
}

// Replies no test elsewhere sends: each must end in a clean false start.
TEST(Faults, HostileRepliesFailTheStartCleanly) {
  const std::string longHex = "a=fmtp:96 config=" + std::string(16386, 'f') + "\r\n";
  const struct {
    const char* name;
    std::string describeAnswer;  // replaces the DESCRIBE answer; then close
  } cases[] = {
      {"binary garbage", pattern(5000, 9)},
      {"status line without end", "RTSP/1.0 200 OK" + std::string(100000, 'x')},
      {"header block without end", "RTSP/1.0 200 OK\r\nCSeq: 2\r\n" + pattern(3000, 10)},
      {"huge content length", reply(200, "OK", 2, {"Content-Length: 2147483647"}, kSdp)},
      {"overflowing content length", reply(200, "OK", 2, {"Content-Length: 99999999999"}, kSdp)},
      {"negative content length", reply(200, "OK", 2, {"Content-Length: -5"}, kSdp)},
      {"stream header too long",
       reply(200, "OK", 2, {"Content-Length: " + std::to_string(longHex.size())}, longHex)},
      {"error status with body", reply(454, "Session Not Found", 2, {"Content-Length: 4"}, "abcd")},
      {"frame instead of a reply", frame('$', 0, pattern(100, 11))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int descriptorsBefore = openDescriptors();
    Outcome o;
    {
      ScriptServer server;
      const std::vector<Exchange> ex = handshake(server.port(), true);
      server.connection()
          .expect(ex[0].request)
          .send(ex[0].answer)
          .expect(ex[1].request)
          .send(c.describeAnswer)
          .close();
      o = runSession(server);
    }
    expectFailedStart(o);
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
  }
}

}  // namespace
