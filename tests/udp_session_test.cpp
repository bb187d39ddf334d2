// Sessions over UDP against scripted servers on 127.0.0.1: the SETUP and its
// reply, the sender filter, the fallbacks to interleaved TCP, stop during
// reception, the silence timeout, and ordered delivery across the wrap.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

using rtsptest::HostLog;
using rtsptest::kSdp;

// A datagram socket on 127.0.0.1 with an ephemeral port.
struct Datagram {
  Datagram() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  ~Datagram() { ::close(fd); }
  void sendTo(unsigned to, const std::string& data) const {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons(static_cast<std::uint16_t>(to));
    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  }
  // Datagrams that arrive within `ms`.
  int countArrivals(int ms) const {
    int count = 0;
    char buf[2048];
    for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, ms) > 0;)
      count += ::recv(fd, buf, sizeof buf, 0) >= 0;
    return count;
  }
  int fd;
  unsigned port;
};

std::string RtpPacket(unsigned seq, std::uint32_t ssrc = 0x11223344) {
  std::string p(40, 'x');
  const unsigned char head[12] = {0x80,
                                  0x60,
                                  static_cast<unsigned char>(seq >> 8),
                                  static_cast<unsigned char>(seq),
                                  0,
                                  0,
                                  0,
                                  0,
                                  static_cast<unsigned char>(ssrc >> 24),
                                  static_cast<unsigned char>(ssrc >> 16),
                                  static_cast<unsigned char>(ssrc >> 8),
                                  static_cast<unsigned char>(ssrc)};
  p.replace(0, 12, reinterpret_cast<const char*>(head), 12);
  return p;
}

unsigned SeqOf(const std::string& packet) {
  return static_cast<unsigned char>(packet[2]) * 256u + static_cast<unsigned char>(packet[3]);
}

// The value of `name=` in a request's Transport header, e.g. client_port.
std::string TransportParameter(const std::string& request, const std::string& name) {
  const std::size_t at = request.find(name + "=");
  if (at == std::string::npos) return "";
  const std::size_t from = at + name.size() + 1;
  return request.substr(from, request.find_first_of(";\r", from) - from);
}

// One scripted RTSP server. Each request is answered by `answer` (given the
// connection's number from 0, the request's method and its whole head);
// right after the answer to PLAY, `afterPlay` runs on the server thread
// with the connection and the client's RTP port (0 over TCP). Connections
// are served one after the other until `connections` have ended.
struct ScriptedServer {
  using Answer = std::function<std::string(int, const std::string&, const std::string&)>;
  using AfterPlay = std::function<void(int, int fd, unsigned clientRtpPort)>;

  ScriptedServer(int connections, Answer answerRequest, AfterPlay afterPlayRequest)
      : answer(std::move(answerRequest)), afterPlay(std::move(afterPlayRequest)) {
    listenFd = listenLoopback(port);
    thread = std::thread([this, connections] {
      for (int c = 0; c < connections; ++c) serveOne(c);
    });
  }
  ~ScriptedServer() {
    finish();
    ::close(listenFd);
  }
  // Waits until every connection has ended (the client closed it).
  void finish() {
    if (thread.joinable()) thread.join();
  }
  void serveOne(int connection) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    std::string head;
    unsigned clientRtpPort = 0;
    for (char c; ::recv(fd, &c, 1, 0) == 1;) {
      head += c;
      if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) continue;
      const std::string method = head.substr(0, head.find(' '));
      {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(std::to_string(connection) + " " + head.substr(0, head.find('\r')));
      }
      if (method == "SETUP") {
        const std::string ports = TransportParameter(head, "client_port");
        clientRtpPort = ports.empty() ? 0 : static_cast<unsigned>(std::stoul(ports));
      }
      const std::string reply = answer(connection, method, head);
      ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      if (method == "PLAY" && afterPlay) afterPlay(connection, fd, clientRtpPort);
      head.clear();
    }
    ::close(fd);
  }
  std::vector<std::string> requestLines() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
  }

  Answer answer;
  AfterPlay afterPlay;
  unsigned port = 0;
  int listenFd = -1;
  std::mutex mutex;
  std::vector<std::string> requests;  // "<connection> <request line>"
  std::thread thread;
};

// Answers every request with 200; DESCRIBE with kSdp, SETUP over UDP with
// `transport` (the client's ports filled in before it), SETUP interleaved
// with its own transport.
ScriptedServer::Answer Answering(const std::string& udpTransport, int refuseUdpWith = 0) {
  return [udpTransport, refuseUdpWith](int, const std::string& method, const std::string& head) {
    const std::string cseq = "CSeq: ";
    const std::size_t at = head.find(cseq) + cseq.size();
    const unsigned n = static_cast<unsigned>(std::stoul(head.substr(at)));
    if (method == "DESCRIBE") {
      return rtsptest::reply("200 OK", n, "Content-Length: " + std::to_string(kSdp.size()) + "\r\n",
                             kSdp);
    }
    if (method == "SETUP") {
      if (head.find("client_port=") == std::string::npos) {
        return rtsptest::reply("200 OK", n,
                               "Session: 77\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
      }
      if (refuseUdpWith != 0) return rtsptest::reply("461 Unsupported Transport", n);
      const std::string client = TransportParameter(head, "client_port");
      return rtsptest::reply("200 OK", n,
                             "Session: 77\r\nTransport: RTP/AVP;unicast;client_port=" + client +
                                 udpTransport + "\r\n");
    }
    return rtsptest::reply("200 OK", n, "Session: 77\r\n");
  };
}

// A session for 127.0.0.1:<port>/live with `options` and a recording host.
struct UdpSession {
  UdpSession(unsigned port, RTSPSessionOptions options, int recvTimeoutSec = 20,
             unsigned localPortBase = 0) {
    options.diagnostics = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex);
      diagnostics += line + "\n";
    };
    d.initInfo("127.0.0.1", port, "live", localPortBase, ACE_Time_Value(2, 0), 0);
    d.registeRTPReceiver(log);
    d.setOptions(options);
    CRTSPDownloadTestPeer{d}.setTimeouts(recvTimeoutSec, 5);
  }
  // Waits up to `ms` for `count` packets (or the end of reception).
  void awaitPackets(std::size_t count, int ms) {
    for (int i = 0; i < ms && log->packetsSeen() < count; i += 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex);
    return diagnostics;
  }
  struct Host : HostLog {
    bool OnRecvData(const char* data, unsigned int length, bool isFileHeader, SDP* sdp) override {
      std::lock_guard<std::mutex> lock(mutex);
      return HostLog::OnRecvData(data, length, isFileHeader, sdp);
    }
    std::size_t packetsSeen() {
      std::lock_guard<std::mutex> lock(mutex);
      return packets.size();
    }
    std::vector<std::string> copy() {
      std::lock_guard<std::mutex> lock(mutex);
      return packets;
    }
    std::mutex mutex;
  };
  Host* log = new Host;  // owned by d
  std::mutex mutex;
  std::string diagnostics;
  CRTSPDownload d;
};

RTSPSessionOptions UdpOptions(RTSP_TRANSPORT transport = RTSP_TRANSPORT_UDP) {
  RTSPSessionOptions options;
  options.transport = transport;
  return options;
}

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
    if (at != std::string::npos) {
      transport.replace(at, 2, std::to_string(rtp.port) + "-" + std::to_string(rtcp.port));
    }
    ScriptedServer server(1, Answering(transport), [&rtp](int, int, unsigned client) {
      for (unsigned seq = 1; seq <= 5; ++seq) rtp.sendTo(client, RtpPacket(seq));
    });
    UdpSession session(server.port, UdpOptions());
    ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
    session.awaitPackets(5, 3000);
    EXPECT_EQ(session.log->packetsSeen(), 5u);
    // One report right after PLAY (plus an empty RTP packet to the RTP port).
    EXPECT_EQ(rtcp.countArrivals(300) >= 1, row.reportsExpected);
    session.d.stop();
    EXPECT_NE(session.text().find("client_port="), std::string::npos);
  }
}

TEST(UdpSession, IgnoresPacketsFromAnotherPort) {
  Datagram rtp, rtcp, foreign;
  const std::string transport =
      ";server_port=" + std::to_string(rtp.port) + "-" + std::to_string(rtcp.port);
  ScriptedServer server(1, Answering(transport), [&](int, int, unsigned client) {
    for (unsigned seq = 1; seq <= 10; ++seq) {
      foreign.sendTo(client, RtpPacket(1000 + seq));
      rtp.sendTo(client, RtpPacket(seq));
    }
  });
  UdpSession session(server.port, UdpOptions());
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
  session.awaitPackets(10, 3000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  session.d.stop();
  const std::vector<std::string> packets = session.log->copy();
  ASSERT_EQ(packets.size(), 10u);
  for (const std::string& packet : packets) EXPECT_LT(SeqOf(packet), 1000u);
}

TEST(UdpSession, A461MakesTheSetupGoAgainInterleaved) {
  ScriptedServer server(1, Answering("", 461), [](int, int fd, unsigned) {
    const std::string frames =
        rtsptest::frame('$', 0, RtpPacket(1)) + rtsptest::frame('$', 0, RtpPacket(2));
    ::send(fd, frames.data(), frames.size(), MSG_NOSIGNAL);
  });
  UdpSession session(server.port, UdpOptions(RTSP_TRANSPORT_UDP_THEN_TCP));
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
  session.awaitPackets(2, 3000);
  EXPECT_EQ(session.log->packetsSeen(), 2u);
  EXPECT_EQ(session.d.lastFailure().transport, RTSP_TRANSPORT_TCP);
  EXPECT_NE(session.text().find("Transport: TCP"), std::string::npos) << session.text();
  session.d.stop();
  server.finish();
  const std::vector<std::string> lines = server.requestLines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[2].substr(0, 8), "0 SETUP ");
  EXPECT_EQ(lines[3].substr(0, 8), "0 SETUP ") << "the second SETUP, same connection";
}

TEST(UdpSession, SilenceAfterPlayMakesItReconnectOverTcp) {
  ScriptedServer server(2, Answering(";server_port=9-10"), [](int connection, int fd, unsigned) {
    if (connection == 0) return;  // nothing over UDP
    const std::string frames = rtsptest::frame('$', 0, RtpPacket(1));
    ::send(fd, frames.data(), frames.size(), MSG_NOSIGNAL);
  });
  UdpSession session(server.port, UdpOptions(RTSP_TRANSPORT_UDP_THEN_TCP));
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2900));
  session.awaitPackets(1, 3000);
  EXPECT_EQ(session.log->packetsSeen(), 1u);
  session.d.stop();
  server.finish();
  std::vector<std::string> lines = server.requestLines();
  const auto teardown = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.compare(0, 11, "0 TEARDOWN ") == 0;
  });
  EXPECT_NE(teardown, lines.end()) << "the UDP session was torn down";
  const auto secondSetup = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.compare(0, 8, "1 SETUP ") == 0;
  });
  EXPECT_NE(secondSetup, lines.end()) << "the second connection sets up again";
}

TEST(UdpSession, SilenceEndsReceptionWithTheReason) {
  ScriptedServer server(1, Answering(";server_port=9-10"), nullptr);
  UdpSession session(server.port, UdpOptions(), 1);
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
  for (int i = 0; i < 300 && session.d.lastFailure().step == RTSP_STEP_NONE; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const RTSPFailure failure = session.d.lastFailure();
  EXPECT_EQ(failure.step, RTSP_STEP_RECEIVE);
  EXPECT_EQ(failure.detail, "timed out after 1 s without data");
  EXPECT_EQ(failure.transport, RTSP_TRANSPORT_UDP);
  session.d.stop();
}

TEST(UdpSession, LocalPortBaseIsWhereThePortSearchStarts) {
  const unsigned base = 50001 + static_cast<unsigned>(::getpid() % 1000) * 2;  // odd: rounded up
  ScriptedServer server(1, Answering(""), nullptr);
  UdpSession session(server.port, UdpOptions(), 20, base);
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
  session.d.stop();
  const std::string setup = session.text().substr(session.text().find("SETUP "));
  const unsigned rtpPort =
      static_cast<unsigned>(std::stoul(TransportParameter(setup, "client_port")));
  EXPECT_GE(rtpPort, base + 1);
  EXPECT_EQ(rtpPort % 2, 0u);
}

// A refused SETUP over UDP (no fallback asked for) fails the start at SETUP
// and releases both ports at once.
TEST(UdpSession, ARefusedSetupFailsAndReleasesThePorts) {
  const int before = openDescriptors();
  {
    ScriptedServer server(1, Answering("", 461), nullptr);
    UdpSession session(server.port, UdpOptions());
    EXPECT_FALSE(session.d.startRTSPDownload(true, true));
    const RTSPFailure failure = session.d.lastFailure();
    EXPECT_EQ(failure.step, RTSP_STEP_SETUP);
    EXPECT_EQ(failure.statusCode, 461);
    EXPECT_EQ(failure.transport, RTSP_TRANSPORT_UDP);
    server.finish();  // the server saw the connection close
    EXPECT_EQ(openDescriptors(), before + 1) << "only the server's listening socket is left";
    session.d.stop();
  }
  EXPECT_EQ(openDescriptors(), before);
}

// Five starts and stops while the server streams: each stop is prompt,
// TEARDOWN reaches the server, and no descriptor stays open.
TEST(UdpSession, StopDuringReceptionLeaksNothing) {
  const int before = openDescriptors();
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    Datagram rtp;
    std::atomic<bool> streaming{true};
    std::thread streamer;
    ScriptedServer server(1, Answering(";server_port=" + std::to_string(rtp.port)),
                          [&](int, int, unsigned client) {
                            streamer = std::thread([&rtp, &streaming, client] {
                              for (unsigned seq = 0; streaming; ++seq) {
                                rtp.sendTo(client, RtpPacket(seq & 0xFFFF));
                                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                              }
                            });
                          });
    {
      UdpSession session(server.port, UdpOptions());
      ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
      session.awaitPackets(20, 3000);
      const auto stopAt = std::chrono::steady_clock::now();
      session.d.stop();
      EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(500));
      EXPECT_GE(session.log->packetsSeen(), 20u);
    }
    server.finish();
    streaming = false;
    if (streamer.joinable()) streamer.join();
    const std::vector<std::string> lines = server.requestLines();
    EXPECT_EQ(lines.back().substr(0, 11), "0 TEARDOWN ");
  }
  EXPECT_EQ(openDescriptors(), before);
}

// Sequence numbers 65436 to 99, each group of eight after the first sent in
// reverse, every fifth packet twice: the host gets each once, in order. (The
// first packet fixes where delivery starts.)
TEST(UdpSession, ReorderDeliversEveryPacketOnceInOrderAcrossTheWrap) {
  Datagram rtp;
  std::vector<unsigned> order;
  for (unsigned i = 0; i < 200; ++i) order.push_back((65436 + i) & 0xFFFF);
  for (std::size_t group = 8; group < order.size(); group += 8) {
    std::reverse(order.begin() + static_cast<long>(group),
                 order.begin() + static_cast<long>(std::min(group + 8, order.size())));
  }
  ScriptedServer server(1, Answering(";server_port=" + std::to_string(rtp.port)),
                        [&](int, int, unsigned client) {
                          for (std::size_t i = 0; i < order.size(); ++i) {
                            rtp.sendTo(client, RtpPacket(order[i]));
                            if (i % 5 == 0) rtp.sendTo(client, RtpPacket(order[i]));
                          }
                        });
  RTSPSessionOptions options = UdpOptions();
  options.reorder = true;
  UdpSession session(server.port, options);
  ASSERT_TRUE(session.d.startRTSPDownload(true, true)) << session.text();
  session.awaitPackets(200, 3000);
  session.d.stop();
  const std::vector<std::string> packets = session.log->copy();
  ASSERT_EQ(packets.size(), 200u);
  for (std::size_t i = 0; i < packets.size(); ++i) {
    ASSERT_EQ(SeqOf(packets[i]), (65436 + i) & 0xFFFF) << "delivery " << i;
  }
}

}  // namespace
