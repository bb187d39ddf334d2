// Replies (status, CSeq, Session, Content-Length) and DESCRIBE bodies (cut into
// lines, echoed, "config=" decoded into the stream header), each table read in
// order from one connection.
#include <gtest/gtest.h>

#include "support/session_support.h"

namespace {

using rtsptest::CoutCapture;

// A session whose control connection is one end of a socket pair; the other
// end has sent `bytes` and closed.
class Connected : public ::testing::Test {
 protected:
  void connect(const std::string& bytes) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(::send(fds[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ::close(fds[1]);
    peer.attach(fds[0]);
    peer.setTimeouts(1, 1);
  }
  void TearDown() override { peer.close(); }

  CoutCapture quiet;
  CRTSPDownload d;
  CRTSPDownloadTestPeer peer{d};
};

// Session and Content-Length carry over from reply to reply.
TEST_F(Connected, RepliesStatusesAndHeaders) {
  // clang-format off
  struct Case { const char* text; bool ok; const char* message;  // printed after the status line
                unsigned cseq; const char* session; int length; };
  const Case cases[] = {
      {"RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession: 4711;timeout=60\r\nContent-Length: 460\r\n\r\n",
       true, "", 3, "4711;timeout=60", 460},
      // Content-Length needs its space; the id is trimmed.
      {"RTSP/1.0 200 OK\r\nCseq: 5\r\nSession:4711 \r\nContent-Length:7\r\n\r\n", true, "", 6,
       "4711", 460},
      // CSeq 0 only counts on; an empty Session and small letters are not taken.
      {"RTSP/1.0 200 OK\r\nCSeq: 0\r\nSession:\r\ncontent-length: 7\r\n\r\n", true, "", 7, "4711",
       460},
      // An error reply is applied too; tags count anywhere in a line.
      {"RTSP/1.0 454 Gone\r\nX-Note: see CSeq: 9\r\nSession: \r\nContent-Length: -3\r\n\r\n",
       false, "Session Not Found!\n", 10, "", -3},
      {"RTSP/1.0   453x\r\n\r\n", false, "Not Enough Bandwidth!\n", 11, "", -3},
      {"RTSP/1.1 200 OK\r\n\r\n", false, "Get an Error code!\n", 12, "", -3},
      {"RTSP/1.0 99999999999999999999\r\n\r\n", false, "Get an Error code!\n", 13, "", -3},
      {"\r\nX: y\r\n\r\n", false, "Get an Error code!\n", 14, "", -3},
      // The server stops inside a header line and closes: CSeq taken, not advanced.
      {"RTSP/1.0 200 OK\r\nCSeq: 20\r\nSession: 1\r\nCSeq: 7\r\nSession: x", false, "", 7, "1", -3},
  };
  // clang-format on
  std::string all;
  for (const Case& c : cases) all += c.text;
  connect(all);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CoutCapture out;
    const std::string text = c.text;
    const std::size_t firstLine = text.find("\r\n") + 2;
    EXPECT_EQ(peer.getReply(), c.ok);
    EXPECT_EQ(out.text(), text.substr(0, firstLine) + c.message +
                              text.substr(firstLine, text.rfind("\r\n") + 2 - firstLine));
    EXPECT_EQ(peer.cseq(), c.cseq);
    EXPECT_EQ(peer.sessionId(), c.session);
    EXPECT_EQ(peer.contentLength(), c.length);
  }
}

// Lines end at each CR (a lone CR included); the last "config=" wins and its
// value is decoded as pairs of hex digits, unchecked.
TEST_F(Connected, SdpLinesAndStreamHeader) {
  // clang-format off
  struct Case { std::string body; std::vector<std::string> lines; std::string header; };
  const Case cases[] = {  // header "-": unchanged
      {"v=0\r\no=x\r\n", {"v=0\r\n", "o=x\r\n"}, "-"},
      {"v=0\no=x\n", {}, "-"},
      {"a\r\nb", {"a\r\n"}, "-"},
      {"a\r\n\r\nb\r\n", {"a\r\n", "\r\n", "b\r\n"}, "-"},
      {"x\ry\r\n", {"x\r\n", "x\ry\r\n"}, "-"},
      {"a=fmtp:96 config=000001B0F5\r\n", {"a=fmtp:96 config=000001B0F5\r\n"}, rtsptest::kHeader},
      {"c=1 config=01AbFF\r\nc=2 CONFIG=ff\r\n", {"c=1 config=01AbFF\r\n", "c=2 CONFIG=ff\r\n"},
       "\x01\xAB\xFF"},
      {"c=1 config=01\r\nc=2 xconfig=0102;a=b\r\n",
       {"c=1 config=01\r\n", "c=2 xconfig=0102;a=b\r\n"},
       "\x01\x02\xBA\xDB"},
      {"c=abc config=abc\r\n", {"c=abc config=abc\r\n"}, "\xAB"},  // last digit unpaired
      {"c=g0 config=g0\r\n", {"c=g0 config=g0\r\n"}, "\x70"},      // (code - '0') anyway
  };
  // clang-format on
  std::string all;
  for (const Case& c : cases) all += c.body;
  connect(all);
  peer.contentLength() = -1;
  EXPECT_FALSE(peer.recvSDPReply());  // and reads nothing: the first body follows
  std::string header;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    peer.contentLength() = static_cast<int>(c.body.size());
    CoutCapture out;
    ASSERT_TRUE(peer.recvSDPReply());
    std::string printed;
    for (const std::string& line : c.lines) printed += line;
    EXPECT_EQ(out.text(), printed);
    EXPECT_EQ(std::vector<std::string>(peer.sdp().lines.begin(), peer.sdp().lines.end()), c.lines);
    EXPECT_EQ(peer.sdp().text, c.body + std::string(8192 - c.body.size(), '\0'));
    if (c.header != "-") header = c.header;
    EXPECT_EQ(std::string(peer.sdp().file_header, peer.sdp().file_header_len), header);
  }
}

}  // namespace
