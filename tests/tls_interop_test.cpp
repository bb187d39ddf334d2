// TLS and the HTTP tunnel against GStreamer's RTSP server: one server per
// certificate (one plain), each started by scripts/test-server.py. Every
// accepted certificate gives a stream, every refused one its own cause and a
// detail that names the check and the fingerprint; credentials pass through
// TLS and the tunnel and never show in the diagnostics. Skipped when
// GStreamer's RTSP server or the openssl command is missing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include <gtest/gtest.h>

#include "support/certificates.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// scripts/test-server.py with `args`, until destroyed. `port` is 0 when it
// did not start; `skip` says why when it ended with status 77.
class GstServer {
 public:
  explicit GstServer(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> all = {"/usr/bin/python3", RTSPPULL_TEST_SERVER, "0", "--lifetime",
                                    "120"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  // Reads the port the server prints first (up to 60 s).
  void awaitPort() {
    std::string line;
    for (char c = 0; out_ >= 0 && c != '\n';) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 60000) != 1 || ::read(out_, &c, 1) != 1) break;
      line += c;
    }
    if (!line.empty() && line.back() == '\n') port = static_cast<unsigned>(std::stoul(line));
    int status = 0;
    if (port == 0 && pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
      pid_ = -1;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 77) skip = "GStreamer's RTSP server missing";
    }
  }
  ~GstServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  unsigned port = 0;
  std::string skip;

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

const char kUser[] = "viewer";
const char kPassword[] = "Secret-Pass-42";

class TlsInterop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const Certificates& c = certificates();
    if (!c.made) return;
    // Started together, then awaited: their start-ups overlap.
    for (const char* name : {"", "server", "self", "other", "expired"}) {
      std::vector<std::string> args;
      if (*name != '\0') args = {"--tls", c.pem(name), c.key(name)};
      if (std::string(name) == "server") {
        args.insert(args.end(), {"--auth", "digest", "--user", kUser, "--password", kPassword});
      }
      servers()[name].reset(new GstServer(args));
    }
    for (auto& server : servers()) server.second->awaitPort();
  }
  static void TearDownTestSuite() { servers().clear(); }
  static std::map<std::string, std::unique_ptr<GstServer>>& servers() {
    static std::map<std::string, std::unique_ptr<GstServer>> all;
    return all;
  }
  void SetUp() override {
    if (!certificates().made) GTEST_SKIP() << certificates().why;
    for (auto& server : servers()) {
      if (!server.second->skip.empty()) GTEST_SKIP() << server.second->skip;
      ASSERT_NE(server.second->port, 0u) << "the server for \"" << server.first << "\"";
    }
  }
};

TEST_F(TlsInterop, CertificatesAcceptedOrRefusedEachWithItsCause) {
  struct Row {
    const char* name;
    const char* server;  // the certificate of its server; "": plain RTSP
    bool tls;
    bool tunnel;
    RTSP_TLS_CHECK check;
    const char* ca;   // the certificate given as CA file; "": the system's store
    const char* pin;  // the certificate whose fingerprint is pinned
    RTSP_CAUSE cause;
  };
  const RTSP_TLS_CHECK kChain = RTSP_TLS_CHECK_CHAIN, kPin = RTSP_TLS_CHECK_PIN;
  // clang-format off
  const Row rows[] = {
      {"signed by the CA given", "server", true, false, kChain, "ca", "", RTSP_CAUSE_NONE},
      {"tunnel over TLS", "server", true, true, kChain, "ca", "", RTSP_CAUSE_NONE},
      {"pinned self-signed", "self", true, false, kPin, "", "self", RTSP_CAUSE_NONE},
      {"any certificate", "expired", true, false, RTSP_TLS_CHECK_NONE, "", "", RTSP_CAUSE_NONE},
      {"plain tunnel", "", false, true, kChain, "", "", RTSP_CAUSE_NONE},
      {"unknown CA", "server", true, false, kChain, "", "", RTSP_CAUSE_CERT_UNTRUSTED},
      {"self-signed", "self", true, false, kChain, "ca", "", RTSP_CAUSE_CERT_UNTRUSTED},
      {"another name", "other", true, false, kChain, "ca", "", RTSP_CAUSE_CERT_NAME_MISMATCH},
      {"expired", "expired", true, false, kChain, "ca", "", RTSP_CAUSE_CERT_EXPIRED},
      {"another pin", "server", true, false, kPin, "", "self", RTSP_CAUSE_CERT_PIN_MISMATCH},
      {"another pin, tunnel", "server", true, true, kPin, "", "self", RTSP_CAUSE_CERT_PIN_MISMATCH},
      {"plain server", "", true, false, kChain, "ca", "", RTSP_CAUSE_TLS},
  };
  // clang-format on
  const Certificates& c = certificates();
  for (const Row& row : rows) {
    SessionConfig config;
    config.path = "test";
    config.recvSec = config.sdpSec = 10;
    config.options = RTSPSessionOptions::recommended();
    config.options.diagnostics = [](const std::string&) {};  // kept in Session::lines
    config.options.user = kUser;
    config.options.password = kPassword;
    config.options.tls = row.tls;
    config.options.httpTunnel = row.tunnel;
    config.options.tlsCheck = row.check;
    if (*row.ca != '\0') config.options.tlsCaFile = c.pem(row.ca);
    if (*row.pin != '\0') config.options.tlsFingerprint = c.fingerprint(row.pin);
    Session s(servers()[row.server]->port, config);
    const bool started = s.start();
    EXPECT_EQ(started, row.cause == RTSP_CAUSE_NONE) << row.name;
    const RTSPFailure failure = s.d.lastFailure();
    EXPECT_EQ(failure.cause, row.cause) << row.name << ": " << failure.detail;
    if (row.cause >= RTSP_CAUSE_CERT_EXPIRED) {
      const std::string shown = "SHA-256 fingerprint " + c.fingerprint(row.server) + ")";
      EXPECT_NE(failure.detail.find(shown), std::string::npos)
          << row.name << ": " << failure.detail;
    }
    EXPECT_EQ(started && s.awaitPackets(10), started) << row.name;
    s.d.stop();
    std::string said;
    for (const std::string& line : s.lines) said += line + "\n";
    EXPECT_EQ(said.find(kPassword), std::string::npos) << row.name;
    const bool warned = said.find("is not checked") != std::string::npos;
    EXPECT_EQ(warned, row.check == RTSP_TLS_CHECK_NONE) << row.name;
  }
}

TEST_F(TlsInterop, UdpMediaIsRefusedWithTlsAndTunnels) {
  for (const bool tunnel : {false, true}) {
    SessionConfig config;
    config.options.tls = !tunnel;
    config.options.httpTunnel = tunnel;
    config.options.transport = RTSP_TRANSPORT_UDP;
    Session s(servers()["server"]->port, config);
    EXPECT_FALSE(s.start()) << tunnel;
    EXPECT_EQ(s.d.lastFailure().step, RTSP_STEP_CONNECT) << tunnel;
    EXPECT_EQ(s.d.lastFailure().cause, RTSP_CAUSE_TLS) << tunnel;
    s.d.stop();
  }
}

}  // namespace
