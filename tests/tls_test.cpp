// TLS and the HTTP tunnel without a real server: fingerprints, Base64 and
// the tunnel's HTTP reply head; then whole sessions over TLS through a relay
// in front of the scripted server, with the server's bytes split into small
// pieces, cut after every byte, and with sends racing the receive thread.
#include <gtest/gtest.h>

#include "session/control_channel.h"
#include "support/certificates.h"
#include "support/open_descriptors.h"
#include "support/scripted_server.h"
#include "support/tls_relay.h"

namespace {

using namespace rtsptest;

TEST(TlsFingerprint, HexWithOrWithoutColonsInAnyCase) {
  const std::string digits(64, 'a');
  std::string colons;
  for (std::size_t i = 0; i < 64; i += 2) colons += (i ? ":" : "") + std::string("AA");
  struct Row {
    std::string text;
    bool valid;  // a fingerprint
  };
  const Row rows[] = {
      {digits, true},        {colons, true},         {digits.substr(1), false},
      {digits + "a", false}, {digits + "aa", false}, {"g" + digits.substr(1), false},
      {"", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(!parseFingerprint(row.text).empty(), row.valid) << row.text;
  }
  EXPECT_EQ(parseFingerprint(digits), parseFingerprint(colons)) << "case and colons ignored";
}

TEST(TunnelFraming, Base64OfEveryRemainder) {
  struct Row {
    const char* bytes;
    const char* encoded;
  };
  const Row rows[] = {{"", ""},
                      {"O", "Tw=="},
                      {"OP", "T1A="},
                      {"OPT", "T1BU"},
                      {"OPTIONS * RTSP/1.0\r\n", "T1BUSU9OUyAqIFJUU1AvMS4wDQo="},
                      {"\xff\xfe\xfd", "//79"}};
  for (const Row& row : rows) EXPECT_EQ(tunnel::base64(row.bytes), row.encoded) << row.bytes;
}

TEST(TunnelFraming, ReplyHeads) {
  struct Row {
    std::vector<std::string> lines;
    bool accepted;  // every line taken
    int status;
    bool done;
  };
  const std::vector<std::string> tooMany(tunnel::kMaxHeadLines + 1, "X: y\r\n");
  std::vector<std::string> longest(tunnel::kMaxHeadLines - 2, "X: y\r\n");
  longest.insert(longest.begin(), "HTTP/1.0 200 OK\r\n");
  longest.push_back("\r\n");
  const Row rows[] = {
      {{"HTTP/1.0 200 OK\r\n", "Content-Type: x\r\n", "\r\n"}, true, 200, true},
      {{"HTTP/1.1 404\r\n", "\r\n"}, true, 404, true},
      {{"HTTP/1.0 200 OK\r\n", "Server: x\r\n"}, true, 200, false},
      {longest, true, 200, true},
      {tooMany, false, 0, false},
      {{"RTSP/1.0 200 OK\r\n"}, false, 0, false},
      {{"HTTP/1.0 2x0 OK\r\n"}, false, 0, false},
      {{"HTTP/1.0 2000 OK\r\n"}, false, 0, false},
      {{"HTTP/1.0 20\r\n"}, false, 0, false},
      {{"HTTP/1.0\r\n"}, false, 0, false},
      {{"HTTP/\n1.0 200 OK\r\n"}, false, 0, false},
      {{"HTTP/ 200 OK\r\n"}, false, 0, false},
  };
  for (const Row& row : rows) {
    tunnel::ReplyHead head;
    bool accepted = true;
    for (const std::string& line : row.lines)
      accepted = accepted && tunnel::takeReplyLine(line, head);
    const std::string name = row.lines[0];
    EXPECT_EQ(accepted, row.accepted) << name;
    EXPECT_EQ(head.status, row.status) << name;
    EXPECT_EQ(head.done, row.done) << name;
  }
}

// A session over TLS through a relay to the scripted server, which answers
// the handshake with `frames` after PLAY and then closes.
struct TlsRun {
  std::size_t piece = 0;
  std::size_t cut = SIZE_MAX;
  RTSP_TLS_CHECK check = RTSP_TLS_CHECK_PIN;
  std::string pin = certificates().fingerprint("server");
};

const std::vector<std::string>& tlsFrames() {
  static const std::vector<std::string> frames = [] {
    std::string payload(600, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 3);
    return std::vector<std::string>{frame('$', 0, payload.substr(0, 40)), frame('%', 1, "x"),
                                    frame('$', 0, payload)};
  }();
  return frames;
}

struct TlsOutcome {
  bool started = false;
  int notes = 0;
  std::vector<std::string> packets;
  RTSPFailure failure;
  std::size_t relayed = 0;  // bytes the relay sent
};

TlsRelay::Config relayConfig(unsigned target) {
  TlsRelay::Config config;
  config.pem = certificates().pem("server");
  config.key = certificates().key("server");
  config.target = target;
  return config;
}

TlsOutcome runOverTls(const TlsRun& run) {
  Handshake h(0);
  for (const std::string& item : tlsFrames()) h.answers.back() += item;
  ScriptedServer server(ScriptedServer::inOrder(h.answers, true));
  TlsRelay::Config relayed = relayConfig(server.port);
  relayed.piece = run.piece;
  relayed.cut = run.cut;
  TlsRelay relay(relayed);
  SessionConfig config;
  config.options.tls = true;
  config.options.tlsCheck = run.check;
  config.options.tlsFingerprint = run.pin;
  TlsOutcome outcome;
  {
    Session s(relay.port, config);
    outcome.started = s.start();
    s.await([&] { return s.notes > 0; });
    s.d.stop();
    outcome.notes = s.notes;
    outcome.packets = s.log->packets;
    outcome.failure = s.atCallback;
  }
  outcome.relayed = relay.sent();
  return outcome;
}

class TlsSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!certificates().made) GTEST_SKIP() << certificates().why;
  }
};

TEST_F(TlsSession, RecordsSplitIntoPiecesAreReadWhole) {
  const std::vector<std::string> expected = {tlsFrames()[0].substr(4), tlsFrames()[2].substr(4)};
  for (const std::size_t piece :
       {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{700}}) {
    TlsRun run;
    run.piece = piece;
    const TlsOutcome got = runOverTls(run);
    EXPECT_TRUE(got.started) << "piece " << piece;
    EXPECT_EQ(got.packets, expected) << "piece " << piece;
    EXPECT_EQ(got.failure.cause, RTSP_CAUSE_CLOSED_BY_SERVER)
        << "piece " << piece << got.failure.detail;
  }
}

TEST_F(TlsSession, CutAfterEveryByteEndsCleanly) {
  const std::size_t total = runOverTls(TlsRun()).relayed;
  ASSERT_GT(total, 0u);
  const std::vector<std::string> all = {tlsFrames()[0].substr(4), tlsFrames()[2].substr(4)};
  for (std::size_t cut = 0; cut < total; ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(total));
    const int descriptorsBefore = openDescriptors();
    TlsRun run;
    run.cut = cut;
    const TlsOutcome got = runOverTls(run);
    EXPECT_EQ(got.notes, 1);
    EXPECT_NE(got.failure.cause, RTSP_CAUSE_NONE);
    // Whole frames only, in order: a prefix of what the server sent.
    EXPECT_LE(got.packets.size(), all.size());
    for (std::size_t i = 0; i < got.packets.size() && i < all.size(); ++i) {
      EXPECT_EQ(got.packets[i], all[i]) << "packet " << i;
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    if (::testing::Test::HasFailure()) return;  // one broken offset is enough to read
  }
}

TEST_F(TlsSession, KeepAlivesAndStopSendWhileTheThreadReads) {
  // A steady stream of frames and a keep-alive every second: sends from the
  // receive thread and from stop() share the TLS state with its reads.
  HandshakeAnswers answers;
  ScriptedServer::Script script{answers};
  script.tick = [] { return std::string(20, '\0').replace(0, 4, "$\0\0\x10", 4); };
  script.tickMs = 5;
  ScriptedServer server(script);
  const Certificates& c = certificates();
  TlsRelay relay(relayConfig(server.port));
  SessionConfig config;
  config.options = RTSPSessionOptions::recommended();
  config.options.keepAliveSec = 1;
  config.options.tls = true;
  config.options.tlsCheck = RTSP_TLS_CHECK_PIN;
  config.options.tlsFingerprint = c.fingerprint("server");
  config.options.diagnostics = [](const std::string&) {};
  config.recvSec = 5;
  Session s(relay.port, config);
  ASSERT_TRUE(s.start());
  EXPECT_TRUE(s.await(
      [&] { return server.heard("GET_PARAMETER").size() + server.heard("OPTIONS").size() >= 3; },
      10000));
  EXPECT_GT(s.log->packetCount(), 0u);
  s.d.stop();
  EXPECT_EQ(s.d.lastFailure().cause, RTSP_CAUSE_STOPPED);
  EXPECT_TRUE(s.await([&] { return server.heard("TEARDOWN").size() == 1; }));
  server.finish();
}

}  // namespace
