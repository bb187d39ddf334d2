// TLS and the HTTP tunnel without a real server: fingerprints and the
// tunnel's reply head (tests/data/tls_texts.txt); then whole sessions over TLS through a relay in
// front of the scripted server, the server's bytes split into small pieces, cut after every byte,
// and with sends racing the receive thread.
#include <gtest/gtest.h>

#include "session/control_channel.h"
#include "support/data_rows.h"
#include "support/open_descriptors.h"
#include "support/scripted_server.h"
#include "support/tls_relay.h"

namespace {

using namespace rtsptest;

// Pinned fingerprints and the tunnel's reply heads, as tests/data/tls_texts.txt writes them.
TEST(TlsTexts, FingerprintsAndTunnelReplyHeads) {
  for (const DataRow& row : dataRows("tls_texts.txt")) {
    if (row.function == "fingerprint") {
      const std::string bytes = parseFingerprint(row.input);
      EXPECT_EQ(bytes.empty() ? "refused" : bytes, row.output) << row.where;
      continue;
    }
    tunnel::ReplyHead head;
    bool taken = true;
    for (const std::string& line : split(row.input, "|"))
      taken = taken && tunnel::takeReplyLine(line, head);
    const std::vector<std::string> want = split(row.output, " ");
    EXPECT_EQ(taken ? head.status : 0, std::stoi(want.at(0))) << row.where;
    EXPECT_EQ(head.done, want.at(1) == "done") << row.where;
  }
}

// support/make_certificates.sh, run once into a temporary directory removed
// at exit; empty when the openssl command is missing.
const std::string& certificates() {
  // Never destroyed: the removal at exit reads it.
  static const std::string& dir = *new std::string([] {
    char pattern[] = "/tmp/rtsppull-certs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return std::string();
    std::atexit([] { (void)std::system(("rm -rf " + certificates()).c_str()); });
    const std::string make =
        std::string("sh ") + RTSPPULL_MAKE_CERTIFICATES + " " + pattern + " >/dev/null 2>&1";
    return std::system(make.c_str()) == 0 ? std::string(pattern) : std::string();
  }());
  return dir;
}

TlsRelay::Config relayTo(unsigned target, std::size_t piece = 0, std::size_t cut = SIZE_MAX) {
  return {certificates() + "/server.pem", certificates() + "/server.key", target, piece, cut};
}

SessionConfig overTls() {
  SessionConfig config;
  config.options.tls = true;
  config.options.tlsCaFile = certificates() + "/ca.pem";
  return config;
}

struct TlsOutcome {
  bool started = false;
  int notes = 0;
  std::vector<std::string> packets;
  RTSP_CAUSE cause = RTSP_CAUSE_NONE;
  std::size_t relayed = 0;  // bytes the relay sent
};

// The handshake and `frames` through the relay, which then closes.
TlsOutcome runOverTls(const std::vector<std::string>& frames, std::size_t piece, std::size_t cut) {
  Handshake h(0);
  for (const std::string& item : frames) h.answers.back() += item;
  ScriptedServer server(ScriptedServer::inOrder(h.answers, true));
  TlsRelay relay(relayTo(server.port, piece, cut));
  TlsOutcome outcome;
  {
    Session s(relay.port, overTls());
    outcome.started = s.start();
    s.await([&] { return s.notes > 0; });
    s.d.stop();
    outcome = {outcome.started, s.notes, s.log->packets, s.atCallback.cause};
  }
  outcome.relayed = relay.sent();
  return outcome;
}

class TlsSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (certificates().empty()) GTEST_SKIP() << "the openssl command is missing";
    std::string payload(600, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 3);
    frames = {frame('$', 0, payload.substr(0, 40)), frame('%', 1, "x"), frame('$', 0, payload)};
    payloads = {payload.substr(0, 40), payload};
  }
  std::vector<std::string> frames, payloads;
};

// Under a sanitizer every fifth byte only: a run there is many times slower,
// and it looks for memory and thread faults, which any cut shows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kCutStride = 5;
#else
constexpr std::size_t kCutStride = 1;
#endif

// Records split across the client's reads are read whole; a connection cut
// after any byte ends the session once, with whole frames only, in order,
// and no descriptor left open.
TEST_F(TlsSession, RecordsInPiecesAndACutAfterEveryByte) {
  std::size_t total = 0;
  for (const std::size_t piece : {0, 1, 5, 700}) {
    const TlsOutcome got = runOverTls(frames, piece, SIZE_MAX);
    EXPECT_TRUE(got.started) << "piece " << piece;
    EXPECT_EQ(got.packets, payloads) << "piece " << piece;
    EXPECT_EQ(got.cause, RTSP_CAUSE_CLOSED_BY_SERVER) << "piece " << piece;
    total = got.relayed;
  }
  ASSERT_GT(total, 0u);
  for (std::size_t cut = 0; cut < total; cut += kCutStride) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(total));
    const int descriptorsBefore = openDescriptors();
    const TlsOutcome got = runOverTls(frames, 0, cut);
    EXPECT_EQ(got.notes, 1);
    EXPECT_NE(got.cause, RTSP_CAUSE_NONE);
    ASSERT_LE(got.packets.size(), payloads.size());
    EXPECT_TRUE(std::equal(got.packets.begin(), got.packets.end(), payloads.begin()));
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    if (::testing::Test::HasFailure()) return;  // one broken offset is enough to read
  }
}

TEST_F(TlsSession, KeepAlivesAndStopSendWhileTheThreadReads) {
  // A frame every 5 ms and a keep-alive every second: the sends of the
  // receive thread and of stop() share the TLS state with its reads.
  ScriptedServer::Script script{HandshakeAnswers()};
  script.tick = [] { return frame('$', 0, std::string(16, 'x')); };
  script.tickMs = 5;
  ScriptedServer server(script);
  TlsRelay relay(relayTo(server.port));
  SessionConfig config = overTls();
  config.options.keepAliveSec = 1;
  config.options.diagnostics = [](const std::string&) {};
  config.recvSec = 5;
  Session s(relay.port, config);
  ASSERT_TRUE(s.start());
  EXPECT_TRUE(s.await([&] { return server.heard("OPTIONS").size() >= 3; }, 10000));
  EXPECT_GT(s.log->packetCount(), 0u);
  s.d.stop();
  EXPECT_EQ(s.d.lastFailure().cause, RTSP_CAUSE_STOPPED);
  EXPECT_TRUE(s.await([&] { return server.heard("TEARDOWN").size() == 1; }));
}

TEST(TlsOptions, UdpMediaIsRefusedWithTlsOrATunnel) {
  for (const bool tunnel : {false, true}) {
    SessionConfig config;
    config.options.tls = !tunnel;
    config.options.httpTunnel = tunnel;
    config.options.transport = RTSP_TRANSPORT_UDP;
    Session s(9, config);  // refused before any connect
    EXPECT_FALSE(s.start()) << tunnel;
    EXPECT_EQ(s.d.lastFailure().step, RTSP_STEP_CONNECT) << tunnel;
    EXPECT_EQ(s.d.lastFailure().cause, RTSP_CAUSE_TLS) << tunnel;
  }
}

}  // namespace
