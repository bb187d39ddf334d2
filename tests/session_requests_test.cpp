// The request texts, byte for byte, built from the session's values.
#include <gtest/gtest.h>

#include "support/session_support.h"

namespace {

class Requests : public ::testing::Test {
 protected:
  void SetUp() override { d_.initInfo("H", 554, "live", 0, ACE_Time_Value::zero, 0); }
  CRTSPDownload d_;
  CRTSPDownloadTestPeer peer_{d_};
};

TEST_F(Requests, FixedTextsWithCSeqAndSession) {
  peer_.cseq() = 9;
  EXPECT_EQ(peer_.makeOptions(),
            "OPTIONS Rtsp://H:554/live RTSP/1.0\r\nCSeq: 1\r\n"
            "User-Agent: (ORVE Streaming Media )\r\n\r\n");
  EXPECT_EQ(peer_.cseq(), 1u);  // OPTIONS restarts the numbering
  peer_.cseq() = 2;
  EXPECT_EQ(peer_.makeDescribe(),
            "DESCRIBE Rtsp://H:554/live RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n"
            "User-Agent: (ORVE Streaming Media )\r\n\r\n");
  peer_.cseq() = 4;
  EXPECT_EQ(peer_.makePlay(),
            "PLAY Rtsp://H:554/live RTSP/1.0\r\nCSeq: 4\r\nrange: npt=0.000000-\r\n"
            "Session: \r\n\r\n");
  peer_.sessionId() = "4711;timeout=60";
  EXPECT_EQ(peer_.makePlay(),
            "PLAY Rtsp://H:554/live RTSP/1.0\r\nCSeq: 4\r\nrange: npt=0.000000-\r\n"
            "Session: 4711;timeout=60\r\n\r\n");
  peer_.cseq() = 5;
  EXPECT_EQ(peer_.makeTearDown(),
            "TEARDOWN Rtsp://H:554/live RTSP/1.0\r\nCSeq: 5\r\nMission:4711;timeout=60\r\n\r\n");
  EXPECT_EQ(peer_.cseq(), 5u);  // only OPTIONS changes it
}

TEST_F(Requests, UrlCarriesFullPortAndUnescapedPath) {
  d_.initInfo("cam.example", 4294967295u, "/a b", 0, ACE_Time_Value::zero, 0);
  const std::string line = "DESCRIBE Rtsp://cam.example:4294967295//a b RTSP/1.0\r\n";
  EXPECT_EQ(peer_.makeDescribe().substr(0, line.size()), line);
}

struct SetupCase {
  const char* name;
  std::vector<std::string> lines;
  const char* requestLine;  // nullptr: no SETUP can be built
  const char* transport;
};

TEST_F(Requests, VideoSetupFromDescription) {
  const std::string m = "m=video 0 RTP/AVP 96\r\n";
  const std::string ctl = "a=control:trackID=1\r\n";
  const SetupCase cases[] = {
      {"relative", {"v=0\r\n", m, ctl}, "SETUP Rtsp://H:554/live/trackID=1 RTSP/1.0", "RTP/AVP"},
      {"absolute",
       {m, "a=control:rtsp://H/live/trackID=1\r\n"},
       "SETUP rtsp://H/live/trackID=1 RTSP/1.0",
       "RTP/AVP"},
      {"capital scheme is relative",
       {m, "a=control:RTSP://H/x\r\n"},
       "SETUP Rtsp://H:554/live/RTSP://H/x RTSP/1.0",
       "RTP/AVP"},
      {"rtsp anywhere is absolute",
       {m, "a=control:trackID=rtsp1\r\n"},
       "SETUP trackID=rtsp1 RTSP/1.0",
       "RTP/AVP"},
      {"trimmed control and profile",
       {"m=video 0 RTP/SAVP 96 \t \r\n", "a=control: \ttrackID=1 \r\n"},
       "SETUP Rtsp://H:554/live/trackID=1 RTSP/1.0",
       "RTP/SAVP"},
      {"control of a later section",
       {m, "m=audio 0 RTP/AVP 0\r\n", "a=control:trackID=2\r\n"},
       "SETUP Rtsp://H:554/live/trackID=2 RTSP/1.0",
       "RTP/AVP"},
      {"two payload types", {"m=video 0 RTP/AVP 96 97\r\n", ctl}, nullptr, nullptr},
      {"double space", {"m=video 0  RTP/AVP 96\r\n", ctl}, nullptr, nullptr},
      {"tab separated", {"m=video 0\tRTP/AVP 96\r\n", ctl}, nullptr, nullptr},
      {"second video line not tried",
       {"m=video 0 RTP/AVP 96 97\r\n", "m=video 0 RTP/AVP 96\r\n", ctl},
       nullptr,
       nullptr},
      {"session-level control only", {"a=control:*\r\n", m}, nullptr, nullptr},
      {"no video", {"m=audio 0 RTP/AVP 0\r\n", ctl}, nullptr, nullptr},
      {"empty description", {}, nullptr, nullptr},
  };
  for (const SetupCase& c : cases) {
    SCOPED_TRACE(c.name);
    peer_.sdp().lines.assign(c.lines.begin(), c.lines.end());
    peer_.cseq() = 8;
    std::string request = "untouched";
    if (c.requestLine == nullptr) {
      EXPECT_FALSE(peer_.makeVideoSetup(request));
      EXPECT_EQ(request, "untouched");
    } else {
      ASSERT_TRUE(peer_.makeVideoSetup(request));
      EXPECT_EQ(request, std::string(c.requestLine) + "\r\nCSeq: 8\r\nTransport: " + c.transport +
                             "/TCP;unicast;interleaved=0-1\r\n\r\n");
    }
  }
}

}  // namespace
