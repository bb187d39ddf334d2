// The UDP pieces of a session without a session: the Transport reply, the
// port pair kept from before SETUP, the sender filter and batched reception.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/udp_media.h"
#include "session/udp_transport.h"
#include "support/open_descriptors.h"

namespace {

struct TransportRow {
  const char* name;
  const char* value;
  bool parsed;
  bool hasServerPort;
  std::uint16_t serverRtpPort, serverRtcpPort;
  const char* source;
  bool hasSsrc;
  std::uint32_t ssrc;
};

// clang-format off
// name, value, parsed, hasServerPort, serverRtpPort, serverRtcpPort, source, hasSsrc, ssrc
const TransportRow kTransportRows[] = {
    {"everything", "RTP/AVP;unicast;client_port=30000-30001;server_port=6970-6971;ssrc=1A2B3C4D;source=10.0.0.5;mode=\"PLAY\"",
     true, true, 6970, 6971, "10.0.0.5", true, 0x1A2B3C4D},
    {"nothing but the profile", "RTP/AVP/UDP;unicast;client_port=30000-30001",
     true, false, 0, 0, "", false, 0},
    {"one server port", "RTP/AVP;unicast;server_port=5000", true, true, 5000, 5001, "", false, 0},
    {"spaces and upper case", "RTP/AVP ; Server_Port = 5002-5003 ; SSRC=00ab ; Source = 127.0.0.1",
     true, true, 5002, 5003, "127.0.0.1", true, 0xAB},
    {"a second specification is ignored", "RTP/AVP;server_port=5004-5005,RTP/AVP;server_port=7-8",
     true, true, 5004, 5005, "", false, 0},
    {"an ssrc that is not hexadecimal", "RTP/AVP;server_port=5000-5001;ssrc=12345678901",
     true, true, 5000, 5001, "", false, 0},
    {"server port zero", "RTP/AVP;server_port=0-1", false, false, 0, 0, "", false, 0},
    {"server port out of range", "RTP/AVP;server_port=70000-70001", false, false, 0, 0, "", false, 0},
    {"server port not a number", "RTP/AVP;server_port=abc", false, false, 0, 0, "", false, 0},
    {"no RTP profile", "RAW/RAW/UDP;server_port=5000-5001", false, false, 0, 0, "", false, 0},
};
// clang-format on

TEST(UdpTransport, ParsesTheReply) {
  for (const TransportRow& row : kTransportRows) {
    SCOPED_TRACE(row.name);
    TransportReply reply;
    std::string detail;
    ASSERT_EQ(parseTransportReply(row.value, reply, detail), row.parsed);
    if (!row.parsed) {
      EXPECT_FALSE(detail.empty());
      continue;
    }
    EXPECT_EQ(reply.hasServerPort, row.hasServerPort);
    EXPECT_EQ(reply.serverRtpPort, row.serverRtpPort);
    EXPECT_EQ(reply.serverRtcpPort, row.serverRtcpPort);
    EXPECT_EQ(reply.source, row.source);
    EXPECT_EQ(reply.hasSsrc, row.hasSsrc);
    EXPECT_EQ(reply.ssrc, row.ssrc);
  }
}

TEST(UdpTransport, RequestNamesTheEvenPortAndItsNeighbour) {
  EXPECT_EQ(udpTransportRequest(30000), "RTP/AVP;unicast;client_port=30000-30001");
}

TEST(UdpTransport, InterleavedAnswerIsRecognised) {
  TransportReply reply;
  std::string detail;
  ASSERT_TRUE(parseTransportReply("RTP/AVP/TCP;unicast;interleaved=0-1", reply, detail));
  EXPECT_TRUE(reply.tcp);
}

// A datagram socket on 127.0.0.1 with an ephemeral port, for the sender side.
struct Sender {
  Sender() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  ~Sender() { ::close(fd); }
  void sendTo(std::uint16_t to, const std::string& datagram) const {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons(to);
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&peer),
             sizeof peer);
  }
  int fd;
  std::uint16_t port;
};

TEST(UdpMediaPair, KeepsAnEvenPairBoundUntilClosed) {
  const int before = openDescriptors();
  UdpMediaPair first, second;
  std::string detail;
  ASSERT_TRUE(first.open("127.0.0.1", 0, detail)) << detail;
  EXPECT_EQ(first.rtpPort() % 2, 0);
  EXPECT_GT(first.grantedReceiveBuffer(), 0);
  // From the same base, the kept pair is skipped.
  ASSERT_TRUE(second.open("127.0.0.1", first.rtpPort() - 1u, detail)) << detail;
  EXPECT_GT(second.rtpPort(), first.rtpPort());
  EXPECT_EQ(second.rtpPort() % 2, 0);
  first.close();
  second.close();
  EXPECT_EQ(openDescriptors(), before);
}

TEST(UdpBatchReceiver, DeliversTheServersDatagramsInOrderAndIgnoresOthers) {
  UdpMediaPair pair;
  std::string detail;
  ASSERT_TRUE(pair.open("127.0.0.1", 0, detail)) << detail;
  Sender server, foreign;
  for (int i = 0; i < 100; ++i) {
    server.sendTo(pair.rtpPort(), "packet " + std::to_string(i));
    if (i % 10 == 0) foreign.sendTo(pair.rtpPort(), "foreign");
  }
  const UdpSourceFilter filter(htonl(INADDR_LOOPBACK), {server.port});
  UdpBatchReceiver receiver(16);
  std::vector<std::string> got;
  std::uint64_t ignored = 0;
  for (int round = 0; round < 20 && got.size() < 100; ++round) {
    receiver.receive(
        pair.rtpFd(), filter,
        [&got](const char* data, std::size_t size) {
          got.emplace_back(data, size);
          return true;
        },
        ignored);
  }
  ASSERT_EQ(got.size(), 100u);
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(got[static_cast<std::size_t>(i)], "packet " + std::to_string(i));
  EXPECT_EQ(ignored, 10u);
}

TEST(UdpSourceFilter, AcceptsTheAddressAndItsNamedPortsOnly) {
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  from.sin_port = htons(5000);
  EXPECT_TRUE(UdpSourceFilter(htonl(INADDR_LOOPBACK), {5000, 5001}).accepts(from));
  EXPECT_TRUE(UdpSourceFilter(htonl(INADDR_LOOPBACK), {}).accepts(from)) << "no ports named";
  EXPECT_FALSE(UdpSourceFilter(htonl(INADDR_LOOPBACK), {6000, 6001}).accepts(from));
  EXPECT_FALSE(UdpSourceFilter(htonl(0x7F000002), {5000}).accepts(from)) << "another address";
  EXPECT_FALSE(UdpSourceFilter().accepts(from)) << "a filter never set";
}

}  // namespace
