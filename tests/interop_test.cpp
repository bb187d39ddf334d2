// Sessions against GStreamer's RTSP server: the one e2e/rtsp_pull_e2e.sh
// starts (its port in RTSPPULL_INTEROP_PORT), and servers with credentials
// or audio that this program starts from the script in RTSPPULL_TEST_SERVER.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/scripted_server.h"

namespace {

const char* const kPassword = "p@ss w:rd";

// Two seconds of the stream from 127.0.0.1:<port>/test with `options`: every
// RTP packet comes, in order, and the diagnostics hold no password.
void pullTwoSeconds(unsigned port, RTSPSessionOptions options) {
  auto* log = new rtsptest::HostLog;
  CRTSPDownload session;
  std::string diagnostics;
  options.diagnostics = [&diagnostics](const std::string& line) { diagnostics += line + "\n"; };
  session.setOptions(options);
  session.initInfo("127.0.0.1", port, "test", 0, ACE_Time_Value(5), 0);
  session.registeRTPReceiver(log);
  ASSERT_TRUE(session.startRTSPDownload(true, true)) << session.lastFailure().detail << diagnostics;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(session.lastFailure().detail, "");
  session.stop();
  EXPECT_NE(log->header.find("sprop-parameter-sets="), std::string::npos) << log->header;
  std::vector<unsigned> seqs;  // of RTP; RTCP (types 192-223) is skipped
  for (const std::string& packet : log->packets) {
    const auto* p = reinterpret_cast<const unsigned char*>(packet.data());
    ASSERT_GE(packet.size(), 12u);
    if (p[1] < 192 || p[1] > 223) seqs.push_back(static_cast<unsigned>(p[2] << 8 | p[3]));
  }
  for (std::size_t i = 1; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], (seqs[i - 1] + 1) & 0xFFFF) << i;
  EXPECT_GE(seqs.size(), 20u);
  EXPECT_EQ(diagnostics.find(kPassword), std::string::npos);
}

// The test server with `arguments` (credentials: user "user", password
// kPassword); ended by its PID.
struct TestServer {
  explicit TestServer(const std::string& arguments) {
    const std::string command =
        "echo $$; exec /usr/bin/python3 " + std::string(std::getenv("RTSPPULL_TEST_SERVER")) +
        " 0 --lifetime 30 --user user --password '" + kPassword + "' " + arguments;
    out = ::popen(command.c_str(), "r");
    if (out == nullptr || std::fscanf(out, "%d %u", &pid, &port) != 2) port = 0;
  }
  ~TestServer() {
    if (pid > 0) ::kill(pid, SIGTERM);
    if (out != nullptr) ::pclose(out);
  }
  FILE* out;
  int pid = 0;
  unsigned port = 0;
};

}  // namespace

TEST(GStreamerInterop, DefaultAndStandardRequestsPull) {
  const char* const port = std::getenv("RTSPPULL_INTEROP_PORT");
  if (port == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";
  for (const RTSPSessionOptions& options :
       {RTSPSessionOptions(), RTSPSessionOptions::recommended()}) {
    SCOPED_TRACE(options.standardRequests ? "recommended options" : "default options");
    pullTwoSeconds(static_cast<unsigned>(std::atoi(port)), options);
  }
}

// Which scheme is chosen when both are offered is the authenticator's unit
// test; here each server must let the session in.
TEST(GStreamerInterop, CredentialsDigestBasicAndBothOffered) {
  if (std::getenv("RTSPPULL_TEST_SERVER") == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";
  RTSPSessionOptions options = RTSPSessionOptions::recommended();
  options.user = "user";
  options.password = kPassword;
  for (const char* auth : {"digest", "basic", "both"}) {
    SCOPED_TRACE(auth);
    const TestServer server(std::string("--auth ") + auth);
    ASSERT_NE(server.port, 0u);
    pullTwoSeconds(server.port, options);
  }
}

// H.264 and AAC over TCP and UDP: both tracks set up, each delivers RTP, and
// each track's sender reports (GStreamer sends the first within seconds)
// give its wall-clock time.
TEST(GStreamerInterop, VideoAndAudioTracks) {
  if (std::getenv("RTSPPULL_TEST_SERVER") == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";
  const TestServer server("--audio aac --protocols all");
  ASSERT_NE(server.port, 0u);
  for (const RTSP_TRANSPORT transport : {RTSP_TRANSPORT_TCP, RTSP_TRANSPORT_UDP}) {
    SCOPED_TRACE(transport == RTSP_TRANSPORT_TCP ? "TCP" : "UDP");
    RTSPSessionOptions options = RTSPSessionOptions::recommended();
    options.transport = transport;
    auto* log = new rtsptest::TrackLog;
    CRTSPDownload session;
    session.setOptions(options);
    session.initInfo("127.0.0.1", server.port, "test", 0, ACE_Time_Value(5), 0);
    session.registeRTPReceiver(log);
    ASSERT_TRUE(session.startRTSPDownload(true, true)) << session.lastFailure().detail;
    std::uint64_t ntp = 0;
    const auto done = [&] {
      return session.wallClock(0, 0, &ntp) && session.wallClock(1, 0, &ntp) &&
             log->count(0, false) >= 20 && log->count(1, false) >= 20;
    };
    for (int i = 0; i < 400 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(done()) << "video " << log->count(0, false) << ", audio " << log->count(1, false);
    EXPECT_EQ(session.tracks().at(1).media.encodingName, "MPEG4-GENERIC");
    session.stop();
  }
}
