// Pulls over UDP (or UDP falling back to TCP) from a real RTSP server that
// e2e/udp_interop.sh starts on 127.0.0.1, and writes the H.264 received as
// an Annex B file for ffprobe. The script passes:
//   RTSPPULL_UDP_PORT, RTSPPULL_UDP_PATH   where the stream is
//   RTSPPULL_UDP_TRANSPORT                 udp or auto (UDP, then TCP)
//   RTSPPULL_UDP_EXPECT                    udp or tcp: the transport that must be used
//   RTSPPULL_UDP_SECONDS                   how long to pull
//   RTSPPULL_UDP_OUTPUT                    the file to write
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <rtsppull/rtsp_download.h>

#include "h264_depacketizer.h"

namespace {

std::string Env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// Annex B from the first SPS or IDR picture on, the description's parameter
// sets first; RTCP is left out.
struct AnnexBHost : IRTPReceiver, rtsp_pull::NalSink {
  explicit AnnexBHost(const std::string& path) : out(path, std::ios::binary), depacketizer(*this) {}
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    std::lock_guard<std::mutex> lock(mutex);
    std::string sps, pps;
    if (isFileHeader && sdp != nullptr && sdp->fetch_sps_pps(sps, pps) == 0) {
      writeNal(sps);
      writeNal(pps);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    if (isFileHeader || rtsp_pull::isRtcp(bytes, length)) return true;
    ++rtp;
    depacketizer.push(bytes, length);
    return true;
  }
  void onNal(const std::uint8_t* nal, std::size_t size) override {
    started = started || (size > 0 && ((nal[0] & 0x1F) == 5 || (nal[0] & 0x1F) == 7));
    if (started) writeNal(std::string(reinterpret_cast<const char*>(nal), size));
  }
  void onAccessUnitEnd() override {}
  void writeNal(const std::string& nal) { out << std::string("\0\0\0\1", 4) << nal; }
  std::uint64_t rtpPackets() {
    std::lock_guard<std::mutex> lock(mutex);
    return rtp;
  }
  std::mutex mutex;
  std::ofstream out;
  rtsp_pull::H264Depacketizer depacketizer;
  bool started = false;
  std::uint64_t rtp = 0;
};

TEST(UdpInterop, PullsADecodableStream) {
  const std::string port = Env("RTSPPULL_UDP_PORT");
  if (port.empty()) GTEST_SKIP() << "run by e2e/udp_interop.sh";
  const std::string expect = Env("RTSPPULL_UDP_EXPECT", "udp");
  const int seconds = std::atoi(Env("RTSPPULL_UDP_SECONDS", "4").c_str());

  RTSPSessionOptions options;
  options.transport =
      Env("RTSPPULL_UDP_TRANSPORT") == "auto" ? RTSP_TRANSPORT_UDP_THEN_TCP : RTSP_TRANSPORT_UDP;
  options.standardRequests = true;
  std::mutex diagnosticsMutex;
  std::string diagnostics;
  options.diagnostics = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(diagnosticsMutex);
    diagnostics += line + "\n";
  };
  auto* host = new AnnexBHost(Env("RTSPPULL_UDP_OUTPUT", "/dev/null"));
  CRTSPDownload session;
  session.initInfo("127.0.0.1", static_cast<unsigned>(std::atoi(port.c_str())),
                   Env("RTSPPULL_UDP_PATH", "test"), 0, ACE_Time_Value(5), 0);
  session.registeRTPReceiver(host);
  session.setOptions(options);
  ASSERT_TRUE(session.startRTSPDownload(true, true)) << session.lastFailure().detail << "\n"
                                                     << diagnostics;

  std::this_thread::sleep_for(std::chrono::seconds(seconds - 1));
  const std::uint64_t beforeLastSecond = host->rtpPackets();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const RTSPFailure failure = session.lastFailure();
  const std::uint64_t total = host->rtpPackets();
  session.stop();

  std::lock_guard<std::mutex> lock(diagnosticsMutex);
  EXPECT_EQ(failure.step, RTSP_STEP_NONE) << failure.detail << "\n" << diagnostics;
  EXPECT_GT(total, beforeLastSecond) << "packets still arrive in the last second";
  EXPECT_EQ(failure.transport, expect == "tcp" ? RTSP_TRANSPORT_TCP : RTSP_TRANSPORT_UDP);
  std::cout << "pulled " << total << " RTP packets over " << expect << "\n";
}

}  // namespace
