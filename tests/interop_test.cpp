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
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rtsppull/rtsppull.h>

#ifndef RTSPPULL_TEST_SERVER
#error "RTSPPULL_TEST_SERVER must name scripts/test-server.py"
#endif

namespace {

constexpr int kSkipStatus = 77;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The test server as a child process, ended by its PID on every path.
class TestServer {
 public:
  // Starts the server; on return either port() is set, or skipReason() or
  // error() says why not.
  explicit TestServer(const std::string& dir) : log_(dir + "/requests.log") {
    const std::string errPath = dir + "/server.err";
    int out[2];
    if (pipe(out) != 0) {
      error_ = "pipe failed";
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
      dup2(out[1], STDOUT_FILENO);
      FILE* err = std::fopen(errPath.c_str(), "w");
      if (err != nullptr) dup2(fileno(err), STDERR_FILENO);
      close(out[0]);
      close(out[1]);
      execl("/usr/bin/python3", "python3", RTSPPULL_TEST_SERVER, "0", "--lifetime", "60",
            "--log-requests", log_.c_str(), static_cast<char*>(nullptr));
      _exit(kSkipStatus);  // no /usr/bin/python3: no GStreamer bindings either
    }
    close(out[1]);
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[64];
      const ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    port_ = static_cast<unsigned int>(std::atoi(line.c_str()));
    if (port_ != 0) return;
    int status = 0;
    for (int i = 0; i < 20 && pid_ > 0; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (pid_ < 0 && WIFEXITED(status) && WEXITSTATUS(status) == kSkipStatus) {
      skipReason_ = readFile(errPath);
      if (skipReason_.empty()) skipReason_ = "/usr/bin/python3 is not installed";
      return;
    }
    error_ = "the test server did not report its port: " + readFile(errPath);
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

  unsigned int port() const { return port_; }
  const std::string& skipReason() const { return skipReason_; }
  const std::string& error() const { return error_; }
  std::string requests() const { return readFile(log_); }

 private:
  std::string log_;
  pid_t pid_ = -1;
  unsigned int port_ = 0;
  std::string skipReason_;
  std::string error_;
};

struct Received {
  std::mutex mutex;
  int headerCalls = 0;
  bool headerFirst = false;
  bool headerHadSdp = false;
  std::string sdpText;
  int fetchResult = -2;
  std::string sps, pps;
  std::vector<std::string> packets;
};

class RecordingReceiver : public IRTPReceiver {
 public:
  explicit RecordingReceiver(Received& received) : received_(received) {}
  bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
    std::lock_guard<std::mutex> lock(received_.mutex);
    if (!isFileHeader) {
      received_.packets.emplace_back(data, length);
      return true;
    }
    ++received_.headerCalls;
    received_.headerFirst = received_.packets.empty();
    received_.headerHadSdp = sdp != nullptr;
    if (sdp != nullptr) {
      received_.sdpText = sdp->text;
      received_.fetchResult = sdp->fetch_sps_pps(received_.sps, received_.pps);
    }
    return true;
  }

 private:
  Received& received_;
};

std::string base64Decode(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned int bits = 0;
  int count = 0;
  for (char c : text) {
    const size_t v = kAlphabet.find(c);
    if (v == std::string::npos) break;  // '=' or the end of the value
    bits = (bits << 6) | static_cast<unsigned int>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

// The two parameter sets of the first sprop-parameter-sets in an SDP body.
bool announcedParameterSets(const std::string& sdp, std::string& sps, std::string& pps) {
  const std::string tag = "sprop-parameter-sets=";
  const size_t at = sdp.find(tag);
  if (at == std::string::npos) return false;
  const size_t begin = at + tag.size();
  const size_t end = sdp.find_first_of(";\r\n", begin);
  const std::string value = sdp.substr(begin, end - begin);
  const size_t comma = value.find(',');
  if (comma == std::string::npos) return false;
  sps = base64Decode(value.substr(0, comma));
  pps = base64Decode(value.substr(comma + 1));
  return true;
}

bool isRtcp(const std::string& packet) {
  return packet.size() >= 2 && static_cast<unsigned char>(packet[1]) >= 192 &&
         static_cast<unsigned char>(packet[1]) <= 223;
}

TEST(GStreamerInterop, PullsH264WithParameterSetsAndStopsPromptly) {
  char dirTemplate[] = "/tmp/rtsppull-interop-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  TestServer server(dir);
  if (!server.skipReason().empty()) GTEST_SKIP() << "GStreamer not usable: " << server.skipReason();
  ASSERT_NE(server.port(), 0u) << server.error();

  // The library's diagnostics are kept and shown only when something fails.
  std::ostringstream diagnostics;
  std::streambuf* const coutBuf = std::cout.rdbuf(diagnostics.rdbuf());
  struct Restore {
    std::streambuf* buf;
    ~Restore() { std::cout.rdbuf(buf); }
  } restore{coutBuf};

  Received received;
  CRTSPDownload session;
  session.initInfo("127.0.0.1", server.port(), "test", 0, ACE_Time_Value(5), 0);
  session.registeRTPReceiver(new RecordingReceiver(received));
  ASSERT_TRUE(session.startRTSPDownload(true, true)) << diagnostics.str();

  std::this_thread::sleep_for(std::chrono::seconds(3));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(session.stop());
  const auto stopTook = std::chrono::steady_clock::now() - before;
  EXPECT_LT(stopTook, std::chrono::milliseconds(1000));

  std::lock_guard<std::mutex> lock(received.mutex);
  EXPECT_EQ(received.headerCalls, 1);
  EXPECT_TRUE(received.headerFirst);
  ASSERT_TRUE(received.headerHadSdp);

  std::string sps, pps;
  ASSERT_TRUE(announcedParameterSets(received.sdpText, sps, pps)) << received.sdpText;
  ASSERT_EQ(received.fetchResult, 0);
  EXPECT_EQ(received.sps, sps);
  // fetch_sps_pps decodes everything after the first comma up to the end of
  // the line as the PPS; the server writes further format parameters after
  // sprop-parameter-sets, so the announced PPS is a prefix of what it returns.
  ASSERT_GE(received.pps.size(), pps.size());
  EXPECT_EQ(received.pps.substr(0, pps.size()), pps);
  ASSERT_FALSE(sps.empty());
  EXPECT_EQ(sps[0] & 0x1F, 7);
  EXPECT_EQ(pps[0] & 0x1F, 8);

  // At 30 frames a second, 3 seconds give far more than 30 RTP packets, and
  // over TCP none may be missing.
  std::vector<unsigned int> sequence;
  for (const std::string& packet : received.packets) {
    if (isRtcp(packet)) continue;
    ASSERT_GE(packet.size(), 12u);
    ASSERT_EQ(static_cast<unsigned char>(packet[0]) >> 6, 2);
    sequence.push_back((static_cast<unsigned char>(packet[2]) << 8) |
                       static_cast<unsigned char>(packet[3]));
  }
  EXPECT_GE(sequence.size(), 30u);
  for (size_t i = 1; i < sequence.size(); ++i) {
    ASSERT_EQ(sequence[i], (sequence[i - 1] + 1) & 0xFFFF) << "gap after packet " << i - 1;
  }

  // What reached the server, in order, TEARDOWN included.
  std::string requests;
  for (int i = 0; i < 20 && requests.find("TEARDOWN") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    requests = server.requests();
  }
  const std::string base = "Rtsp://127.0.0.1:" + std::to_string(server.port()) + "/test";
  EXPECT_EQ(requests, "OPTIONS " + base + " RTSP/1.0\nDESCRIBE " + base + " RTSP/1.0\nSETUP " +
                          base + "/stream=0 RTSP/1.0\nPLAY " + base + " RTSP/1.0\nTEARDOWN " +
                          base + " RTSP/1.0\n");
  std::remove((dir + "/requests.log").c_str());
  std::remove((dir + "/server.err").c_str());
  rmdir(dir.c_str());
}

}  // namespace
