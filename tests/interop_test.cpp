// A session against GStreamer's RTSP server (scripts/test-server.py) on
// 127.0.0.1: the handshake, the stream header with the SDP record, the SPS
// and PPS against the server's own sprop-parameter-sets, the packet sequence,
// and a prompt stop with TEARDOWN. Skips only when GStreamer's Python
// bindings or elements are missing.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sdp/base64.h"
#include "support/session_support.h"

#ifndef RTSPPULL_TEST_SERVER
#error "RTSPPULL_TEST_SERVER must name scripts/test-server.py"
#endif

namespace {

// The test server as a child process, ended by its PID on every path. Its
// standard error is the test's: a skip or failure reason shows there.
class TestServer {
 public:
  explicit TestServer(const std::string& requestLog) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl("/usr/bin/python3", "python3", RTSPPULL_TEST_SERVER, "0", "--lifetime", "60",
            "--log-requests", requestLog.c_str(), static_cast<char*>(nullptr));
      _exit(77);  // no /usr/bin/python3: no GStreamer bindings either
    }
    close(out[1]);
    // The first line is the port; end of file instead means it has ended.
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c = 0;
    bool ended = false;
    while (c != '\n' && poll(&p, 1, 30000) > 0) {
      ended = read(out[0], &c, 1) != 1;
      if (ended) break;
      line += c;
    }
    close(out[0]);
    port_ = static_cast<unsigned>(std::atoi(line.c_str()));
    if (port_ != 0 || pid_ < 0) return;
    if (!ended) kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    skipped_ = WIFEXITED(status) && WEXITSTATUS(status) == 77;
  }

  ~TestServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  unsigned port() const { return port_; }
  bool skipped() const { return skipped_; }

 private:
  pid_t pid_ = -1;
  unsigned port_ = 0;
  bool skipped_ = false;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string decodeBase64(const std::string& text) {
  std::int32_t length = 0;
  std::unique_ptr<unsigned char[]> bytes(base64_decode(text.c_str(), &length, 1));
  return std::string(reinterpret_cast<const char*>(bytes.get()), static_cast<std::size_t>(length));
}

TEST(GStreamerInterop, PullsH264WithParameterSetsAndStopsPromptly) {
  const std::string requestLog = "/tmp/rtsppull-interop-" + std::to_string(getpid()) + ".log";
  TestServer server(requestLog);
  if (server.skipped()) GTEST_SKIP() << "GStreamer's RTSP server is not usable (see stderr)";
  ASSERT_NE(server.port(), 0u) << "the test server did not report its port";

  auto log = std::make_shared<rtsptest::ReceiverLog>();
  CRTSPDownload session;
  rtsptest::CoutCapture diagnostics;  // shown only when something fails
  session.initInfo("127.0.0.1", server.port(), "test", 0, ACE_Time_Value(5), 0);
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
    requests = readFile(requestLog);
  }
  std::remove(requestLog.c_str());
  const std::string base = "Rtsp://127.0.0.1:" + std::to_string(server.port()) + "/test";
  EXPECT_EQ(requests, "OPTIONS " + base + " RTSP/1.0\nDESCRIBE " + base + " RTSP/1.0\nSETUP " +
                          base + "/stream=0 RTSP/1.0\nPLAY " + base + " RTSP/1.0\nTEARDOWN " +
                          base + " RTSP/1.0\n");
}

}  // namespace
