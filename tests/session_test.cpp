// Whole sessions against the scripted server: the default handshake byte for
// byte (and the control connection's receive buffer), and every way a start
// fails or reception ends, with what lastFailure() says, the callback, and
// what reached the server and the host.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "support/open_descriptors.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// A handshake server that answers `method` with `answer`, of which it sends
// `atOnce` bytes at once and then one byte every 100 ms.
ScriptedServer::Script answering(const std::string& method, const std::string& answer,
                                 std::size_t atOnce = std::string::npos, int connections = 1) {
  auto rest = std::make_shared<std::string>();
  ScriptedServer::Script script{[=](const std::string& m, int) {
    if (methodOf(m) != method) return HandshakeAnswers()(m);
    *rest = answer.substr(std::min(atOnce, answer.size()));
    return answer.substr(0, atOnce);
  }};
  script.tick = [rest] {
    const std::string byte = rest->substr(0, 1);
    rest->erase(0, std::min<std::size_t>(1, rest->size()));
    return byte;
  };
  script.tickMs = 100;
  script.connections = connections;
  return script;
}

TEST(Session, DefaultHandshakeBytesEchoAndStreamHeader) {
  std::string longBody = kSdp;  // read whole, its first 8192 bytes kept
  while (longBody.size() < 20000) longBody += "a=x-pad:0123456789abcdef\r\n";
  struct Row {
    const char* name;
    std::string body, setupTarget;
    bool withLength, sink;
    int receiveBuffer, atLeast, atMost;  // asked for; SO_RCVBUF as the kernel reports it
  };
  const int k32 = 32768, k256 = 256 * 1024;  // the default is reported doubled
  // clang-format off
  const Row rows[] = {
      {"relative control URL", kSdp, "", true, false, 0, k32, 2 * k32},
      {"absolute control URL", sdp("rtsp://10.1.2.3/cam/t7"), "rtsp://10.1.2.3/cam/t7", true, false, 0, k32, 2 * k32},
      {"two formats: no SETUP", sdp("trackID=1", "96 97"), "-", true, false, 0, k32, 2 * k32},
      {"Content-Length 20000", longBody, "", true, false, 0, k32, 2 * k32},
      {"no Content-Length: what came with one receive", kSdp, "", false, false, 0, k32, 2 * k32},
      {"a diagnostics sink gets the text std::cout would", kSdp, "", true, true, 0, k32, 2 * k32},
      {"a 256 KiB receive buffer changes no byte", kSdp, "", true, false, k256, k256, 1 << 30},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server(ScriptedServer::inOrder(
        Handshake(0, row.body, row.withLength, row.setupTarget).answers, false));
    SessionConfig config;
    if (row.sink) config.options.diagnostics = [](const std::string&) {};
    config.options.receiveBufferBytes = row.receiveBuffer;
    Session s(server.port, config);
    EXPECT_TRUE(s.start());
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(CRTSPDownloadTestPeer{s.d}.streamHandle(), SOL_SOCKET, SO_RCVBUF, &size, &length);
    EXPECT_GE(size, row.atLeast);
    EXPECT_LE(size, row.atMost);
    s.d.stop();
    server.finish();
    const Handshake h(server.port, row.body, row.withLength, row.setupTarget);
    std::string sink;
    for (const std::string& line : s.lines) sink += line + "\r\n";
    EXPECT_EQ(row.sink ? sink : s.out(), h.echo);
    EXPECT_EQ(server.received(), h.sent.back() + h.teardown);
    EXPECT_EQ(s.log->header, kHeader + "|" + (row.body + std::string(8192, '\0')).substr(0, 8192));
  }
}

struct FailureRow {
  const char* name;
  ScriptedServer::Script script;
  SessionConfig config;
  bool started;
  RTSPFailure want;                       // step, cause, statusCode, statusLine, detail
  std::vector<std::string> packets = {};  // what the host got
};

// The session fails or ends as the row says; the callback runs once (not
// after a failed start with quietOnFailure) and finds lastFailure() set;
// with the default requests the server got exactly the requests up to the
// failing one (TEARDOWN only from stop() or a refused stream header).
void expectFailure(const FailureRow& row) {
  SCOPED_TRACE(row.name);
  const RTSPSessionOptions& o = row.config.options;
  const int descriptorsBefore = openDescriptors();
  ScriptedServer server(row.script);
  Session s(server.port, row.config);
  waits() = 0;
  EXPECT_EQ(s.start(), row.started);
  EXPECT_FALSE(s.start()) << "a second start while running";
  EXPECT_TRUE(s.d.isRunning());
  EXPECT_EQ(CRTSPDownloadTestPeer{s.d}.streamOpen(), row.started);
  if (row.started && row.want.cause != RTSP_CAUSE_STOPPED) s.await([&] { return s.notes > 0; });
  // stop() wakes a thread waiting for data: the callback then runs too.
  if (row.want.cause == RTSP_CAUSE_STOPPED) s.await([] { return waits() > 0; });
  s.d.stop();
  server.finish();
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
  const RTSPFailure got = s.d.lastFailure();
  EXPECT_EQ(got.transport,
            o.transport == RTSP_TRANSPORT_TCP ? RTSP_TRANSPORT_TCP : RTSP_TRANSPORT_UDP);
  EXPECT_EQ(got.step, row.want.step);
  EXPECT_EQ(got.cause, row.want.cause);
  EXPECT_EQ(got.statusCode, row.want.statusCode);
  EXPECT_EQ(got.statusLine, row.want.statusLine);
  EXPECT_EQ(got.detail, row.want.detail);
  EXPECT_EQ(s.notes, row.config.quiet && !row.started ? 0 : 1);
  EXPECT_EQ(s.atCallback.detail, s.notes > 0 ? row.want.detail : "");
  EXPECT_EQ(s.log->packets, row.packets);
  const bool headerHanded = row.started || row.want.cause == RTSP_CAUSE_RECEIVER_REFUSED;
  EXPECT_EQ(s.log->header.empty(), !headerHanded);
  if (o.keepAliveSec != 0 || !o.user.empty() || o.maxRedirects != 0 || o.transport != 0) return;
  const Handshake shake(server.port);
  const std::size_t index[] = {0, 0, 0, 1, 1, 2, 3, 3};  // of the request of each step
  const bool teardown = row.want.cause == RTSP_CAUSE_STOPPED ||
                        (!row.started && row.want.cause == RTSP_CAUSE_RECEIVER_REFUSED);
  EXPECT_EQ(server.received(),
            shake.sent[row.started ? 3 : index[row.want.step]] + (teardown ? shake.teardown : ""));
}

const std::vector<std::string> kAnswers = Handshake(0).answers;

ScriptedServer::Script cut(std::vector<std::string> answers, bool close = true) {
  return ScriptedServer::inOrder(std::move(answers), close);
}

SessionConfig with(void (*set)(SessionConfig&)) {
  SessionConfig config;
  set(config);
  return config;
}

SessionConfig udp(RTSP_TRANSPORT transport, bool pollFails) {
  SessionConfig config;
  config.options.transport = transport;
  config.options.diagnostics = [](const std::string&) {};
  config.pollFails = pollFails;
  return config;
}

TEST(SessionFailure, StartFails) {
  const std::vector<std::string>& h = kAnswers;
  std::string manyHeaders;
  for (int i = 0; i < 100; ++i) manyHeaders += "X-Filler: 1\r\n";
  const std::string longLine = "X: " + std::string(8200, 'x') + "\r\n";
  const std::string drip =
      reply("200 OK", 2, "Content-Length: 50\r\n", "v=0\r\n" + std::string(45, 'x'));
  const auto bounded = [](SessionConfig& c) { c.options.boundedReplies = true; };
  const auto quiet = [](SessionConfig& c) { c.quiet = true; };
  const auto user = [](SessionConfig& c) { c.options.user = "u"; };
  const auto redirects = [](SessionConfig& c) { c.options.maxRedirects = 2; };
  const std::string closed = "the server closed the connection";
  const std::string ok = "RTSP/1.0 200 OK", slow = "the server took over 1 s to answer";
  // clang-format off
  const FailureRow rows[] = {
      {"OPTIONS closed", cut({""}), {}, false, {RTSP_STEP_OPTIONS, RTSP_CAUSE_CLOSED_BY_SERVER, 0, "", closed}},
      {"OPTIONS closed, quiet", cut({""}), with(quiet), false, {RTSP_STEP_OPTIONS, RTSP_CAUSE_CLOSED_BY_SERVER, 0, "", closed}},
      {"OPTIONS 405", cut({reply("405 Method Not Allowed", 1)}, false), {}, false, {RTSP_STEP_OPTIONS, RTSP_CAUSE_SERVER_ERROR, 405, "RTSP/1.0 405 Method Not Allowed", "the server refused OPTIONS"}},
      {"RTSP/1.1", cut({"RTSP/1.1 200 OK\r\nCSeq: 1\r\n\r\n"}, false), {}, false, {RTSP_STEP_OPTIONS, RTSP_CAUSE_MALFORMED_REPLY, 0, "RTSP/1.1 200 OK", "the server refused OPTIONS"}},
      {"DESCRIBE closed", cut({h[0], ""}), {}, false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_CLOSED_BY_SERVER, 0, "", closed}},
      {"DESCRIBE 404", cut({h[0], reply("404 Not Found", 2)}, false), {}, false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_NOT_FOUND, 404, "RTSP/1.0 404 Not Found", "the server refused DESCRIBE"}},
      {"status out of range", cut({h[0], reply("99999999999999999999 OK", 2)}, false), {}, false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_MALFORMED_REPLY, -1, "RTSP/1.0 99999999999999999999 OK", "the server refused DESCRIBE"}},
      {"401 without credentials", answering("DESCRIBE", reply("401 Unauthorized", 2, "WWW-Authenticate: Basic realm=\"x\"\r\n")), {}, false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_AUTH_NEEDED, 401, "RTSP/1.0 401 Unauthorized", "the server asks for credentials"}},
      {"401 to credentials", answering("DESCRIBE", reply("401 Unauthorized", 2, "WWW-Authenticate: Basic realm=\"x\"\r\n")), with(user), false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_AUTH_FAILED, 401, "RTSP/1.0 401 Unauthorized", "authentication failed"}},
      {"a challenge that cannot be answered", answering("DESCRIBE", reply("401 Unauthorized", 2, "WWW-Authenticate: Negotiate\r\n")), with(user), false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_AUTH_FAILED, 401, "RTSP/1.0 401 Unauthorized", "the server offers no supported authentication scheme (Negotiate)"}},
      {"a redirect not followed", cut({h[0], reply("302 Found", 2, "Location: rtsp://127.0.0.1:PORT/x\r\n")}, false), {}, false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_REDIRECT, 302, "RTSP/1.0 302 Found", "the server refused DESCRIBE"}},
      {"a redirect loop", answering("DESCRIBE", reply("302 Found", 2, "Location: rtsp://127.0.0.1:PORT/live\r\n"), std::string::npos, 3), with(redirects), false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_REDIRECT, 302, "RTSP/1.0 302 Found", "over 2 redirects"}},
      {"a redirect to http", answering("DESCRIBE", reply("302 Found", 2, "Location: http://h/x\r\n")), with(redirects), false, {RTSP_STEP_DESCRIBE, RTSP_CAUSE_REDIRECT, 302, "RTSP/1.0 302 Found", "redirected to \"http://h/x\", which is not an rtsp:// URL"}},
      {"Content-Length -1", cut({h[0], reply("200 OK", 2, "Content-Length: -1\r\n", kSdp)}, false), {}, false, {RTSP_STEP_SDP, RTSP_CAUSE_MALFORMED_REPLY, 0, "", "a negative Content-Length"}},
      {"description missing", cut({h[0], reply("200 OK", 2, "Content-Length: 100\r\n", "v=0\r\n")}, false), {}, false, {RTSP_STEP_SDP, RTSP_CAUSE_TIMED_OUT, 0, "", "timed out after 1 s waiting for the description"}},
      {"SETUP closed", cut({h[0], h[1], ""}), {}, false, {RTSP_STEP_SETUP, RTSP_CAUSE_CLOSED_BY_SERVER, 0, "", closed}},
      {"SETUP 461", cut({h[0], h[1], reply("461 Unsupported Transport", 3)}, false), {}, false, {RTSP_STEP_SETUP, RTSP_CAUSE_TRANSPORT_REFUSED, 461, "RTSP/1.0 461 Unsupported Transport", "the server refused SETUP"}},
      {"PLAY closed", cut({h[0], h[1], h[2], ""}), {}, false, {RTSP_STEP_PLAY, RTSP_CAUSE_CLOSED_BY_SERVER, 0, "", closed}},
      {"PLAY silent", cut({h[0], h[1], h[2], ""}, false), {}, false, {RTSP_STEP_PLAY, RTSP_CAUSE_TIMED_OUT, 0, "", "timed out after 1 s waiting for a reply"}},
      {"PLAY 454", cut({h[0], h[1], h[2], reply("454 Session Not Found", 4)}, false), {}, false, {RTSP_STEP_PLAY, RTSP_CAUSE_SERVER_ERROR, 454, "RTSP/1.0 454 Session Not Found", "the server refused PLAY"}},
      {"PLAY 250, a 2xx other than 200", cut({h[0], h[1], h[2], reply("250 Low on Storage Space", 4)}, false), {}, false, {RTSP_STEP_PLAY, RTSP_CAUSE_SERVER_ERROR, 250, "RTSP/1.0 250 Low on Storage Space", "the server refused PLAY"}},
      {"a refused stream header, failOnRefusedHeader", cut(h, false), with([](SessionConfig& c) { c.refuseHeader = c.options.failOnRefusedHeader = true; }), false, {RTSP_STEP_PLAY, RTSP_CAUSE_RECEIVER_REFUSED, 0, "", "the receiver refused the stream header"}},
      {"UDP: SETUP 461", udpScript("", "461 Unsupported Transport"), udp(RTSP_TRANSPORT_UDP, false), false, {RTSP_STEP_SETUP, RTSP_CAUSE_TRANSPORT_REFUSED, 461, "RTSP/1.0 461 Unsupported Transport", "the server refused SETUP"}},
      {"UDP: a Transport reply without a usable port", udpScript(";server_port=0-1", ""), udp(RTSP_TRANSPORT_UDP, false), false, {RTSP_STEP_SETUP, RTSP_CAUSE_TRANSPORT_REFUSED, 0, "", "the SETUP reply has a malformed server_port: 0-1"}},
      {"UDP: the wait for the first packet fails", udpScript("", ""), udp(RTSP_TRANSPORT_UDP_THEN_TCP, true), false, {RTSP_STEP_PLAY, RTSP_CAUSE_NETWORK, 0, "", "waiting for the first UDP packet failed: Cannot allocate memory"}},
      {"bounded: a line over 8 KiB", answering("OPTIONS", reply("200 OK", 1, longLine)), with(bounded), false, {RTSP_STEP_OPTIONS, RTSP_CAUSE_MALFORMED_REPLY, 200, ok, "a reply line over 8 KiB"}},
      {"bounded: 101 header lines", answering("OPTIONS", reply("200 OK", 1, manyHeaders)), with(bounded), false, {RTSP_STEP_OPTIONS, RTSP_CAUSE_MALFORMED_REPLY, 200, ok, "a reply with over 100 header lines"}},
      {"bounded: header lines dripping", answering("OPTIONS", reply("200 OK", 1, "X-Slow: 0123456789\r\n"), 17), with(bounded), false, {RTSP_STEP_OPTIONS, RTSP_CAUSE_TIMED_OUT, 200, ok, slow}},
      {"bounded: a description dripping", answering("DESCRIBE", drip, drip.size() - 40), with(bounded), false, {RTSP_STEP_SDP, RTSP_CAUSE_TIMED_OUT, 0, "", slow}},
  };
  // clang-format on
  for (const FailureRow& row : rows) expectFailure(row);
}

TEST(SessionFailure, ReceptionEnds) {
  const std::vector<std::string>& h = kAnswers;
  std::string big(65535, '\0'), manyHeaders;
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  for (int i = 0; i < 99; ++i) manyHeaders += "X-Filler: 1\r\n";  // 100 with the CSeq
  const std::string play = h[3], a = frame('$', 0, "A"), b = frame('$', 1, "B");
  const auto keepAlive = [](SessionConfig& c) {
    c.options.keepAliveSec = 1;
    c.recvSec = 2;
  };
  const auto quietRefusing = [](SessionConfig& c) {
    c.quiet = true;
    c.refusePacket = 2;
  };
  const RTSPFailure stopped{RTSP_STEP_RECEIVE, RTSP_CAUSE_STOPPED, 0, "", "stopped by the host"};
  const std::string closed = "the server closed the connection";
  // clang-format off
  const FailureRow rows[] = {
      {"stop() while playing", cut(h, false), {}, true, stopped},
      {"frames of any channel in order, '%' dropped, then a reply", cut({h[0], h[1], h[2], play + a + b + frame('%', 0, "x") + frame('$', 0, "") + frame('$', 7, big) + "RTSP/1.0 200 OK\r\n\r\n" + a}, false), {}, true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_BAD_DATA, 0, "", "unexpected byte 0x52 in the stream"},
          {"A", "B", "", big}},
      {"closed while playing", cut({h[0], h[1], h[2], play + a}), {}, true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_CLOSED_BY_SERVER, 0, "", closed}, {"A"}},
      {"the receiver refuses the second packet, quiet", cut({h[0], h[1], h[2], play + a + b + a}, false), with(quietRefusing), true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_RECEIVER_REFUSED, 0, "", "the receiver refused a packet"},
          {"A", "B"}},
      {"silence", cut(h, false), {}, true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_NO_DATA, 0, "", "timed out after 1 s without data"}},
      {"keep-alive replies are no media", answering("PLAY", play + numbered(0)), with(keepAlive), true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_NO_DATA, 0, "", "timed out after 2 s without data"},
          {numbered(0).substr(4)}},
      {"a malformed message in the stream", cut({h[0], h[1], h[2], play + "RTSP/1.0 200 OK\r\nContent-Length: x\r\n\r\n"}, false), with(keepAlive), true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_BAD_DATA, 0, "", "an RTSP message in the stream with a malformed Content-Length"}},
      {"UDP: silence", udpScript("", ""), udp(RTSP_TRANSPORT_UDP, false), true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_NO_DATA, 0, "", "timed out after 1 s without data"}},
      {"UDP: the wait fails", udpScript("", ""), udp(RTSP_TRANSPORT_UDP, true), true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_NETWORK, 0, "", "waiting for data failed: Cannot allocate memory"}},
      {"the receive thread refused, quiet", cut(h, false), with([](SessionConfig& c) { c.refuseThreads = c.quiet = true; }), true, {RTSP_STEP_RECEIVE, RTSP_CAUSE_RESOURCES, 0, "", "cannot start the receive thread"}},
      {"a refused stream header without failOnRefusedHeader", cut(h, false), with([](SessionConfig& c) { c.refuseHeader = true; }), true, stopped},
      {"bounded: 100 header lines pass", answering("OPTIONS", reply("200 OK", 1, manyHeaders)), with([](SessionConfig& c) { c.options.boundedReplies = true; }), true, stopped},
      {"unbounded: long lines and many headers pass", answering("OPTIONS", reply("200 OK", 1, manyHeaders + manyHeaders + "X: " + std::string(9000, 'x') + "\r\n")), {}, true, stopped},
  };
  // clang-format on
  for (const FailureRow& row : rows) expectFailure(row);

  unsigned closedPort = 0;
  ::close(listenLoopback(closedPort));  // nothing listens there now
  Session refused(closedPort, {});
  EXPECT_FALSE(refused.start());
  EXPECT_EQ(refused.d.lastFailure().cause, RTSP_CAUSE_REFUSED);
  EXPECT_EQ(refused.d.lastFailure().detail, "connection refused");
}

// One session object started again after stop(): every start is a new
// conversation from CSeq 1 and forgets the last failure, and the callback
// runs once in the object's life (here when the server ends the first
// session's stream).
TEST(Session, EveryStartBeginsAtCSeqOneAndTheCallbackRunsOnce) {
  ScriptedServer::Script script{[](const std::string& m, int c) {
    return c > 0 && methodOf(m) == "DESCRIBE" ? reply("404 Not Found", 2) : HandshakeAnswers()(m);
  }};
  script.connections = 3;
  script.closeAfter = 4;
  ScriptedServer server(script);
  Session s(server.port, {});
  std::vector<bool> started;
  std::vector<int> notes;
  for (int i = 0; i < 3; ++i) {
    started.push_back(s.start());
    s.await([&] { return s.notes > 0; });
    s.d.stop();
    notes.push_back(s.notes);
  }
  server.finish();
  EXPECT_EQ(started, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(notes, (std::vector<int>{1, 1, 1}));
  const Handshake shake(server.port);
  EXPECT_EQ(server.received(), shake.sent.back() + shake.sent[1] + shake.sent[1]);
  EXPECT_EQ(s.d.lastFailure().step, RTSP_STEP_DESCRIBE);
  // Without a receiver nothing starts: no connection, no callback, not running.
  CRTSPDownload d;
  d.initInfo("127.0.0.1", 0, "live", 0, ACE_Time_Value(2, 0), 0);  // a connect would fail
  d.setRecvTimeoutCallbackFun([](void*) { ADD_FAILURE() << "callback"; }, nullptr);
  CoutCapture out;
  EXPECT_FALSE(d.startRTSPDownload(false, false));
  EXPECT_FALSE(d.isRunning());
  EXPECT_EQ(out.text.str(), "");
}

}  // namespace
