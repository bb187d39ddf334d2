// The messages of a session: request texts built from its values, replies
// read from the control connection (lines, status codes and their messages,
// the CSeq, Session and Content-Length headers), and the DESCRIBE body (how
// it is read, cut into lines and echoed, and how "config=" becomes the
// stream file header).
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>

#include "session/session_internal.h"
#include "support/session_support.h"

namespace {

using rtsptest::CoutCapture;
using rtsptest::ScriptServer;

std::string header(const SDP& sdp) { return std::string(sdp.file_header, sdp.file_header_len); }

TEST(Requests, UrlCarriesFullPortAndUnescapedPath) {
  CRTSPDownload d;
  d.initInfo("cam.example", 4294967295u, "/a b", 0, ACE_Time_Value::zero, 0);
  const std::string line = "DESCRIBE Rtsp://cam.example:4294967295//a b RTSP/1.0\r\n";
  EXPECT_EQ(CRTSPDownloadTestPeer(d).makeDescribe().substr(0, line.size()), line);
}

// The SETUP request built from a description: its target (nullptr when none
// can be built) and transport profile.
TEST(Requests, VideoSetupFromDescription) {
  const std::string m = "m=video 0 RTP/AVP 96\r\n", ctl = "a=control:trackID=1\r\n";
  const struct {
    const char* name;
    std::string description;
    const char* target;
    const char* profile;
  } cases[] = {
      // clang-format off
      {"relative", "v=0\r\n" + m + ctl, "Rtsp://H:554/live/trackID=1", "RTP/AVP"},
      {"absolute", m + "a=control:rtsp://H/live/trackID=1\r\n", "rtsp://H/live/trackID=1",
       "RTP/AVP"},
      {"capital scheme is relative", m + "a=control:RTSP://H/x\r\n", "Rtsp://H:554/live/RTSP://H/x",
       "RTP/AVP"},
      {"rtsp anywhere is absolute", m + "a=control:trackID=rtsp1\r\n", "trackID=rtsp1", "RTP/AVP"},
      {"trimmed control and profile", "m=video 0 RTP/SAVP 96 \t \r\na=control: \ttrackID=1 \r\n",
       "Rtsp://H:554/live/trackID=1", "RTP/SAVP"},
      {"control of a later section", m + "m=audio 0 RTP/AVP 0\r\na=control:trackID=2\r\n",
       "Rtsp://H:554/live/trackID=2", "RTP/AVP"},
      {"two payload types", "m=video 0 RTP/AVP 96 97\r\n" + ctl, nullptr, nullptr},
      {"double space", "m=video 0  RTP/AVP 96\r\n" + ctl, nullptr, nullptr},
      {"tab separated", "m=video 0\tRTP/AVP 96\r\n" + ctl, nullptr, nullptr},
      {"second video line not tried", "m=video 0 RTP/AVP 96 97\r\n" + m + ctl, nullptr, nullptr},
      {"session-level control only", "a=control:*\r\n" + m, nullptr, nullptr},
      {"no video", "m=audio 0 RTP/AVP 0\r\n" + ctl, nullptr, nullptr},
      {"empty description", "", nullptr, nullptr},
      // clang-format on
  };
  CRTSPDownload d;
  d.initInfo("H", 554, "live", 0, ACE_Time_Value::zero, 0);
  CRTSPDownloadTestPeer peer(d);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    peer.sdp().lines.clear();
    for (std::size_t at = 0; at < c.description.size();) {
      const std::size_t end = c.description.find("\r\n", at) + 2;
      peer.sdp().lines.push_back(c.description.substr(at, end - at));
      at = end;
    }
    peer.cseq() = 8;
    std::string request = "untouched";
    ASSERT_EQ(peer.makeVideoSetup(request), c.target != nullptr);
    EXPECT_EQ(request, c.target == nullptr ? "untouched"
                                           : "SETUP " + std::string(c.target) +
                                                 " RTSP/1.0\r\nCSeq: 8\r\nTransport: " + c.profile +
                                                 "/TCP;unicast;interleaved=0-1\r\n\r\n");
  }
}

// A session connected straight to a scripted server; each test scripts
// `server.connection()` before connect(). Receive timeouts are 1 s.
class Connected : public ::testing::Test {
 protected:
  void connect(unsigned portOffset = 0) {
    server.start();
    d.initInfo("127.0.0.1", server.port() + portOffset, "live", 0, ACE_Time_Value(2, 0), 0);
    peer.setTimeouts(1, 1);
    ASSERT_TRUE(peer.connect());
  }
  void TearDown() override { peer.close(); }

  CoutCapture quiet;  // keeps the echo out of the test log
  ScriptServer server;
  CRTSPDownload d;
  CRTSPDownloadTestPeer peer{d};
};

using Replies = Connected;

TEST_F(Replies, LinesEndAtCrLfOnlyAndReadNothingAhead) {
  server.connection().send("RTSP/1.0 200 OK\r\nabc\ndef\rg\r\n\r\nBODY");
  connect(65536);  // port values above 65535 connect to their low 16 bits
  EXPECT_EQ(peer.getLine(), "RTSP/1.0 200 OK\r\n");
  EXPECT_EQ(peer.getLine(), "abc\ndef\rg\r\n");
  EXPECT_EQ(peer.getLine(), "\r\n");
  char rest[8] = {};
  EXPECT_EQ(::recv(peer.handle(), rest, sizeof rest, 0), 4);
  EXPECT_STREQ(rest, "BODY");
  int size = 0;
  socklen_t len = sizeof size;
  ASSERT_EQ(::getsockopt(peer.handle(), SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
  EXPECT_EQ(size, 2 * 32768);  // the kernel reports twice the value set
}

TEST_F(Replies, StatusCodesAndTheirMessages) {
  const struct {
    const char* statusLine;
    const char* message;
    bool flushed;  // the message ends with std::endl
  } cases[] = {
      {"RTSP/1.0 200 OK\r\n", "", false},
      {"RTSP/1.0 250 Low\r\n", "Low on Storage Space!\n", true},
      {"RTSP/1.0 300 Multiple\r\n", "Multiple Choices!\n\n", true},
      {"RTSP/1.0 400 x\r\n", "Bad Request!\n", false},
      {"RTSP/1.0 401 x\r\n", "Unauthorized!\n", false},
      {"RTSP/1.0 404 x\r\n", "Not Found!\n", false},
      {"RTSP/1.0 405 x\r\n", "Method Not Allowed!\n", false},
      {"RTSP/1.0 408 x\r\n", "Request Time-out!\n", false},
      {"RTSP/1.0 412 x\r\n", "Precondition Failed!\n", false},
      {"RTSP/1.0 413 x\r\n", "Request Entity Too Large!\n", false},
      {"RTSP/1.0 414 x\r\n", "Request URL Too Large!\n", false},
      {"RTSP/1.0 415 x\r\n", "Unsupport Media Type!\n", false},
      {"RTSP/1.0 451 x\r\n", "Parameter Not Understand!\n", false},
      {"RTSP/1.0 453 x\r\n", "Not Enough Bandwidth!\n", false},
      {"RTSP/1.0   454x\r\n", "Session Not Found!\n", false},
      {"RTSP/1.0 457 x\r\n", "Invalid Range!\n", false},
      {"RTSP/1.0 458 x\r\n", "Parameter Is Read-Only!\n", false},
      {"RTSP/1.0 461 x\r\n", "Unsupported transport!\n", false},
      {"RTSP/1.0 500 x\r\n", "Internal Server Error!\n", false},
      {"RTSP/1.0 505 x\r\n", "RTSP Version not supported!\n", false},
      {"RTSP/1.0 551 x\r\n", "Option not supported!\n", false},
      {"RTSP/1.0 302 Found\r\n", "Get an Error code!\n", true},
      {"RTSP/1.1 200 OK\r\n", "Get an Error code!\n", true},
      {"RTSP/1.0\r\n", "Get an Error code!\n", true},
      {"RTSP/1.0 -200 x\r\n", "Get an Error code!\n", true},
      {"RTSP/1.0 99999999999999999999\r\n", "Get an Error code!\n", true},  // atoi gives -1
      {"\r\n", "Get an Error code!\n", true},  // a reply that starts with its empty line
  };
  std::string all;
  for (const auto& c : cases) all += std::string(c.statusLine) + "Location: x\r\n\r\n";
  server.connection().send(all);
  connect();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.statusLine);
    const unsigned cseq = peer.cseq();
    CoutCapture out;
    EXPECT_EQ(peer.getReply(), std::string(c.message).empty() && !c.flushed);
    const std::string head = std::string(c.statusLine) + c.message;
    EXPECT_EQ(out.text(), head + "Location: x\r\n\r\n");
    EXPECT_EQ(out.flushes(),
              c.flushed ? std::vector<std::size_t>{head.size()} : std::vector<std::size_t>{});
    EXPECT_EQ(peer.cseq(), cseq + 1);  // every reply read to its empty line
  }
}

TEST_F(Replies, HeadersAreFoundAnywhereInTheirLine) {
  server.connection()
      .send(
          "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 4711;timeout=60\r\nContent-Length: 460\r\n\r\n"
          "RTSP/1.0 200 OK\r\nCseq: 5\r\nSession:4711 \r\nContent-Length:7\r\n\r\n"
          "RTSP/1.0 200 OK\r\nCSeq: 0\r\nSession:\r\ncontent-length: 7\r\n\r\n"
          "RTSP/1.0 454 Gone\r\nX-Note: see CSeq: 9\r\nSession: \r\nContent-Length: -3\r\n\r\n"
          "RTSP/1.0 200 OK\r\nCSeq: 20\r\nSession: 1\r\nCSeq: 7\r\nSession: x")
      .close();
  connect();
  EXPECT_TRUE(peer.getReply());
  EXPECT_EQ(peer.cseq(), 3u);
  EXPECT_EQ(peer.sessionId(), "4711;timeout=60");
  EXPECT_EQ(peer.contentLength(), 460);

  EXPECT_TRUE(peer.getReply());
  EXPECT_EQ(peer.cseq(), 6u);
  EXPECT_EQ(peer.sessionId(), "4711");
  EXPECT_EQ(peer.contentLength(), 460);  // needs its space

  EXPECT_TRUE(peer.getReply());
  EXPECT_EQ(peer.cseq(), 7u);            // CSeq: 0 keeps it
  EXPECT_EQ(peer.sessionId(), "4711");   // no value: unchanged
  EXPECT_EQ(peer.contentLength(), 460);  // small letters: not taken

  EXPECT_FALSE(peer.getReply());  // an error reply is still applied
  EXPECT_EQ(peer.cseq(), 10u);
  EXPECT_EQ(peer.sessionId(), "");
  EXPECT_EQ(peer.contentLength(), -3);

  // The server stops in the middle of a header line and closes.
  CoutCapture out;
  EXPECT_FALSE(peer.getReply());
  EXPECT_EQ(peer.cseq(), 7u);  // taken, but not advanced
  EXPECT_EQ(peer.sessionId(), "1");
  EXPECT_EQ(out.text(), "RTSP/1.0 200 OK\r\nCSeq: 20\r\nSession: 1\r\nCSeq: 7\r\n");
}

// The receive timeout applies to each byte of a line, not to the reply.
TEST_F(Replies, ReplyLineTimeoutIsPerByte) {
  server.connection()
      .send("RTSP/1.0 200")
      .pause(600)
      .send(" OK\r\nCSeq: 1\r\n\r\nRTSP/1.0 200 OK\r\nCSe");
  connect();
  EXPECT_TRUE(peer.getReply());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(peer.getReply());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_EQ(peer.cseq(), 2u);
}

using SdpBody = Connected;

TEST_F(SdpBody, CutIntoLinesAtCarriageReturns) {
  const struct {
    const char* name;
    std::string body;
    std::vector<std::string> lines;
  } cases[] = {
      {"crlf lines", "v=0\r\no=x\r\n", {"v=0\r\n", "o=x\r\n"}},
      {"lf only", "v=0\no=x\n", {}},
      {"text after the last cr", "a\r\nb", {"a\r\n"}},
      {"blank line", "a\r\n\r\nb\r\n", {"a\r\n", "\r\n", "b\r\n"}},
      {"cr without lf", "x\ry\r\n", {"x\r\n", "x\ry\r\n"}},
  };
  std::string all;
  for (const auto& c : cases) all += c.body;
  server.connection().send(all);
  connect();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    peer.contentLength() = static_cast<int>(c.body.size());
    CoutCapture out;
    ASSERT_TRUE(peer.recvSDPReply());
    std::string printed;
    for (const std::string& line : c.lines) printed += line;
    EXPECT_EQ(out.text(), printed);
    EXPECT_EQ(std::vector<std::string>(peer.sdp().lines.begin(), peer.sdp().lines.end()), c.lines);
    EXPECT_EQ(peer.sdp().text, c.body + std::string(8192 - c.body.size(), '\0'));
  }
}

TEST_F(SdpBody, ConfigLinesSetTheStreamHeader) {
  const std::string body =
      "a=fmtp:96 config=000001B0F5\r\na=x CONFIG=ff\r\na=fmtp:97 xconfig=0102;a=b\r\n";
  server.connection().send(body);
  connect();
  peer.contentLength() = static_cast<int>(body.size());
  ASSERT_TRUE(peer.recvSDPReply());
  // The last config= wins; what follows the value is decoded unchecked.
  EXPECT_EQ(header(peer.sdp()), std::string("\x01\x02\xBA\xDB", 4));
}

// Content-Length 0: one receive is the body, later bytes stay on the
// connection. A closing server ends the body.
TEST_F(SdpBody, WithoutLengthOrWithAClosingServer) {
  server.connection().send("a=1\r\n").pause(300).send("b=2\r\nc=").close();
  connect();
  peer.contentLength() = 0;
  ASSERT_TRUE(peer.recvSDPReply());
  EXPECT_EQ(peer.sdp().lines, std::list<std::string>{"a=1\r\n"});
  peer.contentLength() = 100;
  ASSERT_TRUE(peer.recvSDPReply());
  EXPECT_EQ(peer.sdp().lines, std::list<std::string>{"b=2\r\n"});
  EXPECT_EQ(peer.sdp().text.size(), 8192u);
}

// A body over 8192 bytes keeps its start and is read whole, so the next
// reply is read in step.
TEST_F(SdpBody, LongBodyKeepsItsStartAndStaysInStep) {
  std::string body = "v=0\r\n" + std::string(8187, 'x') + "\r\nlost=1\r\n" + std::string(100, 'y');
  server.connection().send(body + "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n");
  connect();
  peer.contentLength() = static_cast<int>(body.size());
  ASSERT_TRUE(peer.recvSDPReply());
  EXPECT_EQ(peer.sdp().text, body.substr(0, 8192));
  EXPECT_EQ(peer.sdp().lines, std::list<std::string>{"v=0\r\n"});
  EXPECT_TRUE(peer.getReply());
  EXPECT_EQ(peer.cseq(), 4u);
}

TEST_F(SdpBody, NegativeLengthFailsAndReadsNothing) {
  server.connection().send("RTSP/1.0 200 OK\r\n");
  connect();
  peer.sdp().lines.push_back("old\r\n");
  peer.sdp().text = "old";
  peer.contentLength() = -5;
  CoutCapture out;
  EXPECT_FALSE(peer.recvSDPReply());
  EXPECT_TRUE(peer.sdp().lines.empty());
  EXPECT_EQ(peer.sdp().text, "old");
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(peer.getLine(), "RTSP/1.0 200 OK\r\n");
}

TEST(StreamHeader, HexValuesDecoded) {
  CRTSPDownload d;
  CRTSPDownloadTestPeer peer(d);
  const std::pair<std::string, std::string> cases[] = {
      {"000001B0F5", std::string("\x00\x00\x01\xB0\xF5", 5)},
      {"01AbFF", "\x01\xAB\xFF"},
      {"01abff", "\x01\xAB\xFF"},
      {"abc", "\xAB"},  // a last unpaired digit is dropped
      {"", ""},
      {"g0", "\x70"},  // not a hex digit: decoded as (code - '0') anyway
      {std::string(16384, 'F'), std::string(8192, '\xFF')},
      {std::string(16385, 'e'), std::string(8192, '\xEE')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.substr(0, 12));
    peer.saveFileHeader(c.first);
    EXPECT_EQ(header(peer.sdp()), c.second);
  }
  EXPECT_THROW(peer.saveFileHeader(std::string(16386, '0')), myException);
  EXPECT_EQ(header(peer.sdp()), std::string(8192, '\xEE'));  // unchanged
}

}  // namespace
