// A session against GStreamer's RTSP server on 127.0.0.1: the handshake, the
// stream header with the SDP record, the SPS and PPS against the server's
// own sprop-parameter-sets, the packet sequence, and a prompt stop with
// TEARDOWN. ctest runs it through e2e/rtsp_pull_e2e.sh, which starts the
// server (scripts/test-server.py) and names its port and request log in
// RTSPPULL_INTEROP_PORT and RTSPPULL_INTEROP_LOG.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(session.stop());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));

  const auto calls = log->snapshot();
  ASSERT_FALSE(calls.empty());
  EXPECT_TRUE(calls[0].isFileHeader);
  ASSERT_NE(calls[0].sdp, nullptr);
  const std::string& sdp = calls[0].sdp->text;
  const std::string tag = "sprop-parameter-sets=";
  const std::size_t at = sdp.find(tag);
  ASSERT_NE(at, std::string::npos) << sdp;
  const std::string value =
      sdp.substr(at + tag.size(), sdp.find_first_of(";\r\n", at) - at - tag.size());
  const std::string announcedSps = decodeBase64(value.substr(0, value.find(',')));
  const std::string announcedPps = decodeBase64(value.substr(value.find(',') + 1));
  ASSERT_FALSE(announcedSps.empty() || announcedPps.empty()) << value;
  EXPECT_EQ(announcedSps[0] & 0x1F, 7);
  EXPECT_EQ(announcedPps[0] & 0x1F, 8);
  std::string sps, pps;
  ASSERT_EQ(calls[0].sdp->fetch_sps_pps(sps, pps), 0);
  EXPECT_EQ(sps, announcedSps);
  // fetch_sps_pps decodes everything after the first comma up to the end of
  // the line as the PPS; the server writes further format parameters after
  // sprop-parameter-sets, so the announced PPS is a prefix of what it returns.
  EXPECT_EQ(pps.substr(0, announcedPps.size()), announcedPps);

  // At 30 frames a second, 3 seconds give far more than 30 RTP packets, and
  // over TCP none may be missing. RTCP packets (types 192-223) are skipped.
  std::vector<unsigned> sequence;
  for (std::size_t i = 1; i < calls.size(); ++i) {
    const std::string& packet = calls[i].data;
    EXPECT_FALSE(calls[i].isFileHeader);
    ASSERT_GE(packet.size(), 12u);
    ASSERT_EQ(static_cast<unsigned char>(packet[0]) >> 6, 2);
    const unsigned type = static_cast<unsigned char>(packet[1]);
    if (type >= 192 && type <= 223) continue;
    sequence.push_back(static_cast<unsigned char>(packet[2]) << 8 |
                       static_cast<unsigned char>(packet[3]));
  }
  EXPECT_GE(sequence.size(), 30u);
  for (std::size_t i = 1; i < sequence.size(); ++i) {
    ASSERT_EQ(sequence[i], (sequence[i - 1] + 1) & 0xFFFF) << "gap after packet " << i - 1;
  }

  // What reached the server, in order, TEARDOWN included.
  std::string requests;
  for (int i = 0; i < 20 && requests.find("TEARDOWN") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::stringstream text;
    text << std::ifstream(requestLog).rdbuf();
    requests = text.str();
  }
  const std::string base = "Rtsp://127.0.0.1:" + std::string(port) + "/test";
  EXPECT_EQ(requests, "OPTIONS " + base + " RTSP/1.0\nDESCRIBE " + base + " RTSP/1.0\nSETUP " +
                          base + "/stream=0 RTSP/1.0\nPLAY " + base + " RTSP/1.0\nTEARDOWN " +
                          base + " RTSP/1.0\n");
}

}  // namespace
