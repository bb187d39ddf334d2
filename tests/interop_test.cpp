// Sessions against GStreamer's RTSP server: the one e2e/rtsp_pull_e2e.sh
// starts (its port in RTSPPULL_INTEROP_PORT), and servers with credentials
// that this program starts from the script in RTSPPULL_TEST_SERVER.
#include <arpa/inet.h>
#include <poll.h>
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

// The test server asking for credentials (`auth`: digest, basic or both),
// user "user", password kPassword; ended by its PID.
struct AuthServer {
  explicit AuthServer(const std::string& auth) {
    const std::string command =
        "echo $$; exec /usr/bin/python3 " + std::string(std::getenv("RTSPPULL_TEST_SERVER")) +
        " 0 --lifetime 30 --user user --password '" + kPassword + "' --auth " + auth;
    out = ::popen(command.c_str(), "r");
    if (out == nullptr || std::fscanf(out, "%d %u", &pid, &port) != 2) port = 0;
  }
  ~AuthServer() {
    if (pid > 0) ::kill(pid, SIGTERM);
    if (out != nullptr) ::pclose(out);
  }
  FILE* out;
  int pid = 0;
  unsigned port = 0;
};

// Copies bytes both ways between one client and 127.0.0.1:<target>, keeping
// what the client sent in `fromClient` (whole once the thread is joined).
struct Relay {
  explicit Relay(unsigned target) : listenFd(listenLoopback(port)) {
    thread = std::thread([this, target] {
      const int client = ::accept(listenFd, nullptr, nullptr);
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<std::uint16_t>(target));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      bool open = ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      for (char buf[65536]; open && ::poll(fds, 2, 30000) > 0;) {
        for (int i = 0; i < 2 && open; ++i) {
          if (fds[i].revents == 0) continue;
          const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
          open =
              n > 0 && ::send(fds[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
          if (open && i == 0) fromClient.append(buf, static_cast<std::size_t>(n));
        }
      }
      ::close(server);
      ::close(client);
      ::close(listenFd);
    });
  }
  ~Relay() {
    if (thread.joinable()) thread.join();
  }
  unsigned port = 0;
  int listenFd;
  std::thread thread;
  std::string fromClient;
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

TEST(GStreamerInterop, CredentialsDigestBasicAndBothOffered) {
  if (std::getenv("RTSPPULL_TEST_SERVER") == nullptr) GTEST_SKIP() << "run by e2e/rtsp_pull_e2e.sh";
  RTSPSessionOptions options = RTSPSessionOptions::recommended();
  options.user = "user";
  options.password = kPassword;
  struct Row {
    std::string auth, scheme;  // what the server wants, what the session must send
  };
  for (const Row& row :
       {Row{"digest", "Digest "}, Row{"basic", "Basic "}, Row{"both", "Digest "}}) {
    SCOPED_TRACE(row.auth);
    const AuthServer server(row.auth);
    ASSERT_NE(server.port, 0u);
    Relay relay(server.port);
    pullTwoSeconds(relay.port, options);
    relay.thread.join();
    const std::string::size_type at = relay.fromClient.find("\r\nAuthorization: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(relay.fromClient.substr(at + 17, row.scheme.size()), row.scheme);
  }
}
