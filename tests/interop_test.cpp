// A session against GStreamer's RTSP server, started by e2e/rtsp_pull_e2e.sh,
// which names its port and request log in RTSPPULL_INTEROP_PORT and _LOG.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "sdp/base64.h"
#include "support/session_support.h"

namespace {

std::string decodeBase64(const std::string& text) {
  std::int32_t length = 0;
  std::unique_ptr<unsigned char[]> bytes(base64_decode(text.c_str(), &length, 1));
  return std::string(reinterpret_cast<const char*>(bytes.get()), static_cast<std::size_t>(length));
}

TEST(GStreamerInterop, PullsH264WithParameterSetsAndStopsPromptly) {
  const char* const port = std::getenv("RTSPPULL_INTEROP_PORT");
  const char* const requestLog = std::getenv("RTSPPULL_INTEROP_LOG");
  if (port == nullptr || requestLog == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";

  auto log = std::make_shared<rtsptest::ReceiverLog>();
  CRTSPDownload session;
  rtsptest::CoutCapture diagnostics;  // shown only when something fails
  session.initInfo("127.0.0.1", static_cast<unsigned>(std::atoi(port)), "test", 0,
                   ACE_Time_Value(5), 0);
  session.registeRTPReceiver(new rtsptest::RecordingReceiver(log));
  ASSERT_TRUE(session.startRTSPDownload(true, true)) << diagnostics.text();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(session.stop());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));

  std::stringstream requests;
  requests << std::ifstream(requestLog).rdbuf();
  EXPECT_NE(requests.str().find("SETUP Rtsp://127.0.0.1:" + std::string(port) + "/test/stream=0"),
            std::string::npos)
      << requests.str();

  const auto calls = log->snapshot();
  ASSERT_FALSE(calls.empty());
  ASSERT_TRUE(calls[0].isFileHeader && calls[0].sdp != nullptr);
  const std::string& sdp = calls[0].sdp->text;
  const std::size_t at = sdp.find("sprop-parameter-sets=");
  ASSERT_NE(at, std::string::npos) << sdp;
  const std::size_t comma = sdp.find(',', at), end = sdp.find_first_of(";\r\n", at);
  const std::string announcedSps = decodeBase64(sdp.substr(at + 21, comma - at - 21));
  const std::string announcedPps = decodeBase64(sdp.substr(comma + 1, end - comma - 1));
  ASSERT_FALSE(announcedSps.empty() || announcedPps.empty()) << sdp;
  std::string sps, pps;
  ASSERT_EQ(calls[0].sdp->fetch_sps_pps(sps, pps), 0);
  EXPECT_EQ(sps, announcedSps);
  // The PPS runs to the end of the line, so the further format parameters the
  // server writes after it come along: the announced PPS is a prefix.
  EXPECT_EQ(pps.substr(0, announcedPps.size()), announcedPps);

  // Over TCP no RTP packet may be missing; RTCP (types 192-223) is skipped.
  int rtpPackets = 0;
  unsigned previous = 0;
  for (std::size_t i = 1; i < calls.size(); ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(calls[i].data.data());
    ASSERT_GE(calls[i].data.size(), 12u);
    if (p[1] >= 192 && p[1] <= 223) continue;
    const unsigned seq = static_cast<unsigned>(p[2] << 8 | p[3]);
    ASSERT_TRUE(rtpPackets++ == 0 || seq == ((previous + 1) & 0xFFFF)) << "gap at " << i;
    previous = seq;
  }
  EXPECT_GE(rtpPackets, 20);
}

}  // namespace
