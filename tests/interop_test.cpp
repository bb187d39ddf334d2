// A session against GStreamer's RTSP server, started by e2e/rtsp_pull_e2e.sh,
// which names its port in RTSPPULL_INTEROP_PORT.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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

namespace {

// Another test server, with credentials: /usr/bin/python3 RTSPPULL_TEST_SERVER
// 0 --auth <auth> --user user --password "p@ss w:rd", ended by its PID.
class AuthServer {
 public:
  explicit AuthServer(const std::string& auth) {
    const char* const script = std::getenv("RTSPPULL_TEST_SERVER");
    int out[2];
    if (script == nullptr || ::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::execl("/usr/bin/python3", "python3", script, "0", "--lifetime", "30", "--auth",
              auth.c_str(), "--user", "user", "--password", kPassword, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    char c;
    std::string line;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    port = static_cast<unsigned>(std::atoi(line.c_str()));
  }
  ~AuthServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  static constexpr const char* kPassword = "p@ss w:rd";
  unsigned port = 0;

 private:
  pid_t pid_ = -1;
};

// Copies bytes both ways between one client and 127.0.0.1:<target>, keeping
// what the client sent.
class Relay {
 public:
  explicit Relay(unsigned target) {
    listenFd_ = listenLoopback(port);
    thread_ = std::thread([this, target] {
      const int client = ::accept(listenFd_, nullptr, nullptr);
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<std::uint16_t>(target));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (client >= 0 && ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buf[65536];
        for (bool open = true; open && ::poll(fds, 2, 30000) > 0;) {
          for (int i = 0; i < 2 && open; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
            open =
                n > 0 && ::send(fds[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
            if (open && i == 0) fromClient.append(buf, static_cast<std::size_t>(n));
          }
        }
      }
      ::close(server);
      if (client >= 0) ::close(client);
    });
  }
  ~Relay() { finish(); }
  // Waits until the client has gone; then fromClient holds all it sent.
  void finish() {
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }
  unsigned port = 0;
  std::string fromClient;

 private:
  int listenFd_ = -1;
  std::thread thread_;
};

// Two seconds of the stream with the recommended options (and credentials
// when `user` is not empty): every RTP packet, in order, no failure.
void pullTwoSeconds(unsigned port, const std::string& user, const std::string& password) {
  auto* log = new rtsptest::HostLog;
  CRTSPDownload session;
  std::vector<std::string> diagnostics;
  RTSPSessionOptions options = RTSPSessionOptions::recommended();
  options.user = user;
  options.password = password;
  options.diagnostics = [&diagnostics](const std::string& line) { diagnostics.push_back(line); };
  session.setOptions(options);
  session.initInfo("127.0.0.1", port, "test", 0, ACE_Time_Value(5), 0);
  session.registeRTPReceiver(log);
  const bool started = session.startRTSPDownload(true, true);
  std::string text;
  for (const std::string& line : diagnostics) text += line + "\n";
  ASSERT_TRUE(started) << session.lastFailure().detail << "\n" << text;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(session.lastFailure().step, RTSP_STEP_NONE) << session.lastFailure().detail;
  session.stop();
  std::vector<unsigned> seqs;
  for (const std::string& packet : log->packets) {
    const auto* p = reinterpret_cast<const unsigned char*>(packet.data());
    ASSERT_GE(packet.size(), 12u);
    if (p[1] < 192 || p[1] > 223) seqs.push_back(static_cast<unsigned>(p[2] << 8 | p[3]));
  }
  for (std::size_t i = 1; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], (seqs[i - 1] + 1) & 0xFFFF) << i;
  EXPECT_GE(seqs.size(), 20u);
  for (const std::string& line : diagnostics) {
    EXPECT_TRUE(password.empty() || line.find(password) == std::string::npos) << line;
  }
}

}  // namespace

TEST(GStreamerInterop, StandardRequestsPull) {
  const char* const port = std::getenv("RTSPPULL_INTEROP_PORT");
  if (port == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";
  pullTwoSeconds(static_cast<unsigned>(std::atoi(port)), "", "");
}

TEST(GStreamerInterop, CredentialsDigestBasicAndBothOffered) {
  if (std::getenv("RTSPPULL_TEST_SERVER") == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";
  struct Row {
    std::string auth, scheme;  // what the server wants, what the session must send
  };
  for (const Row& row :
       {Row{"digest", "Digest "}, Row{"basic", "Basic "}, Row{"both", "Digest "}}) {
    SCOPED_TRACE(row.auth);
    const AuthServer server(row.auth);
    ASSERT_NE(server.port, 0u);
    Relay relay(server.port);
    pullTwoSeconds(relay.port, "user", AuthServer::kPassword);
    relay.finish();
    const std::string::size_type at = relay.fromClient.find("\r\nAuthorization: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(relay.fromClient.substr(at + 17, row.scheme.size()), row.scheme);
  }

  // A wrong password fails at once, at DESCRIBE, with a clear reason.
  const AuthServer server("digest");
  CRTSPDownload session;
  RTSPSessionOptions options = RTSPSessionOptions::recommended();
  options.user = "user";
  options.password = "wrong";
  options.diagnostics = [](const std::string&) {};
  session.setOptions(options);
  session.initInfo("127.0.0.1", server.port, "test", 0, ACE_Time_Value(5), 0);
  session.registeRTPReceiver(new rtsptest::HostLog);
  EXPECT_FALSE(session.startRTSPDownload(true, true));
  const RTSPFailure failure = session.lastFailure();
  EXPECT_EQ(failure.step, RTSP_STEP_DESCRIBE);
  EXPECT_EQ(failure.statusCode, 401);
  EXPECT_EQ(failure.detail, "authentication failed");
  session.stop();
}
