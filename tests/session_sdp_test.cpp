// The DESCRIBE body: how it is read, cut into lines, echoed, and how a
// "config=" value becomes the stream file header.
#include <gtest/gtest.h>

#include "session/session_internal.h"
#include "support/session_support.h"

namespace {

using rtsptest::CoutCapture;
using rtsptest::ScriptServer;

std::string header(const SDP& sdp) { return std::string(sdp.file_header, sdp.file_header_len); }

class SdpBody : public ::testing::Test {
 protected:
  // Starts the server once its script is complete and connects to it.
  void connect() {
    server_.start();
    d_.initInfo("127.0.0.1", server_.port(), "live", 0, ACE_Time_Value(2, 0), 0);
    peer_.setTimeouts(2, 1);
    ASSERT_TRUE(peer_.connect());
  }
  void TearDown() override { peer_.close(); }

  CoutCapture quiet_;  // keeps the echo out of the test log
  ScriptServer server_;
  CRTSPDownload d_;
  CRTSPDownloadTestPeer peer_{d_};
};

struct CutCase {
  const char* name;
  std::string body;
  std::vector<std::string> lines;
};

TEST_F(SdpBody, CutIntoLinesAtCarriageReturns) {
  const CutCase cases[] = {
      {"crlf lines", "v=0\r\no=x\r\n", {"v=0\r\n", "o=x\r\n"}},
      {"lf only", "v=0\no=x\n", {}},
      {"text after the last cr", "a\r\nb", {"a\r\n"}},
      {"blank line", "a\r\n\r\nb\r\n", {"a\r\n", "\r\n", "b\r\n"}},
      {"cr without lf", "x\ry\r\n", {"x\r\n", "x\ry\r\n"}},
  };
  std::string all;
  for (const CutCase& c : cases) all += c.body;
  server_.connection().send(all);
  connect();
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    peer_.contentLength() = static_cast<int>(c.body.size());
    CoutCapture out;
    ASSERT_TRUE(peer_.recvSDPReply());
    std::string printed;
    for (const std::string& line : c.lines) printed += line;
    EXPECT_EQ(out.text(), printed);
    EXPECT_EQ(std::vector<std::string>(peer_.sdp().lines.begin(), peer_.sdp().lines.end()),
              c.lines);
    EXPECT_EQ(peer_.sdp().text, c.body + std::string(8192 - c.body.size(), '\0'));
  }
}

TEST_F(SdpBody, ConfigLinesSetTheStreamHeader) {
  const std::string body =
      "a=fmtp:96 config=000001B0F5\r\n"
      "a=x CONFIG=ff\r\n"
      "a=fmtp:97 xconfig=0102;a=b\r\n";
  server_.connection().send(body);
  connect();
  peer_.contentLength() = static_cast<int>(body.size());
  CoutCapture out;
  ASSERT_TRUE(peer_.recvSDPReply());
  EXPECT_EQ(out.text(), body);
  // The last config= wins; what follows the value is decoded unchecked.
  EXPECT_EQ(header(peer_.sdp()), std::string("\x01\x02\xBA\xDB", 4));
  EXPECT_EQ(peer_.sdp().lines.size(), 3u);
}

TEST_F(SdpBody, WithoutLengthOneReceiveIsTheBody) {
  server_.connection().send("a=1\r\n").pause(300).send("b=2\r\n");
  connect();
  peer_.contentLength() = 0;
  ASSERT_TRUE(peer_.recvSDPReply());
  EXPECT_EQ(peer_.sdp().lines, std::list<std::string>{"a=1\r\n"});
  EXPECT_EQ(peer_.getLine(), "b=2\r\n");  // later bytes stay on the connection
}

TEST_F(SdpBody, LongBodyKeepsItsStartAndStaysInStep) {
  std::string body = "v=0\r\n" + std::string(8187, 'x') + "\r\nlost=1\r\n" + std::string(100, 'y');
  server_.connection().send(body + "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n");
  connect();
  peer_.contentLength() = static_cast<int>(body.size());
  ASSERT_TRUE(peer_.recvSDPReply());
  EXPECT_EQ(peer_.sdp().text, body.substr(0, 8192));
  EXPECT_EQ(peer_.sdp().lines, std::list<std::string>{"v=0\r\n"});
  peer_.cseq() = 3;
  EXPECT_TRUE(peer_.getReply());
  EXPECT_EQ(peer_.cseq(), 4u);
}

TEST_F(SdpBody, NegativeLengthFailsAndReadsNothing) {
  server_.connection().send("RTSP/1.0 200 OK\r\n");
  connect();
  peer_.sdp().lines.push_back("old\r\n");
  peer_.sdp().text = "old";
  peer_.contentLength() = -5;
  CoutCapture out;
  EXPECT_FALSE(peer_.recvSDPReply());
  EXPECT_TRUE(peer_.sdp().lines.empty());
  EXPECT_EQ(peer_.sdp().text, "old");
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(peer_.getLine(), "RTSP/1.0 200 OK\r\n");
}

TEST_F(SdpBody, ServerClosingEndsTheBody) {
  server_.connection().send("a=1\r\nb=").close();
  connect();
  peer_.contentLength() = 100;
  ASSERT_TRUE(peer_.recvSDPReply());
  EXPECT_EQ(peer_.sdp().lines, std::list<std::string>{"a=1\r\n"});
  EXPECT_EQ(peer_.sdp().text.size(), 8192u);
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
