// A session against GStreamer's RTSP server, started by e2e/rtsp_pull_e2e.sh,
// which names its port in RTSPPULL_INTEROP_PORT.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/session_support.h"

TEST(GStreamerInterop, PullsTheStreamWithoutAGap) {
  const char* const port = std::getenv("RTSPPULL_INTEROP_PORT");
  if (port == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";
  auto* log = new rtsptest::HostLog;
  CRTSPDownload session;
  rtsptest::CoutCapture diagnostics;  // shown only when something fails
  session.initInfo("127.0.0.1", static_cast<unsigned>(std::atoi(port)), "test", 0,
                   ACE_Time_Value(5), 0);
  session.registeRTPReceiver(log);
  ASSERT_TRUE(session.startRTSPDownload(true, true)) << diagnostics.text.str();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(session.stop());

  EXPECT_NE(log->header.find("sprop-parameter-sets="), std::string::npos) << log->header;
  // Over TCP no RTP packet may be missing; RTCP (types 192-223) is skipped.
  std::vector<unsigned> seqs;
  for (const std::string& packet : log->packets) {
    const auto* p = reinterpret_cast<const unsigned char*>(packet.data());
    ASSERT_GE(packet.size(), 12u);
    if (p[1] < 192 || p[1] > 223) seqs.push_back(static_cast<unsigned>(p[2] << 8 | p[3]));
  }
  for (std::size_t i = 1; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], (seqs[i - 1] + 1) & 0xFFFF) << i;
  EXPECT_GE(seqs.size(), 20u);
}
