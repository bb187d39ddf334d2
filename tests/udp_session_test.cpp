// Sessions over UDP against scripted servers on 127.0.0.1: the SETUP and its
// reply, the sender filter, the fallbacks to interleaved TCP, stop during
// reception, the silence timeout, and ordered delivery across the wrap.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <rtsppull/rtsp_download.h>

#include "support/loopback.h"
#include "support/open_descriptors.h"
#include "support/session_peer.h"
#include "support/session_support.h"

namespace {

using rtsptest::reply;

// A datagram socket on 127.0.0.1 with an ephemeral port.
struct Datagram {
  Datagram() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local = to(0);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  ~Datagram() { ::close(fd); }
  static sockaddr_in to(unsigned toPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(toPort));
    return a;
  }
  void sendTo(unsigned toPort, const std::string& data) const {
    const sockaddr_in peer = to(toPort);
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

std::string RtpPacket(unsigned seq) {
  std::string p = std::string("\x80\x60", 2) + static_cast<char>(seq >> 8 & 0xFF) +
                  static_cast<char>(seq & 0xFF) + std::string(4, '\0') + "\x11\x22\x33\x44";
  return p + std::string(28, 'x');
}

unsigned SeqOf(const std::string& packet) {
  return static_cast<unsigned char>(packet[2]) * 256u + static_cast<unsigned char>(packet[3]);
}

// The value of `name=` in a Transport header, e.g. client_port.
std::string TransportParameter(const std::string& head, const std::string& name) {
  const std::size_t at = head.find(name + "=");
  if (at == std::string::npos) return "";
  const std::size_t from = at + name.size() + 1;
  return head.substr(from, head.find_first_of(";\r-", from) - from);
}

// A scripted RTSP server serving `connections` connections one after the
// other. It answers every request with 200 (DESCRIBE with kSdp); SETUP over
// UDP with `udpTransport` after the client's ports, or with `refuseUdp`
// (e.g. "461 Unsupported Transport") when given; SETUP without client_port
// with interleaved TCP. Right after the answer to PLAY, `afterPlay` runs on
// the server thread with the connection's number, its descriptor and the
// client's RTP port (0 over TCP). `requests` ("<connection> <method>\n"
// each) may be read after finish().
struct ScriptedServer {
  using AfterPlay = std::function<void(int connection, int fd, unsigned clientRtpPort)>;
  ScriptedServer(std::string udpTransport, AfterPlay play, int connections = 1,
                 std::string refuse = "")
      : transport(std::move(udpTransport)),
        refuseUdp(std::move(refuse)),
        afterPlay(std::move(play)) {
    listenFd = listenLoopback(port);
    thread = std::thread([this, connections] {
      for (int c = 0; c < connections; ++c) serveOne(c);
    });
  }
  ~ScriptedServer() {
    finish();
    ::close(listenFd);
  }
  void finish() {
    if (thread.joinable()) thread.join();
  }
  std::string answer(const std::string& method, const std::string& head, unsigned& clientPort) {
    const unsigned cseq = static_cast<unsigned>(std::stoul(head.substr(head.find("CSeq: ") + 6)));
    const std::string client = TransportParameter(head, "client_port");
    if (method == "DESCRIBE") {
      return reply("200 OK", cseq,
                   "Content-Length: " + std::to_string(rtsptest::kSdp.size()) + "\r\n",
                   rtsptest::kSdp);
    }
    if (method != "SETUP") return reply("200 OK", cseq, "Session: 77\r\n");
    if (client.empty())
      return reply("200 OK", cseq,
                   "Session: 77\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    if (!refuseUdp.empty()) return reply(refuseUdp, cseq);
    clientPort = static_cast<unsigned>(std::stoul(client));
    return reply("200 OK", cseq,
                 "Session: 77\r\nTransport: RTP/AVP;unicast;client_port=" + client + "-" +
                     std::to_string(clientPort + 1) + transport + "\r\n");
  }
  void serveOne(int connection) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    unsigned clientRtpPort = 0;
    std::string head;
    for (char c; fd >= 0 && ::recv(fd, &c, 1, 0) == 1;) {
      head += c;
      if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) continue;
      const std::string method = head.substr(0, head.find(' '));
      requests += std::to_string(connection) + " " + method + "\n";
      const std::string text = answer(method, head, clientRtpPort);
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
      if (method == "PLAY" && afterPlay) afterPlay(connection, fd, clientRtpPort);
      head.clear();
    }
    if (fd >= 0) ::close(fd);
  }
  std::string transport, refuseUdp;
  AfterPlay afterPlay;
  unsigned port = 0;
  int listenFd = -1;
  std::string requests;
  std::thread thread;
};

// Sends interleaved RTP frames with these sequence numbers on `fd`.
void SendInterleaved(int fd, std::vector<unsigned> seqs) {
  std::string frames;
  for (unsigned seq : seqs) frames += rtsptest::frame('$', 0, RtpPacket(seq));
  ::send(fd, frames.data(), frames.size(), MSG_NOSIGNAL);
}

// A session for 127.0.0.1:<port>/live with `transport` and a recording host.
struct UdpSession {
  explicit UdpSession(unsigned port, RTSP_TRANSPORT transport = RTSP_TRANSPORT_UDP,
                      bool reorder = false, int recvTimeoutSec = 20, unsigned localPortBase = 0) {
    RTSPSessionOptions options;
    options.transport = transport;
    options.reorder = reorder;
    options.diagnostics = [](const std::string&) {};  // not on std::cout
    d.initInfo("127.0.0.1", port, "live", localPortBase, ACE_Time_Value(2, 0), 0);
    d.registeRTPReceiver(log);
    d.setOptions(options);
    CRTSPDownloadTestPeer{d}.setTimeouts(recvTimeoutSec, 5);
  }
  // Waits up to 3 s for `count` packets.
  void awaitPackets(std::size_t count) {
    for (int i = 0; i < 600 && log->packets().size() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  struct Host : rtsptest::HostLog {
    bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
      std::lock_guard<std::mutex> lock(mutex);
      return HostLog::OnRecvData(data, length, isFileHeader, sdp);
    }
    std::vector<std::string> packets() {
      std::lock_guard<std::mutex> lock(mutex);
      return HostLog::packets;
    }
    std::mutex mutex;
  };
  Host* log = new Host;  // owned by d
  CRTSPDownload d;
};

struct ReplyRow {
  const char* name;
  std::string transport;  // after client_port=A-B; "%S" stands for the server's ports
  bool reportsExpected;
};

TEST(UdpSession, ReceivesFromTheSenderTheSetupReplyNames) {
  const ReplyRow rows[] = {
      {"server_port, ssrc and source", ";server_port=%S;ssrc=11223344;source=127.0.0.1", true},
      {"server_port alone", ";server_port=%S", true},
      {"nothing but the client ports", "", false},
  };
  for (const ReplyRow& row : rows) {
    SCOPED_TRACE(row.name);
    Datagram rtp, rtcp;
    std::string transport = row.transport;
    const std::size_t at = transport.find("%S");
    if (at != std::string::npos)
      transport.replace(at, 2, std::to_string(rtp.port) + "-" + std::to_string(rtcp.port));
    ScriptedServer server(transport, [&rtp](int, int, unsigned client) {
      for (unsigned seq = 1; seq <= 5; ++seq) rtp.sendTo(client, RtpPacket(seq));
    });
    UdpSession session(server.port);
    ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
    session.awaitPackets(5);
    EXPECT_EQ(session.log->packets().size(), 5u);
    EXPECT_EQ(rtcp.receivesWithin(300), row.reportsExpected) << "a report right after PLAY";
    session.d.stop();
  }
}

// Also: the client's ports are searched from localPortBase (odd: rounded up).
TEST(UdpSession, IgnoresPacketsFromAnotherPort) {
  Datagram rtp, foreign;
  unsigned clientRtpPort = 0;
  ScriptedServer server(";server_port=" + std::to_string(rtp.port), [&](int, int, unsigned client) {
    clientRtpPort = client;
    for (unsigned seq = 1; seq <= 10; ++seq) {
      foreign.sendTo(client, RtpPacket(1000 + seq));
      rtp.sendTo(client, RtpPacket(seq));
    }
  });
  const unsigned base = 50001 + static_cast<unsigned>(::getpid() % 1000) * 2;
  UdpSession session(server.port, RTSP_TRANSPORT_UDP, false, 20, base);
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
  session.awaitPackets(10);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  session.d.stop();
  server.finish();
  const std::vector<std::string> packets = session.log->packets();
  ASSERT_EQ(packets.size(), 10u);
  for (const std::string& packet : packets) EXPECT_LT(SeqOf(packet), 1000u);
  EXPECT_GE(clientRtpPort, base + 1);
  EXPECT_EQ(clientRtpPort % 2, 0u);
}

struct FallbackRow {
  const char* name;
  std::string refuseUdp;  // the answer to SETUP over UDP; "": 200, then silence
  int connections;
  std::string heard;  // in the requests the server heard
};

TEST(UdpSession, FallsBackToInterleavedTcp) {
  const FallbackRow rows[] = {
      {"461: SETUP again on the connection", "461 Unsupported Transport", 1, "0 SETUP\n0 SETUP\n"},
      {"silence after PLAY: TEARDOWN and a new connection", "", 2, "0 TEARDOWN\n1 OPTIONS\n"},
  };
  for (const FallbackRow& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server(
        ";server_port=9-10",
        [](int, int fd, unsigned clientRtpPort) {
          if (clientRtpPort == 0) SendInterleaved(fd, {1});
        },
        row.connections, row.refuseUdp);
    UdpSession session(server.port, RTSP_TRANSPORT_UDP_THEN_TCP);
    ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
    session.awaitPackets(1);
    EXPECT_EQ(session.log->packets().size(), 1u);
    EXPECT_EQ(session.d.lastFailure().transport, RTSP_TRANSPORT_TCP);
    session.d.stop();
    server.finish();
    EXPECT_NE(server.requests.find(row.heard), std::string::npos) << server.requests;
  }
}

TEST(UdpSession, SilenceEndsReceptionWithTheReason) {
  ScriptedServer server(";server_port=9-10", nullptr);
  UdpSession session(server.port, RTSP_TRANSPORT_UDP, false, 1);
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
  for (int i = 0; i < 300 && session.d.lastFailure().step == RTSP_STEP_NONE; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(session.d.lastFailure().step, RTSP_STEP_RECEIVE);
  EXPECT_EQ(session.d.lastFailure().detail, "timed out after 1 s without data");
  session.d.stop();
}

// Without a fallback, a refused SETUP fails the start and releases the ports.
TEST(UdpSession, ARefusedSetupFailsAndReleasesThePorts) {
  const int before = openDescriptors();
  {
    ScriptedServer server("", nullptr, 1, "461 Unsupported Transport");
    UdpSession session(server.port);
    EXPECT_FALSE(session.d.startRTSPDownload(true, true));
    EXPECT_EQ(session.d.lastFailure().step, RTSP_STEP_SETUP);
    EXPECT_EQ(session.d.lastFailure().statusCode, 461);
    server.finish();  // the client closed the connection
    EXPECT_EQ(openDescriptors(), before + 1) << "only the server's listening socket is left";
  }
}

// Five starts and stops while the server streams (until the client's
// TEARDOWN arrives): each stop is prompt and no descriptor stays open.
TEST(UdpSession, StopDuringReceptionLeaksNothing) {
  const int before = openDescriptors();
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    Datagram rtp;
    ScriptedServer server(";server_port=" + std::to_string(rtp.port),
                          [&](int, int fd, unsigned client) {
                            pollfd request{fd, POLLIN, 0};
                            for (unsigned seq = 0; ::poll(&request, 1, 1) == 0; ++seq)
                              rtp.sendTo(client, RtpPacket(seq & 0xFFFF));
                          });
    UdpSession session(server.port);
    ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
    session.awaitPackets(20);
    const auto stopAt = std::chrono::steady_clock::now();
    session.d.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(500));
    EXPECT_GE(session.log->packets().size(), 20u);
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
  ScriptedServer server(";server_port=" + std::to_string(rtp.port), [&](int, int, unsigned client) {
    for (std::size_t i = 0; i < order.size(); ++i) {
      for (std::size_t copy = 0; copy <= (i % 5 == 0); ++copy)
        rtp.sendTo(client, RtpPacket(order[i]));
    }
  });
  UdpSession session(server.port, RTSP_TRANSPORT_UDP, true);
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.d.lastFailure().detail;
  session.awaitPackets(200);
  session.d.stop();
  const std::vector<std::string> packets = session.log->packets();
  ASSERT_EQ(packets.size(), 200u);
  for (std::size_t i = 0; i < packets.size(); ++i)
    ASSERT_EQ(SeqOf(packets[i]), (65436 + i) & 0xFFFF) << "delivery " << i;
}

}  // namespace
