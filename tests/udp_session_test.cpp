// Sessions over UDP against scripted servers on 127.0.0.1: the SETUP and its
// reply, the sender filter, the fallbacks to interleaved TCP, failures and
// stop during reception, and ordered delivery across the wrap.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/open_descriptors.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

sockaddr_in loopbackAddress(unsigned port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

// A datagram socket on 127.0.0.1 with an ephemeral port.
struct Datagram {
  Datagram() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local = loopbackAddress(0);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  ~Datagram() { ::close(fd); }
  void sendTo(unsigned toPort, const std::string& data) const {
    const sockaddr_in peer = loopbackAddress(toPort);
    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
             sizeof peer);
  }
  bool receivesWithin(int ms) const {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }
  int fd;
  unsigned port;
};

std::string rtpPacket(unsigned seq) {
  return std::string("\x80\x60", 2) + static_cast<char>(seq >> 8 & 0xFF) +
         static_cast<char>(seq & 0xFF) + std::string(4, '\0') + "\x11\x22\x33\x44" +
         std::string(28, 'x');
}

unsigned seqOf(const std::string& packet) {
  return static_cast<unsigned char>(packet[2]) * 256u + static_cast<unsigned char>(packet[3]);
}

// A scripted server for UDP sessions: answers as HandshakeAnswers does and
// TEARDOWN with 200; a SETUP with client ports gets `udpTransport` after them
// (or `refuseUdp`, e.g. "461 Unsupported Transport", when given), one without
// them interleaved TCP. At every tick from PLAY to the next request,
// `afterPlay` runs with the client's RTP port (0 over TCP) and the tick's
// number (from 0); what it returns goes on the connection.
struct UdpServer {
  using AfterPlay = std::function<std::string(unsigned clientRtpPort, int tick)>;
  UdpServer(std::string udp, AfterPlay play, int connections = 1, std::string refuse = "")
      : udpTransport(std::move(udp)),
        refuseUdp(std::move(refuse)),
        afterPlay(std::move(play)),
        server([this](const std::string& m, int) { return answer(m); },
               [this] { return afterPlay && tick >= 0 ? afterPlay(clientRtpPort, tick++) : ""; },
               connections) {}
  std::string answer(const std::string& m) {
    const unsigned cseq = static_cast<unsigned>(std::stoul(headerOf(m, "CSeq")));
    const std::string::size_type client = m.find("client_port=");
    tick = methodOf(m) == "PLAY" ? 0 : -1;
    if (methodOf(m) == "TEARDOWN") return reply("200 OK", cseq);
    if (methodOf(m) != "SETUP") return HandshakeAnswers()(m);
    clientRtpPort =
        client == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(m.substr(client + 12)));
    const std::string ports =
        std::to_string(clientRtpPort) + "-" + std::to_string(clientRtpPort + 1);
    if (clientRtpPort == 0)
      return reply("200 OK", cseq, "Session: 77\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n");
    if (!refuseUdp.empty()) return reply(refuseUdp, cseq);
    return reply(
        "200 OK", cseq,
        "Session: 77\r\nTransport: RTP/AVP;unicast;client_port=" + ports + udpTransport + "\r\n");
  }
  // "<connection> <method>\n" for each request heard so far.
  std::string requests() {
    std::string all;
    for (const Heard& h : server.heard())
      all += std::to_string(h.connection) + " " + methodOf(h.text) + "\n";
    return all;
  }
  std::string udpTransport, refuseUdp;
  AfterPlay afterPlay;
  unsigned clientRtpPort = 0;  // server thread; read after finish()
  int tick = -1;
  ScriptedServer server;  // last: stops before the members it uses go
};

RTSPSessionOptions withTransport(RTSP_TRANSPORT transport, bool reorder = false) {
  RTSPSessionOptions options;
  options.transport = transport;
  options.reorder = reorder;
  return options;
}

// The server sends packets 1 to 5 from its RTP port and 1001 to 1005 from
// another one; the client's ports are searched from an odd localPortBase.
TEST(UdpSession, ReceivesFromTheSenderTheSetupReplyNames) {
  struct Row {
    const char* name;
    std::string transport;  // after client_port=A-B; "%S" stands for the server's ports
    std::size_t packets;    // received: from the RTP port alone, or from both
    bool reportsExpected;
  };
  const Row rows[] = {
      {"server_port, ssrc and source", ";server_port=%S;ssrc=11223344;source=127.0.0.1", 5, true},
      {"server_port alone", ";server_port=%S", 5, true},
      {"nothing but the client ports", "", 10, false},
  };
  const unsigned base = 50001 + static_cast<unsigned>(::getpid() % 1000) * 2;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Datagram rtp, rtcp, foreign;
    std::string transport = row.transport;
    const std::size_t at = transport.find("%S");
    if (at != std::string::npos)
      transport.replace(at, 2, std::to_string(rtp.port) + "-" + std::to_string(rtcp.port));
    UdpServer server(transport, [&](unsigned client, int tick) {
      for (unsigned seq = 1; seq <= 5 && tick == 0; ++seq) {
        foreign.sendTo(client, rtpPacket(1000 + seq));
        rtp.sendTo(client, rtpPacket(seq));
      }
      return std::string();
    });
    OptionsSession session(server.server.port, withTransport(RTSP_TRANSPORT_UDP), "live", 20, base);
    ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
    session.awaitPackets(row.packets);
    EXPECT_EQ(rtcp.receivesWithin(300), row.reportsExpected) << "a report right after PLAY";
    session.d.stop();
    server.server.finish();
    EXPECT_EQ(session.log->packets.size(), row.packets);
    const auto fromServer = std::count_if(session.log->packets.begin(), session.log->packets.end(),
                                          [](const std::string& p) { return seqOf(p) < 1000; });
    EXPECT_EQ(fromServer, 5);
    EXPECT_GE(server.clientRtpPort, base + 1);
    EXPECT_EQ(server.clientRtpPort % 2, 0u);
  }
}

TEST(UdpSession, FallsBackToInterleavedTcp) {
  struct Row {
    const char* name;
    std::string refuseUdp;  // the answer to SETUP over UDP; "": 200, then silence
    int connections;
    std::string heard;  // in the requests the server heard
  };
  const Row rows[] = {
      {"461: SETUP again on the connection", "461 Unsupported Transport", 1, "0 SETUP\n0 SETUP\n"},
      {"silence after PLAY: TEARDOWN and a new connection", "", 2, "0 TEARDOWN\n1 OPTIONS\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    UdpServer server(
        ";server_port=9-10",
        [](unsigned client, int tick) {
          return client == 0 && tick == 0 ? frame('$', 0, rtpPacket(1)) : std::string();
        },
        row.connections, row.refuseUdp);
    OptionsSession session(server.server.port, withTransport(RTSP_TRANSPORT_UDP_THEN_TCP), "live",
                           20);
    ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
    session.awaitPackets(1);
    EXPECT_EQ(session.log->packetCount(), 1u);
    EXPECT_EQ(session.d.lastFailure().transport, RTSP_TRANSPORT_TCP);
    session.d.stop();
    server.server.finish();
    EXPECT_NE(server.requests().find(row.heard), std::string::npos) << server.requests();
  }
}

// Without a fallback, a refused SETUP fails the start and silence ends
// reception (1 s timeout), with the reason; the ports are released.
TEST(UdpSession, FailuresSayWhyAndReleaseThePorts) {
  struct Row {
    const char* name;
    std::string refuseUdp;
    RTSP_STEP step;
    int statusCode;
    std::string detail;
  };
  const Row rows[] = {
      {"SETUP refused", "461 Unsupported Transport", RTSP_STEP_SETUP, 461,
       "the server refused SETUP"},
      {"silence", "", RTSP_STEP_RECEIVE, 0, "timed out after 1 s without data"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const int before = openDescriptors();
    {
      UdpServer server(";server_port=9-10", nullptr, 1, row.refuseUdp);
      OptionsSession session(server.server.port, withTransport(RTSP_TRANSPORT_UDP));
      EXPECT_EQ(session.d.startRTSPDownload(true, true), row.statusCode == 0);
      for (int i = 0; i < 300 && session.d.lastFailure().step == RTSP_STEP_NONE; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_EQ(session.d.lastFailure().step, row.step);
      EXPECT_EQ(session.d.lastFailure().statusCode, row.statusCode);
      EXPECT_EQ(session.d.lastFailure().detail, row.detail);
      session.d.stop();
      server.server.finish();
      EXPECT_EQ(openDescriptors(), before);
    }
  }
}

// Five starts and stops while the server streams (until the client's
// TEARDOWN arrives): each stop is prompt and no descriptor stays open.
TEST(UdpSession, StopDuringReceptionLeaksNothing) {
  const int before = openDescriptors();
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    Datagram rtp;
    UdpServer server(";server_port=" + std::to_string(rtp.port), [&](unsigned client, int tick) {
      for (unsigned seq = 0; seq < 50; ++seq)
        rtp.sendTo(client, rtpPacket((static_cast<unsigned>(tick) * 50 + seq) & 0xFFFF));
      return std::string();
    });
    OptionsSession session(server.server.port, withTransport(RTSP_TRANSPORT_UDP), "live", 20);
    ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
    session.awaitPackets(20);
    const auto stopAt = std::chrono::steady_clock::now();
    session.d.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(500));
    EXPECT_GE(session.log->packets.size(), 20u);
  }
  EXPECT_EQ(openDescriptors(), before);
}

// Sequence numbers 65436 to 99, each group of eight after the first sent in
// reverse, every fifth packet twice: the host gets each once, in order.
TEST(UdpSession, ReorderDeliversEveryPacketOnceInOrderAcrossTheWrap) {
  Datagram rtp;
  std::vector<unsigned> order;
  for (unsigned i = 0; i < 200; ++i) order.push_back((65436 + i) & 0xFFFF);
  for (auto group = order.begin() + 8; group < order.end(); group += 8)
    std::reverse(group, group + 8);
  UdpServer server(";server_port=" + std::to_string(rtp.port), [&](unsigned client, int tick) {
    for (std::size_t i = 0; i < order.size() && tick == 0; ++i) {
      for (std::size_t copy = 0; copy <= (i % 5 == 0); ++copy)
        rtp.sendTo(client, rtpPacket(order[i]));
    }
    return std::string();
  });
  OptionsSession session(server.server.port, withTransport(RTSP_TRANSPORT_UDP, true), "live", 20);
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
  session.awaitPackets(200);
  session.d.stop();
  ASSERT_EQ(session.log->packets.size(), 200u);
  for (std::size_t i = 0; i < session.log->packets.size(); ++i)
    ASSERT_EQ(seqOf(session.log->packets[i]), (65436 + i) & 0xFFFF) << "delivery " << i;
}

}  // namespace
