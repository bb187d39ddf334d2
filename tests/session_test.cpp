// Whole sessions against the scripted server: the cases of
// tests/data/session_cases.txt (the default handshake byte for byte, every way
// a start fails or reception ends, standard requests, redirects,
// credentials, the fallbacks from UDP to TCP), restarts, keep-alives and
// requests of the server, and UDP: the SETUP and its reply, the sender filter
// and ordered delivery.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "session/auth.h"
#include "session/udp_media.h"
#include "support/open_descriptors.h"
#include "support/rtp_packet.h"
#include "support/data_rows.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// Over `transport`, diagnostics dropped, 20 s without data before reception ends.
SessionConfig quietOver(RTSP_TRANSPORT transport) {
  SessionConfig config;
  config.options.transport = transport;
  config.options.diagnostics = [](const std::string&) {};
  config.recvSec = 20;
  return config;
}

// The server of a case of tests/data/session_cases.txt.
ScriptedServer::Script scriptOf(const std::map<std::string, std::string>& c) {
  if (c.count("udp") != 0) {
    const std::vector<std::string> udp = split(c.at("udp"), "|");
    const std::string tcp = udp.size() > 2 ? udp[2] : "";
    const int connections = c.count("connections") ? std::stoi(c.at("connections")) : 1;
    return udpScript(
        udp.at(0), udp.at(1),
        [tcp](unsigned client, int tick) { return client == 0 && tick == 0 ? tcp : ""; },
        connections);
  }
  const std::size_t atOnce = c.count("drip") ? std::stoul(c.at("drip")) : std::string::npos;
  auto rest = std::make_shared<std::string>();
  auto counts = std::make_shared<std::map<std::string, int>>();  // requests of each method
  ScriptedServer::Script script{[=](const std::string& m, int connection) {
    std::string key = methodOf(m) + " #" + std::to_string((*counts)[methodOf(m)]++);
    if (c.count(key) == 0) key = methodOf(m) + " " + std::to_string(connection);
    if (c.count(key) == 0) key = methodOf(m);
    if (c.count(key) == 0) return HandshakeAnswers()(m);
    const std::string answer = c.at(key);
    *rest = answer.substr(std::min(atOnce, answer.size()));
    return answer.substr(0, atOnce);
  }};
  script.tick = [rest] {
    const std::string byte = rest->substr(0, 1);
    rest->erase(0, std::min<std::size_t>(1, rest->size()));
    return byte;
  };
  script.tickMs = 100;
  if (c.count("connections") != 0) script.connections = std::stoi(c.at("connections"));
  const std::vector<std::string> order = {"", "OPTIONS", "DESCRIBE", "SETUP", "PLAY"};
  if (c.count("close") != 0)
    script.closeAfter = std::find(order.begin(), order.end(), c.at("close")) - order.begin();
  return script;
}

SessionConfig configOf(const std::string& words) {
  // clang-format off
  const std::map<std::string, void (*)(SessionConfig&)> set = {
      {"quiet", [](SessionConfig& c) { c.quiet = true; }},
      {"bounded", [](SessionConfig& c) { c.options.boundedReplies = true; }},
      {"user", [](SessionConfig& c) { c.options.user = "u"; }},
      {"redirects", [](SessionConfig& c) { c.options.maxRedirects = 2; }},
      {"keepalive", [](SessionConfig& c) { c.options.keepAliveSec = 1; c.recvSec = 2; }},
      {"refuse2", [](SessionConfig& c) { c.refusePacket = 2; }},
      {"refuseHeader", [](SessionConfig& c) { c.refuseHeader = true; }},
      {"failOnRefusedHeader", [](SessionConfig& c) { c.options.failOnRefusedHeader = true; }},
      {"refuseThreads", [](SessionConfig& c) { c.refuseThreads = true; }},
      {"pollFails", [](SessionConfig& c) { c.pollFails = true; }},
      {"udp", [](SessionConfig& c) { c.options.transport = RTSP_TRANSPORT_UDP; }},
      {"udpThenTcp", [](SessionConfig& c) { c.options.transport = RTSP_TRANSPORT_UDP_THEN_TCP; }},
      {"standard", [](SessionConfig& c) { c.options.standardRequests = true; }},
      {"sink", [](SessionConfig& c) { c.options.diagnostics = [](const std::string&) {}; }},
      {"buffer256", [](SessionConfig& c) { c.options.receiveBufferBytes = 256 * 1024; }},
      {"credentials", [](SessionConfig& c) { c.options.user = "user"; c.options.password = "s3cret"; c.options.keepAliveSec = 1; c.recvSec = 3; c.options.diagnostics = [](const std::string&) {}; }},
  };
  // clang-format on
  SessionConfig config;
  for (const std::string& word : split(words, " ")) {
    if (!word.empty()) set.at(word)(config);
  }
  return config;
}

// Each case of tests/data/session_cases.txt fails or ends as it says; the
// callback runs once (not after a failed start with quietOnFailure) and finds
// lastFailure() set; no descriptor stays open; with the default requests the
// server got exactly the requests up to the failing one (TEARDOWN only from
// stop() or a refused stream header).
TEST(SessionCases, EveryCase) {
  // clang-format off
  const std::vector<std::string> steps = {"NONE", "CONNECT", "OPTIONS", "DESCRIBE", "SDP", "SETUP", "PLAY", "RECEIVE"};
  const std::vector<std::string> causes = {"NONE", "REFUSED", "NAME_NOT_RESOLVED", "TIMED_OUT", "NETWORK", "AUTH_NEEDED",
      "AUTH_FAILED", "NOT_FOUND", "TRANSPORT_REFUSED", "REDIRECT", "SERVER_ERROR", "MALFORMED_REPLY",
      "CLOSED_BY_SERVER", "NO_DATA", "BAD_DATA", "RECEIVER_REFUSED", "STOPPED", "RESOURCES"};
  // clang-format on
  const auto cases = dataBlocks("session_cases.txt");
  EXPECT_EQ(cases.size(), 60u);
  for (const std::map<std::string, std::string>& c : cases) {
    SCOPED_TRACE(c.at("case"));
    const bool started = c.count("ends") != 0;
    const std::vector<std::string> want = split(c.at(started ? "ends" : "fails"), " | ");
    const std::vector<std::string> code = split(want.at(0), " ");
    SessionConfig config = configOf(c.count("options") ? c.at("options") : "");
    if (c.count("path") != 0) config.path = c.at("path");
    const RTSPSessionOptions& o = config.options;
    const int descriptorsBefore = openDescriptors();
    const bool inOrder = c.count("handshake") != 0;  // Handshake's answers
    const std::string body = inOrder && !c.at("handshake").empty() ? c.at("handshake") : kSdp;
    const std::string setup = c.count("setup") != 0 ? c.at("setup") : "";
    const bool length = c.count("noLength") == 0;
    ScriptedServer server(
        inOrder ? ScriptedServer::inOrder(Handshake(0, body, length, setup).answers, false)
                : scriptOf(c));
    Session s(server.port, config);
    waits() = 0;
    EXPECT_EQ(s.start(), started);
    EXPECT_FALSE(s.start()) << "a second start while running";
    EXPECT_FALSE(s.d.setOptions(o)) << "options replaced while running";
    EXPECT_TRUE(s.d.isRunning());
    EXPECT_EQ(CRTSPDownloadTestPeer{s.d}.streamOpen(), started);
    int size = 0;
    socklen_t sizeLength = sizeof size;
    ::getsockopt(CRTSPDownloadTestPeer{s.d}.streamHandle(), SOL_SOCKET, SO_RCVBUF, &size,
                 &sizeLength);
    EXPECT_TRUE(!inOrder || (size >= (o.receiveBufferBytes ? o.receiveBufferBytes : 32768) &&
                             size <= (o.receiveBufferBytes ? 1 << 30 : 65536)))
        << "SO_RCVBUF " << size;
    const bool stopped = code.at(1) == "STOPPED";
    if (started && !stopped) s.await([&] { return s.notes > 0; }, 15000);
    // stop() wakes a thread waiting for data: the callback then runs too.
    if (stopped) s.await([] { return waits() > 0; });
    if (started && c.count("playMs") != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(c.at("playMs"))));
    s.d.stop();
    server.finish();
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    const RTSPFailure got = s.d.lastFailure();
    const bool tcp =
        c.count("transport") ? c.at("transport") == "TCP" : o.transport == RTSP_TRANSPORT_TCP;
    EXPECT_EQ(got.transport, tcp ? RTSP_TRANSPORT_TCP : RTSP_TRANSPORT_UDP);
    EXPECT_EQ(steps.at(got.step), code.at(0));
    EXPECT_EQ(causes.at(got.cause), code.at(1));
    EXPECT_EQ(std::to_string(got.statusCode), code.at(2));
    EXPECT_EQ(got.statusLine, want.at(1));
    EXPECT_EQ(got.detail, want.at(2));
    EXPECT_EQ(s.notes, config.quiet && !started ? 0 : 1);
    EXPECT_EQ(s.atCallback.detail, s.notes > 0 ? want.at(2) : "");
    const std::vector<std::string> none;
    EXPECT_EQ(s.log->packets, c.count("packets") ? split(c.at("packets"), "|") : none);
    std::string heard;  // "<connection> <method>" for each
    for (const Heard& h : server.heard())
      heard += (heard.empty() ? "" : "|") + std::to_string(h.connection) + " " + methodOf(h.text);
    // What a case does not say is not checked.
    const auto said = [&](const std::string& key, const std::string& text) {
      return c.count(key) != 0 ? server.withPort(c.at(key)) : text;
    };
    EXPECT_EQ(heard, said("heard", heard));
    for (const std::string method :
         {"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "GET_PARAMETER", "TEARDOWN"}) {
      const std::vector<Heard> last = server.heard(method);
      const std::string text = last.empty() ? "" : last.back().text;
      EXPECT_EQ(text, said(method + " heard", text)) << method;
      const std::string sent = headerOf(text, "Authorization"),
                        uri = text.substr(0, text.find(" RTSP/"));
      const std::string start = said(method + " authorization", sent);
      EXPECT_EQ(sent.substr(0, start.size()), start) << method;
      EXPECT_TRUE(sent.compare(0, 7, "Digest ") != 0 ||  // the request line's URI, exactly
                  sent.find("uri=\"" + uri.substr(method.size() + 1) + "\"") != std::string::npos)
          << sent;
    }
    for (const std::string& line : s.lines) {
      EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
      EXPECT_EQ(line.find(base64Encode("user:s3cret")), std::string::npos) << line;
    }
    EXPECT_EQ(std::count(s.lines.begin(), s.lines.end(), "Authorization: <credentials hidden>") > 0,
              !o.password.empty());
    const bool refused = code.at(1) == "RECEIVER_REFUSED";
    EXPECT_EQ(s.log->header.empty(), !started && !refused);
    if (o.keepAliveSec || !o.user.empty() || o.maxRedirects || o.transport || o.standardRequests)
      continue;
    const Handshake shake(server.port, body, length, setup);
    std::string sink;
    for (const std::string& line : s.lines) sink += line + "\r\n";
    EXPECT_EQ(inOrder ? (o.diagnostics ? sink : s.out()) : shake.echo, shake.echo);
    const std::string header = kHeader + "|" + (body + std::string(8192, '\0')).substr(0, 8192);
    EXPECT_EQ(inOrder ? s.log->header : header, header);
    const std::size_t index[] = {0, 0, 0, 1, 1, 2, 3, 3};  // of the request of each step
    const bool teardown = stopped || (!started && refused);
    EXPECT_EQ(server.received(), shake.sent[started ? shake.sent.size() - 1 : index[got.step]] +
                                     (teardown ? shake.teardown : ""));
  }
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

// A server announcing the timeout that sends a numbered frame every 20 ms,
// answers keep-alives with `keepAliveAnswer`, and after 1 s of playback sends
// a request of the keep-alive's method and a SET_PARAMETER between two frames.
TEST(SessionOptions, KeepAlivesAndServerRequestsDuringPlayback) {
  struct Row {
    const char* name;
    int keepAliveSec;
    std::string session, publicHeader, keepAliveAnswer, method;
    bool recommended;  // options: recommended() (else the defaults with keepAliveSec)
  };
  // clang-format off
  const Row rows[] = {
      {"GET_PARAMETER answered 400 with a stale CSeq", -1, "4711;timeout=2", "OPTIONS, GET_PARAMETER", "RTSP/1.0 400 Bad Request\r\nCSeq: 1\r\n\r\n", "GET_PARAMETER", false},
      {"OPTIONS never answered", -1, "4711;timeout=2", "OPTIONS, DESCRIBE", "", "OPTIONS", true},
      {"every second, a reply with a body", 1, "4711", "GET_PARAMETER", "RTSP/1.0 200 OK\r\nCSeq: 5\r\nContent-Length: 9\r\n\r\n$abc\r\n\r\nx", "GET_PARAMETER", false},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HandshakeAnswers handshake;
    handshake.session = row.session;
    handshake.publicHeader = row.publicHeader;
    std::uint32_t sent = 0;
    std::atomic<bool> playing{false};
    ScriptedServer::Script script{[&](const std::string& m, int) {
      if (methodOf(m) == row.method && sent > 0) return row.keepAliveAnswer;
      playing = playing || methodOf(m) == "PLAY";
      return handshake(m);
    }};
    script.tick = [&]() -> std::string {
      if (!playing) return std::string();
      std::string bytes = numbered(sent++);
      if (sent == 50) {  // 1 s in
        bytes += row.method + " * RTSP/1.0\r\nCSeq: 77\r\n\r\n" + numbered(sent++) +
                 "SET_PARAMETER rtsp://c/ RTSP/1.0\r\nCSeq: 7 8\r\nContent-Length: 3\r\n\r\nx=1";
      }
      return bytes;
    };
    ScriptedServer server(script);
    RTSPSessionOptions options =
        row.recommended ? RTSPSessionOptions::recommended() : RTSPSessionOptions();
    if (!row.recommended) options.keepAliveSec = row.keepAliveSec;
    options.tolerantMedia = false;  // the frames carry numbers, not RTP
    options.diagnostics = [](const std::string&) {};
    Session s(server.port, {options});
    ASSERT_TRUE(s.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(2400));
    s.d.stop();
    server.finish();
    EXPECT_EQ(s.d.lastFailure().cause, RTSP_CAUSE_STOPPED);

    const std::vector<Heard> keepAlives = server.heard(row.method);
    const std::string url = (row.recommended ? "rtsp" : "Rtsp") +
                            ("://127.0.0.1:" + std::to_string(server.port)) + "/live";
    const std::size_t first = row.method == "OPTIONS" ? 1 : 0;  // the handshake's OPTIONS
    ASSERT_GE(keepAlives.size(), first + 2);
    for (std::size_t i = first; i < keepAlives.size(); ++i) {
      const auto cseq = static_cast<unsigned>(5 + i - first);
      const std::string agent = row.recommended ? "User-Agent: (ORVE Streaming Media )\r\n" : "";
      EXPECT_EQ(keepAlives[i].text,
                request(row.method + " " + url, cseq, "Session: 4711\r\n" + agent));
      const double gap =
          keepAlives[i].at - (i == first ? server.heard("PLAY")[0].at : keepAlives[i - 1].at);
      EXPECT_GT(gap, 0.8);
      EXPECT_LT(gap, 1.5);
    }
    const std::vector<Heard> answers = server.heard("RTSP/1.0");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].text, "RTSP/1.0 200 OK\r\nCSeq: 77\r\n\r\n");
    EXPECT_EQ(answers[1].text, "RTSP/1.0 501 Not Implemented\r\nCSeq: 78\r\n\r\n");
    const std::vector<Heard> teardown = server.heard("TEARDOWN");  // numbered after them
    EXPECT_EQ(headerOf(teardown.at(0).text, "CSeq"), std::to_string(5 + keepAlives.size() - first));
    EXPECT_GT(s.log->packets.size(), 80u);
    for (std::size_t i = 0; i < s.log->packets.size(); ++i) {
      ASSERT_EQ(s.log->packets[i], numbered(static_cast<std::uint32_t>(i)).substr(4)) << i;
    }
  }
}

std::string rtpPacket(unsigned seq) { return RtpPacket(seq, 0, 0x11223344, false, 40, 'x'); }
unsigned seqOf(const std::string& p) {
  return static_cast<unsigned char>(p[2]) * 256u + static_cast<unsigned char>(p[3]);
}

std::vector<unsigned> seqs(unsigned first, unsigned last) {
  std::vector<unsigned> all;
  for (unsigned seq = first; seq != last + 1; seq = (seq + 1) & 0xFFFF) all.push_back(seq);
  return all;
}

// Each row's server sends `sent` from its RTP port at tick 0, `again` at tick
// 50 (after a pause longer than the rests that look for it) and, with
// `flood`, 50 more every tick; with `foreign`, 1000 + each of `sent` from
// another port before it. The client's ports are searched from an odd
// localPortBase; every stop is prompt and leaves no descriptor open.
TEST(UdpSession, ReceivesFromTheSenderTheSetupReplyNames) {
  struct Row {
    const char* name;
    std::string transport;  // after client_port=A-B; "%S" stands for the server's ports
    std::vector<unsigned> sent, again;
    bool foreign, reorder, flood;
    std::vector<unsigned> delivered;  // in order (with `flood`, the first ones)
  };
  // 65436 to 99, each group of eight after the first reversed, every fifth twice.
  std::vector<unsigned> wrap = seqs(65436, 99), shuffled;
  for (auto group = wrap.begin() + 8; group < wrap.end(); group += 8)
    std::reverse(group, group + 8);
  for (std::size_t i = 0; i < wrap.size(); ++i)
    shuffled.insert(shuffled.end(), 1 + (i % 5 == 0), wrap[i]);
  const std::vector<unsigned> both = {1001, 1, 1002, 2, 1003, 3, 1004, 4, 1005, 5};
  std::vector<unsigned> paused = seqs(1, 5), flood = seqs(0, 19);
  paused.insert(paused.end(), {51, 52, 53, 54, 55});
  // name, transport, sent, again, foreign, reorder, flood, delivered
  // clang-format off
  const Row rows[] = {
      {"server_port, ssrc and source", ";server_port=%S;ssrc=11223344;source=127.0.0.1", seqs(1, 5), {}, true, false, false, seqs(1, 5)},
      {"server_port alone", ";server_port=%S", seqs(1, 5), {}, true, false, false, seqs(1, 5)},
      {"nothing but the client ports", "", seqs(1, 5), {}, true, false, false, both},
      {"a pause", ";server_port=%S", seqs(1, 5), seqs(51, 55), false, false, false, paused},
      {"reordered across the wrap", ";server_port=%S", shuffled, {}, false, true, false, seqs(65436, 99)},
      {"stop during a flood", ";server_port=%S", {}, {}, false, false, true, flood},
  };
  // clang-format on
  const unsigned base = 50001 + static_cast<unsigned>(::getpid() % 1000) * 2;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Datagram rtp, rtcp, foreign;
    const int descriptors = openDescriptors();
    std::string transport = row.transport;
    const std::size_t at = transport.find("%S");
    if (at != std::string::npos)
      transport.replace(at, 2, std::to_string(rtp.port) + "-" + std::to_string(rtcp.port));
    ScriptedServer server(udpScript(transport, "", [&](unsigned client, int tick) {
      const std::vector<unsigned>& now = tick == 0 ? row.sent : tick == 50 ? row.again : wrap;
      for (std::size_t i = 0; i < now.size() && now != wrap; ++i) {
        if (row.foreign) foreign.sendTo(client, rtpPacket(1000 + now[i]));
        rtp.sendTo(client, rtpPacket(now[i]));
      }
      for (unsigned i = 0; i < 50 && row.flood; ++i) rtp.sendTo(client, rtpPacket(tick * 50u + i));
      return std::string();
    }));
    SessionConfig config = quietOver(RTSP_TRANSPORT_UDP);
    config.localPortBase = base;
    config.options.reorder = row.reorder;
    Session s(server.port, config);
    ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
    EXPECT_TRUE(s.awaitPackets(row.delivered.size()));
    const bool reports = at != std::string::npos;
    EXPECT_EQ(rtcp.receive(300).empty(), !reports) << "a report right after PLAY";
    EXPECT_EQ(rtp.receive(300).substr(0, 1), reports ? "\x80" : "")
        << "the packet that opens the path, RTP version 2";
    const auto stopAt = std::chrono::steady_clock::now();
    s.d.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(500));
    server.finish();
    std::vector<unsigned> delivered;
    for (const std::string& p : s.log->packets) delivered.push_back(seqOf(p));
    if (row.flood) delivered.resize(std::min(delivered.size(), row.delivered.size()));
    EXPECT_EQ(delivered, row.delivered);
    const std::string setup = server.heard("SETUP").at(0).text;
    const auto clientRtpPort =
        static_cast<unsigned>(std::stoul(setup.substr(setup.find("client_port=") + 12)));
    EXPECT_GE(clientRtpPort, base + 1);
    EXPECT_EQ(clientRtpPort % 2, 0u);
    EXPECT_NE(setup.find("client_port=" + std::to_string(clientRtpPort) + "-" +
                         std::to_string(clientRtpPort + 1) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(openDescriptors(), descriptors);
  }
}

// With a rest on the interleaved connection, the frames that came during a
// rest are delivered whole and in order, and stop() does not wait for a rest
// (of a second here) to run out.
TEST(Session, InterleavedRestDeliversInOrderAndStopsAtOnce) {
  ScriptedServer server(udpScript("", "", [](unsigned, int tick) {
    std::string out;
    for (unsigned seq = 1; seq <= 3 && tick < 20; ++seq)
      out += frame('$', 0, rtpPacket(static_cast<unsigned>(tick) * 3 + seq));
    return out;
  }));
  SessionConfig config = quietOver(RTSP_TRANSPORT_TCP);
  config.options.interleavedRestMs = 1000;
  Session s(server.port, config);
  ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
  ASSERT_TRUE(s.awaitPackets(60)) << s.log->packetCount() << " packets";
  for (std::size_t i = 0; i < 60; ++i)
    ASSERT_EQ(seqOf(s.log->packets[i]), i + 1) << "delivery " << i;
  const auto before = std::chrono::steady_clock::now();
  s.d.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
  server.finish();
}

// Waits until the kernel charges `fd`'s receive queue at least `bytes`
// (up to 5 s); what it charges then.
unsigned awaitQueued(int fd, unsigned bytes) {
  unsigned info[SK_MEMINFO_VARS] = {};
  for (int i = 0; i < 1000 && info[SK_MEMINFO_RMEM_ALLOC] < bytes; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    socklen_t length = sizeof info;
    ::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length);
  }
  return info[SK_MEMINFO_RMEM_ALLOC];
}

// One receive takes what waits, in calls of `batch` datagrams, counts what
// it took, and says whether it left the socket empty (the receive loop
// rests only then).
TEST(UdpBatchReceiver, SaysWhetherItLeftTheSocketEmpty) {
  struct Row {
    const char* name;
    std::size_t sent, batch;
    int maxCalls;
    bool fromSender;  // the filter accepts the sender
    long delivered;
    bool drained;
  };
  // name, sent, batch, maxCalls, fromSender, delivered, drained
  const Row rows[] = {
      {"under a batch", 3, 4, 8, true, 3, true},
      {"a whole batch, then nothing", 4, 4, 8, true, 4, true},
      {"more than the calls take", 10, 4, 2, true, 8, false},
      {"from another sender", 3, 4, 8, false, 0, true},
  };
  for (const Row& row : rows) {
    Datagram sender, receiver;
    ::fcntl(receiver.fd, F_SETFL, O_NONBLOCK);
    const std::string datagram(200, 'd');
    // Every datagram waits in the socket before the receive.
    sender.sendTo(receiver.port, datagram);
    const unsigned one = awaitQueued(receiver.fd, 1);
    for (std::size_t i = 1; i < row.sent; ++i) sender.sendTo(receiver.port, datagram);
    awaitQueued(receiver.fd, one * static_cast<unsigned>(row.sent));
    UdpBatchReceiver batch(row.batch);
    std::uint64_t ignored = 0;
    std::size_t handed = 0;
    const UdpBatchReceiver::Outcome got = batch.receive(
        receiver.fd, UdpSourceFilter(htonl(row.fromSender ? INADDR_LOOPBACK : 0x0A000001), {}),
        [&](const char*, std::size_t size) {
          handed += size;
          return true;
        },
        ignored, row.maxCalls);
    EXPECT_EQ(got.delivered, row.delivered) << row.name;
    EXPECT_EQ(got.drained, row.drained) << row.name;
    EXPECT_EQ(handed, datagram.size() * static_cast<std::size_t>(row.delivered)) << row.name;
    EXPECT_EQ(got.bytes, datagram.size() * got.datagrams) << row.name;
    EXPECT_EQ(ignored, got.datagrams - static_cast<std::size_t>(row.delivered)) << row.name;
    EXPECT_EQ(got.datagrams, std::min(row.sent, row.batch * static_cast<std::size_t>(row.maxCalls)))
        << row.name;
  }
}

}  // namespace
