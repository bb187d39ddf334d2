// Reading replies from the control connection: lines, status codes and their
// messages, and the CSeq, Session and Content-Length headers.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "support/session_support.h"

namespace {

using rtsptest::CoutCapture;
using rtsptest::ScriptServer;

// A session connected to a server that sends `bytes` and then keeps the
// connection open until the session closes it, or closes it itself.
class Replies : public ::testing::Test {
 protected:
  void connectTo(const std::string& bytes, unsigned portOffset = 0, bool closeAfter = false) {
    ScriptServer::Script& script = server_.connection().send(bytes);
    if (closeAfter) script.close();
    server_.start();
    d_.initInfo("127.0.0.1", server_.port() + portOffset, "live", 0, ACE_Time_Value(2, 0), 0);
    peer_.setTimeouts(2, 1);
    ASSERT_TRUE(peer_.connect());
  }
  void TearDown() override { peer_.close(); }

  CoutCapture quiet_;  // keeps the echo out of the test log
  ScriptServer server_;
  CRTSPDownload d_;
  CRTSPDownloadTestPeer peer_{d_};
};

TEST_F(Replies, LinesEndAtCrLfOnlyAndReadNothingAhead) {
  // Port values above 65535 connect to their low 16 bits.
  connectTo("RTSP/1.0 200 OK\r\nabc\ndef\rg\r\n\r\nBODY", 65536);
  EXPECT_EQ(peer_.getLine(), "RTSP/1.0 200 OK\r\n");
  EXPECT_EQ(peer_.getLine(), "abc\ndef\rg\r\n");
  EXPECT_EQ(peer_.getLine(), "\r\n");
  char rest[8] = {};
  EXPECT_EQ(::recv(peer_.handle(), rest, sizeof rest, 0), 4);
  EXPECT_STREQ(rest, "BODY");
  int size = 0;
  socklen_t len = sizeof size;
  ASSERT_EQ(::getsockopt(peer_.handle(), SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
  EXPECT_EQ(size, 2 * 32768);  // the kernel reports twice the value set
}

struct StatusCase {
  const char* statusLine;
  const char* message;
  bool flushed;  // the message ends with std::endl
};

TEST_F(Replies, StatusCodesAndTheirMessages) {
  const StatusCase cases[] = {
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
      {"RTSP/1.0 454 x\r\n", "Session Not Found!\n", false},
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
      {"\r\n", "Get an Error code!\n", true},  // a reply that starts with its empty line
  };
  std::string all;
  for (const StatusCase& c : cases) all += std::string(c.statusLine) + "Location: x\r\n\r\n";
  connectTo(all);
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.statusLine);
    const unsigned cseq = peer_.cseq();
    CoutCapture out;
    EXPECT_EQ(peer_.getReply(), std::string(c.message).empty() && c.flushed == false);
    const std::string head = std::string(c.statusLine) + c.message;
    EXPECT_EQ(out.text(), head + "Location: x\r\n\r\n");
    EXPECT_EQ(out.flushes(),
              c.flushed ? std::vector<std::size_t>{head.size()} : std::vector<std::size_t>{});
    EXPECT_EQ(peer_.cseq(), cseq + 1);  // every reply read to its empty line
  }
}

TEST_F(Replies, HeadersAreFoundAnywhereInTheirLine) {
  connectTo(
      "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 4711;timeout=60\r\nContent-Length: 460\r\n\r\n"
      "RTSP/1.0 200 OK\r\nCseq: 5\r\nSession:4711 \r\nContent-Length:7\r\n\r\n"
      "RTSP/1.0 200 OK\r\nCSeq: 0\r\nSession:\r\ncontent-length: 7\r\n\r\n"
      "RTSP/1.0 454 Gone\r\nX-Note: see CSeq: 9\r\nSession: \r\nContent-Length: -3\r\n\r\n"
      "RTSP/1.0 200 OK\r\nCSeq: 20\r\nSession: 1\r\nCSeq: 7\r\nSession: x",
      0, true);
  EXPECT_TRUE(peer_.getReply());
  EXPECT_EQ(peer_.cseq(), 3u);
  EXPECT_EQ(peer_.sessionId(), "4711;timeout=60");
  EXPECT_EQ(peer_.contentLength(), 460);

  EXPECT_TRUE(peer_.getReply());
  EXPECT_EQ(peer_.cseq(), 6u);
  EXPECT_EQ(peer_.sessionId(), "4711");
  EXPECT_EQ(peer_.contentLength(), 460);  // needs its space

  EXPECT_TRUE(peer_.getReply());
  EXPECT_EQ(peer_.cseq(), 7u);            // CSeq: 0 keeps it
  EXPECT_EQ(peer_.sessionId(), "4711");   // no value: unchanged
  EXPECT_EQ(peer_.contentLength(), 460);  // small letters: not taken

  EXPECT_FALSE(peer_.getReply());  // an error reply is still applied
  EXPECT_EQ(peer_.cseq(), 10u);
  EXPECT_EQ(peer_.sessionId(), "");
  EXPECT_EQ(peer_.contentLength(), -3);

  // The server stops in the middle of a header line and closes.
  CoutCapture out;
  EXPECT_FALSE(peer_.getReply());
  EXPECT_EQ(peer_.cseq(), 7u);  // taken, but not advanced
  EXPECT_EQ(peer_.sessionId(), "1");
  EXPECT_EQ(out.text(), "RTSP/1.0 200 OK\r\nCSeq: 20\r\nSession: 1\r\nCSeq: 7\r\n");
}

TEST(ReplyValues, SearchTagAndReplyCode) {
  CRTSPDownload d;
  CRTSPDownloadTestPeer peer(d);
  EXPECT_EQ(peer.searchTag("Session: 1\r\n", "Session:"), " 1");
  EXPECT_EQ(peer.searchTag("X Session:1;a\r\n", "Session:"), "1;a");
  EXPECT_EQ(peer.searchTag("Session:\r\n", "Session:"), "");
  EXPECT_EQ(peer.searchTag("Session:1", "Session:"), "");  // nothing before the last two
  EXPECT_EQ(peer.searchTag("CSeq: 1\r\n", "Session:"), "");
  EXPECT_EQ(peer.getReplyCode("RTSP/1.0 200 OK\r\n"), 200);
  EXPECT_EQ(peer.getReplyCode("RTSP/1.0   454x\r\n"), 454);
  EXPECT_EQ(peer.getReplyCode("RTSP/1.0 OK\r\n"), 0);
  EXPECT_EQ(peer.getReplyCode("RTSP/1.0 99999999999999999999\r\n"), -1);  // as the C library's atoi
  EXPECT_EQ(peer.getReplyCode("RTSP/1.1 200 OK\r\n"), 0);
}

}  // namespace
