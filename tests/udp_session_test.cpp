// Sessions over UDP against the scripted server: the SETUP and its reply,
// the sender filter, the fallbacks to interleaved TCP, failures and stop
// during reception, and ordered delivery across the wrap.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <gtest/gtest.h>

#include "support/open_descriptors.h"
#include "support/scripted_server.h"

namespace {

using namespace rtsptest;

// A datagram socket on 127.0.0.1 with an ephemeral port.
struct Datagram {
  static sockaddr_in loopback(unsigned port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
  }
  Datagram() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local = loopback(0);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  ~Datagram() { ::close(fd); }
  void sendTo(unsigned toPort, const std::string& data) const {
    const sockaddr_in peer = loopback(toPort);
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
unsigned seqOf(const std::string& p) {
  return static_cast<unsigned char>(p[2]) * 256u + static_cast<unsigned char>(p[3]);
}

SessionConfig over(RTSP_TRANSPORT transport, int recvSec = 20, bool reorder = false) {
  SessionConfig config;
  config.options.transport = transport;
  config.options.reorder = reorder;
  config.options.diagnostics = [](const std::string&) {};
  config.recvSec = recvSec;
  return config;
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
    ScriptedServer server(udpScript(transport, "", [&](unsigned client, int tick) {
      for (unsigned seq = 1; seq <= 5 && tick == 0; ++seq) {
        foreign.sendTo(client, rtpPacket(1000 + seq));
        rtp.sendTo(client, rtpPacket(seq));
      }
      return std::string();
    }));
    SessionConfig config = over(RTSP_TRANSPORT_UDP);
    config.localPortBase = base;
    Session s(server.port, config);
    ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
    s.awaitPackets(row.packets);
    EXPECT_EQ(rtcp.receivesWithin(300), row.reportsExpected) << "a report right after PLAY";
    s.d.stop();
    server.finish();
    EXPECT_EQ(s.log->packets.size(), row.packets);
    EXPECT_EQ(std::count_if(s.log->packets.begin(), s.log->packets.end(),
                            [](const std::string& p) { return seqOf(p) < 1000; }),
              5);
    const std::string setup = server.heard("SETUP").at(0).text;
    const auto clientRtpPort =
        static_cast<unsigned>(std::stoul(setup.substr(setup.find("client_port=") + 12)));
    EXPECT_GE(clientRtpPort, base + 1);
    EXPECT_EQ(clientRtpPort % 2, 0u);
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
    ScriptedServer server(udpScript(
        ";server_port=9-10", row.refuseUdp,
        [](unsigned client, int tick) {
          return client == 0 && tick == 0 ? frame('$', 0, rtpPacket(1)) : std::string();
        },
        row.connections));
    Session s(server.port, over(RTSP_TRANSPORT_UDP_THEN_TCP));
    ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
    s.awaitPackets(1);
    EXPECT_EQ(s.log->packetCount(), 1u);
    EXPECT_EQ(s.d.lastFailure().transport, RTSP_TRANSPORT_TCP);
    s.d.stop();
    server.finish();
    std::string requests;  // "<connection> <method>\n" for each
    for (const Heard& h : server.heard())
      requests += std::to_string(h.connection) + " " + methodOf(h.text) + "\n";
    EXPECT_NE(requests.find(row.heard), std::string::npos) << requests;
  }
}

// Five starts and stops while the server streams (until the client's
// TEARDOWN arrives): each stop is prompt and no descriptor stays open.
TEST(UdpSession, StopDuringReceptionLeaksNothing) {
  const int before = openDescriptors();
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    Datagram rtp;
    ScriptedServer server(
        udpScript(";server_port=" + std::to_string(rtp.port), "", [&](unsigned client, int tick) {
          for (unsigned seq = 0; seq < 50; ++seq)
            rtp.sendTo(client, rtpPacket((static_cast<unsigned>(tick) * 50 + seq) & 0xFFFF));
          return std::string();
        }));
    Session s(server.port, over(RTSP_TRANSPORT_UDP));
    ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
    s.awaitPackets(20);
    const auto stopAt = std::chrono::steady_clock::now();
    s.d.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(500));
    EXPECT_GE(s.log->packets.size(), 20u);
    EXPECT_EQ(s.d.lastFailure().cause, RTSP_CAUSE_STOPPED);
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
  ScriptedServer server(
      udpScript(";server_port=" + std::to_string(rtp.port), "", [&](unsigned client, int tick) {
        for (std::size_t i = 0; i < order.size() && tick == 0; ++i) {
          for (std::size_t copy = 0; copy <= (i % 5 == 0); ++copy)
            rtp.sendTo(client, rtpPacket(order[i]));
        }
        return std::string();
      }));
  Session s(server.port, over(RTSP_TRANSPORT_UDP, 20, true));
  ASSERT_TRUE(s.start()) << s.d.lastFailure().detail;
  s.awaitPackets(200);
  s.d.stop();
  ASSERT_EQ(s.log->packets.size(), 200u);
  for (std::size_t i = 0; i < s.log->packets.size(); ++i)
    ASSERT_EQ(seqOf(s.log->packets[i]), (65436 + i) & 0xFFFF) << "delivery " << i;
}

}  // namespace
