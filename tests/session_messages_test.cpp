// Replies read from the control connection (status codes and their messages,
// the CSeq, Session and Content-Length headers) and the DESCRIBE body (cut
// into lines, echoed, and "config=" decoded into the stream header).
#include <gtest/gtest.h>

#include "session/session_internal.h"
#include "support/session_support.h"

namespace {

using rtsptest::CoutCapture;
using rtsptest::ScriptServer;

// A session connected to a scripted server that sends `bytes`, then closes.
class Connected : public ::testing::Test {
 protected:
  void connect(const std::string& bytes) {
    server.connection().send(bytes).close();
    server.start();
    d.initInfo("127.0.0.1", server.port(), "live", 0, ACE_Time_Value(2, 0), 0);
    peer.setTimeouts(1, 1);
    ASSERT_TRUE(peer.connect());
  }
  void TearDown() override { peer.close(); }

  CoutCapture quiet;
  ScriptServer server;
  CRTSPDownload d;
  CRTSPDownloadTestPeer peer{d};
};

// Read in order on one connection: Session and Content-Length carry over.
TEST_F(Connected, RepliesStatusesAndHeaders) {
  const struct {
    const char* text;  // the whole reply
    const char* message;
    bool flushed;  // the message ends with std::endl
    unsigned cseq;
    const char* session;  // nullptr: not looked at
    int length;
  } cases[] = {
      {"RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 4711;timeout=60\r\nContent-Length: 460\r\n\r\n", "",
       false, 3, "4711;timeout=60", 460},
      {"RTSP/1.0 200 OK\r\nCseq: 5\r\nSession:4711 \r\nContent-Length:7\r\n\r\n", "", false, 6,
       "4711", 460},  // Content-Length needs its space
      {"RTSP/1.0 200 OK\r\nCSeq: 0\r\nSession:\r\ncontent-length: 7\r\n\r\n", "", false, 7, "4711",
       460},  // CSeq 0 only counts on; empty Session and small letters are not taken
      {"RTSP/1.0 454 Gone\r\nX-Note: see CSeq: 9\r\nSession: \r\nContent-Length: -3\r\n\r\n",
       "Session Not Found!\n", false, 10, "", -3},
      {"RTSP/1.0 250 Low\r\n\r\n", "Low on Storage Space!\n", true, 11, nullptr, -3},
      {"RTSP/1.0 300 Multiple\r\n\r\n", "Multiple Choices!\n\n", true, 12, nullptr, -3},
      {"RTSP/1.0 400 x\r\n\r\n", "Bad Request!\n", false, 13, nullptr, -3},
      {"RTSP/1.0 401 x\r\n\r\n", "Unauthorized!\n", false, 14, nullptr, -3},
      {"RTSP/1.0 404 x\r\n\r\n", "Not Found!\n", false, 15, nullptr, -3},
      {"RTSP/1.0 405 x\r\n\r\n", "Method Not Allowed!\n", false, 16, nullptr, -3},
      {"RTSP/1.0 408 x\r\n\r\n", "Request Time-out!\n", false, 17, nullptr, -3},
      {"RTSP/1.0 412 x\r\n\r\n", "Precondition Failed!\n", false, 18, nullptr, -3},
      {"RTSP/1.0 413 x\r\n\r\n", "Request Entity Too Large!\n", false, 19, nullptr, -3},
      {"RTSP/1.0 414 x\r\n\r\n", "Request URL Too Large!\n", false, 20, nullptr, -3},
      {"RTSP/1.0 415 x\r\n\r\n", "Unsupport Media Type!\n", false, 21, nullptr, -3},
      {"RTSP/1.0 451 x\r\n\r\n", "Parameter Not Understand!\n", false, 22, nullptr, -3},
      {"RTSP/1.0 453 x\r\n\r\n", "Not Enough Bandwidth!\n", false, 23, nullptr, -3},
      {"RTSP/1.0   454x\r\n\r\n", "Session Not Found!\n", false, 24, nullptr, -3},
      {"RTSP/1.0 457 x\r\n\r\n", "Invalid Range!\n", false, 25, nullptr, -3},
      {"RTSP/1.0 458 x\r\n\r\n", "Parameter Is Read-Only!\n", false, 26, nullptr, -3},
      {"RTSP/1.0 461 x\r\n\r\n", "Unsupported transport!\n", false, 27, nullptr, -3},
      {"RTSP/1.0 500 x\r\n\r\n", "Internal Server Error!\n", false, 28, nullptr, -3},
      {"RTSP/1.0 505 x\r\n\r\n", "RTSP Version not supported!\n", false, 29, nullptr, -3},
      {"RTSP/1.0 551 x\r\n\r\n", "Option not supported!\n", false, 30, nullptr, -3},
      {"RTSP/1.0 302 Found\r\n\r\n", "Get an Error code!\n", true, 31, nullptr, -3},
      {"RTSP/1.1 200 OK\r\n\r\n", "Get an Error code!\n", true, 32, nullptr, -3},
      {"RTSP/1.0 -200 x\r\n\r\n", "Get an Error code!\n", true, 33, nullptr, -3},
      {"RTSP/1.0 99999999999999999999\r\n\r\n", "Get an Error code!\n", true, 34, nullptr, -3},
      {"\r\nX: y\r\n\r\n", "Get an Error code!\n", true, 35, nullptr, -3},
      // The server stops inside a header line and closes: CSeq taken, not advanced.
      {"RTSP/1.0 200 OK\r\nCSeq: 20\r\nSession: 1\r\nCSeq: 7\r\nSession: x", "", true, 7, "1", -3},
  };
  std::string all;
  for (const auto& c : cases) all += c.text;
  connect(all);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CoutCapture out;
    const std::string text = c.text;
    const bool cut = text.find("\r\n\r\n") == std::string::npos;
    EXPECT_EQ(peer.getReply(), *c.message == '\0' && !c.flushed);
    const std::size_t firstLine = text.find("\r\n") + 2;
    const std::string head = text.substr(0, firstLine) + c.message;
    EXPECT_EQ(out.text(),
              cut ? text.substr(0, text.rfind("\r\n") + 2) : head + text.substr(firstLine));
    if (!cut) {
      EXPECT_EQ(out.flushes(),
                c.flushed ? std::vector<std::size_t>{head.size()} : std::vector<std::size_t>{});
    }
    EXPECT_EQ(peer.cseq(), c.cseq);
    if (c.session != nullptr) {
      EXPECT_EQ(peer.sessionId(), c.session);
    }
    EXPECT_EQ(peer.contentLength(), c.length);
  }
}

// Bodies read in order: lines end at each CR (a lone CR included), the last
// "config=" wins and its value is decoded as pairs of hex digits, unchecked.
TEST_F(Connected, SdpLinesAndStreamHeader) {
  const struct {
    std::string body;
    std::vector<std::string> lines;
    const char* header;  // nullptr: unchanged
    std::size_t headerLen;
  } cases[] = {
      {"v=0\r\no=x\r\n", {"v=0\r\n", "o=x\r\n"}, nullptr, 0},
      {"v=0\no=x\n", {}, nullptr, 0},
      {"a\r\nb", {"a\r\n"}, nullptr, 0},
      {"a\r\n\r\nb\r\n", {"a\r\n", "\r\n", "b\r\n"}, nullptr, 0},
      {"x\ry\r\n", {"x\r\n", "x\ry\r\n"}, nullptr, 0},
      {"a=fmtp:96 config=000001B0F5\r\n",
       {"a=fmtp:96 config=000001B0F5\r\n"},
       "\x00\x00\x01\xB0\xF5",
       5},
      {"c=1 config=01AbFF\r\nc=2 CONFIG=ff\r\n",
       {"c=1 config=01AbFF\r\n", "c=2 CONFIG=ff\r\n"},
       "\x01\xAB\xFF",
       3},
      {"c=1 config=01\r\nc=2 xconfig=0102;a=b\r\n",
       {"c=1 config=01\r\n", "c=2 xconfig=0102;a=b\r\n"},
       "\x01\x02\xBA\xDB",
       4},
      {"c=abc config=abc\r\n", {"c=abc config=abc\r\n"}, "\xAB", 1},  // last digit unpaired
      {"c=g0 config=g0\r\n", {"c=g0 config=g0\r\n"}, "\x70", 1},      // (code - '0') anyway
  };
  std::string all;
  for (const auto& c : cases) all += c.body;
  connect(all);
  std::string header;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    peer.contentLength() = static_cast<int>(c.body.size());
    CoutCapture out;
    ASSERT_TRUE(peer.recvSDPReply());
    std::string printed;
    for (const std::string& line : c.lines) printed += line;
    EXPECT_EQ(out.text(), printed);
    EXPECT_EQ(std::vector<std::string>(peer.sdp().lines.begin(), peer.sdp().lines.end()), c.lines);
    EXPECT_EQ(peer.sdp().text, c.body + std::string(8192 - c.body.size(), '\0'));
    if (c.header != nullptr) header.assign(c.header, c.headerLen);
    EXPECT_EQ(std::string(peer.sdp().file_header, peer.sdp().file_header_len), header);
  }
}

}  // namespace
